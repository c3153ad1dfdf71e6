// The reference host's own pieces: name splitting, number conversion, the
// option tokenizer, the accounting heaps, messages and the vectors.

#include "refhost/host/host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "refhost/store/catalog_store.h"

namespace {

using refhost::Host;

struct Split {
  int32_t levels;
  name_part parts[4];
  std::string Part(int i) const {
    return std::string(parts[i].text, parts[i].length);
  }
};

Split SplitOf(std::string_view text) {
  Split s;
  name_part* p[4] = {&s.parts[0], &s.parts[1], &s.parts[2], &s.parts[3]};
  refhost::SplitName(text, &s.levels, p);
  return s;
}

TEST(NameSplitTest, PlacesLevelsWhereTheModuleReadsThem) {
  Split four = SplitOf("work.cat.e1.log");
  EXPECT_EQ(four.levels, 4);
  EXPECT_EQ(four.Part(0), "work");
  EXPECT_EQ(four.Part(3), "log");

  Split three = SplitOf("lib.cat.e1");
  EXPECT_EQ(three.levels, 3);
  EXPECT_EQ(three.Part(2), "e1");
  EXPECT_EQ(three.parts[3].length, 0);

  Split two = SplitOf("lib.cat");
  EXPECT_EQ(two.levels, 2);
  EXPECT_EQ(two.parts[0].length, 0);
  EXPECT_EQ(two.parts[1].length, 0);
  EXPECT_EQ(two.Part(2), "lib");
  EXPECT_EQ(two.Part(3), "cat");

  Split empty_level = SplitOf("lib.cat..log");
  EXPECT_EQ(empty_level.levels, 4);
  EXPECT_EQ(empty_level.parts[2].length, 0);
}

TEST(NameSplitTest, RefusesWhatItCannotHoldInsteadOfCutting) {
  EXPECT_EQ(SplitOf("a.b.c.d.e").levels, 0);
  EXPECT_EQ(SplitOf("lib.cat." + std::string(33, 'x')).levels, 0);
  EXPECT_EQ(SplitOf("lib.cat." + std::string(32, 'x')).levels, 3);
  Split none = SplitOf("");
  EXPECT_EQ(none.levels, 0);
  for (const auto& p : none.parts) EXPECT_EQ(p.length, 0);
}

TEST(NumberTest, ConvertsSignedDecimalsWithinRange) {
  int32_t v = 0;
  EXPECT_TRUE(refhost::ParseNumber("80", &v));
  EXPECT_EQ(v, 80);
  EXPECT_TRUE(refhost::ParseNumber("-200", &v));
  EXPECT_EQ(v, -200);
  EXPECT_TRUE(refhost::ParseNumber("-2147483648", &v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_FALSE(refhost::ParseNumber("2147483648", &v));
  EXPECT_FALSE(refhost::ParseNumber("99999999999999999999", &v));
  EXPECT_FALSE(refhost::ParseNumber("8O", &v));
  EXPECT_FALSE(refhost::ParseNumber("-", &v));
  EXPECT_FALSE(refhost::ParseNumber("", &v));
}

class HostTest : public ::testing::Test {
 protected:
  Host host_{refhost::NewMemoryCatalogStore()};
};

TEST_F(HostTest, TokenizerSplitsOptionTextAndUpperCasesNames) {
  int32_t word =
      host_.NewOptionSource("lrecl=80 Desc='It''s' recfm = vb -5 MOD");
  token_record record;
  typedef int32_t (*tok_fn)(int32_t, int32_t, token_record*);
  typedef int32_t (*init_fn)(token_record*);
  auto init = reinterpret_cast<init_fn>(host_.service(30, 248));
  auto next = reinterpret_cast<tok_fn>(host_.service(30, 250));
  ASSERT_EQ(init(&record), 0);
  struct Expected {
    uint16_t kind;
    const char* text;
  } expected[] = {{2, "LRECL"}, {1, "="},       {4, "80"},    {2, "DESC"},
                  {1, "="},     {3, "'It''s'"}, {2, "RECFM"}, {1, "="},
                  {2, "VB"},    {4, "-5"},      {2, "MOD"}};
  for (const auto& e : expected) {
    ASSERT_EQ(next(0, word, &record), 0);
    EXPECT_EQ(record.kind, e.kind);
    EXPECT_EQ(std::string(record.text, record.length), e.text);
    EXPECT_NE(record.context, nullptr);
  }
  EXPECT_EQ(next(0, word, &record), refhost::kHostNoMoreTokens);
  EXPECT_EQ(next(0, 999, &record), refhost::kHostBadSource);

  int32_t bad = host_.NewOptionSource("DESC='open");
  ASSERT_EQ(next(0, bad, &record), 0);
  ASSERT_EQ(next(0, bad, &record), 0);
  EXPECT_EQ(next(0, bad, &record), refhost::kHostBadToken);
}

TEST_F(HostTest, HeapsCountBlocksAndCatchBadReleases) {
  host_heap* heap = host_.module_heap();
  auto* block =
      static_cast<unsigned char*>(heap->allocate(heap, 8, kAllocUncleared));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[0], refhost::kUnclearedFill);  // never zero by luck
  EXPECT_EQ(host_.module_arena().stats().live_blocks, 1);
  host_heap* release = host_.release_heap();
  EXPECT_NE(release, heap);  // a separate object over the same blocks
  EXPECT_EQ(release->release(release, block, 0, 4), 0);
  EXPECT_NE(release->release(release, block, 0, 4), 0);
  int local = 0;
  EXPECT_NE(release->release(release, &local, 0, 4), 0);
  EXPECT_EQ(host_.module_arena().stats().double_releases, 1);
  EXPECT_EQ(host_.module_arena().stats().unknown_releases, 1);

  // A module block released to the temporary heap is an unknown release.
  void* other = heap->allocate(heap, 4, kAllocCleared);
  host_heap* temporary = host_.temporary_heap();
  EXPECT_NE(temporary->release(temporary, other, 0, 4), 0);
  EXPECT_TRUE(host_.module_arena().IsLive(other));
  EXPECT_EQ(release->release(release, other, 0, 4), 0);

  host_.module_arena().FailAfter(1, 2);
  void* a = heap->allocate(heap, 4, kAllocCleared);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(heap->allocate(heap, 4, kAllocCleared), nullptr);
  EXPECT_EQ(heap->allocate(heap, 4, kAllocCleared), nullptr);
  void* b = heap->allocate(heap, 4, kAllocCleared);
  EXPECT_NE(b, nullptr);
  release->release(release, a, 0, 4);
  release->release(release, b, 0, 4);
  EXPECT_EQ(host_.module_arena().stats().live_blocks, 0);
}

// A long run keeps a bounded window of released addresses: a block released
// twice among thousands of others is still a double release, and one
// released again after the window moved past it is still a bad release.
TEST_F(HostTest, ReleasesTwiceAreCaughtInALongRun) {
  refhost::HeapArena arena;
  // Of a size no block below takes the place of.
  void* first = arena.Allocate(1 << 18, kAllocUncleared);
  ASSERT_TRUE(arena.Release(first));
  std::vector<void*> held;  // kept live, so that no address comes back
  for (int i = 0; i < 1000; ++i) {
    void* block = arena.Allocate(16, kAllocUncleared);
    held.push_back(block);
    void* brief = arena.Allocate(24, kAllocUncleared);
    ASSERT_TRUE(arena.Release(brief));
  }
  EXPECT_FALSE(arena.Release(first));
  EXPECT_EQ(arena.stats().double_releases, 1);
  for (int i = 0; i < 10000; ++i) {
    ASSERT_TRUE(arena.Release(arena.Allocate(8, kAllocCleared)));
  }
  EXPECT_FALSE(arena.Release(first));
  EXPECT_EQ(arena.stats().double_releases + arena.stats().unknown_releases, 2);
  for (void* block : held) EXPECT_TRUE(arena.Release(block));
  EXPECT_EQ(arena.stats().live_blocks, 0);
}

TEST_F(HostTest, UnexpectedSlotsAnswerAnErrorAndAreRecorded) {
  typedef int32_t (*fn)(void);
  EXPECT_EQ(reinterpret_cast<fn>(host_.service(30, 7))(),
            refhost::kHostUnexpectedService);
  EXPECT_EQ(reinterpret_cast<fn>(host_.service(39, 0))(),
            refhost::kHostUnexpectedService);
  ASSERT_EQ(host_.unexpected_calls().size(), 2u);
  EXPECT_EQ(host_.unexpected_calls()[0], std::make_pair(30, 7));
  EXPECT_EQ(host_.unexpected_calls()[1], std::make_pair(39, 0));
}

TEST_F(HostTest, MessagesFormatSubstituteAndExplain) {
  char buffer[300];
  typedef int32_t (*ypmstr_fn)(char*, int32_t, int32_t, int32_t);
  auto ypmstr = reinterpret_cast<ypmstr_fn>(host_.service(30, 74));
  int32_t n = ypmstr(buffer, 255, 566, 4);
  EXPECT_GT(n, 20);
  EXPECT_EQ(std::string(buffer, n), Host::MessageText(566, 4));
  EXPECT_EQ(ypmstr(buffer, 10, 566, 4), 10);
  for (int number : {1, 2, 4, 5, 48}) {
    EXPECT_EQ(Host::MessageText(566, number).find("Message "),
              std::string::npos);
  }

  int32_t eight = 8;
  host_.SetSubstitutions({std::string(reinterpret_cast<char*>(&eight), 4),
                          std::string("CATALOG\0", 8)});
  host_.Issue(7, 4157);
  ASSERT_EQ(host_.issued().size(), 1u);
  EXPECT_EQ(host_.issued()[0].token, 7);
  EXPECT_NE(host_.issued()[0].text.find("CATALOG"), std::string::npos);
  EXPECT_NE(host_.issued()[0].text.find('8'), std::string::npos);

  host_.SetSubstitutions({std::string("No such thing.\0", 15)});
  EXPECT_EQ(host_.RefusalText(), "No such thing.");
  EXPECT_EQ(host_.Explain(kStatusRefused), "No such thing.");
  host_.SetSubstitutions(
      {std::string(reinterpret_cast<char*>(&eight), 4), "GIF     "});
  EXPECT_NE(host_.Explain(kStatusNoSuchEntry).find("GIF"), std::string::npos);
  EXPECT_NE(host_.Explain(static_cast<int32_t>(0x80123456)).find("0x80123456"),
            std::string::npos);
}

}  // namespace
