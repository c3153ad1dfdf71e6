// Records per second through the SQLite catalog store, measured side by
// side in one run: a direct SQLite loop that keeps one row a record (the
// table shape, pragmas and batching of the store's first format, with no
// host and no module), the reference
// host's ylmwrit/ylmread called directly on an entry of the store, and the
// module's slots 19/18 and io_vector over the same store. A write run opens
// the entry for output, writes every record and closes it (the commit is
// timed); a read run opens it for input, reads to the end and closes it.
// Each run is repeated and the fastest kept; times are wall time (the
// store compresses pages on threads beside the writer, whose times the
// process's CPU time adds up), its CPU time is printed beside it.
//
//   sqlite_bench [--records=N] [--sizes=80,1000] [--repeat=R]
//                [--store=sqlite|memory|postgres --url=URL]
//                [--only=PATH-OP-SIZE] [--type=HTML] [--same-record] [--tsv]
//   sqlite_bench --entry-bytes=N --op=write|read --folder=DIR
//
// --type is the entry type written and read (HTML by default). Records are
// lines of words, 4,096 different ones used in turn, so that a store that
// compresses finds what it would in text; with --same-record every record
// is the one record the first reports wrote (a run of one letter with
// another every seventh byte), which compresses to almost nothing.
//
// --entry-bytes measures memory: it writes an entry of about N bytes of
// 80-byte records through slot 19 into the SQLite store in DIR, or reads it
// back through slot 18, and prints the bytes, the records, the resident
// memory before the run and at its peak (KiB) and the CPU and wall seconds.
//
// --only runs one path once without the others (for callgrind), e.g.
// --only=slots-write-80; paths are sqlite, host, slots and vector (sqlite
// only with --store=sqlite). Under callgrind started with
// --collect-atstart=no, only that run is counted (a read's entry is written
// first, uncounted). Without --only, every path is first run once untimed,
// so the first timed path does not pay for the memory the others reuse. --tsv
// prints one line a result for scripts: store, path, operation, size, records,
// wall seconds, CPU seconds.

#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include "entry/entry.h"
#include "refhost/host/host.h"
#include "refhost/host/library_services.h"
#include "refhost/host/loader.h"
#include "refhost/host/slots.h"
#include "refhost/store/catalog_store.h"
#include "vuvorozo/vuvorozo.h"

namespace {

struct Config {
  int64_t records = 1000000;
  std::vector<int> sizes = {80, 1000};
  int repeat = 3;
  bool sqlite = true;
  bool postgres = false;  // the server store at url
  std::string url;
  std::string only;
  std::string type = "HTML";
  bool tsv = false;
  bool same_record = false;
  int64_t entry_bytes = 0;  // memory measure: the entry's size
  std::string op;           // memory measure: write or read
  std::string folder;       // memory measure: the store's folder
};

struct Timing {
  double cpu = 0;
  double wall = 0;
};

double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

double WallSeconds() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class Stopwatch {
 public:
  Stopwatch() : cpu_(CpuSeconds()), wall_(WallSeconds()) {}
  Timing Elapsed() const {
    return {CpuSeconds() - cpu_, WallSeconds() - wall_};
  }

 private:
  double cpu_;
  double wall_;
};

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "sqlite_bench: %s\n", why.c_str());
  std::exit(1);
}

// Records of size bytes: lines of words, each different; or one record, as
// the first reports wrote.
std::vector<std::string> Records(int size, bool same) {
  if (same) {
    std::string r((size_t)size, 'w');
    for (int i = 0; i < size; i += 7) r[(size_t)i] = (char)('A' + i % 26);
    return {r};
  }
  static const char* const kWords[] = {
      "meeting", "budget", "north",  "south",   "report",  "project",
      "garden",  "review", "supply", "invoice", "station", "summer",
      "the",     "a",      "of",     "and",     "for",     "after"};
  uint32_t seed = 7;
  std::vector<std::string> records;
  for (int i = 0; i < 4096; ++i) {
    std::string r = std::to_string(i) + ";";
    while (r.size() < (size_t)size) {
      seed = seed * 1103515245u + 12345u;
      r += kWords[(seed >> 8) % (sizeof kWords / sizeof kWords[0])];
      r += ' ';
    }
    r.resize((size_t)size);
    records.push_back(r);
  }
  return records;
}

// ---------------------------------------------------------------------------
// The direct SQLite loop: what the store does per record, without it.

class DirectSqlite {
 public:
  explicit DirectSqlite(const std::string& path) {
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-wal");
    std::filesystem::remove(path + "-shm");
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) Die("sqlite3_open");
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    Exec(
        "CREATE TABLE records(key INTEGER PRIMARY KEY, "
        "kind INTEGER NOT NULL, data BLOB NOT NULL)");
  }
  ~DirectSqlite() { sqlite3_close(db_); }

  // Writes n records of version `version` in transactions of the first
  // format's batch size.
  Timing Write(int64_t version, int64_t n,
               const std::vector<std::string>& records) {
    Exec("DELETE FROM records");
    Stopwatch watch;
    sqlite3_stmt* insert =
        Prepare("INSERT INTO records(key, kind, data) VALUES(?1, ?2, ?3)");
    Exec("BEGIN");
    for (int64_t i = 0; i < n; ++i) {
      const std::string& record = records[(size_t)i % records.size()];
      sqlite3_bind_int64(insert, 1, (version << 32) + i);
      sqlite3_bind_int(insert, 2, kKindMarkup);
      sqlite3_bind_blob(insert, 3, record.data(), (int)record.size(),
                        SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) Die("insert");
      sqlite3_reset(insert);
      if ((i + 1) % kBatchRecords == 0) {
        Exec("COMMIT");
        Exec("BEGIN");
      }
    }
    Exec("COMMIT");
    sqlite3_finalize(insert);
    return watch.Elapsed();
  }

  // Reads the n records back in key order into a buffer, as a host
  // delivers them.
  Timing Read(int64_t version, int64_t n, int size) {
    std::vector<char> buffer((size_t)size + 2);
    Stopwatch watch;
    sqlite3_stmt* select = Prepare(
        "SELECT kind, data FROM records WHERE key >= ?1 AND key < ?2 "
        "ORDER BY key");
    sqlite3_bind_int64(select, 1, version << 32);
    sqlite3_bind_int64(select, 2, (version << 32) + n);
    int64_t count = 0;
    while (sqlite3_step(select) == SQLITE_ROW) {
      int kind = sqlite3_column_int(select, 0);
      const void* data = sqlite3_column_blob(select, 1);
      int length = sqlite3_column_bytes(select, 1);
      memcpy(buffer.data(), data, (size_t)length);
      count += kind != 0;
    }
    sqlite3_finalize(select);
    if (count != n) Die("direct read count");
    return watch.Elapsed();
  }

 private:
  static constexpr int64_t kBatchRecords = 65536;  // as the first format

  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      Die(std::string(sql) + ": " + (error ? error : "?"));
    }
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) {
      Die(sql);
    }
    return st;
  }

  sqlite3* db_ = nullptr;
};

// ---------------------------------------------------------------------------
// The host and the module over a catalog store.

class ModuleRun {
 public:
  explicit ModuleRun(std::unique_ptr<refhost::CatalogStore> store) {
    host_ = std::make_unique<refhost::Host>(std::move(store));
    refhost::StartedModule started;
    std::string error;
    if (refhost::StartModule(*host_, &mcn_main, &started, &error) != 0) {
      Die("the module did not start: " + error);
    }
    slots_ = std::make_unique<refhost::Slots>(started.amec);
  }

  // Assigns fileref BENCH to WORK.BENCH.R<size>.<type>.
  void Assign(int size, const std::string& type) {
    std::string physical = "WORK.BENCH.R" + std::to_string(size) + "." + type;
    if (slots_->Assign("BENCH   ", 0, "VUVOROZO", physical.data(),
                       (int32_t)physical.size(), nullptr) != 0) {
      Die("assign " + physical);
    }
  }

  // Deletes the entry, so every write run starts from no entry at all.
  void Delete() { slots_->Delete("BENCH   ", 0); }

  file_handle* Open(int32_t flags, int size) {
    open_request request{};
    request.open_flags = flags;
    request.record_length = size;
    file_handle* handle = nullptr;
    int32_t st = slots_->Open(&handle, "BENCH   ", 0, &request);
    if (st != 0) Die("open: " + host_->Explain(st));
    return handle;
  }

  void Close(file_handle* handle) {
    int32_t st = slots_->Close(handle);
    if (st != 0) Die("close: " + host_->Explain(st));
  }

  // The path of a run, decided once so the loop compares no strings.
  enum class Path { kHost, kSlots, kVector };
  static Path PathOf(const std::string& path) {
    return path == "slots"    ? Path::kSlots
           : path == "vector" ? Path::kVector
                              : Path::kHost;
  }

  Timing Write(const std::string& name, int64_t n,
               const std::vector<std::string>& records) {
    const Path path = PathOf(name);
    Delete();
    int size = (int)records[0].size();
    Stopwatch watch;
    file_handle* handle = Open(kOpenOutput, size);
    io_vector* v = nullptr;
    if (slots_->IoVector(handle, &v) != 0) Die("io_vector");
    ylmwrit_routine ylmwrit = host_->service(ylmwrit_service);
    record_request request;
    for (int64_t i = 0; i < n; ++i) {
      const std::string& record = records[(size_t)i % records.size()];
      int32_t st;
      if (path == Path::kSlots) {
        st = slots_->Write(handle, record.data(), size, ' ');
      } else if (path == Path::kVector) {
        st = v->write(handle, record.data(), size, ' ');
      } else {
        memset(&request, 0, sizeof request);
        request.buffer = const_cast<char*>(record.data());
        request.length = size;
        request.kind = kKindMarkup;
        st = ylmwrit(handle->member, &request);
      }
      if (st != 0) Die("write: " + host_->Explain(st));
    }
    Close(handle);
    return watch.Elapsed();
  }

  Timing Read(const std::string& name, int64_t n, int size) {
    const Path path = PathOf(name);
    std::vector<char> buffer((size_t)size + 2);
    Stopwatch watch;
    file_handle* handle = Open(kOpenInput, 0);
    io_vector* v = nullptr;
    if (slots_->IoVector(handle, &v) != 0) Die("io_vector");
    ylmread_routine ylmread = host_->service(ylmread_service);
    record_request request;
    int64_t count = 0;
    for (;;) {
      char* data = nullptr;
      int32_t length = 0;
      int32_t st;
      if (path == Path::kSlots) {
        st = slots_->Read(handle, &data, &length, nullptr);
      } else if (path == Path::kVector) {
        st = v->read(handle, &data, &length, nullptr);
      } else {
        memset(&request, 0, sizeof request);
        request.buffer = buffer.data();
        st = ylmread(handle->member, &request);
        if (host_end_of_data(st)) st = kStatusEndOfFile;
        length = request.length;
      }
      if (st == kStatusEndOfFile) break;
      if (st != 0 || length != size) Die("read: " + host_->Explain(st));
      ++count;
    }
    Close(handle);
    if (count != n) Die("read count");
    return watch.Elapsed();
  }

  refhost::Host& host() { return *host_; }

 private:
  std::unique_ptr<refhost::Host> host_;
  std::unique_ptr<refhost::Slots> slots_;
};

struct Result {
  std::string path, op;
  int size;
  Timing best;
};

Config ParseArgs(int argc, char** argv) {
  Config c;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      size_t n = strlen(name);
      return a.compare(0, n, name) == 0 ? a.c_str() + n : nullptr;
    };
    if (const char* v = value("--records=")) {
      c.records = std::atoll(v);
    } else if (const char* v = value("--sizes=")) {
      c.sizes.clear();
      for (const char* p = v; *p;) {
        c.sizes.push_back(std::atoi(p));
        p = strchr(p, ',');
        if (p == nullptr) break;
        ++p;
      }
    } else if (const char* v = value("--repeat=")) {
      c.repeat = std::max(1, std::atoi(v));
    } else if (const char* v = value("--store=")) {
      c.sqlite = std::string(v) == "sqlite";
      c.postgres = std::string(v) == "postgres";
    } else if (const char* v = value("--url=")) {
      c.url = v;
    } else if (const char* v = value("--only=")) {
      c.only = v;
    } else if (const char* v = value("--type=")) {
      c.type = v;
    } else if (a == "--tsv") {
      c.tsv = true;
    } else if (a == "--same-record") {
      c.same_record = true;
    } else if (const char* v = value("--entry-bytes=")) {
      c.entry_bytes = std::atoll(v);
    } else if (const char* v = value("--op=")) {
      c.op = v;
    } else if (const char* v = value("--folder=")) {
      c.folder = v;
    } else {
      Die("unknown argument " + a);
    }
  }
  return c;
}

// A figure of /proc/self/status, in KiB.
int64_t StatusKib(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  int64_t value = -1;
  size_t n = strlen(field);
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, field, n) == 0 && line[n] == ':') {
      value = std::atoll(line + n + 1);
    }
  }
  if (f != nullptr) std::fclose(f);
  return value;
}

// The memory measure: one entry of config.entry_bytes through the module
// into the SQLite store, or out of it.
int MeasureMemory(const Config& config) {
  constexpr int kSize = 80;
  int64_t n = config.entry_bytes / kSize;
  ModuleRun run(refhost::NewSqliteCatalogStore(config.folder));
  run.Assign(kSize, config.type);
  std::vector<std::string> records = Records(kSize, false);
  int64_t before = StatusKib("VmRSS");
  Timing t = config.op == "write" ? run.Write("slots", n, records)
                                  : run.Read("slots", n, kSize);
  std::printf("%s\t%lld\t%lld\t%lld\t%lld\t%.3f\t%.3f\n", config.op.c_str(),
              (long long)(n * kSize), (long long)n, (long long)before,
              (long long)StatusKib("VmHWM"), t.cpu, t.wall);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Config config = ParseArgs(argc, argv);
  if (config.entry_bytes > 0) return MeasureMemory(config);
  char pattern[] = "/tmp/vuvorozo-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) Die("mkdtemp");
  std::string folder = pattern;

  std::vector<Result> results;
  auto keep = [&](const std::string& path, const std::string& op, int size,
                  const Timing& t) {
    for (Result& r : results) {
      if (r.path == path && r.op == op && r.size == size) {
        if (t.wall < r.best.wall) r.best = t;
        return;
      }
    }
    results.push_back({path, op, size, t});
  };
  const char* store_name = config.sqlite     ? "sqlite"
                           : config.postgres ? "postgres"
                                             : "memory";
  if (config.postgres && config.url.empty())
    Die("--store=postgres needs --url");

  for (int size : config.sizes) {
    std::vector<std::string> records = Records(size, config.same_record);
    std::vector<std::string> paths = {"host", "slots", "vector"};
    if (config.sqlite) paths.insert(paths.begin(), "sqlite");
    std::unique_ptr<DirectSqlite> direct;
    if (config.sqlite) {
      direct = std::make_unique<DirectSqlite>(folder + "/direct.db");
    }
    ModuleRun run(config.sqlite ? refhost::NewSqliteCatalogStore(folder)
                  : config.postgres
                      ? refhost::NewPostgresCatalogStore(config.url)
                      : refhost::NewMemoryCatalogStore());
    run.Assign(size, config.type);
    int repeat = config.only.empty() ? config.repeat : 1;
    // Round -1 warms up: its times are not kept.
    for (int r = config.only.empty() ? -1 : 0; r < repeat; ++r) {
      for (const std::string& path : paths) {
        for (const char* op : {"write", "read"}) {
          std::string name = path + "-" + op + "-" + std::to_string(size);
          std::string read_of_path = path + "-read-" + std::to_string(size);
          bool wanted = config.only.empty() || config.only == name;
          // A read needs the entry that a write of its path leaves, so with
          // --only a read's write runs first, untimed.
          bool seed = !config.only.empty() && std::string(op) == "write" &&
                      config.only == read_of_path;
          if (!wanted && !seed) continue;
          Timing t;
          if (wanted && !config.only.empty()) CALLGRIND_TOGGLE_COLLECT;
          if (path == "sqlite") {
            t = std::string(op) == "write"
                    ? direct->Write(1, config.records, records)
                    : direct->Read(1, config.records, size);
          } else {
            t = std::string(op) == "write"
                    ? run.Write(path, config.records, records)
                    : run.Read(path, config.records, size);
          }
          if (wanted && !config.only.empty()) CALLGRIND_TOGGLE_COLLECT;
          if (wanted && r >= 0) keep(path, op, size, t);
        }
      }
    }
    if (run.host().module_arena().stats().live_blocks != 3) {
      // The AMEC block, its vector and the fileref's node.
      Die("module heap blocks left live after the runs");
    }
  }
  std::filesystem::remove_all(folder);

  for (const Result& r : results) {
    double per_second = (double)config.records / r.best.wall;
    if (config.tsv) {
      std::printf("%s\t%s\t%s\t%d\t%lld\t%.6f\t%.6f\n", store_name,
                  r.path.c_str(), r.op.c_str(), r.size,
                  (long long)config.records, r.best.wall, r.best.cpu);
    } else {
      std::printf(
          "%-6s %-6s %-5s %5d bytes: %11.0f records/s (wall %.3fs, "
          "CPU %.3fs)\n",
          store_name, r.path.c_str(), r.op.c_str(), r.size, per_second,
          r.best.wall, r.best.cpu);
    }
  }
  return 0;
}
