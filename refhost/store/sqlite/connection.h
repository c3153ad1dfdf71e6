// One connection to a library file of the SQLite store, and the prepared
// statements it runs: each kind of statement (Sql) is prepared on its
// first use and kept. Failures come back as StoreStatus values that say
// what happened to the file in words a user can read.

#ifndef VUVOROZO_REFHOST_STORE_SQLITE_CONNECTION_H_
#define VUVOROZO_REFHOST_STORE_SQLITE_CONNECTION_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "refhost/store/catalog_store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace refhost {
namespace sqlite {

// How long a statement waits for another process's transaction.
inline constexpr int kBusyTimeoutMs = 5000;

// The statements a connection prepares when it first needs them.
enum class Sql {
  kFindCatalog,
  kInsertCatalog,
  kListCatalogs,
  kCatalogVersions,
  kDeleteCatalogEntries,
  kDeleteCatalog,
  kFindEntry,
  kFindNamedEntry,
  kEntriesAfter,
  kListEntries,
  kUpsertEntry,
  kDeleteEntry,
  kNewVersion,
  kNewLiveVersion,
  kSetVersion,
  kDeleteVersion,
  kMarkPacked,
  kFindPage,
  kPagesBetween,
  kInsertPage,
  kDeletePages,
  kLongestBetween,
  kFindWriter,
  kCatalogWriters,
  kPutWriter,
  kDropWriter,
  kRecordsBetween,  // format 1
  kFindDictionary,
  kCatalogDictionary,
  kCatalogDictionaries,
  kDictionaryKept,
  kInsertDictionary,
  kPageByKey,
  kUpdatePage,
  kEntryAttributes,
  kSetAttributes,
  kBegin,
  kBeginWrite,
  kCommit,
  kRollback,
  kSavepoint,
  kRelease,
  kRollbackTo,
  kSchemaSize,
  kFreePages,
  kCount
};

// A prepared statement, finalized with its owner.
class Statement {
 public:
  Statement() = default;
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int Prepare(sqlite3* db, const char* sql);
  bool prepared() const { return stmt_ != nullptr; }
  // Resets the statement and its bindings; call when done with a result.
  void Reset();
  void Bind(int i, int64_t value);
  void Bind(int i, std::string_view text);
  // Binds bytes that stay put until the next Reset (no copy).
  void BindBlob(int i, const void* data, size_t size);
  int Step();
  int64_t Int(int i);
  // SQLITE_TEXT, SQLITE_BLOB...
  int Type(int i);
  std::string Text(int i);
  const void* Blob(int i);
  size_t Bytes(int i);

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// How a library file is opened.
struct OpenMode {
  bool read_only = false;  // no change is made to the file
  bool immutable = false;  // read-only, and the file is taken not to change
};

// One connection to a library file.
class Connection {
 public:
  Connection(std::string path,
             const std::array<std::string, (int)Sql::kCount>* sql);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens the file; create makes it when absent.
  StoreStatus Open(OpenMode mode, bool create);
  sqlite3* db() const { return db_; }
  // The statement, prepared on first use; null (with *status) when it
  // cannot be prepared.
  Statement* Get(Sql which, StoreStatus* status);
  // Steps the statement to its end.
  StoreStatus Run(Sql which);
  StoreStatus Exec(const char* sql);
  // One integer a statement gives (PRAGMA user_version, say).
  StoreStatus Integer(const char* sql, int64_t* value);
  // The status of the connection's latest failure, saying what happened to
  // the library file in words a user can read; doing says what was tried.
  StoreStatus Failure(std::string_view doing) const;
  // One integer a prepared statement gives.
  StoreStatus Integer(Sql which, int64_t* value);
  // A transaction: a write transaction takes the library's write lock at
  // once; a read transaction sees the library as it is at its first read.
  StoreStatus Begin(bool write);
  StoreStatus Commit();  // rolls back when the commit fails
  void Rollback();       // when a transaction is open
  // In a read transaction (a snapshot's), which sees the library as it was
  // at its first read. read_transaction() numbers it apart from every other
  // read transaction of the process, of this connection or another;
  // Within(t) is whether the connection is in read transaction t still, so
  // that what was kept of one is never taken for another's.
  bool reading() const { return reading_; }
  int64_t read_transaction() const { return read_transaction_; }
  bool Within(int64_t transaction) const {
    return reading_ && transaction == read_transaction_;
  }

 private:
  std::string path_;
  const std::array<std::string, (int)Sql::kCount>* sql_;
  sqlite3* db_ = nullptr;
  std::array<std::unique_ptr<Statement>, (int)Sql::kCount> statements_;
  bool reading_ = false;
  int64_t read_transaction_ = 0;
};

}  // namespace sqlite
}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_SQLITE_CONNECTION_H_
