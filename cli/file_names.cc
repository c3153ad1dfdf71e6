// The rules of file_names.h.

#include "cli/file_names.h"

#include "cli/content.h"
#include "cli/option_text.h"
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

// Why a catalog cannot hold name as a catalog or entry name; empty when it
// can.
std::string NameProblem(std::string_view name) {
  if (name.empty()) return "there is no name before the extension";
  if (name.size() > kNameBytes) return "the name is longer than 32 bytes";
  if (name.find('.') != std::string_view::npos) {
    return "the name holds a '.' (an entry name cannot)";
  }
  if (name.back() == ' ') return "the name ends in a blank";
  for (size_t at = 0; at < name.size();) {
    size_t length = refhost::Utf8CharacterLength(name.substr(at));
    if (length == 0) return "the name is not UTF-8 text";
    if (refhost::IsControlCharacter(
            refhost::Utf8CodePoint(name.substr(at), length))) {
      return "the name holds a control character";
    }
    at += length;
  }
  return "";
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

bool EntryForFile(std::string_view file, FileEntry* entry,
                  std::string* reason) {
  std::string_view stem, extension;
  SplitFileName(file, &stem, &extension);
  *reason = NameProblem(stem);
  if (!reason->empty()) return false;
  entry->name = Upper(stem);
  entry->type = ImportTypeOf(extension);
  return true;
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

bool CatalogForFolder(std::string_view folder, std::string* catalog,
                      std::string* reason) {
  *reason = NameProblem(folder);
  if (!reason->empty()) return false;
  *catalog = Upper(folder);
  return true;
}

std::string FittedCatalogForFolder(std::string_view folder,
                                   const std::set<std::string>& taken) {
  return FitUnique(folder, taken, [](const std::string& name) { return name; });
}

bool IsPlainFileName(std::string_view name, std::string* reason) {
  if (name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    *reason = "it is not a plain file name";
    return false;
  }
  for (size_t at = 0; at < name.size();) {
    size_t length = refhost::Utf8CharacterLength(name.substr(at));
    if (length != 0 && refhost::IsControlCharacter(
                           refhost::Utf8CodePoint(name.substr(at), length))) {
      *reason = "it holds a control character";
      return false;
    }
    at += length == 0 ? 1 : length;
  }
  if (name == kManifestName ||
      name.substr(0, ExportFile::kTemporaryPrefix.size()) ==
          ExportFile::kTemporaryPrefix) {
    *reason = "the program keeps that name for its own files";
    return false;
  }
  return true;
}

std::string DefaultFileName(std::string_view name, std::string_view type) {
  return Lower(name) + "." + ExtensionOf(type);
}

std::string UnsafeNamePart(std::string_view part) {
  if (part.empty()) return "it is empty";
  if (part.find_first_of("/.") != std::string_view::npos) {
    return "it holds '/' or '.'";
  }
  std::string reason;
  if (!IsPlainFileName(part, &reason)) return reason;
  return "";
}

std::string ExportFileName(std::string_view name, std::string_view type,
                           const std::string& recorded, std::string* refused) {
  refused->clear();
  if (!recorded.empty() && IsPlainFileName(recorded, refused)) return recorded;
  return DefaultFileName(name, type);
}

}  // namespace cli
