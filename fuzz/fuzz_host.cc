// The fresh host of every fuzz input and the checks at its end.

#include "fuzz_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "frame/frame.h"
#include "refhost/loader.h"

namespace fuzz {

void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::abort();
}

void Trace(const char* format, ...) {
  static const bool enabled = std::getenv("FUZZ_TRACE") != nullptr;
  if (!enabled) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

FuzzHost::FuzzHost() {
  host_ = std::make_unique<refhost::Host>(refhost::NewMemoryCatalogStore());
  refhost::StartedModule started;
  std::string error;
  if (refhost::StartModule(*host_, &mcn_main, &started, &error) != 0) {
    Fail("the module did not start: %s", error.c_str());
  }
  slots_ = std::make_unique<refhost::Slots>(started.amec);
}

FuzzHost::~FuzzHost() {
  slots_.reset();
  host_.reset();
}

int64_t FuzzHost::LiveModuleBlocks() const {
  // The AMEC block and its vector belong to the host for the module's life.
  return host_->module_arena().stats().live_blocks - 2;
}

void FuzzHost::CheckReleased(int64_t held) {
  const refhost::HeapStats& module = host_->module_arena().stats();
  FUZZ_CHECK(LiveModuleBlocks() == held,
             "%lld module heap blocks live, %lld expected",
             (long long)LiveModuleBlocks(), (long long)held);
  FUZZ_CHECK(module.double_releases == 0, "a module block released twice");
  FUZZ_CHECK(module.unknown_releases == 0,
             "an address released that the heap never handed out");
  const refhost::HeapStats& temporary = host_->temporary_arena().stats();
  FUZZ_CHECK(temporary.live_blocks == 0, "%lld temporary heap blocks live",
             (long long)temporary.live_blocks);
  FUZZ_CHECK(temporary.double_releases + temporary.unknown_releases == 0,
             "a bad release to the temporary heap");
  FUZZ_CHECK(host_->unexpected_calls().empty(),
             "the module called service slot %d/%d",
             host_->unexpected_calls().front().first,
             host_->unexpected_calls().front().second);
  refhost::LibraryServices& lib = *host_->library();
  FUZZ_CHECK(lib.open_members() == 0, "%d members left open",
             lib.open_members());
  FUZZ_CHECK(lib.open_streams() == 0, "%d directory streams left open",
             lib.open_streams());
  FUZZ_CHECK(lib.open_libraries() == 0, "%d libraries left open",
             lib.open_libraries());
}

refhost::ParseResult FuzzHost::Parse(std::string_view text, int32_t control,
                                     option_block* block) {
  return host_->ParseOptions(slots_->routine(kSlotParse), text, control, block);
}

std::string FuzzHost::Name8(std::string_view name) {
  std::string s(name.substr(0, 8));
  s.resize(8, ' ');
  return s;
}

}  // namespace fuzz
