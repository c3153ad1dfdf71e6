// The failing store and its cursors: each call, once its arguments passed
// the checks every store makes, asks whether its kind of operation is to
// fail, then passes through.

#include "support/faulty_store.h"

#include <utility>

using refhost::CatalogInfo;
using refhost::EntryCursor;
using refhost::EntryInfo;
using refhost::EntryListing;
using refhost::OpenIntent;
using refhost::RecordView;
using refhost::StoreStatus;

namespace {

class FaultyCursor final : public EntryCursor {
 public:
  FaultyCursor(std::unique_ptr<EntryCursor> base,
               std::shared_ptr<FaultyStore::Faults> faults)
      : base_(std::move(base)), faults_(std::move(faults)) {}

  uint64_t position() const override { return base_->position(); }
  uint64_t record_count() const override { return base_->record_count(); }
  uint32_t longest_record() const override { return base_->longest_record(); }
  bool writable() const override { return base_->writable(); }

  StoreStatus Read(RecordView* record) override {
    if (faults_->Failing(FaultyStore::kRead)) return faults_->failure;
    return base_->Read(record);
  }
  void SetHostAttributes(std::string attributes) override {
    base_->SetHostAttributes(std::move(attributes));
  }

 private:
  StoreStatus DoSeek(uint64_t position) override {
    if (faults_->Failing(FaultyStore::kSeek)) return faults_->failure;
    return base_->Seek(position);
  }
  StoreStatus DoWrite(const void* data, uint32_t length,
                      uint16_t kind) override {
    if (faults_->Failing(FaultyStore::kWrite)) return faults_->failure;
    return base_->Write(data, length, kind);
  }
  StoreStatus DoCommit() override {
    if (faults_->Failing(FaultyStore::kCommit)) return faults_->failure;
    return base_->Commit();
  }

  std::unique_ptr<EntryCursor> base_;
  std::shared_ptr<FaultyStore::Faults> faults_;
};

}  // namespace

FaultyStore::FaultyStore(std::unique_ptr<refhost::CatalogStore> base)
    : base_(std::move(base)), faults_(std::make_shared<Faults>()) {}

void FaultyStore::Fail(uint32_t operations, StoreStatus failure) {
  faults_->mask = operations;
  faults_->failure = std::move(failure);
}

StoreStatus FaultyStore::DoListLibraries(std::vector<std::string>* librefs) {
  if (faults_->Failing(kList)) return faults_->failure;
  return base_->ListLibraries(librefs);
}

StoreStatus FaultyStore::DoListCatalogs(std::string_view libref,
                                        std::vector<CatalogInfo>* catalogs) {
  if (faults_->Failing(kList)) return faults_->failure;
  return base_->ListCatalogs(libref, catalogs);
}

StoreStatus FaultyStore::DoDeleteCatalog(std::string_view libref,
                                         std::string_view catalog,
                                         bool with_entries) {
  if (faults_->Failing(kDelete)) return faults_->failure;
  return base_->DeleteCatalog(libref, catalog, with_entries);
}

StoreStatus FaultyStore::DoCheckLibrary(std::string_view libref,
                                        refhost::LibraryCheck* check) {
  if (faults_->Failing(kUpkeep)) return faults_->failure;
  return base_->CheckLibrary(libref, check);
}

StoreStatus FaultyStore::DoCompactLibrary(
    std::string_view libref, refhost::LibraryCompaction* compaction) {
  if (faults_->Failing(kUpkeep)) return faults_->failure;
  return base_->CompactLibrary(libref, compaction);
}

StoreStatus FaultyStore::DoChangeStamp(std::string_view libref,
                                       std::string* stamp) {
  if (faults_->Failing(kFind)) return faults_->failure;
  return base_->ChangeStamp(libref, stamp);
}

StoreStatus FaultyStore::DoFindLibrary(std::string_view libref) {
  if (faults_->Failing(kFind)) return faults_->failure;
  return base_->FindLibrary(libref);
}

StoreStatus FaultyStore::DoCreateLibrary(std::string_view libref) {
  if (faults_->Failing(kCreate)) return faults_->failure;
  return base_->CreateLibrary(libref);
}

StoreStatus FaultyStore::DoFindCatalog(std::string_view libref,
                                       std::string_view catalog) {
  if (faults_->Failing(kFind)) return faults_->failure;
  return base_->FindCatalog(libref, catalog);
}

StoreStatus FaultyStore::DoCreateCatalog(std::string_view libref,
                                         std::string_view catalog) {
  if (faults_->Failing(kCreate)) return faults_->failure;
  return base_->CreateCatalog(libref, catalog);
}

StoreStatus FaultyStore::DoFindEntry(std::string_view libref,
                                     std::string_view catalog,
                                     std::string_view name,
                                     std::string_view type, EntryInfo* info) {
  if (faults_->Failing(kFind)) return faults_->failure;
  return base_->FindEntry(libref, catalog, name, type, info);
}

StoreStatus FaultyStore::DoDeleteEntry(std::string_view libref,
                                       std::string_view catalog,
                                       std::string_view name,
                                       std::string_view type) {
  if (faults_->Failing(kDelete)) return faults_->failure;
  return base_->DeleteEntry(libref, catalog, name, type);
}

StoreStatus FaultyStore::DoOpenListing(std::string_view libref,
                                       std::string_view catalog,
                                       std::unique_ptr<EntryListing>* listing) {
  if (faults_->Failing(kList)) return faults_->failure;
  return base_->OpenListing(libref, catalog, listing);
}

StoreStatus FaultyStore::DoOpenEntry(std::string_view libref,
                                     std::string_view catalog,
                                     std::string_view name,
                                     std::string_view type, OpenIntent intent,
                                     std::string_view description,
                                     std::unique_ptr<EntryCursor>* cursor) {
  if (faults_->Failing(kOpen)) return faults_->failure;
  std::unique_ptr<EntryCursor> base;
  StoreStatus status =
      base_->OpenEntry(libref, catalog, name, type, intent, description, &base);
  if (status.ok()) {
    *cursor = std::make_unique<FaultyCursor>(std::move(base), faults_);
  }
  return status;
}
