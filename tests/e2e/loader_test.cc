// The built shared object loaded as a host loads it: dlopen, the entry
// point, the image record, the factory, then a record round trip through
// the routine vector. This binary does not link the module's objects.

#include "refhost/host/loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "refhost/host/host.h"
#include "refhost/host/library_services.h"
#include "refhost/host/slots.h"
#include "refhost/store/catalog_store.h"

// A host routine that happens to carry the name of one of the module's
// service forwarders, exported from this program. The module's own calls
// must not reach it.
int g_host_ylmwrit_calls = 0;
extern "C" __attribute__((visibility("default"))) int32_t ylmwrit(
    uint32_t, record_request*) {
  ++g_host_ylmwrit_calls;
  return static_cast<int32_t>(0x80FFFFFF);
}

namespace {

class LoadedModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    module_ = refhost::LoadedModule::Open(VUVOROZO_MODULE_PATH, host_, &error);
    ASSERT_NE(module_, nullptr) << error;
    slots_ = std::make_unique<refhost::Slots>(module_->amec());
  }

  refhost::Host host_{refhost::NewMemoryCatalogStore()};
  std::unique_ptr<refhost::LoadedModule> module_;
  std::unique_ptr<refhost::Slots> slots_;
};

TEST_F(LoadedModuleTest, RecordsRoundTripThroughTheLoadedModule) {
  EXPECT_EQ(std::memcmp(module_->image()->key, "KOR_Image_Information=", 22),
            0);
  EXPECT_EQ(slots_->Unsupported(5), kStatusNotSupported);

  const char fileref[] = "E1      ";
  const char physical[] = "work.cat.e1.html";
  ASSERT_EQ(slots_->Assign(fileref, 0, "VUVOROZO", physical,
                           sizeof physical - 1, nullptr),
            0);
  open_request out{};
  out.open_flags = kOpenOutput;
  file_handle* handle = nullptr;
  ASSERT_EQ(slots_->Open(&handle, fileref, 0, &out), 0);
  for (const char* line : {"<p>one</p>", "<p>two</p>"}) {
    EXPECT_EQ(slots_->Write(handle, line, std::strlen(line), ' '), 0);
  }
  EXPECT_EQ(slots_->Close(handle), 0);
  EXPECT_EQ(g_host_ylmwrit_calls, 0)
      << "a host symbol captured the module's call";

  open_request in{};
  in.open_flags = kOpenInput;
  ASSERT_EQ(slots_->Open(&handle, fileref, 0, &in), 0);
  char* data = nullptr;
  int32_t length = 0;
  ASSERT_EQ(slots_->Read(handle, &data, &length, nullptr), 0);
  EXPECT_EQ(std::string(data, length), "<p>one</p>");
  ASSERT_EQ(slots_->Read(handle, &data, &length, nullptr), 0);
  EXPECT_EQ(std::string(data, length), "<p>two</p>");
  EXPECT_EQ(slots_->Read(handle, &data, &length, nullptr), kStatusEndOfFile);
  EXPECT_EQ(slots_->Close(handle), 0);
  EXPECT_EQ(slots_->Deassign(fileref, 0), 0);

  // Only the AMEC block and its vector stay: the host keeps them.
  EXPECT_EQ(host_.module_arena().stats().live_blocks, 2);
  EXPECT_EQ(host_.module_arena().stats().double_releases, 0);
  EXPECT_EQ(host_.library_services()->open_libraries(), 0);
  EXPECT_TRUE(host_.unexpected_calls().empty());
}

TEST(LoaderTest, ReportsWhatCannotBeLoaded) {
  refhost::Host host(refhost::NewMemoryCatalogStore());
  std::string error;
  EXPECT_EQ(
      refhost::LoadedModule::Open("/nonexistent/vuvorozo.so", host, &error),
      nullptr);
  EXPECT_NE(error.find("cannot load"), std::string::npos);
}

}  // namespace
