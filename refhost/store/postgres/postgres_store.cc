// A CatalogStore on a PostgreSQL server, for hosts on many machines that
// share their libraries. One connection a store, shared by its cursors.
//
// Schema (schema version 1, in vuvorozo.schema_version): one set of tables
// in the schema vuvorozo serves every library of the database, each row
// keyed by its library. A new library is then one row, made by one
// statement that never changes the schema (which would lock out the other
// machines while it ran), and the schema is made, and brought to a later
// schema version, once for all libraries.
//   libraries(id, libref, generation)  -- generation: bumped by every change
//   catalogs(id, library_id, name)
//   versions(id, library_id, state, record_count, longest)
//   pages(version_id, first, count, longest, data)
//   entries(catalog_id, name, type, description, created, modified,
//           version_id, host_attributes)  -- the committed content
// Names, types, descriptions and host attributes are bytea: kept and
// compared byte for byte, whatever the database's encoding and collation.
// pages.data is a record page in its stored form (record_page.h), kept as
// it is (no compression of the server's on top of zstd's).
//
// An entry's content is a version. A writer gathers records in a page in
// memory (paged_cursor.h); a page that fills goes to a staging version
// (state 0). The commit switches the entry to its version (state 1, live)
// and marks the old one dropped (state 2) in one transaction: one call of
// the schema's function commit_entry, so that a commit costs one round
// trip. Small entries need no staging version: the commit makes the live
// version with its page.
//
// Advisory locks of the session (the server releases them when the
// connection ends, whatever machine or process it came from) say who uses
// what:
// - an entry's writer lock (exclusive), held from the open for writing to
//   the commit or end of the cursor: a writer of another connection waits
//   for it, up to the lock timeout; with it the catalog's writer lock
//   (shared), which a deletion of the catalog takes exclusively;
// - a staging version's lock (exclusive, its writer's);
// - a version's pin (shared, each reader's, and an updater's of the
//   version it started from).
// A version that is not live is removed once its lock can be taken: so a
// staging version of a writer whose connection ended goes, and a dropped
// version goes once its last reader is done. A reader reads its version to
// the end without a transaction held open on the server. Locks of one
// connection never stop each other: the store leaves its own staging
// versions and pins out of every removal. Removal happens in every commit
// that drops a version and every deletion, for the library concerned, and
// in CompactLibrary.
//
// The schema is made by the first change of a database that has none (the
// makers take turns on a transaction lock). A schema of a later version is
// refused, never misread; a later version of this program brings an
// earlier schema to its own version in the same place, once.

#include <libpq-fe.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "refhost/store/catalog_store.h"
#include "refhost/store/paged/paged_cursor.h"
#include "refhost/store/paged/record_page.h"

namespace refhost {
namespace {

constexpr int kSchemaVersion = 1;

// Advisory lock keys: a kind in the top bits, a version id or a name's hash
// below.
constexpr int64_t kVersionLock = int64_t{1} << 60;
constexpr int64_t kEntryLock = int64_t{2} << 60;
constexpr int64_t kCatalogLock = int64_t{3} << 60;
constexpr int64_t kSchemaLock = int64_t{4} << 60;
constexpr int64_t kKeyMask = (int64_t{1} << 60) - 1;

enum VersionState { kStaging = 0, kLive = 1, kDropped = 2 };

const char* const kSchema[] = {
    "CREATE SCHEMA IF NOT EXISTS vuvorozo",
    "CREATE TABLE vuvorozo.schema_version (version integer NOT NULL)",
    "CREATE TABLE vuvorozo.libraries (id bigserial PRIMARY KEY, libref text "
    "NOT NULL UNIQUE, generation bigint NOT NULL DEFAULT 0)",
    "CREATE TABLE vuvorozo.catalogs (id bigserial PRIMARY KEY, library_id "
    "bigint NOT NULL REFERENCES vuvorozo.libraries ON DELETE CASCADE, name "
    "bytea NOT NULL, UNIQUE (library_id, name))",
    "CREATE TABLE vuvorozo.versions (id bigserial PRIMARY KEY, library_id "
    "bigint NOT NULL REFERENCES vuvorozo.libraries ON DELETE CASCADE, state "
    "smallint NOT NULL, record_count bigint NOT NULL DEFAULT 0, longest "
    "integer NOT NULL DEFAULT 0)",
    "CREATE INDEX versions_unused ON vuvorozo.versions (library_id) WHERE "
    "state <> 1",
    "CREATE TABLE vuvorozo.pages (version_id bigint NOT NULL REFERENCES "
    "vuvorozo.versions ON DELETE CASCADE, first bigint NOT NULL, count "
    "integer NOT NULL, longest integer NOT NULL, data bytea NOT NULL, "
    "PRIMARY KEY (version_id, first))",
    // A page is compressed already: kept as it is, in the row while it
    // fits the table's page (most pages of text do).
    "ALTER TABLE vuvorozo.pages ALTER COLUMN data SET STORAGE EXTERNAL",
    "ALTER TABLE vuvorozo.pages SET (toast_tuple_target = 8160)",
    "CREATE TABLE vuvorozo.entries (catalog_id bigint NOT NULL REFERENCES "
    "vuvorozo.catalogs ON DELETE CASCADE, name bytea NOT NULL, type bytea "
    "NOT NULL, description bytea NOT NULL, created bigint NOT NULL, "
    "modified bigint NOT NULL, version_id bigint NOT NULL REFERENCES "
    "vuvorozo.versions, host_attributes bytea NOT NULL, PRIMARY KEY "
    "(catalog_id, name, type))",
    // Removes the library's versions that are not live and that no one
    // holds: its lock taken (for the transaction) says so. p_own: versions
    // the caller's own session holds, which its own lock would not keep.
    R"(CREATE FUNCTION vuvorozo.remove_unused(p_library bigint,
    p_own bigint[], p_lock_base bigint) RETURNS void LANGUAGE sql AS $$
  DELETE FROM vuvorozo.versions WHERE id IN (SELECT id FROM (SELECT id
    FROM vuvorozo.versions WHERE library_id = p_library AND state <> 1
    AND id <> ALL (p_own) OFFSET 0) unused
    WHERE pg_try_advisory_xact_lock(p_lock_base + id))
$$)",
    // A writer's commit in one call: the catalog (made again when deleted
    // meanwhile), the version made live with the writer's last page, the
    // entry switched to it, the library's generation bumped, the old version
    // dropped with what no one uses (staging versions of writers whose
    // sessions ended among it), and at last the writer's
    // session locks released (p_unlock, p_unlock_shared). p_writing false: the
    // cursor wrote nothing, and the entry keeps its content (or comes back
    // as the cursor saw it, from p_base, when deleted meanwhile).
    R"(CREATE FUNCTION vuvorozo.commit_entry(p_library bigint,
    p_catalog bytea, p_name bytea, p_type bytea, p_description bytea,
    p_now bigint, p_version bigint, p_writing boolean, p_count bigint,
    p_longest integer, p_attributes bytea, p_base bigint, p_first bigint,
    p_page_count integer, p_page_longest integer, p_page bytea,
    p_own bigint[], p_lock_base bigint, p_unlock bigint[],
    p_unlock_shared bigint[]) RETURNS bigint LANGUAGE plpgsql AS $$
DECLARE
  v_catalog bigint;
  v_current bigint;
  v_version bigint := p_version;
BEGIN
  -- The writer holds the entry's lock: no one else changes its row.
  SELECT c.id, e.version_id INTO v_catalog, v_current
    FROM vuvorozo.catalogs c LEFT JOIN vuvorozo.entries e
    ON e.catalog_id = c.id AND e.name = p_name AND e.type = p_type
    WHERE c.library_id = p_library AND c.name = p_catalog;
  IF v_catalog IS NULL THEN
    INSERT INTO vuvorozo.catalogs (library_id, name) VALUES (p_library,
      p_catalog) ON CONFLICT (library_id, name) DO NOTHING;
    SELECT id INTO v_catalog FROM vuvorozo.catalogs
      WHERE library_id = p_library AND name = p_catalog;
  END IF;
  IF NOT p_writing AND v_current IS NOT NULL THEN
    v_version := v_current;
  ELSIF NOT p_writing AND p_base <> 0 THEN
    WITH made AS (INSERT INTO vuvorozo.versions (library_id, state,
        record_count, longest) VALUES (p_library, 1, p_count, p_longest)
        RETURNING id),
      copied AS (INSERT INTO vuvorozo.pages SELECT made.id, p.first,
        p.count, p.longest, p.data FROM made, vuvorozo.pages p
        WHERE p.version_id = p_base)
    SELECT id INTO v_version FROM made;
  ELSIF v_version = 0 THEN
    WITH made AS (INSERT INTO vuvorozo.versions (library_id, state,
        record_count, longest) VALUES (p_library, 1, p_count, p_longest)
        RETURNING id),
      page AS (INSERT INTO vuvorozo.pages SELECT id, p_first, p_page_count,
        p_page_longest, p_page FROM made WHERE p_page IS NOT NULL)
    SELECT id INTO v_version FROM made;
  ELSE
    WITH page AS (INSERT INTO vuvorozo.pages SELECT p_version, p_first,
        p_page_count, p_page_longest, p_page WHERE p_page IS NOT NULL)
    UPDATE vuvorozo.versions SET state = 1, record_count = p_count,
      longest = p_longest WHERE id = p_version;
    IF NOT FOUND THEN
      RAISE EXCEPTION 'the library is damaged: a writer''s records were taken away'
        USING ERRCODE = 'XX001';
    END IF;
  END IF;
  WITH bump AS (UPDATE vuvorozo.libraries SET generation = generation + 1
      WHERE id = p_library)
  INSERT INTO vuvorozo.entries AS e (catalog_id, name, type, description,
    created, modified, version_id, host_attributes) VALUES (v_catalog,
    p_name, p_type, p_description, p_now, p_now, v_version,
    coalesce(p_attributes, ''::bytea))
    ON CONFLICT (catalog_id, name, type) DO UPDATE SET
    description = CASE WHEN length(p_description) > 0 THEN p_description
      ELSE e.description END,
    modified = p_now, version_id = v_version,
    host_attributes = coalesce(p_attributes, e.host_attributes);
  IF v_current IS NOT NULL AND v_current <> v_version THEN
    UPDATE vuvorozo.versions SET state = 2 WHERE id = v_current;
    PERFORM vuvorozo.remove_unused(p_library, p_own, p_lock_base);
  END IF;
  PERFORM count(*) FROM (SELECT pg_advisory_unlock(k) FROM unnest(p_unlock) k
    UNION ALL SELECT pg_advisory_unlock_shared(k)
    FROM unnest(p_unlock_shared) k) released;
  RETURN v_version;
END $$)",
    "INSERT INTO vuvorozo.schema_version VALUES (1)",
};

int64_t NowMicros() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (int64_t)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

// FNV-1a over the parts, each ended by a zero byte.
int64_t Hash(std::initializer_list<std::string_view> parts) {
  uint64_t h = 1469598103934665603ull;
  for (std::string_view part : parts) {
    for (unsigned char c : part) h = (h ^ c) * 1099511628211ull;
    h = (h ^ 0) * 1099511628211ull;
  }
  return (int64_t)(h & (uint64_t)kKeyMask);
}

// Statement parameters: integers as text, bytes as binary.
class Params {
 public:
  Params& Int(int64_t value) {
    owned_.push_back(std::make_unique<std::string>(std::to_string(value)));
    return Add(owned_.back()->data(), (int)owned_.back()->size(), 0);
  }
  Params& Bytes(std::string_view value) {
    return Add(value.data() != nullptr ? value.data() : "", (int)value.size(),
               1);
  }
  Params& Text(std::string_view value) {
    owned_.push_back(std::make_unique<std::string>(value));
    return Add(owned_.back()->c_str(), 0, 0);
  }
  Params& Null() { return Add(nullptr, 0, 1); }
  // An int8[].
  Params& Ints(const std::vector<int64_t>& values) {
    std::string text = "{";
    for (int64_t v : values) {
      if (text.size() > 1) text += ',';
      text += std::to_string(v);
    }
    return Text(text + "}");
  }

  int size() const { return (int)values_.size(); }
  const char* const* values() const { return values_.data(); }
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  Params& Add(const char* data, int length, int format) {
    values_.push_back(data);
    lengths_.push_back(length);
    formats_.push_back(format);
    return *this;
  }

  std::vector<const char*> values_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
  std::vector<std::unique_ptr<std::string>> owned_;
};

// A statement's result, in binary form; freed when it goes.
class Result {
 public:
  Result() = default;
  ~Result() { PQclear(result_); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;

  void Reset(PGresult* result) {
    PQclear(result_);
    result_ = result;
  }
  int rows() const { return result_ != nullptr ? PQntuples(result_) : 0; }
  bool null(int row, int column) const {
    return PQgetisnull(result_, row, column) != 0;
  }
  // An integer column (int2, int4, int8 or bool), in network order; 0 for
  // null.
  int64_t Int(int row, int column) const {
    const unsigned char* p =
        (const unsigned char*)PQgetvalue(result_, row, column);
    int length = PQgetlength(result_, row, column);
    uint64_t v = 0;
    for (int i = 0; i < length; ++i) v = (v << 8) | p[i];
    if (length == 2) return (int16_t)v;
    if (length == 4) return (int32_t)v;
    return (int64_t)v;
  }
  std::string_view Bytes(int row, int column) const {
    return std::string_view(PQgetvalue(result_, row, column),
                            (size_t)PQgetlength(result_, row, column));
  }
  PGresult* get() const { return result_; }

 private:
  PGresult* result_ = nullptr;
};

struct EntryName {
  std::string catalog;
  std::string name;
  std::string type;
};

struct EntryRow {
  EntryInfo info;
  int64_t version = 0;
};

const char* kEntryColumns =
    "e.name, e.type, e.description, e.created, e.modified, v.record_count, "
    "v.longest, e.host_attributes, e.version_id";

// The entry columns (kEntryColumns) of a row, from column `at` on.
EntryRow EntryOf(const Result& r, int row, int at = 0) {
  EntryRow out;
  out.info.name = std::string(r.Bytes(row, at));
  out.info.type = std::string(r.Bytes(row, at + 1));
  out.info.description = std::string(r.Bytes(row, at + 2));
  out.info.created_micros = r.Int(row, at + 3);
  out.info.modified_micros = r.Int(row, at + 4);
  out.info.record_count = r.Int(row, at + 5);
  out.info.longest_record = (int32_t)r.Int(row, at + 6);
  out.info.host_attributes = std::string(r.Bytes(row, at + 7));
  out.version = r.Int(row, at + 8);
  return out;
}

}  // namespace

bool IsServerStoreUrl(std::string_view text) {
  return text.starts_with("postgresql://") || text.starts_with("postgres://");
}

std::string MaskPassword(std::string_view text) {
  std::string out(text);
  // user:password@ in the authority of every URL.
  for (size_t at = out.find("://"); at != std::string::npos;
       at = out.find("://", at + 3)) {
    size_t start = at + 3;
    size_t end = out.find_first_of("/?# \t\n\"'", start);
    if (end == std::string::npos) end = out.size();
    size_t sign = out.rfind('@', end);
    if (sign == std::string::npos || sign < start) continue;
    size_t colon = out.find(':', start);
    if (colon == std::string::npos || colon > sign) continue;
    out.replace(colon + 1, sign - colon - 1, "***");
  }
  // password=... as a URL parameter or a connection keyword.
  for (size_t at = 0; (at = out.find("password=", at)) != std::string::npos;) {
    size_t start = at + 9;
    if (start < out.size() && out[start] == '\'') {
      size_t end = out.find('\'', start + 1);
      end = end == std::string::npos ? out.size() : end + 1;
      out.replace(start, end - start, "***");
    } else {
      size_t end = out.find_first_of("& \t\n\"", start);
      if (end == std::string::npos) end = out.size();
      out.replace(start, end - start, "***");
    }
    at = start + 3;
  }
  return out;
}

std::string ServerClientVersion() {
  int v = PQlibVersion();
  return std::to_string(v / 10000) + "." + std::to_string(v % 10000);
}

namespace {

// One connection to the server, shared by a store and its cursors.
class ServerConnection {
 public:
  ServerConnection(std::string url, const StoreOptions& options)
      : url_(std::move(url)), shown_(MaskPassword(url_)), options_(options) {
    char* error = nullptr;
    if (PQconninfoOption* parsed = PQconninfoParse(url_.c_str(), &error)) {
      for (PQconninfoOption* o = parsed; o->keyword != nullptr; ++o) {
        if (std::strcmp(o->keyword, "password") == 0 && o->val != nullptr) {
          password_ = o->val;
        }
      }
      PQconninfoFree(parsed);
    }
    PQfreemem(error);
  }
  ~ServerConnection() {
    if (pg_ != nullptr) PQfinish(pg_);
  }
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  const std::string& shown() const { return shown_; }
  bool read_only() const { return options_.read_only; }
  const StoreOptions& options() const { return options_; }

  StoreStatus ReadOnlyRefusal() const {
    return StoreStatus::ReadOnly(shown_ + ": opened for reading only");
  }

  // Connects when not connected; again when the connection was lost and
  // nothing of this store's was held on it.
  StoreStatus Ready() {
    if (pg_ != nullptr && PQstatus(pg_) == CONNECTION_OK) {
      return StoreStatus::Ok();
    }
    if (pg_ != nullptr) {
      if (held_ > 0) {
        return StoreStatus::IoError(
            shown_ + ": the connection to the server was lost: " +
            Masked(PQerrorMessage(pg_)));
      }
      PQfinish(pg_);
      pg_ = nullptr;
      statements_.clear();
      schema_version_ = -1;
    }
    pg_ = PQconnectdb(url_.c_str());
    if (PQstatus(pg_) != CONNECTION_OK) {
      StoreStatus s =
          StoreStatus::IoError(shown_ + ": cannot connect to the server: " +
                               Masked(PQerrorMessage(pg_)));
      PQfinish(pg_);
      pg_ = nullptr;
      return s;
    }
    PQsetNoticeProcessor(
        pg_, [](void*, const char*) {}, nullptr);
    if (options_.read_only) {
      return Exec("SET default_transaction_read_only = on");
    }
    return StoreStatus::Ok();
  }

  std::string Version() const {
    int v = PQserverVersion(pg_);
    return std::to_string(v / 10000) + "." + std::to_string(v % 10000);
  }

  // --- Statements -------------------------------------------------------

  // Runs a statement (prepared on its first use on this connection).
  StoreStatus Run(const std::string& sql, const Params& params,
                  Result* result = nullptr) {
    if (StoreStatus s = Ready(); !s.ok()) return s;
    auto it = statements_.find(sql);
    if (it == statements_.end()) {
      std::string name = "s" + std::to_string(statements_.size());
      Result prepared;
      prepared.Reset(
          PQprepare(pg_, name.c_str(), sql.c_str(), params.size(), nullptr));
      if (StoreStatus s = StatusOf(prepared); !s.ok()) return s;
      it = statements_.emplace(sql, name).first;
    }
    Result local;
    Result* r = result != nullptr ? result : &local;
    r->Reset(PQexecPrepared(pg_, it->second.c_str(), params.size(),
                            params.values(), params.lengths(), params.formats(),
                            1));
    return StatusOf(*r);
  }

  // Runs SQL text without parameters.
  StoreStatus Exec(const std::string& sql, Result* result = nullptr) {
    if (pg_ == nullptr) {
      if (StoreStatus s = Ready(); !s.ok()) return s;
    }
    Result local;
    Result* r = result != nullptr ? result : &local;
    r->Reset(PQexecParams(pg_, sql.c_str(), 0, nullptr, nullptr, nullptr,
                          nullptr, 1));
    return StatusOf(*r);
  }

  // Runs body in one transaction, rolled back when body or the commit
  // fails.
  template <typename Body>
  StoreStatus Change(Body&& body) {
    if (options_.read_only) return ReadOnlyRefusal();
    if (StoreStatus s = Ready(); !s.ok()) return s;
    if (StoreStatus s = Exec("BEGIN"); !s.ok()) return s;
    StoreStatus status = body();
    if (status.ok()) status = Exec("COMMIT");
    if (!status.ok()) Exec("ROLLBACK");
    return status;
  }

  // --- Locks ------------------------------------------------------------

  // Takes session locks (key, shared), waiting up to the lock timeout for
  // them all; Busy with busy after it, holding none.
  using Keys = std::vector<std::pair<int64_t, bool>>;
  // With probe (library, catalog name): NotFound, holding none, once the
  // catalog is seen absent.
  StoreStatus Lock(const Keys& keys, const std::string& busy,
                   std::optional<std::pair<int64_t, std::string_view>> probe =
                       std::nullopt) {
    std::vector<bool> held(keys.size(), false);
    int waited = 0;
    for (int pause = 2;; pause = std::min(pause * 2, 50)) {
      std::string sql;
      Params params;
      std::vector<size_t> asked;
      for (size_t i = 0; i < keys.size(); ++i) {
        if (held[i]) continue;
        sql += sql.empty() ? "SELECT " : ", ";
        sql += keys[i].second ? "pg_try_advisory_lock_shared($"
                              : "pg_try_advisory_lock($";
        sql += std::to_string(asked.size() + 1) + ")";
        params.Int(keys[i].first);
        asked.push_back(i);
      }
      if (probe) {
        int n = (int)asked.size();
        sql += ", (SELECT id FROM vuvorozo.catalogs WHERE library_id = $" +
               std::to_string(n + 1) + " AND name = $" + std::to_string(n + 2) +
               ")";
        params.Int(probe->first).Bytes(probe->second);
      }
      Result r;
      if (StoreStatus s = Run(sql, params, &r); !s.ok()) {
        Release(keys, held);
        return s;
      }
      bool all = true;
      for (size_t k = 0; k < asked.size(); ++k) {
        if (r.Int(0, (int)k) != 0) {
          held[asked[k]] = true;
          ++held_;
        } else {
          all = false;
        }
      }
      if (probe && r.null(0, (int)asked.size())) {
        Release(keys, held);
        return StoreStatus::NotFound("no such catalog");
      }
      if (all) return StoreStatus::Ok();
      if (waited >= options_.lock_timeout_ms) {
        Release(keys, held);
        return StoreStatus::Busy(shown_ + ": " + busy);
      }
      usleep(pause * 1000);
      waited += pause;
    }
  }
  StoreStatus Lock(int64_t key, bool shared, const std::string& busy) {
    return Lock(Keys{{key, shared}}, busy);
  }
  // Best effort: a lost connection released them already.
  void Unlock(const Keys& keys) {
    std::string sql;
    Params params;
    for (const auto& [key, shared] : keys) {
      if (held_ > 0) --held_;
      sql += sql.empty() ? "SELECT " : ", ";
      sql += shared ? "pg_advisory_unlock_shared($" : "pg_advisory_unlock($";
      sql += std::to_string(params.size() + 1) + ")";
      params.Int(key);
    }
    if (sql.empty() || pg_ == nullptr || PQstatus(pg_) != CONNECTION_OK) {
      return;
    }
    Run(sql, params);
  }
  void Unlock(int64_t key, bool shared) { Unlock(Keys{{key, shared}}); }
  // Counts keys as released by the server's own work (a commit's).
  void Unlocked(const Keys& keys) {
    held_ -= std::min(held_, (int)keys.size());
  }
  // Unlocks those of keys that held says were taken.
  void Release(const Keys& keys, const std::vector<bool>& held) {
    Keys taken;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (held[i]) taken.push_back(keys[i]);
    }
    Unlock(taken);
  }

  // Versions this connection holds (staging or pinned), kept out of every
  // removal.
  void Hold(int64_t version) { ++own_[version]; }
  void Drop(int64_t version) {
    auto it = own_.find(version);
    if (it != own_.end() && --it->second == 0) own_.erase(it);
  }
  std::vector<int64_t> OwnVersions() const {
    std::vector<int64_t> out;
    for (const auto& [version, count] : own_) out.push_back(version);
    return out;
  }

  // --- Schema -----------------------------------------------------------

  // The schema's version; 0 when the database has none yet.
  StoreStatus Inspect(int* version) {
    if (schema_version_ >= 0) {
      *version = schema_version_;
      return StoreStatus::Ok();
    }
    Result r;
    if (StoreStatus s =
            Run("SELECT to_regnamespace('vuvorozo') IS NOT NULL, "
                "to_regclass('vuvorozo.schema_version') IS NOT NULL",
                Params(), &r);
        !s.ok()) {
      return s;
    }
    if (r.Int(0, 0) == 0) {
      *version = 0;
      return StoreStatus::Ok();
    }
    if (r.Int(0, 1) == 0) return NotOurs();
    if (StoreStatus s = Run("SELECT max(version) FROM vuvorozo.schema_version",
                            Params(), &r);
        !s.ok()) {
      return s;
    }
    if (r.null(0, 0)) return NotOurs();
    int found = (int)r.Int(0, 0);
    if (found > kSchemaVersion) {
      return StoreStatus::NotLibrary(
          shown_ + ": the libraries are in schema version " +
          std::to_string(found) + ", made by a later version of this program");
    }
    *version = schema_version_ = found;
    return StoreStatus::Ok();
  }

  // Makes the schema when the database has none. Processes that start at
  // once take turns on a transaction lock; the first makes it.
  StoreStatus MakeSchema() {
    int version;
    if (StoreStatus s = Inspect(&version); !s.ok() || version != 0) return s;
    if (options_.read_only) return ReadOnlyRefusal();
    StoreStatus status = Change([&]() -> StoreStatus {
      if (StoreStatus s = Run("SELECT pg_advisory_xact_lock($1)",
                              Params().Int(kSchemaLock));
          !s.ok()) {
        return s;
      }
      schema_version_ = -1;
      int now;
      if (StoreStatus s = Inspect(&now); !s.ok() || now != 0) return s;
      for (const char* sql : kSchema) {
        if (StoreStatus s = Exec(sql); !s.ok()) return s;
      }
      return StoreStatus::Ok();
    });
    schema_version_ = -1;
    if (!status.ok()) return status;
    return Inspect(&version);
  }

  // --- Libraries and catalogs ---------------------------------------------

  StoreStatus ListLibraries(std::vector<std::string>* librefs) {
    int version;
    if (StoreStatus s = Inspect(&version); !s.ok() || version == 0) return s;
    Result r;
    if (StoreStatus s =
            Run("SELECT libref FROM vuvorozo.libraries ORDER BY libref",
                Params(), &r);
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
  StoreStatus LibraryId(const std::string& libref, bool create, int64_t* id) {
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
      if (StoreStatus s = Run(
              "WITH made AS (INSERT INTO vuvorozo.libraries (libref) VALUES "
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

  StoreStatus Generation(int64_t library, std::string* stamp) {
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

  StoreStatus CatalogId(int64_t library, std::string_view name, int64_t* id) {
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
  StoreStatus InsertCatalog(int64_t library, std::string_view name,
                            int64_t* id) {
    Result r;
    if (StoreStatus s = Run(
            "WITH made AS (INSERT INTO vuvorozo.catalogs (library_id, name) "
            "VALUES ($1, $2) ON CONFLICT (library_id, name) DO NOTHING "
            "RETURNING id) SELECT id FROM made UNION ALL SELECT id FROM "
            "vuvorozo.catalogs WHERE library_id = $1 AND name = $2",
            Params().Int(library).Bytes(name), &r);
        !s.ok()) {
      return s;
    }
    if (r.rows() == 0) {
      return StoreStatus::IoError(shown_ + ": a catalog could not be made");
    }
    *id = r.Int(0, 0);
    return StoreStatus::Ok();
  }

  StoreStatus Bump(int64_t library) {
    return Run(
        "UPDATE vuvorozo.libraries SET generation = generation + 1 WHERE "
        "id = $1",
        Params().Int(library));
  }

  // Removes the library's versions that are not live and that no one holds
  // (dropped versions no reader pins, staging versions of writers whose
  // connection ended); inside the caller's transaction.
  StoreStatus RemoveUnused(int64_t library) {
    return Run("SELECT vuvorozo.remove_unused($1, $2::int8[], $3)",
               Params().Int(library).Ints(OwnVersions()).Int(kVersionLock));
  }

  // Inside a transaction: marks the entry's version dropped and deletes
  // the entry's row; *found false when there was none.
  StoreStatus DropEntry(int64_t catalog, const EntryName& entry, bool* found) {
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

  // --- Entries ------------------------------------------------------------

  // The entry's committed row, found by its names in one statement;
  // NotFound, with *catalog_found saying whether the catalog was there,
  // when absent. With pin, the version is pinned in the same statement
  // when it can be (*pinned), which the caller must confirm with a second
  // look: a removal may have taken the version in between.
  StoreStatus FindEntry(int64_t library, const EntryName& entry, EntryRow* row,
                        bool pin = false, bool* pinned = nullptr,
                        bool* catalog_found = nullptr) {
    static const std::string sql =
        std::string("SELECT c.id, ") + kEntryColumns +
        ", CASE WHEN $5 AND e.version_id IS NOT NULL THEN "
        "pg_try_advisory_lock_shared($6 + e.version_id) END FROM "
        "vuvorozo.catalogs c LEFT JOIN (vuvorozo.entries e JOIN "
        "vuvorozo.versions v ON v.id = e.version_id) ON e.catalog_id = c.id "
        "AND e.name = $3 AND e.type = $4 WHERE c.library_id = $1 AND c.name "
        "= $2";
    Result r;
    if (StoreStatus s = Run(sql,
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
    *row = EntryOf(r, 0, 1);
    if (pinned != nullptr) *pinned = pin && r.Int(0, 10) != 0;
    if (pin && r.Int(0, 10) != 0) {
      ++held_;
      Hold(row->version);
    }
    return StoreStatus::Ok();
  }

  StoreStatus ListEntries(int64_t catalog, std::vector<EntryInfo>* out) {
    static const std::string sql =
        std::string("SELECT ") + kEntryColumns +
        " FROM vuvorozo.entries e JOIN vuvorozo.versions v ON v.id = "
        "e.version_id WHERE e.catalog_id = $1 ORDER BY e.name, e.type";
    Result r;
    if (StoreStatus s = Run(sql, Params().Int(catalog), &r); !s.ok()) {
      return s;
    }
    for (int i = 0; i < r.rows(); ++i) out->push_back(EntryOf(r, i).info);
    return StoreStatus::Ok();
  }

  // --- Versions and pages -------------------------------------------------

  // The page of version holding record number; count is the version's
  // record count.
  StoreStatus LoadPage(int64_t version, uint64_t number, uint64_t count,
                       RecordPage* page) {
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
                      (uint32_t)r.Int(0, 2), &why)) {
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
  StoreStatus NewVersion(int64_t library, VersionState state,
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
  StoreStatus CopyPages(int64_t base, int64_t version, uint64_t before,
                        uint64_t* records, uint32_t* longest) {
    Result r;
    if (StoreStatus s = Run(
            "WITH copied AS (INSERT INTO vuvorozo.pages SELECT $2, first, "
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

  StoreStatus StorePage(int64_t version, const RecordPage& page) {
    std::string why;
    if (!page.Encode(codec_, &why)) {
      return StoreStatus::IoError(shown_ +
                                  ": a page could not be packed: " + why);
    }
    return Run(
        "INSERT INTO vuvorozo.pages (version_id, first, count, longest, data) "
        "VALUES ($1, $2, $3, $4, $5)",
        Params()
            .Int(version)
            .Int((int64_t)page.first())
            .Int(page.count())
            .Int(page.longest())
            .Bytes(codec_.frame()));
  }

  // Drops the version's pages from record from on (from starts a page);
  // *longest receives the longest record of the pages kept.
  StoreStatus DropPagesFrom(int64_t version, uint64_t from, uint32_t* longest) {
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
  void ReleaseStaging(int64_t version) {
    Drop(version);
    Unlock(kVersionLock + version, false);
  }

  // "WORK.CAT.NAME.TYPE"
  static std::string Describe(const std::string& libref,
                              const EntryName& entry) {
    return libref + "." + entry.catalog + "." + entry.name +
           (entry.type.empty() ? "" : "." + entry.type);
  }

  StoreStatus Damaged(const std::string& what) const {
    return StoreStatus::Corrupt(shown_ + ": the library is damaged: " + what);
  }

  PageCodec& codec() { return codec_; }

 private:
  StoreStatus NotOurs() const {
    return StoreStatus::NotLibrary(
        shown_ +
        ": the schema vuvorozo of the database does not hold this program's "
        "libraries");
  }

  // The text with the URL's password masked wherever it appears.
  std::string Masked(std::string text) const {
    std::string out = MaskPassword(text);
    for (size_t at = 0; !password_.empty() &&
                        (at = out.find(password_, at)) != std::string::npos;) {
      out.replace(at, password_.size(), "***");
      at += 3;
    }
    // libpq's messages run over several lines (a hint on a tabbed line of
    // its own); a status message is one line.
    std::string line;
    bool space = false;
    for (char c : out) {
      if (c == '\n' || c == '\t' || c == '\r' || c == ' ') {
        space = !line.empty();
        continue;
      }
      if (space) line += ' ';
      space = false;
      line += c;
    }
    return line;
  }

  // What a finished statement means, in words a user can read.
  StoreStatus StatusOf(const Result& result) const {
    ExecStatusType status = PQresultStatus(result.get());
    if (result.get() != nullptr &&
        (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)) {
      return StoreStatus::Ok();
    }
    const char* state = result.get() != nullptr
                            ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE)
                            : nullptr;
    std::string code = state != nullptr ? state : "";
    std::string why =
        Masked(result.get() != nullptr ? PQresultErrorMessage(result.get())
                                       : PQerrorMessage(pg_));
    if (why.empty()) why = Masked(PQerrorMessage(pg_));
    std::string text = shown_ + ": " + why;
    if (code == "53100") return StoreStatus::DiskFull(text);
    if (code == "25006" || code == "42501") return StoreStatus::ReadOnly(text);
    if (code == "55P03" || code == "40001" || code == "40P01") {
      return StoreStatus::Busy(text);
    }
    if (code.starts_with("XX") || code == "22P02") {
      return StoreStatus::Corrupt(text);
    }
    return StoreStatus::IoError(text);
  }

  std::string url_;
  std::string shown_;
  std::string password_;
  StoreOptions options_;
  PGconn* pg_ = nullptr;
  std::map<std::string, std::string> statements_;  // prepared, by text
  std::map<std::string, int64_t> libraries_;       // ids, by libref
  int schema_version_ = -1;                        // -1 until inspected
  int held_ = 0;  // session locks held: a lost connection lost them
  std::map<int64_t, int> own_;
  PageCodec codec_;
};

// An entry's writer lock and its catalog's, released when it goes (or by a
// commit, with the staging version's).
class WriterLock {
 public:
  WriterLock(std::shared_ptr<ServerConnection> connection,
             ServerConnection::Keys keys)
      : connection_(std::move(connection)), keys_(std::move(keys)) {}
  ~WriterLock() { connection_->Unlock(keys_); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

  const ServerConnection::Keys& keys() const { return keys_; }
  // Gives the keys up: the caller unlocked them.
  ServerConnection::Keys Take() { return std::move(keys_); }

 private:
  std::shared_ptr<ServerConnection> connection_;
  ServerConnection::Keys keys_;
};

// A reader's pin of a version, released when it goes.
class Pin {
 public:
  Pin(std::shared_ptr<ServerConnection> connection, int64_t version)
      : connection_(std::move(connection)), version_(version) {}
  ~Pin() {
    connection_->Drop(version_);
    connection_->Unlock(kVersionLock + version_, true);
  }
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;

 private:
  std::shared_ptr<ServerConnection> connection_;
  int64_t version_;
};

const std::string kNoAttributes;

class PostgresCursor final : public PagedCursor {
 public:
  PostgresCursor(std::shared_ptr<ServerConnection> connection, int64_t library,
                 EntryName entry, OpenIntent intent, std::string description,
                 std::unique_ptr<WriterLock> lock, std::unique_ptr<Pin> pin,
                 const EntryRow& base)
      : PagedCursor(intent, base.version, (uint64_t)base.info.record_count,
                    (uint32_t)base.info.longest_record),
        connection_(std::move(connection)),
        library_(library),
        entry_(std::move(entry)),
        description_(std::move(description)),
        lock_(std::move(lock)),
        pin_(std::move(pin)) {}

  ~PostgresCursor() override {
    if (staging_ != 0) connection_->ReleaseStaging(staging_);
  }

 private:
  StoreStatus DoCommit() override;

  StoreStatus LoadPage(int64_t version, uint64_t number, uint64_t count,
                       RecordPage* page) override {
    return connection_->LoadPage(version, number, count, page);
  }

  // A staging version is made only for pages to store: the base's pages
  // before the first write are copied on the server, or a full page.
  StoreStatus StartStaging(uint64_t before, int64_t* staging, uint64_t* copied,
                           uint32_t* longest) override {
    *staging = 0;
    if (before == 0) return StoreStatus::Ok();
    StoreStatus s = connection_->NewVersion(library_, kStaging, staging);
    if (s.ok())
      s = connection_->CopyPages(base_, *staging, before, copied, longest);
    if (!s.ok() && *staging != 0) {
      connection_->ReleaseStaging(*staging);
      *staging = 0;
    }
    return s;
  }

  StoreStatus StorePage(const RecordPage& page) override {
    if (staging_ == 0) {
      if (StoreStatus s =
              connection_->NewVersion(library_, kStaging, &staging_);
          !s.ok()) {
        return s;
      }
    }
    return connection_->StorePage(staging_, page);
  }

  StoreStatus DropPagesFrom(uint64_t from, uint32_t* longest) override {
    return connection_->DropPagesFrom(staging_, from, longest);
  }

  void Discard(int64_t staging) override {
    connection_->ReleaseStaging(staging);
  }

  StoreStatus Damaged(const std::string& what) const override {
    return connection_->Damaged(what);
  }

  std::shared_ptr<ServerConnection> connection_;
  int64_t library_;
  EntryName entry_;
  std::string description_;
  std::unique_ptr<WriterLock> lock_;  // writers: the entry's lock
  std::unique_ptr<Pin> pin_;          // the base's pin
};

StoreStatus PostgresCursor::DoCommit() {
  if (!writing_ && intent_ == OpenIntent::kReplace) {
    writing_ = true;
    tail_.Reset(0);
    count_ = 0;
    longest_ = 0;
  }
  const std::string* attributes = host_attributes_ ? &*host_attributes_
                                  : intent_ == OpenIntent::kReplace
                                      ? &kNoAttributes
                                      : nullptr;
  Params params;
  params.Int(library_)
      .Bytes(entry_.catalog)
      .Bytes(entry_.name)
      .Bytes(entry_.type)
      .Bytes(description_)
      .Int(NowMicros())
      .Int(staging_)
      .Text(writing_ ? "true" : "false")
      .Int((int64_t)count_)
      .Int(longest_);
  if (attributes != nullptr) {
    params.Bytes(*attributes);
  } else {
    params.Null();
  }
  params.Int(base_).Int((int64_t)tail_.first()).Int(tail_.count());
  params.Int(tail_.longest());
  if (writing_ && !tail_.empty()) {
    std::string why;
    if (!tail_.Encode(connection_->codec(), &why)) {
      return StoreStatus::IoError(connection_->shown() +
                                  ": a page could not be packed: " + why);
    }
    params.Bytes(connection_->codec().frame());
  } else {
    params.Null();
  }
  // The writer's locks go with the commit, in the same step: the staging
  // version's, the entry's and the catalog's.
  ServerConnection::Keys keys = lock_->keys();
  if (staging_ != 0) keys.push_back({kVersionLock + staging_, false});
  std::vector<int64_t> exclusive, shared;
  for (const auto& [key, is_shared] : keys) {
    (is_shared ? shared : exclusive).push_back(key);
  }
  params.Ints(connection_->OwnVersions()).Int(kVersionLock);
  params.Ints(exclusive).Ints(shared);
  if (StoreStatus s = connection_->Run(
          "SELECT vuvorozo.commit_entry($1, $2, $3, $4, $5, $6, $7, $8, $9, "
          "$10, $11, $12, $13, $14, $15, $16, $17::int8[], $18, $19::int8[], "
          "$20::int8[])",
          params);
      !s.ok()) {
    return s;
  }
  lock_->Take();
  lock_.reset();
  if (staging_ != 0) {
    connection_->Drop(staging_);
    staging_ = 0;
  }
  connection_->Unlocked(keys);
  return StoreStatus::Ok();
}

class PostgresCatalogStore final : public CatalogStore {
 public:
  PostgresCatalogStore(std::string url, const StoreOptions& options)
      : connection_(
            std::make_shared<ServerConnection>(std::move(url), options)) {}

  StoreStatus ServerVersion(std::string* version) {
    if (StoreStatus s = connection_->Ready(); !s.ok()) return s;
    *version = connection_->Version();
    return StoreStatus::Ok();
  }

 private:
  StoreStatus DoListLibraries(std::vector<std::string>* librefs) override {
    return connection_->ListLibraries(librefs);
  }

  StoreStatus DoListCatalogs(std::string_view libref,
                             std::vector<CatalogInfo>* catalogs) override {
    int64_t library;
    if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
    Result r;
    if (StoreStatus s = connection_->Run(
            "SELECT c.name, (SELECT count(*) FROM vuvorozo.entries e WHERE "
            "e.catalog_id = c.id) FROM vuvorozo.catalogs c WHERE c.library_id "
            "= $1 ORDER BY c.name",
            Params().Int(library), &r);
        !s.ok()) {
      return s;
    }
    for (int i = 0; i < r.rows(); ++i) {
      CatalogInfo info;
      info.name = std::string(r.Bytes(i, 0));
      info.entry_count = r.Int(i, 1);
      catalogs->push_back(std::move(info));
    }
    return StoreStatus::Ok();
  }

  StoreStatus DoDeleteCatalog(std::string_view libref, std::string_view catalog,
                              bool with_entries) override {
    int64_t library, id;
    if (StoreStatus s = CatalogId(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    if (connection_->read_only()) return connection_->ReadOnlyRefusal();
    std::string name(catalog);
    int64_t key = kCatalogLock + Hash({std::to_string(library), name});
    if (StoreStatus s = connection_->Lock(
            key, false,
            "catalog " + std::string(libref) + "." + name +
                " has an entry being written by another process");
        !s.ok()) {
      return s;
    }
    StoreStatus status = connection_->Change([&]() -> StoreStatus {
      Result r;
      if (StoreStatus s = connection_->Run(
              "SELECT count(*) FROM vuvorozo.entries WHERE catalog_id = $1",
              Params().Int(id), &r);
          !s.ok()) {
        return s;
      }
      if (r.Int(0, 0) > 0 && !with_entries) {
        return StoreStatus::NotEmpty("the catalog holds entries");
      }
      if (StoreStatus s = connection_->Run(
              "WITH gone AS (DELETE FROM vuvorozo.entries WHERE catalog_id = "
              "$1 RETURNING version_id) UPDATE vuvorozo.versions SET state = 2 "
              "WHERE id IN (SELECT version_id FROM gone)",
              Params().Int(id));
          !s.ok()) {
        return s;
      }
      if (StoreStatus s = connection_->Run(
              "DELETE FROM vuvorozo.catalogs WHERE id = $1", Params().Int(id));
          !s.ok()) {
        return s;
      }
      if (StoreStatus s = connection_->Bump(library); !s.ok()) return s;
      return connection_->RemoveUnused(library);
    });
    connection_->Unlock(key, false);
    return status;
  }

  StoreStatus DoFindLibrary(std::string_view libref) override {
    int64_t library;
    return LibraryId(libref, false, &library);
  }

  StoreStatus DoCreateLibrary(std::string_view libref) override {
    int64_t library;
    return LibraryId(libref, true, &library);
  }

  StoreStatus DoFindCatalog(std::string_view libref,
                            std::string_view catalog) override {
    int64_t library, id;
    return CatalogId(libref, catalog, &library, &id);
  }

  StoreStatus DoCreateCatalog(std::string_view libref,
                              std::string_view catalog) override {
    int64_t library, id;
    if (StoreStatus s = LibraryId(libref, true, &library); !s.ok()) return s;
    if (connection_->read_only()) {
      StoreStatus s = connection_->CatalogId(library, catalog, &id);
      return s.IsNotFound() ? connection_->ReadOnlyRefusal() : s;
    }
    return connection_->Change([&]() -> StoreStatus {
      if (StoreStatus s = connection_->InsertCatalog(library, catalog, &id);
          !s.ok()) {
        return s;
      }
      return connection_->Bump(library);
    });
  }

  StoreStatus DoFindEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name, std::string_view type,
                          EntryInfo* info) override {
    int64_t library;
    if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
    EntryRow row;
    StoreStatus s =
        connection_->FindEntry(library, Name(catalog, name, type), &row);
    if (s.ok() && info != nullptr) *info = std::move(row.info);
    return s;
  }

  StoreStatus DoDeleteEntry(std::string_view libref, std::string_view catalog,
                            std::string_view name,
                            std::string_view type) override {
    int64_t library, id;
    if (StoreStatus s = CatalogId(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    if (connection_->read_only()) return connection_->ReadOnlyRefusal();
    EntryName entry = Name(catalog, name, type);
    std::unique_ptr<WriterLock> lock;
    if (StoreStatus s = LockForWriting(library, libref, entry, &lock);
        !s.ok()) {
      return s;
    }
    return connection_->Change([&]() -> StoreStatus {
      bool found = false;
      if (StoreStatus s = connection_->DropEntry(id, entry, &found); !s.ok()) {
        return s;
      }
      if (!found) return StoreStatus::NotFound("no such entry");
      if (StoreStatus s = connection_->Bump(library); !s.ok()) return s;
      return connection_->RemoveUnused(library);
    });
  }

  StoreStatus DoList(std::string_view libref, std::string_view catalog,
                     std::vector<EntryInfo>* entries) override {
    int64_t library, id;
    if (StoreStatus s = CatalogId(libref, catalog, &library, &id); !s.ok()) {
      return s;
    }
    return connection_->ListEntries(id, entries);
  }

  StoreStatus DoOpenEntry(std::string_view libref, std::string_view catalog,
                          std::string_view name, std::string_view type,
                          OpenIntent intent, std::string_view description,
                          std::unique_ptr<EntryCursor>* cursor) override {
    int64_t library;
    if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
    EntryName entry = Name(catalog, name, type);
    std::unique_ptr<WriterLock> lock;
    if (intent != OpenIntent::kRead) {
      if (connection_->read_only()) return connection_->ReadOnlyRefusal();
      if (StoreStatus s = LockForWriting(library, libref, entry, &lock);
          !s.ok()) {
        return s;
      }
    }
    // The content read, pinned and then found again, so that it is the
    // entry's version still, which no removal takes while it is pinned.
    EntryRow base;
    std::unique_ptr<Pin> pin;
    while (intent != OpenIntent::kReplace) {
      EntryRow row;
      bool pinned = false, catalog_found = false;
      StoreStatus s = connection_->FindEntry(
          library, entry, &row, pin == nullptr, &pinned, &catalog_found);
      if (s.IsNotFound() && catalog_found && intent == OpenIntent::kUpdate) {
        pin.reset();
        break;
      }
      if (!s.ok()) return s;
      if (pin != nullptr && row.version == base.version) break;
      pin.reset();
      if (pinned) {
        pin = std::make_unique<Pin>(connection_, row.version);
        base = std::move(row);
      } else if (pin == nullptr) {
        usleep(1000);  // a removal looks at the version for a moment
      }
    }
    if (pin == nullptr) base = EntryRow();
    *cursor = std::make_unique<PostgresCursor>(
        connection_, library, std::move(entry), intent,
        std::string(description), std::move(lock), std::move(pin), base);
    return StoreStatus::Ok();
  }

  StoreStatus DoCheckLibrary(std::string_view libref,
                             LibraryCheck* check) override;
  StoreStatus DoCompactLibrary(std::string_view libref,
                               LibraryCompaction* compaction) override;

  // The library's generation, which every change of any connection bumps.
  StoreStatus DoChangeStamp(std::string_view libref,
                            std::string* stamp) override {
    int64_t library;
    if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
    return connection_->Generation(library, stamp);
  }

  static EntryName Name(std::string_view catalog, std::string_view name,
                        std::string_view type) {
    return EntryName{std::string(catalog), std::string(name),
                     std::string(type)};
  }

  StoreStatus LibraryId(std::string_view libref, bool create, int64_t* id) {
    return connection_->LibraryId(std::string(libref), create, id);
  }

  StoreStatus CatalogId(std::string_view libref, std::string_view catalog,
                        int64_t* library, int64_t* id) {
    if (StoreStatus s = LibraryId(libref, false, library); !s.ok()) return s;
    return connection_->CatalogId(*library, catalog, id);
  }

  // The entry's writer lock, with its catalog's (shared).
  StoreStatus LockForWriting(int64_t library, std::string_view libref,
                             const EntryName& entry,
                             std::unique_ptr<WriterLock>* lock) {
    std::string who = std::to_string(library);
    ServerConnection::Keys keys = {
        {kCatalogLock + Hash({who, entry.catalog}), true},
        {kEntryLock + Hash({who, entry.catalog, entry.name, entry.type}),
         false}};
    if (StoreStatus s = connection_->Lock(
            keys,
            "entry " + ServerConnection::Describe(std::string(libref), entry) +
                " is being written by another process",
            std::make_pair(library, std::string_view(entry.catalog)));
        !s.ok()) {
      return s;
    }
    *lock = std::make_unique<WriterLock>(connection_, std::move(keys));
    return StoreStatus::Ok();
  }

  std::shared_ptr<ServerConnection> connection_;
};

StoreStatus PostgresCatalogStore::DoCheckLibrary(std::string_view libref,
                                                 LibraryCheck* check) {
  check->file = connection_->shown();
  int64_t library;
  if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
  Result r;
  if (StoreStatus s = connection_->Run(
          "SELECT (SELECT count(*) FROM vuvorozo.catalogs WHERE library_id = "
          "$1), coalesce(sum(octet_length(p.data)), 0)::int8, "
          "coalesce(sum(octet_length(p.data)) FILTER (WHERE v.state <> 1), "
          "0)::int8 FROM vuvorozo.versions v JOIN vuvorozo.pages p ON "
          "p.version_id = v.id WHERE v.library_id = $1",
          Params().Int(library), &r);
      !s.ok()) {
    return s;
  }
  check->catalogs = r.Int(0, 0);
  check->file_bytes = r.Int(0, 1);
  check->free_bytes = r.Int(0, 2);
  Result entries;
  if (StoreStatus s = connection_->Run(
          "SELECT c.name, e.name, e.type, v.id, v.record_count, v.longest, "
          "v.state FROM vuvorozo.entries e JOIN vuvorozo.catalogs c ON c.id = "
          "e.catalog_id JOIN vuvorozo.versions v ON v.id = e.version_id WHERE "
          "c.library_id = $1 ORDER BY c.name, e.name, e.type",
          Params().Int(library), &entries);
      !s.ok()) {
    return s;
  }
  for (int i = 0; i < entries.rows(); ++i) {
    ++check->entries;
    std::string what = "entry " + std::string(libref) + "." +
                       std::string(entries.Bytes(i, 0)) + "." +
                       std::string(entries.Bytes(i, 1)) + "." +
                       std::string(entries.Bytes(i, 2));
    int64_t version = entries.Int(i, 3);
    uint64_t count = (uint64_t)entries.Int(i, 4);
    uint32_t longest = (uint32_t)entries.Int(i, 5);
    if (entries.Int(i, 6) != kLive) {
      check->problems.push_back(what + ": its content is not marked live");
    }
    Result pages;
    if (StoreStatus s = connection_->Run(
            "SELECT first, count, longest, data FROM vuvorozo.pages WHERE "
            "version_id = $1 ORDER BY first",
            Params().Int(version), &pages);
        !s.ok()) {
      return s;
    }
    uint64_t next = 0;
    uint32_t seen_longest = 0;
    RecordPage page;
    for (int p = 0; p < pages.rows(); ++p) {
      ++check->pages;
      uint64_t first = (uint64_t)pages.Int(p, 0);
      std::string why;
      std::string_view data = pages.Bytes(p, 3);
      if (first != next) {
        check->problems.push_back(what + ": records " + std::to_string(next) +
                                  " to " + std::to_string(first) +
                                  " are missing");
      }
      if (!page.Decode(connection_->codec(), data.data(), data.size(), first,
                       (uint32_t)pages.Int(p, 1), (uint32_t)pages.Int(p, 2),
                       &why)) {
        check->problems.push_back(what + ": the page at record " +
                                  std::to_string(first) +
                                  " is damaged: " + why);
      }
      check->records += page.count();
      seen_longest = std::max(seen_longest, page.longest());
      next = first + (uint64_t)pages.Int(p, 1);
    }
    if (next != count) {
      check->problems.push_back(what + ": holds " + std::to_string(next) +
                                " records, says " + std::to_string(count));
    }
    if (seen_longest > longest) {
      check->problems.push_back(what + ": holds a record longer than it says");
    }
  }
  return StoreStatus::Ok();
}

StoreStatus PostgresCatalogStore::DoCompactLibrary(
    std::string_view libref, LibraryCompaction* compaction) {
  compaction->file = connection_->shown();
  int64_t library;
  if (StoreStatus s = LibraryId(libref, false, &library); !s.ok()) return s;
  auto bytes = [&](int64_t* out) -> StoreStatus {
    Result r;
    StoreStatus s = connection_->Run(
        "SELECT coalesce(sum(octet_length(p.data)), 0)::int8 FROM "
        "vuvorozo.versions v JOIN vuvorozo.pages p ON p.version_id = v.id "
        "WHERE v.library_id = $1",
        Params().Int(library), &r);
    if (s.ok()) *out = r.Int(0, 0);
    return s;
  };
  if (StoreStatus s = bytes(&compaction->bytes_before); !s.ok()) return s;
  if (StoreStatus s = connection_->Change(
          [&]() -> StoreStatus { return connection_->RemoveUnused(library); });
      !s.ok()) {
    return s;
  }
  return bytes(&compaction->bytes_after);
}

}  // namespace

std::unique_ptr<CatalogStore> NewPostgresCatalogStore(
    const std::string& url, const StoreOptions& options) {
  return std::make_unique<PostgresCatalogStore>(url, options);
}

StoreStatus ServerVersion(const std::string& url, std::string* version) {
  if (!IsServerStoreUrl(url)) {
    return StoreStatus::InvalidArgument(MaskPassword(url) +
                                        ": not a store URL (postgresql://...)");
  }
  PostgresCatalogStore store(url, StoreOptions{.read_only = true});
  return store.ServerVersion(version);
}

}  // namespace refhost
