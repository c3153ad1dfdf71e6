// What every fuzz target shares: a fresh reference host for each input with
// an in-memory catalog store and the module started in it (mcn_main, then
// the factory through the program control record, as a host does), the
// typed slot calls, and the checks at the end of an input of what the
// module left behind: no module or temporary heap block live besides the
// AMEC block and its vector (and blocks the target still holds on purpose),
// no double or unknown release, no call of a service slot the module has
// no business calling, and no library, member or directory stream left
// open on the host.
//
// A failed check prints what went wrong and aborts, which libFuzzer reports
// as a crash with the input that caused it.

#ifndef VUVOROZO_FUZZ_FUZZ_HOST_H_
#define VUVOROZO_FUZZ_FUZZ_HOST_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "refhost/host/host.h"
#include "refhost/host/library_services.h"
#include "refhost/host/slots.h"
#include "refhost/store/catalog_store.h"

namespace fuzz {

// Prints the formatted message and aborts.
[[noreturn]] void Fail(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// Prints the formatted line when FUZZ_TRACE is set in the environment, to
// follow what a crashing input does.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

#define FUZZ_CHECK(condition, ...)                                \
  do {                                                            \
    if (!(condition))                                             \
      ::fuzz::Fail("check failed: " #condition ": " __VA_ARGS__); \
  } while (0)

class FuzzHost {
 public:
  FuzzHost();
  ~FuzzHost();
  FuzzHost(const FuzzHost&) = delete;
  FuzzHost& operator=(const FuzzHost&) = delete;

  refhost::Host& host() { return *host_; }
  refhost::Slots& slots() { return *slots_; }
  refhost::CatalogStore& store() { return *host_->store(); }
  refhost::LibraryServices& library() { return *host_->library_services(); }

  // Module heap blocks live now, not counting the AMEC block and vector.
  int64_t LiveModuleBlocks() const;

  // The end-of-input checks; `held` is the number of module blocks the
  // target still holds on purpose (filerefs it cannot reach by name).
  void CheckReleased(int64_t held = 0);

  // Parses an option statement through the host's tokenizer and slot 30
  // into block (null: the module makes one).
  refhost::ParseResult Parse(std::string_view text, int32_t control,
                             option_block* block = nullptr);

  // Blank-padded 8-character name.
  static std::string Name8(std::string_view name);

 private:
  std::unique_ptr<refhost::Host> host_;
  std::unique_ptr<refhost::Slots> slots_;
};

}  // namespace fuzz

#endif  // VUVOROZO_FUZZ_FUZZ_HOST_H_
