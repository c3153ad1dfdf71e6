// The rules of file_names.h.

#include "cli/files/file_names.h"

#include <algorithm>
#include <tuple>

#include "cli/files/content.h"
#include "cli/option_text.h"
#include "refhost/store/catalog_store.h"
#include "refhost/util/utf8.h"

namespace cli {
namespace {

constexpr size_t kNameBytes = 32;

// Splits a file name at its last '.' into stem and extension.
void SplitFileName(std::string_view file, std::string_view* stem,
                   std::string_view* extension) {
  size_t dot = file.rfind('.');
  *stem = dot == std::string_view::npos ? file : file.substr(0, dot);
  *extension =
      dot == std::string_view::npos ? std::string_view() : file.substr(dot + 1);
}

// Why a catalog cannot hold name as a catalog or entry name; kNone when it
// can.
Reason NameProblem(std::string_view name) {
  if (name.empty()) return Reason::kNameEmpty;
  if (name.size() > kNameBytes) return Reason::kNameTooLong;
  if (name.find('.') != std::string_view::npos) return Reason::kNameHoldsDot;
  if (name.back() == ' ') return Reason::kNameEndsInBlank;
  for (size_t at = 0; at < name.size();) {
    size_t length = refhost::Utf8CharacterLength(name.substr(at));
    if (length == 0) return Reason::kNameNotText;
    if (refhost::IsControlCharacter(
            refhost::Utf8CodePoint(name.substr(at), length))) {
      return Reason::kNameHoldsControl;
    }
    at += length;
  }
  return Reason::kNone;
}

// name with every byte no name holds made '_', cut to limit bytes.
std::string FitName(std::string_view name, size_t limit) {
  std::string out;
  for (size_t at = 0; at < name.size();) {
    size_t length = refhost::Utf8CharacterLength(name.substr(at));
    bool fits = length != 0 && name[at] != '.' &&
                !refhost::IsControlCharacter(
                    refhost::Utf8CodePoint(name.substr(at), length));
    if (!fits) {
      out += '_';
      at += length == 0 ? 1 : length;
    } else {
      out.append(name.substr(at, length));
      at += length;
    }
  }
  out.resize(CutAtCharacter(out, limit));
  while (!out.empty() && out.back() == ' ') out.back() = '_';
  if (out.empty()) out = "_";
  return Upper(out);
}

// Fits name, then makes it unique against taken by a suffix ~2, ~3...
// key_of turns a candidate name into the key that must be new.
template <typename KeyOf>
std::string FitUnique(std::string_view name, const std::set<std::string>& taken,
                      KeyOf key_of) {
  std::string fitted = FitName(name, kNameBytes);
  for (int n = 2; taken.count(key_of(fitted)) != 0; ++n) {
    std::string suffix = "~" + std::to_string(n);
    fitted = FitName(name, kNameBytes - suffix.size()) + suffix;
  }
  return fitted;
}

}  // namespace

Reason EntryForFile(std::string_view file, FileEntry* entry) {
  std::string_view stem, extension;
  SplitFileName(file, &stem, &extension);
  Reason reason = NameProblem(stem);
  if (reason != Reason::kNone) return reason;
  entry->name = Upper(stem);
  entry->type = ImportTypeOf(extension);
  return Reason::kNone;
}

FileEntry FittedEntryForFile(std::string_view file,
                             const std::set<std::string>& taken) {
  std::string_view stem, extension;
  SplitFileName(file, &stem, &extension);
  FileEntry entry;
  entry.type = ImportTypeOf(extension);
  // A name that is all extension (".profile") keeps its whole text.
  std::string_view base = stem.empty() ? file : stem;
  entry.name = FitUnique(base, taken, [&](const std::string& name) {
    return name + "." + entry.type.type;
  });
  return entry;
}

Reason CatalogForFolder(std::string_view folder, std::string* catalog) {
  Reason reason = NameProblem(folder);
  if (reason == Reason::kNone) *catalog = Upper(folder);
  return reason;
}

Reason LibrefProblem(std::string_view name) {
  if (refhost::CheckLibref(name).ok()) return Reason::kNone;
  return name.size() > 8 ? Reason::kLibrefTooLong : Reason::kNotLibref;
}

std::string FittedCatalogForFolder(std::string_view folder,
                                   const std::set<std::string>& taken) {
  return FitUnique(folder, taken, [](const std::string& name) { return name; });
}

bool IsPlainFileName(std::string_view name, Reason* reason) {
  if (name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    *reason = Reason::kFileNameNotPlain;
    return false;
  }
  for (size_t at = 0; at < name.size();) {
    size_t length = refhost::Utf8CharacterLength(name.substr(at));
    if (length != 0 && refhost::IsControlCharacter(
                           refhost::Utf8CodePoint(name.substr(at), length))) {
      *reason = Reason::kFileNameControl;
      return false;
    }
    at += length == 0 ? 1 : length;
  }
  if (name == kManifestName ||
      name.substr(0, ExportFile::kTemporaryPrefix.size()) ==
          ExportFile::kTemporaryPrefix) {
    *reason = Reason::kFileNameReserved;
    return false;
  }
  *reason = Reason::kNone;
  return true;
}

std::string DefaultFileName(std::string_view name, std::string_view type) {
  return Lower(name) + "." + ExtensionOf(type);
}

Reason UnsafeNamePart(std::string_view part) {
  if (part.empty()) return Reason::kNamePartEmpty;
  if (part.find_first_of("/.") != std::string_view::npos) {
    return Reason::kNamePartSeparator;
  }
  Reason reason;
  IsPlainFileName(part, &reason);
  return reason;
}

std::string PreferredFileName(std::string_view name, std::string_view type,
                              const std::string& kept, Reason* refused) {
  *refused = Reason::kNone;
  if (!kept.empty() && IsPlainFileName(kept, refused)) return kept;
  return DefaultFileName(name, type);
}

std::vector<FileNaming> NameFiles(const std::vector<NamedEntry>& entries) {
  std::vector<FileNaming> naming(entries.size());
  std::vector<size_t> order;
  for (size_t i = 0; i < entries.size(); ++i) {
    const NamedEntry& e = entries[i];
    naming[i].unsafe = UnsafeNamePart(e.name);
    if (naming[i].unsafe == Reason::kNone) {
      naming[i].unsafe = UnsafeNamePart(e.type);
    }
    if (naming[i].unsafe == Reason::kNone) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return std::tie(entries[a].name, entries[a].type) <
           std::tie(entries[b].name, entries[b].type);
  });
  std::set<std::string> taken;
  // Kept names first: a file imported under a name gets that name back
  // before any entry's default name may take it.
  for (size_t i : order) {
    const NamedEntry& e = entries[i];
    std::string wanted =
        PreferredFileName(e.name, e.type, e.kept, &naming[i].refused);
    if (e.kept.empty() || naming[i].refused != Reason::kNone) continue;
    if (taken.insert(wanted).second) {
      naming[i].file = wanted;
    } else {
      naming[i].displaced = true;
    }
  }
  for (size_t i : order) {
    if (!naming[i].file.empty()) continue;
    const NamedEntry& e = entries[i];
    std::string file = DefaultFileName(e.name, e.type);
    std::string stem = Lower(e.name), extension = ExtensionOf(e.type);
    for (int n = 2; taken.count(file) != 0; ++n) {
      file = stem + "~" + std::to_string(n) + "." + extension;
      naming[i].displaced = true;
    }
    taken.insert(file);
    naming[i].file = file;
  }
  return naming;
}

}  // namespace cli
