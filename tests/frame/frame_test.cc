// The module frame as the host meets it: the image record, the program
// control record, the factory and its routine vector, the not-supported
// slots, and the host-service forwarders.

#include <cstring>

#include "host/host.h"
#include "refhost/host/loader.h"
#include "support/module_fixture.h"
#include "vuvorozo/module.h"

namespace {

class FrameTest : public ModuleTest {};

TEST_F(FrameTest, ImageRecordLeadsToTheFactory) {
  const image_record* image = mcn_main(host().gcb(), host().pidb());
  EXPECT_EQ(std::memcmp(image->key, "KOR_Image_Information=\0\0", 24), 0);
  EXPECT_EQ(image->magic, 0xB0BDEBEDu);
  EXPECT_EQ(image->eight, 8u);
  EXPECT_EQ(std::strlen(image->release), 4u);
  EXPECT_EQ(image->release[1], '.');
  EXPECT_EQ(std::strlen(image->build_id), 16u);
  ASSERT_EQ(std::strlen(image->build_date), 11u);
  EXPECT_EQ(image->build_date[3], ' ');
  EXPECT_EQ(image->build_date[6], ' ');
  EXPECT_STREQ(image->version, "001");
  EXPECT_NE(image->notice, nullptr);

  ASSERT_EQ(image->pcns, mcn_pcns);
  EXPECT_EQ(mcn_pcns[0], &pcn_VUVOROZO);
  for (int i = 1; i < kProgramControlSlots; ++i)
    EXPECT_EQ(mcn_pcns[i], nullptr);
  EXPECT_EQ(pcn_VUVOROZO.zero, 0);
  EXPECT_EQ(pcn_VUVOROZO.minus_one, -1);
  EXPECT_EQ(std::memcmp(pcn_VUVOROZO.name, "vuvorozo\0\0\0\0", 12), 0);
  EXPECT_EQ(pcn_VUVOROZO.factory, &vuvorozo);
  EXPECT_EQ(pcn_VUVOROZO.value_36, 1149857u);
}

TEST_F(FrameTest, EntryPointStoresTheLatestAnchors) {
  const image_record* first = mcn_main(host().gcb(), 1);
  EXPECT_EQ(v_global_pidb_anchor, 1u);
  const image_record* second = mcn_main(host().gcb(), 2);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, &vi_mcn);
  EXPECT_EQ(v_global_gcb_anchor, host().gcb());
  EXPECT_EQ(v_global_pidb_anchor, 2u);
}

TEST_F(FrameTest, VectorHoldsThirtyEightRoutinesAndSevenEmptySlots) {
  amec_block* block = amec();
  EXPECT_EQ(std::memcmp(block->eye_catcher, "AMEC", 4), 0);
  EXPECT_EQ(std::memcmp(block->am_name, "VUVOROZO", 8), 0);
  EXPECT_EQ(block->fileref_list, nullptr);
  EXPECT_EQ(host().module_arena().SizeOf(block->vector), 360);
  for (int i = 0; i < kVectorSlots; ++i) {
    EXPECT_EQ(block->vector[i].zero, 0u) << "slot " << i;
    if (i < kVectorRoutines) {
      EXPECT_NE(block->vector[i].routine, nullptr) << "slot " << i;
    } else {
      EXPECT_EQ(block->vector[i].routine, nullptr) << "slot " << i;
    }
  }
  vector_routine unsupported = block->vector[5].routine;
  EXPECT_EQ(unsupported, reinterpret_cast<vector_routine>(&yxlnsup));
  for (int slot : {14, 15, 16, 17, 37}) {
    EXPECT_EQ(block->vector[slot].routine, unsupported) << "slot " << slot;
  }
}

TEST_F(FrameTest, NotSupportedSlotsIgnoreTheirArgumentsAndChangeNothing) {
  typedef int32_t (*any_fn)(int32_t, int32_t, int32_t, int32_t);
  int64_t before = host().module_arena().stats().allocations;
  for (int slot : {5, 14, 15, 16, 17, 37}) {
    any_fn fn = reinterpret_cast<any_fn>(
        reinterpret_cast<void (*)(void)>(amec()->vector[slot].routine));
    EXPECT_EQ(fn(1, 2, 3, 4), kStatusNotSupported);
    EXPECT_EQ(slots().Unsupported(slot), kStatusNotSupported);
  }
  EXPECT_EQ(host().module_arena().stats().allocations, before);
  EXPECT_EQ(amec()->fileref_list, nullptr);
}

TEST_F(FrameTest, FactoryReleasesTheBlockWhenTheVectorCannotBeAllocated) {
  int64_t live = host().module_arena().stats().live_blocks;
  host().module_arena().FailAfter(1);
  amec_block* block = reinterpret_cast<amec_block*>(0x1234);
  int32_t status = 0;
  vuvorozo(&block, &status);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(status, kStatusNoMemory);
  EXPECT_EQ(host().module_arena().stats().live_blocks, live);
  EXPECT_EQ(host().module_arena().stats().failed_allocations, 1);

  host().module_arena().FailAfter(0);
  block = reinterpret_cast<amec_block*>(0x1234);
  vuvorozo(&block, &status);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(status, kStatusNoMemory);
  EXPECT_EQ(host().module_arena().stats().live_blocks, live);
}

// ---------------------------------------------------------------------------
// Forwarders: each sets byte V of the GCB word-1 array and hands its
// arguments unchanged to slot S of vector V, under both of its names.

typedef int32_t (*generic_fn)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                              uint32_t, uint32_t, uint32_t, uint32_t);

uint32_t g_received[9];
int g_calls = 0;

__attribute__((no_sanitize("address"))) int32_t Recorder(
    uint32_t a0, uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
    uint32_t a5, uint32_t a6, uint32_t a7, uint32_t a8) {
  uint32_t args[9] = {a0, a1, a2, a3, a4, a5, a6, a7, a8};
  std::memcpy(g_received, args, sizeof args);
  ++g_calls;
  return 0x5151;
}

template <typename R, typename... A>
constexpr int Arity(R (*)(A...)) {
  return sizeof...(A);
}

struct Forwarder {
  const char* name;
  int vector;
  int slot;
  generic_fn plain;
  generic_fn alias;
  int arity;
};

#define VZ_FORWARDER_ENTRY(name, vector, slot, params, args)              \
  {#name,                                                                 \
   vector,                                                                \
   slot,                                                                  \
   reinterpret_cast<generic_fn>(reinterpret_cast<void (*)(void)>(&name)), \
   reinterpret_cast<generic_fn>(                                          \
       reinterpret_cast<void (*)(void)>(&_##name##_##vector##_##slot)),   \
   Arity(&name)},
#define VZ_DECLARE_ALIAS(name, vector, slot, params, args) \
  extern "C" int32_t _##name##_##vector##_##slot params;
VZ_HOST_SERVICES(VZ_DECLARE_ALIAS)

const Forwarder kForwarders[] = {VZ_HOST_SERVICES(VZ_FORWARDER_ENTRY)};

TEST_F(FrameTest, ForwardersSetTheVectorByteAndPassArgumentsUnchanged) {
  for (const Forwarder& f : kForwarders) {
    for (generic_fn fn : {f.plain, f.alias}) {
      SCOPED_TRACE(f.name);
      host().clear_service_flags();
      host().set_service(f.vector, f.slot,
                         reinterpret_cast<host_routine>(&Recorder));
      std::memset(g_received, 0, sizeof g_received);
      g_calls = 0;
      EXPECT_EQ(fn(0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8),
                0x5151);
      EXPECT_EQ(g_calls, 1);
      for (int i = 0; i < f.arity; ++i) {
        EXPECT_EQ(g_received[i], 0xA0u + i) << "argument " << i;
      }
      for (int v = 0; v < 64; ++v) {
        EXPECT_EQ(host().service_flags()[v], v == f.vector ? 1 : 0)
            << "byte " << v;
      }
      host().restore_service(f.vector, f.slot);
    }
  }
}

extern "C" int32_t _wrmksub_0_144(int32_t, ...);

TEST_F(FrameTest, WrmksubPassesExactlyItsPairs) {
  host().clear_service_flags();
  int32_t eight = 8;
  wrmksub(2, &eight, 4, "CATALOG", 8);
  EXPECT_EQ(host().service_flags()[0], 1);
  ASSERT_EQ(host().substitutions().size(), 2u);
  EXPECT_EQ(host().substitutions()[0], std::string("\x08\0\0\0", 4));
  EXPECT_EQ(host().substitutions()[1], std::string("CATALOG\0", 8));
  _wrmksub_0_144(1, "ABC", 3);
  ASSERT_EQ(host().substitutions().size(), 1u);
  EXPECT_EQ(host().substitutions()[0], "ABC");
  EXPECT_EQ(wrmksub(kMaxSubstitutions + 1), kStatusBadLength);
}

TEST_F(FrameTest, HeapForwardersReachTheHeapWords) {
  void* a = vmalloc_handler(host().module_heap(), 16, kAllocCleared);
  void* b = vmalcp_handler(host().module_heap(), 16, kAllocUncleared);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(a)[15], 0);
  EXPECT_TRUE(host().module_arena().IsLive(b));
  EXPECT_EQ(vmfree_handler(release_heap(), a, 0, 4), 0);
  EXPECT_EQ(vmfree_handler(release_heap(), b, 0, 4), 0);
  EXPECT_FALSE(host().module_arena().IsLive(b));
}

}  // namespace
