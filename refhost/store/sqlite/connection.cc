// Connections to a library file and their prepared statements: opening the
// file (read-only ones through a URI), the statement of each Sql kind
// prepared on first use, transactions, and the status a failure of SQLite
// means, in words a user can read.

#include "refhost/store/sqlite/connection.h"

#include <sqlite3.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace refhost {
namespace sqlite {
namespace {

// The read transactions the process has begun.
std::atomic<int64_t> read_transactions{0};

// The path as an SQLite URI file name.
std::string UriPath(const std::string& path) {
  std::string uri;
  for (unsigned char c : path) {
    if (isalnum(c) || c == '/' || c == '.' || c == '_' || c == '-' ||
        c == '~') {
      uri += (char)c;
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      uri += escape;
    }
  }
  return uri;
}

}  // namespace

Statement::~Statement() { sqlite3_finalize(stmt_); }

int Statement::Prepare(sqlite3* db, const char* sql) {
  sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_,
                            nullptr);
}

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

void Statement::Bind(int i, int64_t value) {
  sqlite3_bind_int64(stmt_, i, value);
}

void Statement::Bind(int i, std::string_view text) {
  sqlite3_bind_text(stmt_, i, text.data(), (int)text.size(), SQLITE_TRANSIENT);
}

void Statement::BindBlob(int i, const void* data, size_t size) {
  sqlite3_bind_blob(stmt_, i, size ? data : "", (int)size, SQLITE_STATIC);
}

int Statement::Step() { return sqlite3_step(stmt_); }

int64_t Statement::Int(int i) { return sqlite3_column_int64(stmt_, i); }

int Statement::Type(int i) { return sqlite3_column_type(stmt_, i); }

std::string Statement::Text(int i) {
  const unsigned char* t = sqlite3_column_text(stmt_, i);
  return t ? std::string((const char*)t, sqlite3_column_bytes(stmt_, i))
           : std::string();
}

const void* Statement::Blob(int i) { return sqlite3_column_blob(stmt_, i); }

size_t Statement::Bytes(int i) {
  return (size_t)sqlite3_column_bytes(stmt_, i);
}

Connection::Connection(std::string path,
                       const std::array<std::string, (int)Sql::kCount>* sql)
    : path_(std::move(path)), sql_(sql) {}

// Statements go first: a connection with statements left closes late.
Connection::~Connection() {
  for (auto& statement : statements_) statement.reset();
  sqlite3_close_v2(db_);
}

StoreStatus Connection::Open(OpenMode mode, bool create) {
  int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  std::string name = path_;
  if (mode.read_only) {
    flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
    name = "file:" + UriPath(path_) +
           (mode.immutable ? "?mode=ro&immutable=1" : "?mode=ro");
  } else {
    flags |= SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  }
  if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    StoreStatus status = Failure("opening the library");
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return status;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // A page cache of 1 MiB, not SQLite's 2 MB: a store's reads and writes
  // go where they went last (the end of a table being filled, the pages of
  // an entry being read) and the system caches the file besides, so that a
  // long import or a mount over a large catalog keeps its memory flat. (At
  // 512 KiB a deletion of a large entry spilled so much into the journal
  // that it no longer fit the room a full disk keeps for it.)
  sqlite3_exec(db_, "PRAGMA cache_size = -1024", nullptr, nullptr, nullptr);
  return StoreStatus::Ok();
}

Statement* Connection::Get(Sql which, StoreStatus* status) {
  std::unique_ptr<Statement>& statement = statements_[(int)which];
  if (statement == nullptr) {
    auto made = std::make_unique<Statement>();
    if (made->Prepare(db_, (*sql_)[(int)which].c_str()) != SQLITE_OK) {
      *status = Failure("reading the library's tables");
      return nullptr;
    }
    statement = std::move(made);
  }
  return statement.get();
}

StoreStatus Connection::Exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    return Failure(sql);
  }
  return StoreStatus::Ok();
}

StoreStatus Connection::Integer(const char* sql, int64_t* value) {
  Statement statement;
  if (statement.Prepare(db_, sql) != SQLITE_OK) return Failure(sql);
  int rc = statement.Step();
  if (rc == SQLITE_ROW) {
    *value = statement.Int(0);
    return StoreStatus::Ok();
  }
  return Failure(sql);
}

StoreStatus Connection::Integer(Sql which, int64_t* value) {
  StoreStatus status;
  Statement* st = Get(which, &status);
  if (st == nullptr) return status;
  if (st->Step() == SQLITE_ROW) {
    *value = st->Int(0);
  } else {
    status = Failure((*sql_)[(int)which]);
  }
  st->Reset();
  return status;
}

StoreStatus Connection::Failure(std::string_view doing) const {
  int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
  std::string text = db_ ? sqlite3_errmsg(db_) : "cannot open the file";
  int error = db_ ? sqlite3_system_errno(db_) : 0;
  std::string file = path_ + ": ";
  switch (code & 0xFF) {
    case SQLITE_FULL:
      return StoreStatus::DiskFull(file + "the disk is full");
    case SQLITE_PERM:
      return StoreStatus::NoPermission(
          file + "this user may not read or write the library (" + text + ")");
    case SQLITE_READONLY:
      return StoreStatus::ReadOnly(
          file + "the library can only be read here (" + text + ")");
    case SQLITE_CORRUPT:
      return StoreStatus::Corrupt(file + "the library file is damaged (" +
                                  text + ")");
    case SQLITE_NOTADB:
      return StoreStatus::NotLibrary(file + "not a library of this program (" +
                                     text + ")");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return StoreStatus::Busy(
          file + "locked by another process for more than " +
          std::to_string(kBusyTimeoutMs / 1000) + " seconds");
    default:
      break;
  }
  if (error == ENOSPC || error == EDQUOT) {
    return StoreStatus::DiskFull(file + "the disk is full");
  }
  if (error == EROFS) {
    return StoreStatus::ReadOnly(file + "the library is on read-only media");
  }
  if (error == EACCES || error == EPERM) {
    return StoreStatus::NoPermission(
        file +
        "this user may not read or write the library file or its data "
        "folder (" +
        std::strerror(error) + ")");
  }
  std::string why = text;
  if (error != 0) why += std::string(": ") + std::strerror(error);
  return StoreStatus::IoError(file + std::string(doing) + " failed (" + why +
                              ")");
}

StoreStatus Connection::Run(Sql which) {
  StoreStatus status;
  Statement* st = Get(which, &status);
  if (st == nullptr) return status;
  int rc;
  while ((rc = st->Step()) == SQLITE_ROW) {
  }
  st->Reset();
  return rc == SQLITE_DONE ? StoreStatus::Ok() : Failure((*sql_)[(int)which]);
}

StoreStatus Connection::Begin(bool write) {
  StoreStatus status = Run(write ? Sql::kBeginWrite : Sql::kBegin);
  if (status.ok() && !write) {
    read_transaction_ = ++read_transactions;
    reading_ = true;
  }
  return status;
}

StoreStatus Connection::Commit() {
  reading_ = false;
  StoreStatus status = Run(Sql::kCommit);
  if (!status.ok()) Rollback();
  return status;
}

void Connection::Rollback() {
  reading_ = false;
  if (!sqlite3_get_autocommit(db_)) Run(Sql::kRollback);
}

}  // namespace sqlite
}  // namespace refhost
