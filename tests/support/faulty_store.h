// A CatalogStore that passes every call to a real store, except the kinds of
// operation a test has told it to fail: those answer a chosen failure
// (an I/O error unless told otherwise) without reaching the store, so the
// store keeps what it held. Keys a store refuses are refused before that,
// as by every store. Cursors opened through it fail the same way,
// including those opened before the failure was set.
//
// Tests use it under the library services to follow a store failure to
// the host status the module receives and passes on.

#ifndef VUVOROZO_TESTS_SUPPORT_FAULTY_STORE_H_
#define VUVOROZO_TESTS_SUPPORT_FAULTY_STORE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "refhost/store/catalog_store.h"

class FaultyStore : public refhost::CatalogStore {
 public:
  // Kinds of operation, as bits of a mask.
  enum Operation : uint32_t {
    kFind = 1u << 0,    // FindLibrary, FindCatalog, FindEntry, ChangeStamp
    kCreate = 1u << 1,  // CreateLibrary, CreateCatalog
    kList = 1u << 2,    // List, ListLibraries, ListCatalogs
    kDelete = 1u << 3,  // DeleteEntry, DeleteCatalog
    kOpen = 1u << 4,    // OpenEntry
    kSeek = 1u << 5,    // a cursor's Seek
    kRead = 1u << 6,    // a cursor's Read
    kWrite = 1u << 7,   // a cursor's Write
    kCommit = 1u << 8,  // a cursor's Commit
    kUpkeep = 1u << 9,  // CheckLibrary, CompactLibrary
  };

  explicit FaultyStore(std::unique_ptr<refhost::CatalogStore> base);

  // From now on every operation in the mask answers failure, until Heal.
  void Fail(uint32_t operations,
            refhost::StoreStatus failure =
                refhost::StoreStatus::IoError("injected failure"));
  // Every operation reaches the store again.
  void Heal() { faults_->mask = 0; }
  // Failures answered so far.
  int64_t failures() const { return faults_->count; }

  // What the store and its cursors share: the mask and the answer.
  struct Faults {
    uint32_t mask = 0;
    refhost::StoreStatus failure;
    int64_t count = 0;
    // True, counting the failure, when operation is to fail.
    bool Failing(uint32_t operation) {
      if ((mask & operation) == 0) return false;
      ++count;
      return true;
    }
  };

 private:
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

  std::unique_ptr<refhost::CatalogStore> base_;
  std::shared_ptr<Faults> faults_;
};

#endif  // VUVOROZO_TESTS_SUPPORT_FAULTY_STORE_H_
