// Records per second written and read through the module (slots 19 and 18,
// and the io_vector) against the same records handed straight to the
// reference host's ylmwrit and ylmread with a record_request, over the
// in-memory store. After the runs it prints the module's overhead over the
// direct host call for each record size and path.
//
//   entry_bench [--benchmark_min_time=...]

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "entry/entry.h"
#include "refhost/host/host.h"
#include "refhost/host/library_services.h"
#include "refhost/host/loader.h"
#include "refhost/host/slots.h"
#include "refhost/store/catalog_store.h"
#include "vuvorozo/vuvorozo.h"

namespace {

// One host with the module started in it, shared by every benchmark.
struct Bench {
  std::unique_ptr<refhost::Host> host;
  std::unique_ptr<refhost::Slots> slots;
};
Bench* g_bench = nullptr;

// Records written before the entry is closed and opened again, so the
// store's memory stays bounded; the reopen is not timed.
constexpr int kRecordsPerEntry = 4096;
// Records an entry holds for the read benchmarks.
constexpr int kSeededRecords = 4096;

std::string Fileref(int size) { return size == 80 ? "B80     " : "B1000   "; }

file_handle* OpenEntry(int size, int32_t flags) {
  std::string name = Fileref(size);
  open_request request{};
  request.open_flags = flags;
  request.record_length = size;
  file_handle* handle = nullptr;
  if (g_bench->slots->Open(&handle, name.data(), 0, &request) != 0) {
    return nullptr;
  }
  return handle;
}

enum class Path { kSlots, kIoVector, kDirect };

void Write(benchmark::State& state, Path path) {
  const int size = (int)state.range(0);
  const std::string record(size, 'w');
  file_handle* handle = OpenEntry(size, kOpenOutput);
  if (handle == nullptr) {
    state.SkipWithError("open failed");
    return;
  }
  io_vector* v = nullptr;
  g_bench->slots->IoVector(handle, &v);
  ylmwrit_routine ylmwrit = g_bench->host->service(ylmwrit_service);
  record_request request{};
  int written = 0;
  for (auto _ : state) {
    int32_t st;
    switch (path) {
      case Path::kSlots:
        st = g_bench->slots->Write(handle, record.data(), size, ' ');
        break;
      case Path::kIoVector:
        st = v->write(handle, record.data(), size, ' ');
        break;
      case Path::kDirect:
        memset(&request, 0, sizeof request);
        request.buffer = const_cast<char*>(record.data());
        request.length = size;
        request.kind = kKindMarkup;
        st = ylmwrit(handle->member, &request);
        break;
    }
    if (st != 0) {
      state.SkipWithError("write failed");
      break;
    }
    if (++written == kRecordsPerEntry) {
      state.PauseTiming();
      g_bench->slots->Close(handle);
      handle = OpenEntry(size, kOpenOutput);
      g_bench->slots->IoVector(handle, &v);
      written = 0;
      state.ResumeTiming();
    }
  }
  g_bench->slots->Close(handle);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * size);
}

void Read(benchmark::State& state, Path path) {
  const int size = (int)state.range(0);
  {
    file_handle* out = OpenEntry(size, kOpenOutput);
    const std::string record(size, 'r');
    for (int i = 0; i < kSeededRecords; ++i) {
      g_bench->slots->Write(out, record.data(), size, ' ');
    }
    g_bench->slots->Close(out);
  }
  file_handle* handle = OpenEntry(size, kOpenInput);
  if (handle == nullptr) {
    state.SkipWithError("open failed");
    return;
  }
  io_vector* v = nullptr;
  g_bench->slots->IoVector(handle, &v);
  ylmread_routine ylmread = g_bench->host->service(ylmread_service);
  ylmpoin_routine ylmpoin = g_bench->host->service(ylmpoin_service);
  std::vector<char> buffer(size + 2);
  record_request request{};
  uint32_t start = 0;
  for (auto _ : state) {
    int32_t st;
    char* data = nullptr;
    int32_t length = 0;
    switch (path) {
      case Path::kSlots:
        st = g_bench->slots->Read(handle, &data, &length, nullptr);
        break;
      case Path::kIoVector:
        st = v->read(handle, &data, &length, nullptr);
        break;
      case Path::kDirect:
        memset(&request, 0, sizeof request);
        request.buffer = buffer.data();
        st = ylmread(handle->member, &request);
        if (host_end_of_data(st)) st = kStatusEndOfFile;
        data = request.buffer;
        length = request.length;
        break;
    }
    benchmark::DoNotOptimize(data);
    benchmark::DoNotOptimize(length);
    if (st == kStatusEndOfFile) {
      // Back to the first record; once per kSeededRecords reads, on every
      // path alike.
      if (path == Path::kDirect) {
        st = ylmpoin(handle->member, &start, 0);
      } else {
        st = g_bench->slots->Point(handle, &start);
      }
    }
    if (st != 0) {
      state.SkipWithError("read failed");
      break;
    }
  }
  g_bench->slots->Close(handle);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * size);
}

void BM_WriteSlot19(benchmark::State& s) { Write(s, Path::kSlots); }
void BM_WriteIoVector(benchmark::State& s) { Write(s, Path::kIoVector); }
void BM_WriteDirect(benchmark::State& s) { Write(s, Path::kDirect); }
void BM_ReadSlot18(benchmark::State& s) { Read(s, Path::kSlots); }
void BM_ReadIoVector(benchmark::State& s) { Read(s, Path::kIoVector); }
void BM_ReadDirect(benchmark::State& s) { Read(s, Path::kDirect); }

BENCHMARK(BM_WriteDirect)->Arg(80)->Arg(1000);
BENCHMARK(BM_WriteSlot19)->Arg(80)->Arg(1000);
BENCHMARK(BM_WriteIoVector)->Arg(80)->Arg(1000);
BENCHMARK(BM_ReadDirect)->Arg(80)->Arg(1000);
BENCHMARK(BM_ReadSlot18)->Arg(80)->Arg(1000);
BENCHMARK(BM_ReadIoVector)->Arg(80)->Arg(1000);

// Keeps the time per record of every run, for the overhead table.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // One figure a benchmark: the run itself, or with repetitions the
      // median. CPU time, since the machines are shared and wall time
      // carries other people's work.
      bool aggregate = run.run_type == Run::RT_Aggregate;
      if (aggregate && run.aggregate_name != "median") continue;
      seconds_per_record_[run.run_name.str()] =
          run.GetAdjustedCPUTime() / 1e9;  // nanoseconds by default
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintOverhead() const {
    std::printf(
        "\nModule overhead over the direct host call (CPU time per "
        "record):\n");
    const struct {
      const char* module;
      const char* direct;
    } kPairs[] = {
        {"BM_WriteSlot19", "BM_WriteDirect"},
        {"BM_WriteIoVector", "BM_WriteDirect"},
        {"BM_ReadSlot18", "BM_ReadDirect"},
        {"BM_ReadIoVector", "BM_ReadDirect"},
    };
    for (const char* size : {"80", "1000"}) {
      for (const auto& pair : kPairs) {
        auto m =
            seconds_per_record_.find(std::string(pair.module) + "/" + size);
        auto d =
            seconds_per_record_.find(std::string(pair.direct) + "/" + size);
        if (m == seconds_per_record_.end() || d == seconds_per_record_.end()) {
          continue;
        }
        std::printf(
            "  %-18s %5s bytes: %10.0f records/s vs %10.0f direct, "
            "overhead %+.1f%%\n",
            pair.module, size, 1.0 / m->second, 1.0 / d->second,
            (m->second / d->second - 1.0) * 100.0);
      }
    }
  }

 private:
  std::map<std::string, double> seconds_per_record_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Bench bench;
  bench.host =
      std::make_unique<refhost::Host>(refhost::NewMemoryCatalogStore());
  refhost::StartedModule started;
  std::string error;
  if (refhost::StartModule(*bench.host, &mcn_main, &started, &error) != 0) {
    std::fprintf(stderr, "module did not start: %s\n", error.c_str());
    return 1;
  }
  bench.slots = std::make_unique<refhost::Slots>(started.amec);
  g_bench = &bench;
  for (const char* physical :
       {"WORK.BENCH.R80.HTML", "WORK.BENCH.R1000.HTML"}) {
    std::string name = std::strstr(physical, "R80") ? "B80     " : "B1000   ";
    if (bench.slots->Assign(name.data(), 0, "VUVOROZO", physical,
                            (int32_t)std::strlen(physical), nullptr) != 0) {
      std::fprintf(stderr, "cannot assign %s\n", physical);
      return 1;
    }
  }

  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintOverhead();
  benchmark::Shutdown();
  return 0;
}
