// vuvorozo import DIR LIBREF.CATALOG [OPTIONS]: every file of a folder
// becomes an entry of the catalog, opened as a member of the catalog's
// directory. The entry name is the file name without its extension; the
// extension gives the member open its type hint. Options go to the
// catalog's fileref, so that they hold for every member. A file whose name
// the module refuses is reported and skipped; the rest are still imported.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "cli/commands.h"
#include "cli/entry_types.h"
#include "cli/option_text.h"
#include "cli/records.h"

namespace cli {
namespace {

// The regular files of folder, sorted by name; false when it cannot be read.
bool FilesOf(const std::string& folder, std::vector<std::string>* files) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    std::string path = folder + "/" + name;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      files->push_back(name);
    }
  }
  closedir(dir);
  // Files with a known extension come first, so that where two files name
  // the same entry (a.txt and a.dat are both A.CATAMS) the one whose
  // extension says the type is the one imported.
  auto extension_known = [](const std::string& file) {
    size_t dot = file.rfind('.');
    return dot != std::string::npos &&
           ImportTypeOf(std::string_view(file).substr(dot + 1)).known;
  };
  std::sort(files->begin(), files->end());
  std::stable_partition(files->begin(), files->end(), extension_known);
  return true;
}

bool ReadFile(const std::string& path, std::string* data) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  bool ok = ReadAll(in, data);
  std::fclose(in);
  return ok;
}

// Imports one file as a member of the open directory.
Outcome ImportFile(Session& session, Directory& directory,
                   const std::string& folder, const std::string& file,
                   std::set<std::string>* imported) {
  size_t dot = file.rfind('.');
  std::string stem = dot == std::string::npos ? file : file.substr(0, dot);
  std::string extension = dot == std::string::npos ? "" : file.substr(dot + 1);
  if (stem.empty()) {
    PrintError(file + ": skipped: no entry name before the extension");
    return Outcome::kSkipped;
  }
  // The member text is name or name.type: a second dot would make the rest
  // of the name the entry type.
  if (stem.find('.') != std::string::npos) {
    PrintError(file + ": skipped: an entry name cannot hold a '.'");
    return Outcome::kSkipped;
  }
  ImportType type = ImportTypeOf(extension);
  // Two files that name the same entry would leave only the last one
  // written: the first one wins and the other is reported.
  std::string key = Upper(stem) + "." + type.type;
  if (imported->count(key) != 0) {
    PrintError(file +
               ": skipped: another file of this folder was imported "
               "as entry " +
               Upper(stem) + " of type " + type.type);
    return Outcome::kSkipped;
  }
  std::string data;
  if (!ReadFile(folder + "/" + file, &data)) {
    PrintError(file + ": skipped: cannot read the file");
    return Outcome::kSkipped;
  }
  bool binary = IsBinaryType(type.type);
  OpenEntry entry(session);
  int32_t st =
      entry.OpenMember(directory, stem, type.hint.c_str(), kOpenOutput,
                       binary ? kDefaultBinaryRecordLength : 0, nullptr);
  if (st != 0) {
    session.Fail(file + ": skipped", st);
    return Outcome::kSkipped;
  }
  imported->insert(key);
  info_reply reply = {};
  std::string path = file;
  if (entry.Info(kInfoPath, &reply) == 0 && reply.path != nullptr) {
    path.assign(reply.path,
                static_cast<size_t>(std::max(reply.path_length, 0)));
  }
  Transfer transfer = WriteRecords(entry, data, binary);
  int32_t close = entry.Close();
  if (transfer.status != 0 || close != 0) {
    session.Fail(file + " -> " + path,
                 transfer.status != 0 ? transfer.status : close);
    return Outcome::kSkipped;
  }
  std::printf("%s -> %s (%lld record%s)\n", file.c_str(), path.c_str(),
              static_cast<long long>(transfer.records),
              transfer.records == 1 ? "" : "s");
  WarnTruncated(path, transfer, entry.record_length(), true);
  return transfer.truncated != 0 ? Outcome::kTruncated : Outcome::kDone;
}

}  // namespace

int RunImport(Session& session, const Words& words) {
  if (words.size() < 2) {
    return UsageError("import",
                      "a folder and a name libref.catalog are needed");
  }
  const std::string& folder = words[0];
  const std::string& name = words[1];
  std::vector<std::string> files;
  if (!FilesOf(folder, &files)) {
    PrintError("import: cannot read the folder " + folder);
    return kExitFailed;
  }
  OptionBlock options(session);
  if (!ParseOptionWords(session, "import",
                        Words(words.begin() + 2, words.end()), &options)) {
    return kExitUsage;
  }
  Fileref fileref(session);
  if (!AssignName(session, fileref, name, &options)) return kExitFailed;
  Directory directory(session);
  int32_t st = directory.Open(fileref);
  if (st != 0) {
    session.Fail(name, st);
    return kExitFailed;
  }
  std::set<std::string> imported;
  Tally tally;
  for (const std::string& file : files) {
    tally.Add(ImportFile(session, directory, folder, file, &imported));
  }
  return FinishBatch(session, directory, name, "import", tally, files.size(),
                     "files were not imported");
}

}  // namespace cli
