// The default data folder, the note for a user of earlier releases' folder,
// and the store of a data folder that is not there yet.

#include "cli/data_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/option_text.h"
#include "cli/report.h"
#include "cli/session.h"

namespace cli {
namespace {

using refhost::CatalogInfo;
using refhost::CatalogStore;
using refhost::EntryCursor;
using refhost::EntryInfo;
using refhost::LibraryCheck;
using refhost::LibraryCompaction;
using refhost::OpenIntent;
using refhost::StoreStatus;

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

StoreStatus Absent() { return StoreStatus::NotFound("no data folder"); }

}  // namespace

std::string DefaultDataFolder() {
  // A relative $XDG_DATA_HOME is to be ignored, as the variable's own
  // rules say.
  std::string data_home = Variable("XDG_DATA_HOME");
  if (data_home.starts_with('/')) return data_home + "/vuvorozo";
  std::string home = Variable("HOME");
  if (home.empty()) {
    if (const passwd* user = getpwuid(getuid()); user != nullptr) {
      home = user->pw_dir != nullptr ? user->pw_dir : "";
    }
  }
  if (home.empty()) return "";
  if (home.size() > 1 && home.ends_with('/')) home.pop_back();
  return (home == "/" ? "" : home) + "/.local/share/vuvorozo";
}

std::string EarlierDataFolderNote(const std::string& folder) {
  struct stat st;
  if (stat(kEarlierDataFolder, &st) != 0 || !S_ISDIR(st.st_mode)) return "";
  return std::string("./") + kEarlierDataFolder +
         " here is the data folder of earlier releases, which is no longer "
         "the default: give --data " +
         kEarlierDataFolder + " (or set $VUVOROZO_DATA), or move it to " +
         Printable(folder);
}

std::string PathFromRoot(const std::string& folder) {
  if (folder.starts_with('/')) return folder;
  char* real = realpath(folder.c_str(), nullptr);
  if (real != nullptr) {
    std::string path = real;
    std::free(real);
    return path;
  }
  std::vector<char> here(4096);
  if (getcwd(here.data(), here.size()) == nullptr) return folder;
  std::string path = here.data();
  std::string_view rest = folder;
  while (rest.starts_with("./")) rest.remove_prefix(2);
  return (path == "/" ? "" : path) + "/" + std::string(rest);
}

FolderToMake::FolderToMake(std::string folder, bool creates)
    : folder_(std::move(folder)), creates_(creates) {}

FolderToMake::~FolderToMake() = default;

StoreStatus FolderToMake::Made() {
  if (made_ != nullptr) return StoreStatus::Ok();
  if (!creates_) return Absent();
  if (!MakeFolder(folder_)) {
    return refhost::SystemFailure(
        Printable(folder_) + ": cannot create the data folder", errno);
  }
  PrintDetail("created the data folder " + Printable(folder_));
  made_ = refhost::NewSqliteCatalogStore(folder_);
  if (batching()) made_->BeginBatch();
  return StoreStatus::Ok();
}

StoreStatus FolderToMake::DoListLibraries(std::vector<std::string>* librefs) {
  if (made_) return made_->ListLibraries(librefs);
  return creates_ ? StoreStatus::Ok() : Absent();
}

StoreStatus FolderToMake::DoListCatalogs(std::string_view libref,
                                         std::vector<CatalogInfo>* catalogs) {
  return made_ ? made_->ListCatalogs(libref, catalogs) : Absent();
}

StoreStatus FolderToMake::DoDeleteCatalog(std::string_view libref,
                                          std::string_view catalog,
                                          bool with_entries) {
  return made_ ? made_->DeleteCatalog(libref, catalog, with_entries) : Absent();
}

StoreStatus FolderToMake::DoFindLibrary(std::string_view libref) {
  return made_ ? made_->FindLibrary(libref) : Absent();
}

StoreStatus FolderToMake::DoCreateLibrary(std::string_view libref) {
  if (StoreStatus s = Made(); !s.ok()) return s;
  return made_->CreateLibrary(libref);
}

StoreStatus FolderToMake::DoFindCatalog(std::string_view libref,
                                        std::string_view catalog) {
  return made_ ? made_->FindCatalog(libref, catalog) : Absent();
}

StoreStatus FolderToMake::DoCreateCatalog(std::string_view libref,
                                          std::string_view catalog) {
  // A name the store would refuse makes no folder.
  if (StoreStatus s = refhost::CheckNewName(catalog);
      !s.ok() && made_ == nullptr) {
    return s;
  }
  if (StoreStatus s = Made(); !s.ok()) return s;
  return made_->CreateCatalog(libref, catalog);
}

StoreStatus FolderToMake::DoFindEntry(std::string_view libref,
                                      std::string_view catalog,
                                      std::string_view name,
                                      std::string_view type, EntryInfo* info) {
  return made_ ? made_->FindEntry(libref, catalog, name, type, info) : Absent();
}

StoreStatus FolderToMake::DoDeleteEntry(std::string_view libref,
                                        std::string_view catalog,
                                        std::string_view name,
                                        std::string_view type) {
  return made_ ? made_->DeleteEntry(libref, catalog, name, type) : Absent();
}

StoreStatus FolderToMake::DoOpenListing(
    std::string_view libref, std::string_view catalog,
    std::unique_ptr<refhost::EntryListing>* listing) {
  return made_ ? made_->OpenListing(libref, catalog, listing) : Absent();
}

void FolderToMake::DoBatching(bool on) {
  if (made_ == nullptr) return;
  if (on) {
    made_->BeginBatch();
  } else {
    made_->EndBatch();
  }
}

StoreStatus FolderToMake::DoFlushBatch() {
  return made_ ? made_->FlushBatch() : StoreStatus::Ok();
}

const refhost::BatchLedger& FolderToMake::DoLedger() const {
  return made_ ? made_->ledger() : CatalogStore::DoLedger();
}

// An entry is opened in a catalog that exists: with no folder there is none.
StoreStatus FolderToMake::DoOpenEntry(std::string_view libref,
                                      std::string_view catalog,
                                      std::string_view name,
                                      std::string_view type, OpenIntent intent,
                                      std::string_view description,
                                      std::unique_ptr<EntryCursor>* cursor) {
  return made_ ? made_->OpenEntry(libref, catalog, name, type, intent,
                                  description, cursor)
               : Absent();
}

StoreStatus FolderToMake::DoCheckLibrary(std::string_view libref,
                                         LibraryCheck* check) {
  return made_ ? made_->CheckLibrary(libref, check) : Absent();
}

StoreStatus FolderToMake::DoCompactLibrary(std::string_view libref,
                                           LibraryCompaction* compaction) {
  return made_ ? made_->CompactLibrary(libref, compaction) : Absent();
}

StoreStatus FolderToMake::DoChangeStamp(std::string_view libref,
                                        std::string* stamp) {
  return made_ ? made_->ChangeStamp(libref, stamp) : Absent();
}

}  // namespace cli
