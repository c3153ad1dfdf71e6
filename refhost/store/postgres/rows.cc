// What the store keeps on the server, read and changed through the
// connection: libraries and their generations, catalogs, entries, and the
// versions of entries with their record pages.

#include <memory>
#include <string>
#include <vector>

#include "refhost/store/packed_attributes.h"
#include "refhost/store/postgres/server_connection.h"

namespace refhost {
namespace postgres {

const char* EntryColumns(int version) {
  return version >= 3 ? "e.name, e.type, e.description, e.created, "
                        "e.modified, v.record_count, v.longest, "
                        "e.host_attributes, e.version_id, e.attributes_packed"
                      : "e.name, e.type, e.description, e.created, "
                        "e.modified, v.record_count, v.longest, "
                        "e.host_attributes, e.version_id, false";
}

bool EntryOf(const Result& r, int row, int at, EntryRow* out,
             std::string* why) {
  out->info.name = std::string(r.Bytes(row, at));
  out->info.type = std::string(r.Bytes(row, at + 1));
  out->info.description = std::string(r.Bytes(row, at + 2));
  out->info.created_micros = r.Int(row, at + 3);
  out->info.modified_micros = r.Int(row, at + 4);
  out->info.record_count = r.Int(row, at + 5);
  out->info.longest_record = (int32_t)r.Int(row, at + 6);
  std::string_view attributes = r.Bytes(row, at + 7);
  out->version = r.Int(row, at + 8);
  if (r.Int(row, at + 9) != 0) {
    return UnpackHostAttributes(attributes.data(), attributes.size(),
                                out->info.name, &out->info.host_attributes,
                                why);
  }
  out->info.host_attributes = std::string(attributes);
  return true;
}

StoreStatus ServerConnection::ListLibraries(std::vector<std::string>* librefs) {
  int version;
  if (StoreStatus s = Inspect(&version); !s.ok() || version == 0) return s;
  Result r;
  if (StoreStatus s =
          Run("SELECT libref FROM vuvorozo.libraries ORDER BY libref", Params(),
              &r);
      !s.ok()) {
    return s;
  }
  for (int i = 0; i < r.rows(); ++i) {
    librefs->push_back(std::string(r.Bytes(i, 0)));
  }
  return StoreStatus::Ok();
}

// The library's id; NotFound unless create, which makes the schema and
// the library when absent.
StoreStatus ServerConnection::LibraryId(const std::string& libref, bool create,
                                        int64_t* id) {
  auto it = libraries_.find(libref);
  if (it != libraries_.end()) {
    *id = it->second;
    return StoreStatus::Ok();
  }
  int version;
  if (StoreStatus s = Inspect(&version); !s.ok()) return s;
  Result r;
  if (version != 0) {
    if (StoreStatus s =
            Run("SELECT id FROM vuvorozo.libraries WHERE libref = $1",
                Params().Text(libref), &r);
        !s.ok()) {
      return s;
    }
  }
  if (r.rows() == 0) {
    if (!create) return StoreStatus::NotFound("no such library");
    if (options_.read_only) return ReadOnlyRefusal();
    if (StoreStatus s = MakeSchema(); !s.ok()) return s;
    // Processes that make the library at once all find the one made.
    if (StoreStatus s =
            Run("WITH made AS (INSERT INTO vuvorozo.libraries (libref) VALUES "
                "($1) ON CONFLICT (libref) DO NOTHING RETURNING id) SELECT id "
                "FROM made UNION ALL SELECT id FROM vuvorozo.libraries WHERE "
                "libref = $1",
                Params().Text(libref), &r);
        !s.ok()) {
      return s;
    }
    if (r.rows() == 0) {
      return StoreStatus::IoError(shown_ + ": library " + libref +
                                  " could not be made");
    }
  }
  *id = libraries_[libref] = r.Int(0, 0);
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::Generation(int64_t library, std::string* stamp) {
  Result r;
  if (StoreStatus s =
          Run("SELECT generation FROM vuvorozo.libraries WHERE id = $1",
              Params().Int(library), &r);
      !s.ok()) {
    return s;
  }
  if (r.rows() == 0) return StoreStatus::NotFound("no such library");
  *stamp = std::to_string(r.Int(0, 0));
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::CatalogId(int64_t library, std::string_view name,
                                        int64_t* id) {
  Result r;
  if (StoreStatus s =
          Run("SELECT id FROM vuvorozo.catalogs WHERE library_id = $1 AND "
              "name = $2",
              Params().Int(library).Bytes(name), &r);
      !s.ok()) {
    return s;
  }
  if (r.rows() == 0) return StoreStatus::NotFound("no such catalog");
  *id = r.Int(0, 0);
  return StoreStatus::Ok();
}

// Inside a transaction: the catalog's id, made when absent.
StoreStatus ServerConnection::InsertCatalog(int64_t library,
                                            std::string_view name, int64_t* id,
                                            bool* made) {
  Result r;
  if (StoreStatus s =
          Run("WITH made AS (INSERT INTO vuvorozo.catalogs (library_id, name) "
              "VALUES ($1, $2) ON CONFLICT (library_id, name) DO NOTHING "
              "RETURNING id) SELECT id, true FROM made UNION ALL SELECT id, "
              "false FROM vuvorozo.catalogs WHERE library_id = $1 AND name = "
              "$2",
              Params().Int(library).Bytes(name), &r);
      !s.ok()) {
    return s;
  }
  if (r.rows() == 0) {
    return StoreStatus::IoError(shown_ + ": a catalog could not be made");
  }
  *id = r.Int(0, 0);
  *made = r.Int(0, 1) != 0;
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::Bump(int64_t library) {
  return Run(
      "UPDATE vuvorozo.libraries SET generation = generation + 1 WHERE "
      "id = $1",
      Params().Int(library));
}

// Removes the library's versions that are not live and that no one holds
// (dropped versions no reader pins, staging versions of writers whose
// connection ended); inside the caller's transaction.
StoreStatus ServerConnection::RemoveUnused(int64_t library) {
  return Run("SELECT vuvorozo.remove_unused($1, $2::int8[], $3)",
             Params().Int(library).Ints(OwnVersions()).Int(kVersionLock));
}

// Inside a transaction: marks the entry's version dropped and deletes
// the entry's row; *found false when there was none.
StoreStatus ServerConnection::DropEntry(int64_t catalog, const EntryName& entry,
                                        bool* found) {
  Result r;
  if (StoreStatus s = Run(
          "WITH gone AS (DELETE FROM vuvorozo.entries WHERE catalog_id = $1 "
          "AND name = $2 AND type = $3 RETURNING version_id) UPDATE "
          "vuvorozo.versions SET state = 2 WHERE id IN (SELECT version_id "
          "FROM gone) RETURNING id",
          Params().Int(catalog).Bytes(entry.name).Bytes(entry.type), &r);
      !s.ok()) {
    return s;
  }
  *found = r.rows() > 0;
  return StoreStatus::Ok();
}

// The entry's committed row, found by its names in one statement;
// NotFound, with *catalog_found saying whether the catalog was there,
// when absent. With pin, the version is pinned in the same statement
// when it can be (*pinned), which the caller must confirm with a second
// look: a removal may have taken the version in between.
StoreStatus ServerConnection::FindEntry(int64_t library, const EntryName& entry,
                                        EntryRow* row, bool pin, bool* pinned,
                                        bool* catalog_found) {
  int version;
  if (StoreStatus s = Inspect(&version); !s.ok()) return s;
  auto statement = [](int version) {
    return std::string("SELECT c.id, ") + EntryColumns(version) +
           ", CASE WHEN $5 AND e.version_id IS NOT NULL THEN "
           "pg_try_advisory_lock_shared($6 + e.version_id) END FROM "
           "vuvorozo.catalogs c LEFT JOIN (vuvorozo.entries e JOIN "
           "vuvorozo.versions v ON v.id = e.version_id) ON e.catalog_id = "
           "c.id AND e.name = $3 AND e.type = $4 WHERE c.library_id = $1 AND "
           "c.name = $2";
  };
  static const std::string sql[] = {statement(2), statement(3)};
  constexpr int kPinned = 1 + kEntryColumnCount;
  Result r;
  if (StoreStatus s = Run(sql[version >= 3],
                          Params()
                              .Int(library)
                              .Bytes(entry.catalog)
                              .Bytes(entry.name)
                              .Bytes(entry.type)
                              .Text(pin ? "true" : "false")
                              .Int(kVersionLock),
                          &r);
      !s.ok()) {
    return s;
  }
  if (catalog_found != nullptr) *catalog_found = r.rows() > 0;
  if (r.rows() == 0) return StoreStatus::NotFound("no such catalog");
  if (r.null(0, 9)) return StoreStatus::NotFound("no such entry");
  std::string why;
  if (!EntryOf(r, 0, 1, row, &why)) {
    // The entry is refused: it is not pinned either.
    if (pin && r.Int(0, kPinned) != 0) {
      ++held_;
      Unlock(kVersionLock + row->version, true);
    }
    return AttributesDamaged(entry, why);
  }
  if (pinned != nullptr) *pinned = pin && r.Int(0, kPinned) != 0;
  if (pin && r.Int(0, kPinned) != 0) {
    ++held_;
    Hold(row->version);
  }
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::ListEntries(int64_t catalog,
                                          std::vector<EntryInfo>* out) {
  int version;
  if (StoreStatus s = Inspect(&version); !s.ok()) return s;
  auto statement = [](int version) {
    return std::string("SELECT ") + EntryColumns(version) +
           ", c.name FROM vuvorozo.entries e JOIN vuvorozo.versions v ON "
           "v.id = e.version_id JOIN vuvorozo.catalogs c ON c.id = "
           "e.catalog_id WHERE e.catalog_id = $1 ORDER BY e.name, e.type";
  };
  static const std::string sql[] = {statement(2), statement(3)};
  Result r;
  if (StoreStatus s = Run(sql[version >= 3], Params().Int(catalog), &r);
      !s.ok()) {
    return s;
  }
  for (int i = 0; i < r.rows(); ++i) {
    EntryRow row;
    std::string why;
    if (!EntryOf(r, i, 0, &row, &why)) {
      return AttributesDamaged({std::string(r.Bytes(i, kEntryColumnCount)),
                                row.info.name, row.info.type},
                               why);
    }
    out->push_back(std::move(row.info));
  }
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::PackAttributes(int64_t library) {
  Result r;
  if (StoreStatus s = Run(
          "SELECT e.catalog_id, e.name, e.type, e.host_attributes FROM "
          "vuvorozo.entries e JOIN vuvorozo.catalogs c ON c.id = "
          "e.catalog_id WHERE c.library_id = $1 AND NOT e.attributes_packed "
          "AND octet_length(e.host_attributes) > 0",
          Params().Int(library), &r);
      !s.ok()) {
    return s;
  }
  // Each row only where it is still what was read: a writer may have
  // committed the entry meanwhile.
  for (int i = 0; i < r.rows(); ++i) {
    std::string packed;
    if (!PackHostAttributes(r.Bytes(i, 3), r.Bytes(i, 1), &packed)) continue;
    if (StoreStatus s =
            Run("UPDATE vuvorozo.entries SET host_attributes = $5, "
                "attributes_packed = true WHERE catalog_id = $1 AND name = $2 "
                "AND type = $3 AND host_attributes = $4 AND NOT "
                "attributes_packed",
                Params()
                    .Int(r.Int(i, 0))
                    .Bytes(r.Bytes(i, 1))
                    .Bytes(r.Bytes(i, 2))
                    .Bytes(r.Bytes(i, 3))
                    .Bytes(packed));
        !s.ok()) {
      return s;
    }
  }
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::AttributesDamaged(const EntryName& entry,
                                                const std::string& why) const {
  return StoreStatus::Corrupt(
      shown_ + ": the library is damaged (entry " + entry.catalog + "." +
      entry.name + "." + entry.type +
      ": its host attributes do not read: " + why + ")");
}

// The page of version holding record number; count is the version's
// record count.
StoreStatus ServerConnection::LoadPage(int64_t version, uint64_t number,
                                       uint64_t count, RecordPage* page) {
  Result r;
  if (StoreStatus s =
          Run("SELECT first, count, longest, data FROM vuvorozo.pages WHERE "
              "version_id = $1 AND first <= $2 ORDER BY first DESC LIMIT 1",
              Params().Int(version).Int((int64_t)number), &r);
      !s.ok()) {
    return s;
  }
  if (r.rows() == 0) {
    return Damaged("record " + std::to_string(number) + " of " +
                   std::to_string(count) + " is missing");
  }
  uint64_t first = (uint64_t)r.Int(0, 0);
  uint32_t records = (uint32_t)r.Int(0, 1);
  std::string why;
  std::string_view data = r.Bytes(0, 3);
  if (!page->Decode(codec_, data.data(), data.size(), first, records,
                    (uint32_t)r.Int(0, 2), &why, Finder())) {
    return Damaged("a stored page is damaged: " + why);
  }
  if (!page->Holds(number)) {
    return Damaged("record " + std::to_string(number) + " of " +
                   std::to_string(count) + " is missing");
  }
  return StoreStatus::Ok();
}

// A version of the library in the given state; a staging version comes
// locked as this connection's (in the statement that makes it, so that
// no removal sees it unlocked).
StoreStatus ServerConnection::NewVersion(int64_t library, VersionState state,
                                         int64_t* version) {
  Result r;
  StoreStatus s =
      state == kStaging
          ? Run("WITH made AS (INSERT INTO vuvorozo.versions (library_id, "
                "state) VALUES ($1, 0) RETURNING id) SELECT id, "
                "pg_advisory_lock($2 + id) IS NULL FROM made",
                Params().Int(library).Int(kVersionLock), &r)
          : Run("INSERT INTO vuvorozo.versions (library_id, state) VALUES "
                "($1, $2) RETURNING id",
                Params().Int(library).Int(state), &r);
  if (!s.ok()) return s;
  *version = r.Int(0, 0);
  if (state == kStaging) {
    ++held_;
    Hold(*version);
  }
  return StoreStatus::Ok();
}

// Copies the pages of base that start before `before` into version;
// *records and *longest receive what they hold.
StoreStatus ServerConnection::CopyPages(int64_t base, int64_t version,
                                        uint64_t before, uint64_t* records,
                                        uint32_t* longest) {
  Result r;
  if (StoreStatus s =
          Run("WITH copied AS (INSERT INTO vuvorozo.pages SELECT $2, first, "
              "count, longest, data FROM vuvorozo.pages WHERE version_id = $1 "
              "AND first < $3 RETURNING count, longest) SELECT "
              "coalesce(sum(count), 0)::int8, coalesce(max(longest), 0)::int8 "
              "FROM copied",
              Params().Int(base).Int(version).Int((int64_t)before), &r);
      !s.ok()) {
    return s;
  }
  *records = (uint64_t)r.Int(0, 0);
  *longest = (uint32_t)r.Int(0, 1);
  return StoreStatus::Ok();
}

namespace {

// Full pages a writer may have on the compressor's threads while it goes
// on: enough to keep both threads busy, each page held meanwhile.
constexpr size_t kPagesAhead = 4;

}  // namespace

StoreStatus ServerConnection::StorePage(int64_t library,
                                        std::string_view catalog,
                                        int64_t version,
                                        const RecordPage& page) {
  if (changing_ > 0) {
    // Inside a transaction: stored at once.
    if (StoreStatus s = EncodePage(library, catalog, page); !s.ok()) return s;
    return DeferPage(version, page.first(), page.count(), page.longest(),
                     codec_.frame());
  }
  FinishEncoding(kPagesAhead);
  CatalogText* text = nullptr;
  if (StoreStatus s = TextFor(library, catalog, &text); !s.ok()) return s;
  std::string content;
  page.Content(&content);
  PageLevel level = codec_.LevelOf(content.size());
  UsableCompressor(&compressor_)
      ->Hand(std::move(content), text != nullptr ? text->dictionary : nullptr,
             level);
  encoding_.push_back({library, std::string(catalog), version, page.first(),
                       page.count(), page.longest()});
  return StoreStatus::Ok();
}

void ServerConnection::FinishEncoding(size_t leave) {
  // Statements the oldest page's bookkeeping runs (a dictionary made or
  // chosen) come before the later pages, which they do not touch.
  if (finishing_) return;
  finishing_ = true;
  while (encoding_.size() > leave) {
    Encoding page = std::move(encoding_.front());
    encoding_.pop_front();
    std::string content, frame, why;
    std::shared_ptr<PageDictionary> used;
    StoreStatus status;
    if (!compressor_->Take(&content, &frame, &used, &why)) {
      status =
          StoreStatus::IoError(shown_ + ": a page could not be packed: " + why);
    }
    CatalogText* text = nullptr;
    if (status.ok()) status = TextFor(page.library, page.catalog, &text);
    if (status.ok()) {
      codec_.content() = std::move(content);
      if (text != nullptr ? text->dictionary != used : used != nullptr) {
        // The catalog has another dictionary since (or the server is
        // another, which may not hold it): packed again with what it has.
        codec_.Use(text != nullptr ? text->dictionary.get() : nullptr);
        if (!codec_.Compress(codec_.content(), &why)) {
          status = StoreStatus::IoError(shown_ +
                                        ": a page could not be packed: " + why);
        }
        codec_.Use(nullptr);
      } else {
        codec_.frame() = std::move(frame);
      }
    }
    if (status.ok()) status = NoteEncoded(page.library, page.catalog, text);
    if (status.ok()) {
      status = DeferPage(page.version, page.first, page.count, page.longest,
                         codec_.frame());
    }
    if (!status.ok()) broken_.emplace(page.version, status);
  }
  finishing_ = false;
}

StoreStatus ServerConnection::DeferPage(int64_t version, uint64_t first,
                                        uint32_t count, uint32_t longest,
                                        const std::string& frame) {
  return Defer(
      "INSERT INTO vuvorozo.pages (version_id, first, count, longest, data) "
      "VALUES ($1, $2, $3, $4, $5)",
      Params()
          .Int(version)
          .Int((int64_t)first)
          .Int(count)
          .Int(longest)
          .Bytes(frame),
      [this, version](const StoreStatus& s) {
        if (!s.ok()) broken_.emplace(version, s);
      });
}

StoreStatus ServerConnection::Broken(int64_t version) const {
  auto it = broken_.find(version);
  return it != broken_.end() ? it->second : StoreStatus::Ok();
}

// Drops the version's pages from record from on (from starts a page);
// *longest receives the longest record of the pages kept.
StoreStatus ServerConnection::DropPagesFrom(int64_t version, uint64_t from,
                                            uint32_t* longest) {
  if (StoreStatus s = Run(
          "DELETE FROM vuvorozo.pages WHERE version_id = $1 AND first >= $2",
          Params().Int(version).Int((int64_t)from));
      !s.ok()) {
    return s;
  }
  Result r;
  if (StoreStatus s = Run(
          "SELECT coalesce(max(longest), 0)::int8 FROM vuvorozo.pages WHERE "
          "version_id = $1",
          Params().Int(version), &r);
      !s.ok()) {
    return s;
  }
  *longest = (uint32_t)r.Int(0, 0);
  return StoreStatus::Ok();
}

// A staging version given up: its lock goes, and a later change of the
// library removes it.
void ServerConnection::ReleaseStaging(int64_t version) {
  Drop(version);
  Unlock(kVersionLock + version, false);
}

}  // namespace postgres
}  // namespace refhost
