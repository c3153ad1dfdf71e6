// The connection to the server: connecting (again after a lost connection
// that held nothing of the store's), statements prepared on first use,
// transactions, session locks taken with a timeout, and the status a
// failed statement means, with every password masked.

#include "refhost/store/postgres/server_connection.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace refhost {
namespace postgres {

// FNV-1a over the parts, each ended by a zero byte.
int64_t Hash(std::initializer_list<std::string_view> parts) {
  uint64_t h = 1469598103934665603ull;
  for (std::string_view part : parts) {
    for (unsigned char c : part) h = (h ^ c) * 1099511628211ull;
    h = (h ^ 0) * 1099511628211ull;
  }
  return (int64_t)(h & (uint64_t)kKeyMask);
}

ServerConnection::ServerConnection(std::string url, const StoreOptions& options)
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
  codec_.set_level(options.compression_level);
  // Pages go to the server compressed here, while the writer waits: those
  // of a few KB up to half a page at the small pages' level (a folder of
  // texts of 10 KB imports at two thirds of the time, in 5% more bytes).
  codec_.set_large_pages(kPageBytes / 2);
}

ServerConnection::~ServerConnection() {
  if (pg_ != nullptr) PQfinish(pg_);
}

StoreStatus ServerConnection::ReadOnlyRefusal() const {
  return StoreStatus::ReadOnly(shown_ + ": opened for reading only");
}

// Connects when not connected; again when the connection was lost and
// nothing of this store's was held on it.
StoreStatus ServerConnection::Ready() {
  if (pg_ != nullptr && PQstatus(pg_) == CONNECTION_OK) {
    return StoreStatus::Ok();
  }
  if (pg_ != nullptr) {
    // What was sent on the connection lost is lost with it, and the locks
    // its statements would have released.
    FailDeferred(Lost());
    held_ -= std::min(held_, (int)unlock_later_.size());
    unlock_later_.clear();
    if (held_ > 0) return Lost();
    PQfinish(pg_);
    pg_ = nullptr;
    pipelined_ = false;
    statements_.clear();
    schema_version_ = -1;
    // The server may be another now (a standby promoted), which holds only
    // what reached it: the dictionaries are looked for again.
    forget_dictionaries_ = true;
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

std::string ServerConnection::Version() const {
  int v = PQserverVersion(pg_);
  return std::to_string(v / 10000) + "." + std::to_string(v % 10000);
}

// Runs a statement (prepared on its first use on this connection). Behind
// deferred statements it goes into the pipeline after them, and their
// results and its own are read in one round trip.
StoreStatus ServerConnection::Run(const std::string& sql, const Params& params,
                                  Result* result) {
  FinishEncoding(0);
  if (StoreStatus s = Ready(); !s.ok()) return s;
  const std::string* name;
  if (StoreStatus s = Prepared(sql, params, &name); !s.ok()) return s;
  Result local;
  Result* r = result != nullptr ? result : &local;
  if (deferred_.empty()) {
    r->Reset(PQexecPrepared(pg_, name->c_str(), params.size(), params.values(),
                            params.lengths(), params.formats(), 1));
    return StatusOf(*r);
  }
  StoreStatus own;
  if (StoreStatus s = Send(
          *name, params, [&own](const StoreStatus& s) { own = s; }, r);
      !s.ok()) {
    return s;
  }
  Settle();
  return own;
}

// Runs SQL text without parameters.
StoreStatus ServerConnection::Exec(const std::string& sql, Result* result) {
  FinishEncoding(0);
  if (pg_ == nullptr) {
    if (StoreStatus s = Ready(); !s.ok()) return s;
  }
  Settle();
  Result local;
  Result* r = result != nullptr ? result : &local;
  r->Reset(
      PQexecParams(pg_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1));
  return StatusOf(*r);
}

// At most this many statements wait unread: the server's answers to them
// stay far within what the socket holds, so that neither side ever waits
// for the other to read.
constexpr size_t kMostDeferred = 16;

StoreStatus ServerConnection::Defer(const std::string& sql,
                                    const Params& params, Done done) {
  FinishEncoding(0);
  if (changing_ > 0) {
    StoreStatus s = Run(sql, params);
    done(s);
    return StoreStatus::Ok();
  }
  if (StoreStatus s = Ready(); !s.ok()) return s;
  const std::string* name;
  if (StoreStatus s = Prepared(sql, params, &name); !s.ok()) return s;
  if (deferred_.size() >= kMostDeferred) SettleOldest();
  return Send(*name, params, std::move(done), nullptr);
}

StoreStatus ServerConnection::Settle() {
  FinishEncoding(0);
  StoreStatus first;
  while (!deferred_.empty()) {
    StoreStatus s = SettleOldest();
    if (first.ok()) first = std::move(s);
  }
  AfterSettle();
  return first;
}

StoreStatus ServerConnection::Prepared(const std::string& sql,
                                       const Params& params,
                                       const std::string** name) {
  auto it = statements_.find(sql);
  if (it == statements_.end()) {
    // Prepared outside the pipeline, once a connection.
    if (!deferred_.empty()) Settle();
    if (StoreStatus s = Ready(); !s.ok()) return s;
    std::string made = "s" + std::to_string(statements_.size());
    Result prepared;
    prepared.Reset(
        PQprepare(pg_, made.c_str(), sql.c_str(), params.size(), nullptr));
    if (StoreStatus s = StatusOf(prepared); !s.ok()) return s;
    it = statements_.emplace(sql, made).first;
  }
  *name = &it->second;
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::Send(const std::string& name,
                                   const Params& params, Done done,
                                   Result* keep) {
  if (!pipelined_) {
    if (PQenterPipelineMode(pg_) != 1) {
      return StoreStatus::IoError(shown_ + ": " + Masked(PQerrorMessage(pg_)));
    }
    pipelined_ = true;
  }
  if (PQsendQueryPrepared(pg_, name.c_str(), params.size(), params.values(),
                          params.lengths(), params.formats(), 1) != 1 ||
      PQpipelineSync(pg_) != 1) {
    StoreStatus s = Lost();
    // What was sent before is read still; then the pipeline is left.
    Settle();
    return s;
  }
  deferred_.push_back({std::move(done), keep});
  return StoreStatus::Ok();
}

// The pipeline answers each statement with its result (or, after a failed
// one before the same sync, an aborted one), a null, and then the sync's.
StoreStatus ServerConnection::SettleOldest() {
  Pending pending = std::move(deferred_.front());
  deferred_.pop_front();
  Result local;
  Result* r = pending.keep != nullptr ? pending.keep : &local;
  r->Reset(nullptr);
  bool synced = false;
  for (int nulls = 0; !synced && nulls < 2;) {
    PGresult* got = PQgetResult(pg_);
    if (got == nullptr) {
      ++nulls;
      continue;
    }
    nulls = 0;
    if (PQresultStatus(got) == PGRES_PIPELINE_SYNC) {
      PQclear(got);
      synced = true;
    } else if (r->get() == nullptr) {
      r->Reset(got);
    } else {
      PQclear(got);
    }
  }
  StoreStatus status = synced ? StatusOf(*r) : Lost();
  pending.done(status);
  // Nothing more comes: every statement still unread failed with it.
  if (!synced) FailDeferred(status);
  return status;
}

void ServerConnection::FailDeferred(const StoreStatus& why) {
  while (!deferred_.empty()) {
    Pending pending = std::move(deferred_.front());
    deferred_.pop_front();
    pending.done(why);
  }
}

void ServerConnection::AfterSettle() {
  if (!deferred_.empty()) return;
  if (pipelined_) {
    pipelined_ = false;
    if (pg_ != nullptr) PQexitPipelineMode(pg_);
  }
  if (!unlock_later_.empty()) {
    Keys keys = std::move(unlock_later_);
    unlock_later_.clear();
    Unlock(keys);
  }
}

void ServerConnection::UnlockLater(const Keys& keys) {
  // Counted as held again: Unlock counts them released.
  held_ += (int)keys.size();
  unlock_later_.insert(unlock_later_.end(), keys.begin(), keys.end());
}

// With probe (library, catalog name): NotFound, holding none, once the
// catalog is seen absent.
StoreStatus ServerConnection::Lock(
    const Keys& keys, const std::string& busy,
    std::optional<std::pair<int64_t, std::string_view>> probe) {
  std::vector<bool> held(keys.size(), false);
  // An entry's lock is had once the commit of the writer that released
  // it shows: that commit holds the entry's commit lock until it ends.
  std::vector<bool> shown(keys.size(), false);
  for (size_t i = 0; i < keys.size(); ++i) {
    shown[i] = keys[i].second || (keys[i].first & ~kKeyMask) != kEntryLock;
  }
  int waited = 0;
  for (int pause = 2;; pause = std::min(pause * 2, 50)) {
    std::string sql;
    Params params;
    std::vector<size_t> asked, looked;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (held[i]) continue;
      sql += sql.empty() ? "SELECT " : ", ";
      sql += keys[i].second ? "pg_try_advisory_lock_shared($"
                            : "pg_try_advisory_lock($";
      sql += std::to_string(params.size() + 1) + ")";
      params.Int(keys[i].first);
      asked.push_back(i);
    }
    for (size_t i = 0; i < keys.size(); ++i) {
      if (shown[i]) continue;
      sql += sql.empty() ? "SELECT " : ", ";
      sql += "pg_try_advisory_xact_lock_shared($" +
             std::to_string(params.size() + 1) + ")";
      params.Int(kCommitLock | (keys[i].first & kKeyMask));
      looked.push_back(i);
    }
    int columns = (int)(asked.size() + looked.size());
    if (probe) {
      sql += ", (SELECT id FROM vuvorozo.catalogs WHERE library_id = $" +
             std::to_string(params.size() + 1) + " AND name = $" +
             std::to_string(params.size() + 2) + ")";
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
    for (size_t k = 0; k < looked.size(); ++k) {
      size_t i = looked[k];
      // Asked with the entry's lock, the commit lock tells only when that
      // was had in the same statement.
      if (held[i] && r.Int(0, (int)(asked.size() + k)) != 0) {
        shown[i] = true;
      } else {
        all = false;
      }
    }
    if (probe && r.null(0, columns)) {
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

StoreStatus ServerConnection::Lock(int64_t key, bool shared,
                                   const std::string& busy) {
  return Lock(Keys{{key, shared}}, busy);
}

// Best effort: a lost connection released them already.
void ServerConnection::Unlock(const Keys& keys) {
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

// Counts keys as released by the server's own work (a commit's).
void ServerConnection::Unlocked(const Keys& keys) {
  held_ -= std::min(held_, (int)keys.size());
}

// Unlocks those of keys that held says were taken.
void ServerConnection::Release(const Keys& keys,
                               const std::vector<bool>& held) {
  Keys taken;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (held[i]) taken.push_back(keys[i]);
  }
  Unlock(taken);
}

void ServerConnection::Drop(int64_t version) {
  FinishEncoding(0);
  auto it = own_.find(version);
  if (it != own_.end() && --it->second == 0) {
    own_.erase(it);
    broken_.erase(version);
  }
}

std::vector<int64_t> ServerConnection::OwnVersions() const {
  std::vector<int64_t> out;
  for (const auto& [version, count] : own_) out.push_back(version);
  return out;
}

// "WORK.CAT.NAME.TYPE"
std::string ServerConnection::Describe(const std::string& libref,
                                       const EntryName& entry) {
  return libref + "." + entry.catalog + "." + entry.name +
         (entry.type.empty() ? "" : "." + entry.type);
}

StoreStatus ServerConnection::Damaged(const std::string& what) const {
  return StoreStatus::Corrupt(shown_ + ": the library is damaged: " + what);
}

StoreStatus ServerConnection::ReadOnStandby(int64_t version,
                                            StoreStatus damaged) {
  Result r;
  if (!InHotStandby() ||
      !Run("SELECT 1 FROM vuvorozo.versions WHERE id = $1",
           Params().Int(version), &r)
           .ok() ||
      r.rows() > 0) {
    return damaged;
  }
  return StoreStatus::IoError(
      shown_ +
      ": the entry was replaced or deleted on the primary while this "
      "standby read it (the primary keeps no content for a standby's "
      "readers): read it again");
}

bool ServerConnection::InHotStandby() const {
  const char* standby =
      pg_ != nullptr ? PQparameterStatus(pg_, "in_hot_standby") : nullptr;
  return standby != nullptr && std::strcmp(standby, "on") == 0;
}

StoreStatus ServerConnection::NotOurs() const {
  return StoreStatus::NotLibrary(
      shown_ +
      ": the schema vuvorozo of the database does not hold this program's "
      "libraries");
}

// The text with the URL's password masked wherever it appears.
std::string ServerConnection::Masked(const std::string& text) const {
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

// The connection went: libpq's reason.
StoreStatus ServerConnection::Lost() const {
  return StoreStatus::IoError(shown_ +
                              ": the connection to the server was lost: " +
                              Masked(PQerrorMessage(pg_)));
}

// What a finished statement means, in words a user can read.
StoreStatus ServerConnection::StatusOf(const Result& result) const {
  ExecStatusType status = PQresultStatus(result.get());
  if (result.get() != nullptr &&
      (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)) {
    return StoreStatus::Ok();
  }
  const char* state = result.get() != nullptr
                          ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE)
                          : nullptr;
  std::string code = state != nullptr ? state : "";
  std::string raw = result.get() != nullptr ? PQresultErrorMessage(result.get())
                                            : PQerrorMessage(pg_);
  // Where in the schema's functions the error arose is the server's
  // business, not the user's: the message, its detail and hint are kept.
  if (size_t context = raw.find("\nCONTEXT:"); context != std::string::npos) {
    raw.resize(context);
  }
  std::string why = Masked(raw);
  if (why.empty()) why = Masked(PQerrorMessage(pg_));
  std::string text = shown_ + ": " + why;
  if (code == "53100") return StoreStatus::DiskFull(text);
  // A change a server refuses in every session: a standby's, or one whose
  // sessions are read-only unless they ask otherwise (a store that writes
  // never asks; one opened for reading only makes its session so itself).
  if (code == "25006" && InHotStandby()) {
    return StoreStatus::ReadOnly(
        shown_ +
        ": the server is a read-only standby: a change needs the primary "
        "(name it in the URL, or name every server with "
        "target_session_attrs=read-write)");
  }
  const char* sessions =
      PQparameterStatus(pg_, "default_transaction_read_only");
  if (code == "25006" && !options_.read_only && sessions != nullptr &&
      std::strcmp(sessions, "on") == 0) {
    return StoreStatus::ReadOnly(
        shown_ +
        ": the server's sessions are read-only "
        "(default_transaction_read_only is on): a change needs a server, "
        "database or role that takes changes");
  }
  if (code == "25006") return StoreStatus::ReadOnly(text);
  if (code == "42501") return StoreStatus::NoPermission(text);
  if (code == "55P03" || code == "40001" || code == "40P01") {
    return StoreStatus::Busy(text);
  }
  if (code.starts_with("XX") || code == "22P02") {
    return StoreStatus::Corrupt(text);
  }
  return StoreStatus::IoError(text);
}

}  // namespace postgres
}  // namespace refhost
