// The module test fixture: a fresh host and module for every test, and the
// teardown checks of what the module left behind.

#include "support/module_fixture.h"

#include "frame/frame.h"
#include "refhost/loader.h"

void ModuleTest::SetUp() {
  host_ = std::make_unique<refhost::Host>(refhost::NewMemoryCatalogStore());
  refhost::StartedModule started;
  std::string error;
  ASSERT_EQ(refhost::StartModule(*host_, &mcn_main, &started, &error), 0)
      << error;
  slots_ = std::make_unique<refhost::Slots>(started.amec);
}

void ModuleTest::TearDown() {
  if (host_ == nullptr) return;
  EXPECT_EQ(LiveModuleBlocks(), allowed_live_)
      << "module heap blocks left live";
  const refhost::HeapStats& module = host_->module_arena().stats();
  EXPECT_EQ(module.double_releases, 0);
  EXPECT_EQ(module.unknown_releases, 0);
  const refhost::HeapStats& temporary = host_->temporary_arena().stats();
  EXPECT_EQ(temporary.live_blocks, 0) << "temporary heap blocks left live";
  EXPECT_EQ(temporary.double_releases + temporary.unknown_releases, 0);
  if (!allow_unexpected_) {
    EXPECT_TRUE(host_->unexpected_calls().empty())
        << "the module called a service slot it has no business calling: "
        << host_->unexpected_calls().front().first << "/"
        << host_->unexpected_calls().front().second;
  }
  if (!allow_open_handles_ && host_->library() != nullptr) {
    EXPECT_EQ(library().open_members(), 0) << "member handles left open";
    EXPECT_EQ(library().open_streams(), 0) << "directory streams left open";
    EXPECT_EQ(library().open_libraries(), 0) << "libraries left open";
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
  // The AMEC block and its vector belong to the host for the module's life.
  return host_->module_arena().stats().live_blocks - 2;
}
