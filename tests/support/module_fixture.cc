// The module test fixture: a fresh host and module for every test, and the
// teardown checks of what the module left behind.

#include "support/module_fixture.h"

#include "refhost/host/loader.h"
#include "vuvorozo/module.h"

void ModuleTest::SetUp() {
  auto store = std::make_unique<FaultyStore>(refhost::NewMemoryCatalogStore());
  faults_ = store.get();
  host_ = std::make_unique<refhost::Host>(std::move(store));
  refhost::StartedModule started;
  std::string error;
  ASSERT_EQ(refhost::StartModule(*host_, &mcn_main, &started, &error), 0)
      << error;
  slots_ = std::make_unique<refhost::Slots>(started.amec);
}

void ModuleTest::TearDown() {
  if (host_ == nullptr) return;
  refhost::HostBalance balance = host_->Balance();
  EXPECT_EQ(balance.module_blocks, allowed_live_)
      << "module heap blocks left live";
  EXPECT_EQ(balance.temporary_blocks, 0) << "temporary heap blocks left live";
  EXPECT_EQ(balance.bad_releases, 0) << "blocks released twice or unknown";
  if (!allow_unexpected_) {
    EXPECT_TRUE(host_->unexpected_calls().empty())
        << "the module called a service slot it has no business calling: "
        << host_->unexpected_calls().front().first << "/"
        << host_->unexpected_calls().front().second;
  }
  if (!allow_open_handles_) {
    EXPECT_EQ(balance.open_members, 0) << "member handles left open";
    EXPECT_EQ(balance.open_streams, 0) << "directory streams left open";
    EXPECT_EQ(balance.open_libraries, 0) << "libraries left open";
  }
  slots_.reset();
  host_.reset();
}

std::string ModuleTest::Name8(std::string_view name) {
  std::string s(name.substr(0, 8));
  s.resize(8, ' ');
  return s;
}

int32_t ModuleTest::Assign(std::string_view fileref, std::string_view physical,
                           option_block* options, int32_t token) {
  std::string name = Name8(fileref);
  return slots().Assign(name.data(), token, "VUVOROZO", physical.data(),
                        static_cast<int32_t>(physical.size()), options);
}

option_block* ModuleTest::Options(std::string_view text, int32_t control) {
  refhost::ParseResult result =
      host().ParseOptions(slots().routine(kSlotParse), text, control);
  EXPECT_EQ(result.status, 0)
      << "options \"" << text << "\": " << host().Explain(result.status);
  return result.block;
}

int64_t ModuleTest::LiveModuleBlocks() {
  return host_->Balance().module_blocks;
}
