// The fresh host of every fuzz input and the checks at its end.

#include "fuzz_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "refhost/host/loader.h"
#include "vuvorozo/module.h"

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
  return host_->Balance().module_blocks;
}

void FuzzHost::CheckReleased(int64_t held) {
  refhost::HostBalance balance = host_->Balance();
  FUZZ_CHECK(balance.module_blocks == held,
             "%lld module heap blocks live, %lld expected",
             (long long)balance.module_blocks, (long long)held);
  FUZZ_CHECK(balance.temporary_blocks == 0, "%lld temporary heap blocks live",
             (long long)balance.temporary_blocks);
  FUZZ_CHECK(balance.bad_releases == 0,
             "a block released twice, or an address the heap never handed "
             "out");
  FUZZ_CHECK(balance.unexpected_calls == 0,
             "the module called service slot %d/%d",
             host_->unexpected_calls().front().first,
             host_->unexpected_calls().front().second);
  FUZZ_CHECK(balance.open_members == 0, "%d members left open",
             balance.open_members);
  FUZZ_CHECK(balance.open_streams == 0, "%d directory streams left open",
             balance.open_streams);
  FUZZ_CHECK(balance.open_libraries == 0, "%d libraries left open",
             balance.open_libraries);
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
