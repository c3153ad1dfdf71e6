// A fresh reference host with an in-memory catalog store for every test
// (behind a FaultyStore, so a test can make the store fail),
// the module started in it (mcn_main, then the factory through the program
// control record), and checks at teardown that the module released exactly
// what it should: no module or temporary heap block left live besides the
// AMEC block and its vector, no double or unknown release, no call of a
// service slot the module has no business calling, and no library, member
// or directory stream left open on the host.

#ifndef VUVOROZO_TESTS_SUPPORT_MODULE_FIXTURE_H_
#define VUVOROZO_TESTS_SUPPORT_MODULE_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "refhost/host/host.h"
#include "refhost/host/library_services.h"
#include "refhost/host/slots.h"
#include "refhost/store/catalog_store.h"
#include "support/faulty_store.h"
#include "support/service_fake.h"
#include "vuvorozo/vuvorozo.h"

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  refhost::Host& host() { return *host_; }
  refhost::CatalogStore& store() { return *host_->store(); }
  // The store's failure switches.
  FaultyStore& faults() { return *faults_; }
  refhost::LibraryServices& library() { return *host_->library_services(); }
  refhost::Slots& slots() { return *slots_; }
  amec_block* amec() { return slots_->amec(); }

  // An 8-character blank-padded fileref name.
  static std::string Name8(std::string_view name);

  // Assigns fileref to the physical name through slot 0.
  int32_t Assign(std::string_view fileref, std::string_view physical,
                 option_block* options = nullptr, int32_t token = 0);

  // Parses an option statement through the host's tokenizer and slot 30;
  // expects success and returns the block (null when the text is empty).
  option_block* Options(std::string_view text, int32_t control = 0);

  // Module heap blocks live now, not counting the AMEC block and vector.
  int64_t LiveModuleBlocks();
  // Lets teardown accept this many live blocks (ones a test hands to the
  // host on purpose and releases itself are better).
  void AllowLiveBlocks(int64_t n) { allowed_live_ = n; }
  // Lets teardown accept unexpected service calls (tests of the fakes).
  void AllowUnexpectedCalls() { allow_unexpected_ = true; }
  // Lets teardown accept host handles left open (tests that leave a walk
  // unfinished on purpose).
  void AllowOpenHostHandles() { allow_open_handles_ = true; }

 private:
  std::unique_ptr<refhost::Host> host_;
  std::unique_ptr<refhost::Slots> slots_;
  FaultyStore* faults_ = nullptr;  // the host's store
  int64_t allowed_live_ = 0;
  bool allow_unexpected_ = false;
  bool allow_open_handles_ = false;
};

#endif  // VUVOROZO_TESTS_SUPPORT_MODULE_FIXTURE_H_
