// The data folder: where it is when no flag or variable names one (the
// user's own data folder, never the folder a command happens to run in),
// and a store over a data folder that is not there yet, which the first
// change makes. A command that only reads, or that changes only what is
// there, never makes a folder: it says there is none.

#ifndef VUVOROZO_CLI_DATA_FOLDER_H_
#define VUVOROZO_CLI_DATA_FOLDER_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "refhost/store/catalog_store.h"

namespace cli {

// The folder earlier releases kept their libraries in by default, in the
// folder the command ran in.
inline constexpr char kEarlierDataFolder[] = "vuvorozo-data";

// $XDG_DATA_HOME/vuvorozo when that variable holds a path from the root,
// else <home>/.local/share/vuvorozo ($HOME, else the user's entry in the
// password database); empty when the user has no home.
std::string DefaultDataFolder();

// What to tell a user of the default folder whose libraries may still be
// in ./vuvorozo-data, the default of earlier releases: a sentence naming
// both and how to go on, when that folder is here; empty otherwise.
std::string EarlierDataFolderNote(const std::string& folder);

// The path from the root of folder, which need not exist: the store keeps
// finding it when the program changes its working folder (a mount does).
std::string PathFromRoot(const std::string& folder);

// The store of a data folder that is not there (folder, a path from the
// root). Until something makes it, it answers as a folder with nothing in
// it: no library, nothing found (NotFound); the list of libraries is empty
// for a command that creates, NotFound for any other, so that a folder
// that is not there never lists as an empty one. For a command that
// creates, the first call that makes something (a library, a catalog, an
// entry written) makes the folder and its parents, says so with -v, and
// from then on every call goes to a SQLite store there; a folder that
// cannot be made fails that call with the system's reason.
class FolderToMake final : public refhost::CatalogStore {
 public:
  FolderToMake(std::string folder, bool creates);
  ~FolderToMake() override;

  // Whether the folder is still not there: no call made it.
  bool absent() const { return made_ == nullptr; }

 private:
  // The store in the folder, made now for a command that creates; the
  // status of the folder's making (NotFound for any other command).
  refhost::StoreStatus Made();

  refhost::StoreStatus DoListLibraries(
      std::vector<std::string>* librefs) override;
  refhost::StoreStatus DoListCatalogs(
      std::string_view libref,
      std::vector<refhost::CatalogInfo>* catalogs) override;
  refhost::StoreStatus DoDeleteCatalog(std::string_view libref,
                                       std::string_view catalog,
                                       bool with_entries) override;
  refhost::StoreStatus DoFindLibrary(std::string_view libref) override;
  refhost::StoreStatus DoCreateLibrary(std::string_view libref) override;
  refhost::StoreStatus DoFindCatalog(std::string_view libref,
                                     std::string_view catalog) override;
  refhost::StoreStatus DoCreateCatalog(std::string_view libref,
                                       std::string_view catalog) override;
  refhost::StoreStatus DoFindEntry(std::string_view libref,
                                   std::string_view catalog,
                                   std::string_view name, std::string_view type,
                                   refhost::EntryInfo* info) override;
  refhost::StoreStatus DoDeleteEntry(std::string_view libref,
                                     std::string_view catalog,
                                     std::string_view name,
                                     std::string_view type) override;
  refhost::StoreStatus DoOpenListing(
      std::string_view libref, std::string_view catalog,
      std::unique_ptr<refhost::EntryListing>* listing) override;
  refhost::StoreStatus DoOpenEntry(
      std::string_view libref, std::string_view catalog, std::string_view name,
      std::string_view type, refhost::OpenIntent intent,
      std::string_view description,
      std::unique_ptr<refhost::EntryCursor>* cursor) override;
  refhost::StoreStatus DoCheckLibrary(std::string_view libref,
                                      refhost::LibraryCheck* check) override;
  refhost::StoreStatus DoCompactLibrary(
      std::string_view libref, refhost::LibraryCompaction* compaction) override;
  refhost::StoreStatus DoChangeStamp(std::string_view libref,
                                     std::string* stamp) override;
  // Batches are the store's in the folder, once it is made.
  void DoBatching(bool on) override;
  refhost::StoreStatus DoFlushBatch() override;
  const refhost::BatchLedger& DoLedger() const override;

  std::string folder_;
  bool creates_;
  std::unique_ptr<refhost::CatalogStore> made_;  // once the folder is made
};

}  // namespace cli

#endif  // VUVOROZO_CLI_DATA_FOLDER_H_
