// One library file of the SQLite store: connections, statements, the
// transactions of every change, pages, writer locks, check and compaction.
// The tables and the batching invariants are described in sqlite_library.h.

#include "refhost/store/sqlite/sqlite_library.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>

namespace refhost {
namespace sqlite {
namespace {

constexpr int kFormat = 2;
// PRAGMA application_id of every library: "VUVL".
constexpr int64_t kApplicationId = 0x5655564C;
// How long a statement waits for another process's transaction.
constexpr int kBusyTimeoutMs = 5000;
// Pages an update's first write copies in one transaction.
constexpr int kCopyBatchPages = 256;
// Records of a format-1 version read into one page.
constexpr uint32_t kFormat1PageRecords = 1024;
// Free space given back to the file system once it passes this.
constexpr int64_t kTrimBytes = 256 << 10;
// A journal left larger than this by a big transaction is cut back.
constexpr const char* kJournalLimit = "PRAGMA journal_size_limit = 8388608";
// Idle connections kept for the next reader.
constexpr size_t kIdleConnections = 4;

constexpr int kStaging = 0;
constexpr int kLive = 1;

// The tables of format 2 that format 1 has too (versions without
// owner_start, entries without host_attributes in its first release).
constexpr const char* kSharedTables = R"sql(
CREATE TABLE IF NOT EXISTS catalogs(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS versions(
  id INTEGER PRIMARY KEY,
  state INTEGER NOT NULL,
  owner_pid INTEGER NOT NULL,
  record_count INTEGER NOT NULL DEFAULT 0,
  longest INTEGER NOT NULL DEFAULT 0,
  owner_start INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS entries(
  catalog_id INTEGER NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  description TEXT NOT NULL,
  created INTEGER NOT NULL,
  modified INTEGER NOT NULL,
  version_id INTEGER NOT NULL,
  host_attributes TEXT NOT NULL DEFAULT '',
  PRIMARY KEY(catalog_id, name, type)) WITHOUT ROWID;
)sql";

// The tables only format 2 has.
constexpr const char* kFormat2Tables = R"sql(
CREATE TABLE IF NOT EXISTS pages(
  key INTEGER PRIMARY KEY,
  count INTEGER NOT NULL,
  longest INTEGER NOT NULL,
  data BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS writers(
  catalog TEXT NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  owner_pid INTEGER NOT NULL,
  owner_start INTEGER NOT NULL,
  PRIMARY KEY(catalog, name, type)) WITHOUT ROWID;
)sql";

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t PageKey(int64_t version, uint64_t first) {
  return (version << 32) + (int64_t)first;
}

// The start time of a process (clock ticks after boot), 0 when unknown.
int64_t StartTime(int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return 0;
  // Field 22 of the line; the fields after the name start at field 3.
  const char* p = stat.c_str() + paren + 1;
  for (int field = 3; field < 22 && *p != '\0'; ++field) {
    while (*p == ' ') ++p;
    while (*p != ' ' && *p != '\0') ++p;
  }
  return std::strtoll(p, nullptr, 10);
}

bool FileExists(const std::string& path, struct stat* info) {
  return lstat(path.c_str(), info) == 0;
}

int64_t FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? (int64_t)info.st_size : 0;
}

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

Owner ThisProcess() {
  static Owner cached;
  int64_t pid = getpid();
  // A forked child is another process: look again.
  if (cached.pid != pid) cached = Owner{pid, StartTime(pid)};
  return cached;
}

bool IsAlive(const Owner& owner) {
  if (owner.pid <= 0) return false;
  if (kill((pid_t)owner.pid, 0) != 0 && errno == ESRCH) return false;
  if (owner.start == 0) return true;
  int64_t start = StartTime(owner.pid);
  return start == 0 || start == owner.start;
}

// ---------------------------------------------------------------------------

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

std::string Statement::Text(int i) {
  const unsigned char* t = sqlite3_column_text(stmt_, i);
  return t ? std::string((const char*)t, sqlite3_column_bytes(stmt_, i))
           : std::string();
}

const void* Statement::Blob(int i) { return sqlite3_column_blob(stmt_, i); }
size_t Statement::Bytes(int i) {
  return (size_t)sqlite3_column_bytes(stmt_, i);
}

// ---------------------------------------------------------------------------

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

StoreStatus Connection::Failure(std::string_view doing) const {
  int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
  std::string text = db_ ? sqlite3_errmsg(db_) : "cannot open the file";
  int error = db_ ? sqlite3_system_errno(db_) : 0;
  std::string file = path_ + ": ";
  switch (code & 0xFF) {
    case SQLITE_FULL:
      return StoreStatus::DiskFull(file + "the disk is full");
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

StoreStatus Connection::Begin(bool write) {
  return Run(write ? Sql::kBeginWrite : Sql::kBegin);
}

StoreStatus Connection::Commit() {
  StoreStatus status = Run(Sql::kCommit);
  if (!status.ok()) Rollback();
  return status;
}

void Connection::Rollback() {
  if (!sqlite3_get_autocommit(db_)) Run(Sql::kRollback);
}

// ---------------------------------------------------------------------------

std::string EntryName::Key() const {
  std::string key = catalog;
  key += '\0';
  key += name;
  key += '\0';
  key += type;
  return key;
}

Snapshot::~Snapshot() { library_->GiveBack(std::move(connection_)); }

WriterLock::~WriterLock() {
  if (held_) library_->ReleaseWriter(entry_);
}

// ---------------------------------------------------------------------------

LibraryFile::LibraryFile(std::string path, std::string libref,
                         const StoreOptions& options)
    : path_(std::move(path)), libref_(std::move(libref)), options_(options) {
  mode_.read_only = options.read_only;
  ChooseStatements(kFormat, true);
}

// Connections close after their statements; the last connection of the
// last process to close folds the journal into the file and removes it.
LibraryFile::~LibraryFile() {
  if (main_ != nullptr) TrimFreeSpace();
  idle_.clear();
  main_.reset();
}

StoreStatus LibraryFile::Open(const std::string& path,
                              const std::string& libref,
                              const StoreOptions& options, bool create,
                              std::shared_ptr<LibraryFile>* library) {
  // The library is the regular file the name gives, in the data folder: a
  // link planted there is refused, never followed elsewhere.
  struct stat info;
  if (FileExists(path, &info)) {
    if (S_ISLNK(info.st_mode)) {
      return StoreStatus::NotLibrary(
          path +
          ": a symbolic link; a library file must be a regular file in the "
          "data folder");
    }
    if (!S_ISREG(info.st_mode)) {
      return StoreStatus::NotLibrary(path + ": not a regular file");
    }
  } else if (errno != ENOENT) {
    return StoreStatus::IoError(path + ": " + std::strerror(errno));
  } else if (!create || options.read_only) {
    return StoreStatus::NotFound("no such library");
  }
  for (const char* suffix : {"-wal", "-shm"}) {
    if (FileExists(path + suffix, &info) && !S_ISREG(info.st_mode)) {
      return StoreStatus::NotLibrary(path + suffix +
                                     ": not a regular file; a library's "
                                     "journal must be one");
    }
  }
  std::shared_ptr<LibraryFile> made(new LibraryFile(path, libref, options));
  // A library that cannot be written here is still read; its changes are
  // refused saying why.
  if (!options.read_only) {
    std::string why = made->WhyNotWritable();
    if (!why.empty() && !FileExists(path, &info)) {
      return StoreStatus::ReadOnly(path + ": " + why);
    }
    made->mode_.read_only = !why.empty();
    made->read_only_reason_ = why;
  }
  StoreStatus status =
      made->mode_.read_only ? made->OpenReadOnly() : made->OpenFile(create);
  if (!status.ok()) return status;
  *library = std::move(made);
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::ReadOnlyRefusal() const {
  return StoreStatus::ReadOnly(path_ + ": " +
                               (read_only_reason_.empty()
                                    ? std::string("opened for reading only")
                                    : read_only_reason_));
}

// Why this process cannot change the library: its file, or the folder
// where the journal goes, may not be written. Empty when it can.
std::string LibraryFile::WhyNotWritable() const {
  size_t slash = path_.rfind('/');
  std::string folder =
      slash == std::string::npos ? "." : path_.substr(0, slash);
  if (folder.empty()) folder = "/";
  auto why = [](const char* what) {
    return errno == EROFS ? std::string("the library is on read-only media")
                          : std::string("this user may not write ") + what;
  };
  if (access(path_.c_str(), W_OK) != 0 && errno != ENOENT) {
    return why("the library file");
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return why("the data folder, where a library keeps its journal");
  }
  return "";
}

std::string LibraryFile::Describe(const EntryName& entry) const {
  std::string text =
      "entry " + libref_ + "." + entry.catalog + "." + entry.name;
  if (!entry.type.empty()) text += "." + entry.type;
  return text;
}

StoreStatus LibraryFile::OpenFile(bool create) {
  main_ = std::make_unique<Connection>(path_, &sql_);
  if (StoreStatus s = main_->Open(mode_, create); !s.ok()) return s;
  if (StoreStatus s = main_->Exec("PRAGMA synchronous = NORMAL"); !s.ok()) {
    return s;
  }
  if (StoreStatus s = main_->Exec(kJournalLimit); !s.ok()) return s;
  int format = 0;
  if (StoreStatus s = Inspect(*main_, &format); !s.ok()) return s;
  if (format == 0) {
    if (StoreStatus s = MakeSchema(); !s.ok()) return s;
  } else if (format == 1) {
    if (StoreStatus s = MigrateFormat1(); !s.ok()) return s;
  }
  // Housekeeping: a library that cannot be swept now (a full disk, say) is
  // swept by a later writer.
  SweepOrphans();
  return StoreStatus::Ok();
}

// A library on read-only media, or whose folder the user may not write,
// has no journal index (-shm) unless a writer left one, and none can be
// made. With no journal content to read, the file alone is the library:
// it is then opened as immutable. A journal with content is read through
// its index, which SQLite opens read-only when it exists.
StoreStatus LibraryFile::OpenReadOnly() {
  main_ = std::make_unique<Connection>(path_, &sql_);
  int format = 0;
  StoreStatus status = main_->Open(mode_, false);
  if (status.ok()) status = Inspect(*main_, &format);
  if (!status.ok() && status.code() != StoreStatus::kNotLibrary &&
      status.code() != StoreStatus::kCorrupt && FileSize(path_ + "-wal") == 0) {
    mode_.immutable = true;
    main_ = std::make_unique<Connection>(path_, &sql_);
    status = main_->Open(mode_, false);
    if (status.ok()) status = Inspect(*main_, &format);
  }
  if (!status.ok()) return status;
  format_ = format;
  bool has_attributes = true;
  if (format == 1) {
    Statement probe;
    has_attributes =
        probe.Prepare(main_->db(),
                      "SELECT host_attributes FROM entries LIMIT 0") ==
        SQLITE_OK;
  }
  ChooseStatements(format, has_attributes);
  return StoreStatus::Ok();
}

// The stamp, the format number and the tables are read in one transaction:
// another process may be making the library meanwhile.
StoreStatus LibraryFile::Inspect(Connection& connection, int* format) {
  if (!sqlite3_get_autocommit(connection.db())) {
    return InspectNow(connection, format);
  }
  if (StoreStatus s = connection.Begin(false); !s.ok()) return s;
  StoreStatus status = InspectNow(connection, format);
  connection.Rollback();
  return status;
}

StoreStatus LibraryFile::InspectNow(Connection& connection, int* format) {
  int64_t application = 0, version = 0;
  if (StoreStatus s = connection.Integer("PRAGMA application_id", &application);
      !s.ok()) {
    return s;
  }
  if (StoreStatus s = connection.Integer("PRAGMA user_version", &version);
      !s.ok()) {
    return s;
  }
  std::set<std::string> tables;
  {
    Statement list;
    if (list.Prepare(connection.db(),
                     "SELECT name FROM sqlite_schema WHERE type = 'table' "
                     "ORDER BY name") != SQLITE_OK) {
      return connection.Failure("reading the library's tables");
    }
    int rc;
    while ((rc = list.Step()) == SQLITE_ROW) tables.insert(list.Text(0));
    if (rc != SQLITE_DONE) {
      return connection.Failure("reading the library's tables");
    }
  }
  if (application == kApplicationId) {
    if (version == kFormat) {
      *format = kFormat;
      return StoreStatus::Ok();
    }
    if (version > kFormat) {
      return StoreStatus::NotLibrary(
          path_ + ": made by a newer version of this program (format " +
          std::to_string(version) + "); this one reads formats 1 and 2");
    }
    return StoreStatus::Corrupt(path_ +
                                ": the library file is damaged (format " +
                                std::to_string(version) + ")");
  }
  if (application == 0 && version == 0 && tables.empty()) {
    *format = 0;
    return StoreStatus::Ok();
  }
  if (application == 0 && version == 1 && tables.count("catalogs") &&
      tables.count("versions") && tables.count("entries") &&
      tables.count("records")) {
    *format = 1;
    return StoreStatus::Ok();
  }
  std::string what = "not a library of this program (an SQLite database";
  if (application != 0) {
    char id[24];
    std::snprintf(id, sizeof id, "0x%08llX", (unsigned long long)application);
    what += std::string(" of application ") + id;
  }
  if (!tables.empty()) {
    what += tables.size() == 1 ? " with the table" : " with the tables";
    const char* separator = " ";
    for (const std::string& table : tables) {
      what += separator + table;
      separator = ", ";
    }
  }
  return StoreStatus::NotLibrary(path_ + ": " + what + ")");
}

// A new library. Several processes may make it at once: the write lock
// decides, and the others find the tables made.
StoreStatus LibraryFile::MakeSchema() {
  // These settings take effect only on a database without tables. Small
  // SQLite pages waste little room around the rows of small entries; a
  // record page of 64 KiB then spans a chain of them, at no cost that shows.
  if (StoreStatus s = main_->Exec("PRAGMA page_size = 1024"); !s.ok()) {
    return s;
  }
  if (StoreStatus s = main_->Exec("PRAGMA auto_vacuum = INCREMENTAL");
      !s.ok()) {
    return s;
  }
  // Changing the journal needs the file to itself, and SQLite does not
  // wait for that: the change is tried again while others hold the file.
  for (int waited_ms = 0;; waited_ms += 10) {
    StoreStatus s = main_->Exec("PRAGMA journal_mode = WAL");
    if (s.ok()) break;
    if (!s.IsBusy() || waited_ms >= kBusyTimeoutMs) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Change([&]() -> StoreStatus {
    int format = 0;
    if (StoreStatus s = Inspect(*main_, &format); !s.ok()) return s;
    if (format == kFormat) return StoreStatus::Ok();
    if (format != 0) {
      return StoreStatus::IoError(path_ +
                                  ": made by another program meanwhile");
    }
    for (const char* tables : {kSharedTables, kFormat2Tables}) {
      if (StoreStatus s = main_->Exec(tables); !s.ok()) return s;
    }
    return Stamp();
  });
}

// Marks the file as a library of this program, of format 2; inside the
// caller's transaction.
StoreStatus LibraryFile::Stamp() {
  std::string stamp =
      "PRAGMA application_id = " + std::to_string(kApplicationId) +
      "; PRAGMA user_version = " + std::to_string(kFormat);
  return main_->Exec(stamp.c_str());
}

// Brings a library of format 1 to format 2 in one transaction: each
// version's records become pages, the records table goes, and the file is
// stamped. A version that claimed more records than it held (a fault of
// format-1 writers racing on one entry) keeps the records it holds. The
// file is then rebuilt, best effort, to give the records' room back.
StoreStatus LibraryFile::MigrateFormat1() {
  StoreStatus status = Change([&]() -> StoreStatus {
    int format = 0;
    if (StoreStatus s = Inspect(*main_, &format); !s.ok()) return s;
    if (format == kFormat) return StoreStatus::Ok();  // done by another
    Statement probe;
    if (probe.Prepare(main_->db(),
                      "SELECT host_attributes FROM entries LIMIT 0") !=
        SQLITE_OK) {
      if (StoreStatus s = main_->Exec(
              "ALTER TABLE entries ADD COLUMN host_attributes TEXT NOT NULL "
              "DEFAULT ''");
          !s.ok()) {
        return s;
      }
    }
    if (StoreStatus s = main_->Exec(
            "ALTER TABLE versions ADD COLUMN owner_start INTEGER NOT NULL "
            "DEFAULT 0");
        !s.ok()) {
      return s;
    }
    if (StoreStatus s = main_->Exec(kFormat2Tables); !s.ok()) return s;
    std::vector<std::pair<int64_t, int64_t>> versions;
    {
      Statement list;
      if (list.Prepare(main_->db(), "SELECT id, record_count FROM versions") !=
          SQLITE_OK) {
        return main_->Failure("reading the library's versions");
      }
      while (list.Step() == SQLITE_ROW) {
        versions.emplace_back(list.Int(0), list.Int(1));
      }
    }
    for (const auto& [version, claimed] : versions) {
      if (StoreStatus s = MigrateVersion(version, claimed); !s.ok()) return s;
    }
    if (StoreStatus s = main_->Exec("DROP TABLE records"); !s.ok()) return s;
    return Stamp();
  });
  if (!status.ok()) return status;
  if (main_->Exec("PRAGMA auto_vacuum = INCREMENTAL").ok()) {
    main_->Exec("VACUUM");
  }
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::MigrateVersion(int64_t version, int64_t claimed) {
  StoreStatus status;
  Statement* records = main_->Get(Sql::kRecordsBetween, &status);
  if (records == nullptr) return status;
  records->Bind(1, PageKey(version, 0));
  records->Bind(2, PageKey(version, (uint64_t)std::max<int64_t>(claimed, 0)));
  RecordPage page;
  page.Reset(0);
  uint64_t held = 0;
  uint32_t longest = 0;
  int rc;
  while (status.ok() && (rc = records->Step()) == SQLITE_ROW) {
    uint32_t length = (uint32_t)records->Bytes(2);
    if (!page.Fits(length)) {
      status = InsertPage(version, page);
      page.Reset(held);
    }
    page.Append(records->Blob(2), length, (uint16_t)records->Int(1));
    longest = std::max(longest, length);
    ++held;
  }
  if (status.ok() && rc != SQLITE_DONE) {
    status = main_->Failure("reading the records of a version");
  }
  records->Reset();
  if (status.ok() && !page.empty()) status = InsertPage(version, page);
  if (!status.ok()) return status;
  Statement set;
  if (set.Prepare(main_->db(),
                  "UPDATE versions SET record_count = ?1, longest = ?2 "
                  "WHERE id = ?3") != SQLITE_OK) {
    return main_->Failure("updating a version");
  }
  set.Bind(1, (int64_t)held);
  set.Bind(2, (int64_t)longest);
  set.Bind(3, version);
  if (set.Step() != SQLITE_DONE) return main_->Failure("updating a version");
  return StoreStatus::Ok();
}

void LibraryFile::ChooseStatements(int format, bool has_attributes) {
  const std::string attributes = has_attributes ? "e.host_attributes" : "''";
  auto set = [&](Sql which, std::string text) {
    sql_[(int)which] = std::move(text);
  };
  set(Sql::kFindCatalog, "SELECT id FROM catalogs WHERE name = ?1");
  set(Sql::kInsertCatalog, "INSERT OR IGNORE INTO catalogs(name) VALUES(?1)");
  set(Sql::kListCatalogs,
      "SELECT c.name, count(e.name) FROM catalogs c LEFT JOIN entries e "
      "ON e.catalog_id = c.id GROUP BY c.id ORDER BY c.name");
  set(Sql::kCatalogVersions,
      "SELECT version_id FROM entries WHERE catalog_id = ?1");
  set(Sql::kDeleteCatalogEntries, "DELETE FROM entries WHERE catalog_id = ?1");
  set(Sql::kDeleteCatalog, "DELETE FROM catalogs WHERE id = ?1");
  set(Sql::kFindEntry,
      "SELECT e.description, e.created, e.modified, e.version_id, "
      "v.record_count, v.longest, " +
          attributes +
          " FROM entries e JOIN versions v ON v.id = e.version_id "
          "WHERE e.catalog_id = ?1 AND e.name = ?2 AND e.type = ?3");
  set(Sql::kFindNamedEntry,
      "SELECT e.description, e.created, e.modified, e.version_id, "
      "v.record_count, v.longest, " +
          attributes +
          " FROM catalogs c JOIN entries e ON e.catalog_id = c.id "
          "JOIN versions v ON v.id = e.version_id "
          "WHERE c.name = ?1 AND e.name = ?2 AND e.type = ?3");
  set(Sql::kListEntries,
      "SELECT e.name, e.type, e.description, e.created, e.modified, "
      "e.version_id, v.record_count, v.longest, " +
          attributes +
          " FROM entries e JOIN versions v ON v.id = e.version_id "
          "WHERE e.catalog_id = ?1 ORDER BY e.name, e.type");
  set(Sql::kUpsertEntry,
      "INSERT INTO entries(catalog_id, name, type, description, created, "
      "modified, version_id, host_attributes) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?5, ?6, coalesce(?7, '')) "
      "ON CONFLICT(catalog_id, name, type) DO UPDATE SET "
      "description = CASE WHEN ?4 <> '' THEN ?4 ELSE description END, "
      "modified = ?5, version_id = ?6, "
      "host_attributes = coalesce(?7, host_attributes)");
  set(Sql::kDeleteEntry,
      "DELETE FROM entries WHERE catalog_id = ?1 AND name = ?2 AND type = ?3");
  set(Sql::kNewVersion,
      "INSERT INTO versions(state, owner_pid, owner_start) VALUES(?1, ?2, ?3)");
  set(Sql::kSetVersion,
      "UPDATE versions SET state = ?1, record_count = ?2, longest = ?3 "
      "WHERE id = ?4");
  set(Sql::kDeleteVersion, "DELETE FROM versions WHERE id = ?1");
  set(Sql::kFindPage,
      "SELECT key, count, longest, data FROM pages "
      "WHERE key <= ?1 AND key >= ?2 ORDER BY key DESC LIMIT 1");
  set(Sql::kPagesBetween,
      "SELECT key, count, longest, data FROM pages "
      "WHERE key >= ?1 AND key < ?2 ORDER BY key");
  set(Sql::kInsertPage,
      "INSERT INTO pages(key, count, longest, data) VALUES(?1, ?2, ?3, ?4)");
  set(Sql::kDeletePages, "DELETE FROM pages WHERE key >= ?1 AND key < ?2");
  set(Sql::kLongestBetween,
      "SELECT coalesce(max(longest), 0) FROM pages "
      "WHERE key >= ?1 AND key < ?2");
  set(Sql::kFindWriter,
      "SELECT owner_pid, owner_start FROM writers "
      "WHERE catalog = ?1 AND name = ?2 AND type = ?3");
  set(Sql::kCatalogWriters,
      "SELECT owner_pid, owner_start FROM writers WHERE catalog = ?1");
  set(Sql::kPutWriter,
      "INSERT OR REPLACE INTO writers(catalog, name, type, owner_pid, "
      "owner_start) VALUES(?1, ?2, ?3, ?4, ?5)");
  set(Sql::kDropWriter,
      "DELETE FROM writers WHERE catalog = ?1 AND name = ?2 AND type = ?3 "
      "AND owner_pid = ?4 AND owner_start = ?5");
  set(Sql::kRecordsBetween,
      "SELECT key, kind, data FROM records WHERE key >= ?1 AND key < ?2 "
      "ORDER BY key");
  set(Sql::kBegin, "BEGIN");
  set(Sql::kBeginWrite, "BEGIN IMMEDIATE");
  set(Sql::kCommit, "COMMIT");
  set(Sql::kRollback, "ROLLBACK");
  set(Sql::kSchemaSize, "SELECT count(*) FROM sqlite_schema");
  set(Sql::kFreePages, "PRAGMA freelist_count");
  format_ = format;
}

// ---------------------------------------------------------------------------
// Transactions.

template <typename Body>
StoreStatus LibraryFile::Change(Body&& body) {
  if (mode_.read_only) return ReadOnlyRefusal();
  if (StoreStatus s = main_->Begin(true); !s.ok()) return s;
  // What earlier changes could not do goes first.
  StoreStatus status;
  for (const EntryName& entry : unreleased_) {
    if (status.ok()) status = DropWriter(entry);
  }
  for (int64_t version : undiscarded_) {
    if (status.ok()) status = DeleteVersion(version);
  }
  if (status.ok()) status = body();
  if (status.ok()) {
    status = main_->Commit();
  } else {
    main_->Rollback();
  }
  if (status.ok()) {
    unreleased_.clear();
    undiscarded_.clear();
  }
  return status;
}

template <typename Held, typename Body>
StoreStatus LibraryFile::WhenFree(Held&& held, Body&& body,
                                  const std::string& busy_message) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(options_.lock_timeout_ms);
  int pause_ms = 5;
  for (;;) {
    bool waiting = false;
    StoreStatus status = Change([&]() -> StoreStatus {
      if (StoreStatus s = held(&waiting); !s.ok() || waiting) return s;
      return body();
    });
    if (!status.ok() || !waiting) return status;
    if (std::chrono::steady_clock::now() >= deadline) {
      return StoreStatus::Busy(busy_message);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    pause_ms = std::min(pause_ms * 2, 100);
  }
}

StoreStatus LibraryFile::Damaged(const std::string& what) const {
  return StoreStatus::Corrupt(path_ + ": the library file is damaged (" + what +
                              ")");
}

// ---------------------------------------------------------------------------
// Catalogs and entries.

StoreStatus LibraryFile::CatalogId(Connection* connection,
                                   std::string_view name, int64_t* id) {
  if (format_ == 0) return StoreStatus::NotFound("no such catalog");
  Connection& c = connection ? *connection : *main_;
  StoreStatus status;
  Statement* st = c.Get(Sql::kFindCatalog, &status);
  if (st == nullptr) return status;
  st->Bind(1, name);
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    *id = st->Int(0);
  } else if (rc == SQLITE_DONE) {
    status = StoreStatus::NotFound("no such catalog");
  } else {
    status = c.Failure("finding a catalog");
  }
  st->Reset();
  return status;
}

StoreStatus LibraryFile::InsertCatalog(std::string_view name, int64_t* id) {
  StoreStatus status;
  Statement* st = main_->Get(Sql::kInsertCatalog, &status);
  if (st == nullptr) return status;
  st->Bind(1, name);
  int rc = st->Step();
  st->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("making a catalog");
  return CatalogId(nullptr, name, id);
}

StoreStatus LibraryFile::CreateCatalog(std::string_view name) {
  int64_t id;
  if (CatalogId(nullptr, name, &id).ok()) return StoreStatus::Ok();
  return Change([&] { return InsertCatalog(name, &id); });
}

StoreStatus LibraryFile::ListCatalogs(std::vector<CatalogInfo>* out) {
  if (format_ == 0) return StoreStatus::Ok();
  StoreStatus status;
  Statement* st = main_->Get(Sql::kListCatalogs, &status);
  if (st == nullptr) return status;
  int rc;
  while ((rc = st->Step()) == SQLITE_ROW) {
    out->push_back({st->Text(0), st->Int(1)});
  }
  st->Reset();
  return rc == SQLITE_DONE ? StoreStatus::Ok()
                           : main_->Failure("listing the catalogs");
}

StoreStatus LibraryFile::ForeignWriter(const EntryName& entry, bool* held) {
  StoreStatus status;
  Statement* st = main_->Get(Sql::kFindWriter, &status);
  if (st == nullptr) return status;
  st->Bind(1, entry.catalog);
  st->Bind(2, entry.name);
  st->Bind(3, entry.type);
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    Owner owner{st->Int(0), st->Int(1)};
    *held = !(owner == ThisProcess()) && IsAlive(owner);
  } else if (rc != SQLITE_DONE) {
    status = main_->Failure("looking for writers");
  }
  st->Reset();
  return status;
}

StoreStatus LibraryFile::DeleteCatalog(std::string_view name,
                                       bool with_entries) {
  // Writers of other processes would bring back entries taken with the
  // catalog, so they finish first; a writer of a new entry in an empty
  // catalog brings the catalog back at its commit, which is its right.
  auto held = [&](bool* waiting) -> StoreStatus {
    if (!with_entries) return StoreStatus::Ok();
    StoreStatus status;
    Statement* st = main_->Get(Sql::kCatalogWriters, &status);
    if (st == nullptr) return status;
    st->Bind(1, name);
    int rc;
    Owner me = ThisProcess();
    while ((rc = st->Step()) == SQLITE_ROW) {
      Owner owner{st->Int(0), st->Int(1)};
      if (!(owner == me) && IsAlive(owner)) *waiting = true;
    }
    st->Reset();
    return rc == SQLITE_DONE ? StoreStatus::Ok()
                             : main_->Failure("looking for writers");
  };
  auto body = [&]() -> StoreStatus {
    int64_t id;
    if (StoreStatus s = CatalogId(nullptr, name, &id); !s.ok()) return s;
    std::vector<int64_t> versions;
    StoreStatus status;
    Statement* st = main_->Get(Sql::kCatalogVersions, &status);
    if (st == nullptr) return status;
    st->Bind(1, id);
    int rc;
    while ((rc = st->Step()) == SQLITE_ROW) versions.push_back(st->Int(0));
    st->Reset();
    if (rc != SQLITE_DONE) return main_->Failure("listing entries");
    if (!versions.empty() && !with_entries) {
      return StoreStatus::NotEmpty("the catalog holds entries");
    }
    for (int64_t version : versions) {
      if (StoreStatus s = DeleteVersion(version); !s.ok()) return s;
    }
    for (Sql which : {Sql::kDeleteCatalogEntries, Sql::kDeleteCatalog}) {
      Statement* del = main_->Get(which, &status);
      if (del == nullptr) return status;
      del->Bind(1, id);
      rc = del->Step();
      del->Reset();
      if (rc != SQLITE_DONE) return main_->Failure("deleting a catalog");
    }
    return StoreStatus::Ok();
  };
  StoreStatus status =
      WhenFree(held, body,
               path_ + ": catalog " + libref_ + "." + std::string(name) +
                   " has entries being written by another process");
  if (status.ok()) TrimFreeSpace();
  return status;
}

StoreStatus LibraryFile::FindEntry(Connection* connection, int64_t catalog,
                                   std::string_view name, std::string_view type,
                                   EntryRow* row) {
  Connection& c = connection ? *connection : *main_;
  StoreStatus status;
  Statement* st = c.Get(Sql::kFindEntry, &status);
  if (st == nullptr) return status;
  st->Bind(1, catalog);
  return EntryOf(c, st, name, type, row);
}

StoreStatus LibraryFile::FindEntry(Connection* connection,
                                   std::string_view catalog,
                                   std::string_view name, std::string_view type,
                                   EntryRow* row) {
  if (format_ == 0) return StoreStatus::NotFound("no such catalog");
  Connection& c = connection ? *connection : *main_;
  StoreStatus status;
  Statement* st = c.Get(Sql::kFindNamedEntry, &status);
  if (st == nullptr) return status;
  st->Bind(1, catalog);
  status = EntryOf(c, st, name, type, row);
  if (status.IsNotFound()) {
    // Say whether it is the catalog that is missing.
    int64_t id;
    if (StoreStatus s = CatalogId(&c, catalog, &id); !s.ok()) return s;
  }
  return status;
}

StoreStatus LibraryFile::EntryOf(Connection& c, Statement* st,
                                 std::string_view name, std::string_view type,
                                 EntryRow* row) {
  StoreStatus status;
  st->Bind(2, name);
  st->Bind(3, type);
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    row->info.name = std::string(name);
    row->info.type = std::string(type);
    row->info.description = st->Text(0);
    row->info.created_micros = st->Int(1);
    row->info.modified_micros = st->Int(2);
    row->version = st->Int(3);
    row->info.record_count = st->Int(4);
    row->info.longest_record = (int32_t)st->Int(5);
    row->info.host_attributes = st->Text(6);
  } else if (rc == SQLITE_DONE) {
    status = StoreStatus::NotFound("no such entry");
  } else {
    status = c.Failure("finding an entry");
  }
  st->Reset();
  return status;
}

StoreStatus LibraryFile::ListEntries(int64_t catalog,
                                     std::vector<EntryInfo>* out) {
  StoreStatus status;
  Statement* st = main_->Get(Sql::kListEntries, &status);
  if (st == nullptr) return status;
  st->Bind(1, catalog);
  int rc;
  while ((rc = st->Step()) == SQLITE_ROW) {
    EntryInfo info;
    info.name = st->Text(0);
    info.type = st->Text(1);
    info.description = st->Text(2);
    info.created_micros = st->Int(3);
    info.modified_micros = st->Int(4);
    info.record_count = st->Int(6);
    info.longest_record = (int32_t)st->Int(7);
    info.host_attributes = st->Text(8);
    out->push_back(std::move(info));
  }
  st->Reset();
  return rc == SQLITE_DONE ? StoreStatus::Ok()
                           : main_->Failure("listing entries");
}

// Points the entry at version (making the entry when absent) and drops the
// entry's previous version; inside the caller's transaction. attributes:
// the host attributes to store; null keeps the entry's.
StoreStatus LibraryFile::SetEntryVersion(int64_t catalog,
                                         const EntryName& entry,
                                         std::string_view description,
                                         int64_t version,
                                         const std::string* attributes) {
  EntryRow old;
  StoreStatus found = FindEntry(nullptr, catalog, entry.name, entry.type, &old);
  if (!found.ok() && !found.IsNotFound()) return found;
  StoreStatus status;
  Statement* st = main_->Get(Sql::kUpsertEntry, &status);
  if (st == nullptr) return status;
  st->Bind(1, catalog);
  st->Bind(2, entry.name);
  st->Bind(3, entry.type);
  st->Bind(4, description);
  st->Bind(5, NowMicros());
  st->Bind(6, version);
  if (attributes != nullptr) st->Bind(7, *attributes);
  int rc = st->Step();
  st->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("storing an entry");
  if (found.ok() && old.version != version) return DeleteVersion(old.version);
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::DeleteEntry(int64_t catalog, const EntryName& entry) {
  auto held = [&](bool* waiting) { return ForeignWriter(entry, waiting); };
  auto body = [&]() -> StoreStatus {
    EntryRow old;
    if (StoreStatus s =
            FindEntry(nullptr, catalog, entry.name, entry.type, &old);
        !s.ok()) {
      return s;
    }
    StoreStatus status;
    Statement* st = main_->Get(Sql::kDeleteEntry, &status);
    if (st == nullptr) return status;
    st->Bind(1, catalog);
    st->Bind(2, entry.name);
    st->Bind(3, entry.type);
    int rc = st->Step();
    st->Reset();
    if (rc != SQLITE_DONE) return main_->Failure("deleting an entry");
    return DeleteVersion(old.version);
  };
  StoreStatus status = WhenFree(
      held, body,
      path_ + ": " + Describe(entry) + " is being written by another process");
  if (status.ok()) TrimFreeSpace();
  return status;
}

// ---------------------------------------------------------------------------
// Writers and readers.

StoreStatus LibraryFile::LockForWriting(const EntryName& entry,
                                        std::unique_ptr<WriterLock>* lock) {
  if (mode_.read_only) return ReadOnlyRefusal();
  std::string key = entry.Key();
  auto it = writing_.find(key);
  if (it == writing_.end()) {
    auto held = [&](bool* waiting) { return ForeignWriter(entry, waiting); };
    auto body = [&] {
      return WriterRow(Sql::kPutWriter, entry, "marking an entry written");
    };
    StoreStatus status = WhenFree(held, body,
                                  path_ + ": " + Describe(entry) +
                                      " is being written by another process");
    if (!status.ok()) return status;
    writing_[key] = 1;
  } else {
    ++it->second;
  }
  *lock = std::make_unique<WriterLock>(this, entry);
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::DropWriter(const EntryName& entry) {
  return WriterRow(Sql::kDropWriter, entry, "releasing an entry");
}

// Puts or drops this process's row of the entry's writer lock.
StoreStatus LibraryFile::WriterRow(Sql which, const EntryName& entry,
                                   const char* doing) {
  StoreStatus status;
  Statement* st = main_->Get(which, &status);
  if (st == nullptr) return status;
  Owner me = ThisProcess();
  st->Bind(1, entry.catalog);
  st->Bind(2, entry.name);
  st->Bind(3, entry.type);
  st->Bind(4, me.pid);
  st->Bind(5, me.start);
  int rc = st->Step();
  st->Reset();
  return rc == SQLITE_DONE ? StoreStatus::Ok() : main_->Failure(doing);
}

// The last cursor of this process on the entry drops the lock's row; when
// that fails (a full disk), the next change of the library drops it.
void LibraryFile::ReleaseWriter(const EntryName& entry) {
  auto it = writing_.find(entry.Key());
  if (it == writing_.end() || --it->second > 0) return;
  writing_.erase(it);
  if (!Change([&] { return DropWriter(entry); }).ok()) {
    unreleased_.push_back(entry);
  }
}

StoreStatus LibraryFile::TakeSnapshot(std::unique_ptr<Snapshot>* snapshot) {
  std::unique_ptr<Connection> connection;
  if (!idle_.empty()) {
    connection = std::move(idle_.back());
    idle_.pop_back();
  } else {
    connection = std::make_unique<Connection>(path_, &sql_);
    if (StoreStatus s = connection->Open(mode_, false); !s.ok()) return s;
  }
  if (StoreStatus s = connection->Begin(false); !s.ok()) return s;
  // The first read fixes what the transaction sees.
  int64_t tables;
  if (StoreStatus s = connection->Integer(Sql::kSchemaSize, &tables); !s.ok()) {
    connection->Rollback();
    return s;
  }
  *snapshot = std::make_unique<Snapshot>(this, std::move(connection));
  return StoreStatus::Ok();
}

void LibraryFile::GiveBack(std::unique_ptr<Connection> connection) {
  connection->Rollback();
  if (idle_.size() < kIdleConnections) idle_.push_back(std::move(connection));
}

// ---------------------------------------------------------------------------
// Versions and pages.

StoreStatus LibraryFile::NewVersion(int state, int64_t* version) {
  StoreStatus status;
  Statement* st = main_->Get(Sql::kNewVersion, &status);
  if (st == nullptr) return status;
  Owner me = ThisProcess();
  st->Bind(1, state);
  st->Bind(2, me.pid);
  st->Bind(3, me.start);
  int rc = st->Step();
  st->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("making a version");
  *version = sqlite3_last_insert_rowid(main_->db());
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::DeleteVersion(int64_t version) {
  StoreStatus status;
  Statement* pages = main_->Get(Sql::kDeletePages, &status);
  if (pages == nullptr) return status;
  pages->Bind(1, PageKey(version, 0));
  pages->Bind(2, PageKey(version + 1, 0));
  int rc = pages->Step();
  pages->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("dropping a version");
  Statement* st = main_->Get(Sql::kDeleteVersion, &status);
  if (st == nullptr) return status;
  st->Bind(1, version);
  rc = st->Step();
  st->Reset();
  return rc == SQLITE_DONE ? StoreStatus::Ok()
                           : main_->Failure("dropping a version");
}

StoreStatus LibraryFile::InsertPage(int64_t version, const RecordPage& page) {
  std::string why;
  if (!page.Encode(codec_, &why))
    return StoreStatus::IoError(path_ + ": " + why);
  StoreStatus status;
  Statement* st = main_->Get(Sql::kInsertPage, &status);
  if (st == nullptr) return status;
  const std::string& frame = codec_.frame();
  st->Bind(1, PageKey(version, page.first()));
  st->Bind(2, (int64_t)page.count());
  st->Bind(3, (int64_t)page.longest());
  st->BindBlob(4, frame.data(), frame.size());
  int rc = st->Step();
  st->Reset();
  return rc == SQLITE_DONE ? StoreStatus::Ok()
                           : main_->Failure("writing records");
}

StoreStatus LibraryFile::LoadPage(Connection* connection, int64_t version,
                                  uint64_t number, uint64_t count,
                                  RecordPage* page) {
  Connection& c = connection ? *connection : *main_;
  StoreStatus status;
  std::string missing =
      "record " + std::to_string(number) + " of an entry is missing";
  if (format_ == 1) {
    // One row a record: up to kFormat1PageRecords consecutive ones.
    Statement* st = c.Get(Sql::kRecordsBetween, &status);
    if (st == nullptr) return status;
    st->Bind(1, PageKey(version, number));
    st->Bind(2, PageKey(version, count));
    page->Reset(number);
    int rc = SQLITE_DONE;
    while (page->count() < kFormat1PageRecords &&
           (rc = st->Step()) == SQLITE_ROW &&
           st->Int(0) == PageKey(version, page->end())) {
      page->Append(st->Blob(2), (uint32_t)st->Bytes(2), (uint16_t)st->Int(1));
    }
    if (page->empty() && rc != SQLITE_ROW && rc != SQLITE_DONE) {
      status = c.Failure("reading records");
    } else if (page->empty()) {
      status = Damaged(missing);
    }
    st->Reset();
    return status;
  }
  Statement* st = c.Get(Sql::kFindPage, &status);
  if (st == nullptr) return status;
  st->Bind(1, PageKey(version, number));
  st->Bind(2, PageKey(version, 0));
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    uint64_t first = (uint64_t)(st->Int(0) - PageKey(version, 0));
    int64_t records = st->Int(1);
    int64_t longest = st->Int(2);
    std::string why;
    if (records <= 0 || records > UINT32_MAX || longest < 0 ||
        longest > UINT32_MAX || number >= first + (uint64_t)records) {
      status = Damaged(missing);
    } else if (!page->Decode(codec_, st->Blob(3), st->Bytes(3), first,
                             (uint32_t)records, (uint32_t)longest, &why)) {
      status = Damaged("the page holding record " + std::to_string(number) +
                       " of an entry: " + why);
    }
  } else if (rc == SQLITE_DONE) {
    status = Damaged(missing);
  } else {
    status = c.Failure("reading records");
  }
  st->Reset();
  return status;
}

StoreStatus LibraryFile::NewStaging(int64_t* version) {
  return Change([&] { return NewVersion(kStaging, version); });
}

StoreStatus LibraryFile::StorePage(int64_t version, const RecordPage& page) {
  return Change([&] { return InsertPage(version, page); });
}

StoreStatus LibraryFile::DropPagesFrom(int64_t version, uint64_t from,
                                       uint32_t* longest) {
  StoreStatus status = Change([&]() -> StoreStatus {
    StoreStatus s;
    Statement* st = main_->Get(Sql::kDeletePages, &s);
    if (st == nullptr) return s;
    st->Bind(1, PageKey(version, from));
    st->Bind(2, PageKey(version + 1, 0));
    int rc = st->Step();
    st->Reset();
    return rc == SQLITE_DONE ? StoreStatus::Ok()
                             : main_->Failure("dropping records");
  });
  if (!status.ok()) return status;
  Statement* st = main_->Get(Sql::kLongestBetween, &status);
  if (st == nullptr) return status;
  st->Bind(1, PageKey(version, 0));
  st->Bind(2, PageKey(version, from));
  int rc = st->Step();
  if (rc == SQLITE_ROW) {
    *longest = (uint32_t)st->Int(0);
  } else {
    status = main_->Failure("reading record lengths");
  }
  st->Reset();
  return status;
}

StoreStatus LibraryFile::CopyPages(Connection& source, int64_t from, int64_t to,
                                   uint64_t before, uint64_t* records,
                                   uint32_t* longest) {
  StoreStatus status;
  Statement* pages = source.Get(Sql::kPagesBetween, &status);
  if (pages == nullptr) return status;
  pages->Bind(1, PageKey(from, 0));
  pages->Bind(2, PageKey(from, before));
  *records = 0;
  *longest = 0;
  bool more = true;
  while (more && status.ok()) {
    status = Change([&]() -> StoreStatus {
      StoreStatus s;
      Statement* insert = main_->Get(Sql::kInsertPage, &s);
      if (insert == nullptr) return s;
      for (int i = 0; i < kCopyBatchPages; ++i) {
        int rc = pages->Step();
        if (rc == SQLITE_DONE) {
          more = false;
          break;
        }
        if (rc != SQLITE_ROW) return source.Failure("reading records");
        uint64_t first = (uint64_t)(pages->Int(0) - PageKey(from, 0));
        if (first != *records) {
          return Damaged("the pages of an entry do not follow each other");
        }
        int64_t count = pages->Int(1);
        insert->Bind(1, PageKey(to, first));
        insert->Bind(2, count);
        insert->Bind(3, pages->Int(2));
        insert->BindBlob(4, pages->Blob(3), pages->Bytes(3));
        int done = insert->Step();
        insert->Reset();
        if (done != SQLITE_DONE) return main_->Failure("copying records");
        *records += (uint64_t)count;
        *longest = std::max(*longest, (uint32_t)pages->Int(2));
      }
      return StoreStatus::Ok();
    });
  }
  pages->Reset();
  return status;
}

// When that fails (a full disk), the next change of the library drops the
// version; a later process's sweep, when this one ends first.
void LibraryFile::DiscardStaging(int64_t version) {
  if (mode_.read_only) return;
  if (!Change([&] { return DeleteVersion(version); }).ok()) {
    undiscarded_.push_back(version);
  }
}

StoreStatus LibraryFile::Commit(const Commitment& c) {
  std::string key = c.entry->Key();
  auto writing = writing_.find(key);
  bool last_writer = writing != writing_.end() && writing->second == 1;
  StoreStatus status = Change([&]() -> StoreStatus {
    // A catalog deleted while the cursor was open comes back with it.
    int64_t catalog;
    if (StoreStatus s = InsertCatalog(c.entry->catalog, &catalog); !s.ok()) {
      return s;
    }
    int64_t version = c.staging;
    if (version != 0) {
      if (c.last_page != nullptr && !c.last_page->empty()) {
        if (StoreStatus s = InsertPage(version, *c.last_page); !s.ok()) {
          return s;
        }
      }
      StoreStatus s;
      Statement* st = main_->Get(Sql::kSetVersion, &s);
      if (st == nullptr) return s;
      st->Bind(1, kLive);
      st->Bind(2, (int64_t)c.count);
      st->Bind(3, (int64_t)c.longest);
      st->Bind(4, version);
      int rc = st->Step();
      st->Reset();
      if (rc != SQLITE_DONE) return main_->Failure("storing an entry");
      if (sqlite3_changes(main_->db()) != 1) {
        return Damaged("a writer's records were taken away");
      }
    } else {
      EntryRow row;
      StoreStatus s = StoreStatus::NotFound("");
      if (c.keep_current) {
        s = FindEntry(nullptr, catalog, c.entry->name, c.entry->type, &row);
        if (!s.ok() && !s.IsNotFound()) return s;
      }
      if (s.ok()) {
        version = row.version;
      } else if (StoreStatus made = NewVersion(kLive, &version); !made.ok()) {
        return made;
      }
    }
    if (StoreStatus s = SetEntryVersion(catalog, *c.entry, c.description,
                                        version, c.attributes);
        !s.ok()) {
      return s;
    }
    return last_writer ? DropWriter(*c.entry) : StoreStatus::Ok();
  });
  if (status.ok() && c.lock != nullptr) {
    c.lock->Released();
    if (writing != writing_.end() && --writing->second == 0) {
      writing_.erase(writing);
    }
  }
  return status;
}

// ---------------------------------------------------------------------------
// Housekeeping, check and compaction.

// Removes the versions of writers that are gone (a process killed while
// writing) and live versions no entry uses, and the writer locks of
// processes that are gone. Whether an owner is gone is decided inside the
// write transaction: a writer seen alive before it could commit and end
// while a sweep looked, and its committed version would go with it.
StoreStatus LibraryFile::SweepOrphans() {
  if (mode_.read_only) return StoreStatus::Ok();
  // Most opens find nothing to look at, and take no lock for it.
  int64_t candidates = 0;
  if (StoreStatus s = main_->Integer(
          "SELECT (SELECT count(*) FROM versions WHERE state <> 1 OR id NOT "
          "IN (SELECT version_id FROM entries)) + "
          "(SELECT count(*) FROM writers)",
          &candidates);
      !s.ok() || candidates == 0) {
    return s;
  }
  return Change([&]() -> StoreStatus {
    std::vector<int64_t> orphans;
    std::vector<EntryName> dead_writers;
    {
      Statement st;
      if (st.Prepare(main_->db(),
                     "SELECT id, state, owner_pid, owner_start FROM versions "
                     "WHERE state <> 1 OR id NOT IN "
                     "(SELECT version_id FROM entries)") != SQLITE_OK) {
        return main_->Failure("looking for orphans");
      }
      while (st.Step() == SQLITE_ROW) {
        if (st.Int(1) == kLive || !IsAlive(Owner{st.Int(2), st.Int(3)})) {
          orphans.push_back(st.Int(0));
        }
      }
      Statement writers;
      if (writers.Prepare(main_->db(),
                          "SELECT catalog, name, type, owner_pid, owner_start "
                          "FROM writers") != SQLITE_OK) {
        return main_->Failure("looking for writers");
      }
      while (writers.Step() == SQLITE_ROW) {
        if (!IsAlive(Owner{writers.Int(3), writers.Int(4)})) {
          dead_writers.push_back(
              {writers.Text(0), writers.Text(1), writers.Text(2)});
        }
      }
    }
    for (int64_t version : orphans) {
      if (StoreStatus s = DeleteVersion(version); !s.ok()) return s;
    }
    Statement drop;
    if (drop.Prepare(main_->db(),
                     "DELETE FROM writers WHERE catalog = ?1 AND name = ?2 "
                     "AND type = ?3") != SQLITE_OK) {
      return main_->Failure("releasing entries");
    }
    for (const EntryName& entry : dead_writers) {
      drop.Bind(1, entry.catalog);
      drop.Bind(2, entry.name);
      drop.Bind(3, entry.type);
      int rc = drop.Step();
      drop.Reset();
      if (rc != SQLITE_DONE) return main_->Failure("releasing entries");
    }
    return StoreStatus::Ok();
  });
}

void LibraryFile::TrimFreeSpace() {
  if (mode_.read_only) return;
  int64_t free_pages = 0, page_size = 0;
  if (!main_->Integer(Sql::kFreePages, &free_pages).ok() ||
      !main_->Integer("PRAGMA page_size", &page_size).ok() ||
      free_pages * page_size < kTrimBytes) {
    return;
  }
  main_->Exec("PRAGMA incremental_vacuum");
}

int64_t LibraryFile::FileBytes() const {
  return FileSize(path_) + FileSize(path_ + "-wal");
}

StoreStatus LibraryFile::CheckVersion(Connection& connection,
                                      const std::string& entry, int64_t version,
                                      int64_t count, int64_t longest,
                                      LibraryCheck* check) {
  RecordPage page;
  uint64_t number = 0;
  uint32_t seen_longest = 0;
  while (number < (uint64_t)count) {
    StoreStatus s =
        LoadPage(&connection, version, number, (uint64_t)count, &page);
    if (s.code() == StoreStatus::kCorrupt) {
      check->problems.push_back(entry + ": " + s.message());
      return StoreStatus::Ok();
    }
    if (!s.ok()) return s;
    if (page.first() != number) {
      check->problems.push_back(entry + ": its pages overlap at record " +
                                std::to_string(number));
      return StoreStatus::Ok();
    }
    ++check->pages;
    check->records += page.count();
    seen_longest = std::max(seen_longest, page.longest());
    number = page.end();
  }
  if (seen_longest != (uint64_t)longest) {
    check->problems.push_back(entry +
                              ": its longest record does not agree with the "
                              "one noted (" +
                              std::to_string(seen_longest) + " and " +
                              std::to_string(longest) + " bytes)");
  }
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::Check(LibraryCheck* check) {
  check->file = path_;
  check->file_bytes = FileBytes();
  if (format_ == 0) return StoreStatus::Ok();
  std::unique_ptr<Snapshot> snapshot;
  if (StoreStatus s = TakeSnapshot(&snapshot); !s.ok()) return s;
  Connection& c = snapshot->connection();
  {
    Statement integrity;
    if (integrity.Prepare(c.db(), "PRAGMA integrity_check(20)") != SQLITE_OK) {
      return c.Failure("checking the library");
    }
    int rc;
    while ((rc = integrity.Step()) == SQLITE_ROW) {
      std::string line = integrity.Text(0);
      if (line != "ok") check->problems.push_back("SQLite: " + line);
    }
    if (rc != SQLITE_DONE) {
      StoreStatus s = c.Failure("checking the library");
      check->problems.push_back(s.message());
      return StoreStatus::Ok();
    }
  }
  int64_t catalogs = 0;
  if (StoreStatus s = c.Integer("SELECT count(*) FROM catalogs", &catalogs);
      !s.ok()) {
    return s;
  }
  check->catalogs = catalogs;
  Statement entries;
  if (entries.Prepare(c.db(),
                      "SELECT c.name, e.name, e.type, e.version_id, "
                      "v.record_count, v.longest, v.id FROM entries e "
                      "LEFT JOIN catalogs c ON c.id = e.catalog_id "
                      "LEFT JOIN versions v ON v.id = e.version_id "
                      "ORDER BY c.name, e.name, e.type") != SQLITE_OK) {
    return c.Failure("checking the library");
  }
  int rc;
  while ((rc = entries.Step()) == SQLITE_ROW) {
    ++check->entries;
    std::string entry =
        Describe({entries.Text(0), entries.Text(1), entries.Text(2)});
    if (entries.Int(6) == 0) {
      check->problems.push_back(entry + ": its content is missing");
      continue;
    }
    if (StoreStatus s = CheckVersion(c, entry, entries.Int(3), entries.Int(4),
                                     entries.Int(5), check);
        !s.ok()) {
      return s;
    }
  }
  if (rc != SQLITE_DONE) return c.Failure("checking the library");
  int64_t free_pages = 0, page_size = 0, orphaned = 0;
  c.Integer("PRAGMA freelist_count", &free_pages);
  c.Integer("PRAGMA page_size", &page_size);
  if (format_ == kFormat) {
    c.Integer(
        "SELECT coalesce(sum(length(data)), 0) FROM pages WHERE key >> 32 "
        "NOT IN (SELECT version_id FROM entries)",
        &orphaned);
  }
  check->free_bytes = free_pages * page_size + orphaned;
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::Compact(LibraryCompaction* compaction) {
  compaction->file = path_;
  compaction->bytes_before = FileBytes();
  if (mode_.read_only) return ReadOnlyRefusal();
  if (StoreStatus s = SweepOrphans(); !s.ok()) return s;
  // Rebuilding needs the file to itself within this process.
  idle_.clear();
  int64_t vacuum = 0;
  if (StoreStatus s = main_->Integer("PRAGMA auto_vacuum", &vacuum); !s.ok()) {
    return s;
  }
  if (vacuum != 2) {
    if (StoreStatus s = main_->Exec("PRAGMA auto_vacuum = INCREMENTAL");
        !s.ok()) {
      return s;
    }
  }
  if (StoreStatus s = main_->Exec("VACUUM"); !s.ok()) return s;
  if (StoreStatus s = main_->Exec("PRAGMA wal_checkpoint(TRUNCATE)"); !s.ok()) {
    return s;
  }
  compaction->bytes_after = FileBytes();
  return StoreStatus::Ok();
}

}  // namespace sqlite
}  // namespace refhost
