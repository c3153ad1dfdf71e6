// The schema of the server store: its tables, the functions
// remove_unused and commit_entry, and its version. The first change of a
// database without the schema makes it, and the first change of a
// database in an earlier schema version brings it to this one, its makers
// taking turns on a transaction lock; a schema of a later version is
// refused.

#include <iterator>
#include <string>

#include "refhost/store/postgres/server_connection.h"

namespace refhost {
namespace postgres {

// A writer's commit in one call: the catalog (made again when deleted
// meanwhile), the version made live with the writer's last page, the
// entry switched to it, the library's generation bumped, the old version
// dropped with what no one uses (staging versions of writers whose
// sessions ended among it), and at last the writer's session locks
// released (p_unlock, p_unlock_shared). p_writing false: the cursor wrote
// nothing, and the entry keeps its content (or comes back as the cursor
// saw it, from p_base, when deleted meanwhile).
// The decision is made here, on the server, and not by the store: it
// reads the entry's row in the same step that switches it, a commit costs
// one round trip, and every program on the database calls this function
// of its schema (version 2 made it take the entry's commit lock, version 3
// told it whether the host attributes it is given are packed). The
// SQLite and memory stores decide the same in their own commits; the
// store suite's story CommitDecidesTheSameContentInEveryCase drives all
// three through every case.
constexpr const char* kCommitEntry =
    R"(CREATE OR REPLACE FUNCTION vuvorozo.commit_entry(p_library bigint,
    p_catalog bytea, p_name bytea, p_type bytea, p_description bytea,
    p_now bigint, p_version bigint, p_writing boolean, p_count bigint,
    p_longest integer, p_attributes bytea, p_base bigint, p_first bigint,
    p_page_count integer, p_page_longest integer, p_page bytea,
    p_own bigint[], p_lock_base bigint, p_unlock bigint[],
    p_unlock_shared bigint[], p_packed boolean) RETURNS bigint
    LANGUAGE plpgsql AS $$
DECLARE
  v_catalog bigint;
  v_current bigint;
  v_version bigint := p_version;
BEGIN
  -- The writer holds the entry's lock: no one else changes its row. Its
  -- commit lock, held to the end of this transaction, keeps the next
  -- writer, which has the entry's lock once released below, from reading
  -- the entry before this commit shows.
  PERFORM pg_advisory_xact_lock((k & 1152921504606846975) | (5::int8 << 60))
    FROM unnest(p_unlock) k WHERE k >> 60 = 2;
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
    created, modified, version_id, host_attributes, attributes_packed)
    VALUES (v_catalog, p_name, p_type, p_description, p_now, p_now,
    v_version, coalesce(p_attributes, ''::bytea),
    p_attributes IS NOT NULL AND p_packed)
    ON CONFLICT (catalog_id, name, type) DO UPDATE SET
    description = CASE WHEN length(p_description) > 0 THEN p_description
      ELSE e.description END,
    modified = p_now, version_id = v_version,
    host_attributes = coalesce(p_attributes, e.host_attributes),
    attributes_packed = CASE WHEN p_attributes IS NULL THEN
      e.attributes_packed ELSE p_packed END;
  IF v_current IS NOT NULL AND v_current <> v_version THEN
    UPDATE vuvorozo.versions SET state = 2 WHERE id = v_current;
    PERFORM vuvorozo.remove_unused(p_library, p_own, p_lock_base);
  END IF;
  PERFORM count(*) FROM (SELECT pg_advisory_unlock(k) FROM unnest(p_unlock) k
    UNION ALL SELECT pg_advisory_unlock_shared(k)
    FROM unnest(p_unlock_shared) k) released;
  RETURN v_version;
END $$)";

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
    kCommitEntry,

    "INSERT INTO vuvorozo.schema_version VALUES (1)",
};
const size_t kSchemaStatements = std::size(kSchema);

// Schema version 2: the libraries' dictionaries (dictionaries.cc), and
// commit_entry taking the entry's commit lock. A page names the
// dictionary it was compressed with by its id, unique in the database.
// They go with their library only: a catalog's may still be needed by a
// version a reader holds after the catalog is gone.
const char* const kSchemaTo2[] = {
    "CREATE TABLE vuvorozo.dictionaries (id bigint PRIMARY KEY, library_id "
    "bigint NOT NULL REFERENCES vuvorozo.libraries ON DELETE CASCADE, "
    "catalog bytea NOT NULL, made bigserial, hash bigint NOT NULL, data "
    "bytea NOT NULL)",
    ("CREATE INDEX dictionaries_of_catalogs ON vuvorozo.dictionaries "
     "(library_id, catalog, made)"),
    kCommitEntry,
    "INSERT INTO vuvorozo.schema_version VALUES (2)",
};

// Schema version 3: host attributes of the reference host's form kept
// packed (packed_attributes.h; attributes_packed true), which commit_entry
// is told of; the level compact packed a version's pages at (packed; 0:
// as their writer packed them). A program of version 2 would hand out the
// packed bytes as the text: it refuses the schema.
const char* const kSchemaTo3[] = {
    "DROP FUNCTION IF EXISTS vuvorozo.commit_entry(bigint, bytea, bytea, "
    "bytea, bytea, bigint, bigint, boolean, bigint, integer, bytea, bigint, "
    "bigint, integer, integer, bytea, bigint[], bigint, bigint[], bigint[])",
    "ALTER TABLE vuvorozo.entries ADD COLUMN attributes_packed boolean NOT "
    "NULL DEFAULT false",
    "ALTER TABLE vuvorozo.versions ADD COLUMN packed smallint NOT NULL "
    "DEFAULT 0",
    kCommitEntry,
    "INSERT INTO vuvorozo.schema_version VALUES (3)",
};

// The schema's version; 0 when the database has none yet.
StoreStatus ServerConnection::Inspect(int* version) {
  if (schema_version_ >= 0) {
    *version = schema_version_;
    return StoreStatus::Ok();
  }
  Result r;
  if (StoreStatus s = Run("SELECT to_regnamespace('vuvorozo') IS NOT NULL, "
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
  if (StoreStatus s =
          Run("SELECT max(version) FROM vuvorozo.schema_version", Params(), &r);
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

// Makes the schema when the database has none, or brings it to this
// version. Processes that start at once take turns on a transaction lock;
// the first does it.
StoreStatus ServerConnection::MakeSchema() {
  int version;
  if (StoreStatus s = Inspect(&version); !s.ok() || version == kSchemaVersion) {
    return s;
  }
  if (options_.read_only) return ReadOnlyRefusal();
  StoreStatus status = Change([&]() -> StoreStatus {
    if (StoreStatus s =
            Run("SELECT pg_advisory_xact_lock($1)", Params().Int(kSchemaLock));
        !s.ok()) {
      return s;
    }
    schema_version_ = -1;
    int now;
    if (StoreStatus s = Inspect(&now); !s.ok() || now == kSchemaVersion) {
      return s;
    }
    if (now == 0) {
      for (const char* sql : kSchema) {
        if (StoreStatus s = Exec(sql); !s.ok()) return s;
      }
    }
    if (now < 2) {
      for (const char* sql : kSchemaTo2) {
        if (StoreStatus s = Exec(sql); !s.ok()) return s;
      }
    }
    for (const char* sql : kSchemaTo3) {
      if (StoreStatus s = Exec(sql); !s.ok()) return s;
    }
    return StoreStatus::Ok();
  });
  schema_version_ = -1;
  if (!status.ok()) return status;
  return Inspect(&version);
}

}  // namespace postgres
}  // namespace refhost
