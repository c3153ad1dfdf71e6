// The option parser driven by the host's tokenizer with real option text,
// and by scripted tokens for what that tokenizer never produces; the held
// copies of option blocks.

#include <cstring>
#include <string>
#include <vector>

#include "fileref/fileref.h"
#include "support/module_fixture.h"

namespace {

class OptionsTest : public ModuleTest {
 protected:
  refhost::ParseResult Parse(std::string_view text, int32_t control = 0,
                             option_block* block = nullptr) {
    return host().ParseOptions(slots().routine(kSlotParse), text, control,
                               block);
  }
  void Release(option_block* block) {
    EXPECT_EQ(slots().ReleaseOptions("NONE    ", 0, block), 0);
  }
  static std::string Description(const option_block* b) {
    return std::string(b->description.text, b->description.length);
  }
};

TEST_F(OptionsTest, KeywordsAloneCountOneToken) {
  option_block* b = Options("MOD ATTR CATALOG MOD");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->block_tag, 7);
  EXPECT_EQ(b->open_options, kOpenOptionMod);
  EXPECT_EQ(b->attr, 1);
  EXPECT_EQ(b->recfm, 0);
  EXPECT_EQ(b->lrecl, 0);
  EXPECT_EQ(b->option_flags, 0);
  EXPECT_EQ(b->description.length, 0);
  EXPECT_EQ(std::string(b->description.text, 256), std::string(256, ' '));

  // One call, one option: the count the host resumes after.
  int32_t word = host().NewOptionSource("CATALOG LRECL=1");
  int32_t count = -1;
  option_block* again = b;
  option_block before = *b;
  EXPECT_EQ(slots().Parse(0, word, &count, &again), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(again, b);
  EXPECT_EQ(std::memcmp(&before, b, sizeof before), 0);
  host().ReleaseOptionSources();
  Release(b);
}

TEST_F(OptionsTest, ValuedKeywordsCountThreeTokens) {
  option_block* b = Options(
      "lrecl=80 BLOCKSIZE=-4 RECFM=F RECFM=VB DESC='It''s' BLOCKSIZE=6144");
  EXPECT_EQ(b->lrecl, 80);
  EXPECT_EQ(b->blocksize, 6144) << "a later option of the kind overwrites";
  EXPECT_EQ(b->recfm, 0x28) << "letters accumulate";
  EXPECT_EQ(Description(b), "It's");
  EXPECT_EQ(b->description.text[4], ' ');

  Release(b);

  // P, DESCRIPTION, an empty description and LRECL=0.
  b = Options("RECFM=P DESCRIPTION='' LRECL=0");
  EXPECT_EQ(b->recfm, 0x11);
  EXPECT_EQ(b->description.length, 0);
  EXPECT_EQ(std::string(b->description.text, 256), std::string(256, ' '));
  EXPECT_EQ(b->lrecl, 0);
  Release(b);

  // An existing block ignores the control word's keep flag; a new one takes
  // it.
  option_block* kept = Options("ATTR", kOptionKeep | 0x21);
  EXPECT_EQ(kept->option_flags, kOptionKeep);
  refhost::ParseResult more = Parse("MOD", 0, kept);
  EXPECT_EQ(more.status, 0);
  EXPECT_EQ(kept->option_flags, kOptionKeep);
  Release(kept);
}

TEST_F(OptionsTest, RejectedOptionsMarkTheContextAndNameTheToken) {
  struct Case {
    const char* text;
    int32_t status;
    const char* offending;
  };
  const Case cases[] = {
      {"DESCR='x'", (int32_t)0x80001017, "DESCR"},
      {"LRECL 80", (int32_t)0x80001018, "80"},
      {"LRECL='x'", (int32_t)0x80001018, "'x'"},
      {"BLOCKSIZE=BIG", (int32_t)0x80001018, "BIG"},
      {"RECFM=U", (int32_t)0x80001018, "U"},
      {"RECFM=8", (int32_t)0x80001018, "8"},
      {"DESC=WORDS", (int32_t)0x80001018, "WORDS"},
      {"=", (int32_t)0x80001017, "="},
  };
  for (const Case& c : cases) {
    refhost::ParseResult r = Parse(std::string("MOD ") + c.text);
    EXPECT_EQ(r.status, c.status) << c.text;
    EXPECT_EQ(r.error_text, c.offending) << c.text;
    EXPECT_TRUE(r.error_marked) << c.text;
    ASSERT_NE(r.block, nullptr);
    EXPECT_EQ(r.block->open_options, kOpenOptionMod) << "accepted options stay";
    EXPECT_EQ(r.block->lrecl, 0);
    EXPECT_EQ(r.block->recfm, 0);
    Release(r.block);
  }
}

TEST_F(OptionsTest, LongDescriptionKeepsItsFirst256Characters) {
  std::string text(300, 'd');
  text[255] = 'L';
  text[256] = 'X';
  option_block* b = Options("DESC='" + text + "'");
  EXPECT_EQ(b->description.length, 256);
  EXPECT_EQ(Description(b), text.substr(0, 256));
  EXPECT_EQ(b->reserved_278[0], 0);
  EXPECT_EQ(b->reserved_278[1], 0);
  EXPECT_EQ(b->option_flags, 0);
  Release(b);
}

TEST_F(OptionsTest, NothingToParseOrNoMemory) {
  int32_t count = -1;
  option_block* b = nullptr;
  EXPECT_EQ(slots().Parse(0, 0, &count, &b), 0);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(count, -1);
  EXPECT_EQ(LiveModuleBlocks(), 0);

  int32_t word = host().NewOptionSource("MOD");
  host().module_arena().FailAfter(0);
  EXPECT_EQ(slots().Parse(0, word, &count, &b), (int32_t)0x80000803);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(count, -1);

  // No scratch for the description: the block is left as it was.
  word = host().NewOptionSource("DESC='abc'");
  b = Options("LRECL=9");
  host().temporary_arena().FailAfter(0);
  EXPECT_EQ(slots().Parse(0, word, &count, &b), (int32_t)0x80000803);
  EXPECT_EQ(count, -1);
  EXPECT_EQ(b->description.length, 0);
  EXPECT_EQ(b->lrecl, 9);
  host().ReleaseOptionSources();
  Release(b);
}

// Scripted tokenizer: tokens handed out in turn, a status per call.
struct ScriptedToken {
  int32_t status;
  uint16_t kind;
  const char* text;
  int16_t length;
};
std::vector<ScriptedToken> script;
size_t next_token = 0;
int32_t start_status = 0;
int32_t end_status = 0;
int end_calls = 0;
alignas(4) uint8_t context[64];
bool null_context = false;
bool context_from_next = false;  // set by yxatok, not by yxatoki

int32_t ScriptStart(token_record* t) {
  if (!context_from_next) t->context = null_context ? nullptr : context;
  return start_status;
}
int32_t ScriptNext(int32_t, int32_t, token_record* t) {
  if (context_from_next) t->context = context;
  if (next_token >= script.size()) return refhost::kHostNoMoreTokens;
  const ScriptedToken& s = script[next_token++];
  t->kind = s.kind;
  t->text = s.text;
  t->length = s.length;
  return s.status;
}
int32_t ScriptEnd(token_record*) {
  ++end_calls;
  return end_status;
}

class ScriptedOptionsTest : public OptionsTest {
 protected:
  void SetUp() override {
    OptionsTest::SetUp();
    script.clear();
    next_token = 0;
    start_status = end_status = 0;
    end_calls = 0;
    null_context = false;
    context_from_next = false;
    std::memset(context, 0, sizeof context);
    host().set_service(yxatoki_service, &ScriptStart);
    host().set_service(yxatok_service, &ScriptNext);
    host().set_service(yxatokt_service, &ScriptEnd);
  }
  int32_t Run(std::vector<ScriptedToken> tokens, int32_t* count) {
    script = std::move(tokens);
    next_token = 0;
    *count = -1;
    return slots().Parse(0, 1, count, &block_);
  }
  bool Marked() const { return (context[48] & 1) != 0; }
  void TearDown() override {
    if (block_ != nullptr) Release(block_);
    OptionsTest::TearDown();
  }
  option_block* block_ = nullptr;
};

TEST_F(ScriptedOptionsTest, OnlyTheFirstCharacterOfTheEqualsCounts) {
  int32_t count;
  EXPECT_EQ(Run({{0, 2, "LRECL", 5}, {0, 3, "=>", 2}, {0, 4, "12", 2}}, &count),
            0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(block_->lrecl, 12);
  EXPECT_EQ(end_calls, 1);
  // An empty or negative-length '=' token is no '='.
  for (int16_t length : {(int16_t)0, (int16_t)-1}) {
    EXPECT_EQ(Run({{0, 2, "RECFM", 5}, {0, 1, "=", length}}, &count),
              (int32_t)0x80001018);
    EXPECT_EQ(count, 1);
  }
  // A keyword token of any kind, trailing blanks ignored.
  std::memset(context, 0, sizeof context);
  EXPECT_EQ(Run({{0, 3, "ATTR   ", 7}}, &count), 0);
  EXPECT_EQ(block_->attr, 1);
  EXPECT_FALSE(Marked());
  EXPECT_EQ(Run({{0, 2, "attr", 4}}, &count), (int32_t)0x80001017);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(Marked());
}

TEST_F(ScriptedOptionsTest, TokenizerFailuresPassThroughWithoutEndingTheScan) {
  int32_t count;
  start_status = 0x0B;
  EXPECT_EQ(Run({{0, 2, "MOD", 3}}, &count), 0x0B);
  start_status = 0;
  EXPECT_EQ(Run({{0x77, 2, "MOD", 3}}, &count), 0x77);
  EXPECT_EQ(Run({{0, 2, "LRECL", 5},
                 {0, 1, "=", 1},
                 {(int32_t)0x80000009, 4, "1", 1}},
                &count),
            (int32_t)0x80000009);
  EXPECT_EQ(count, -1);
  EXPECT_EQ(end_calls, 0);
  EXPECT_FALSE(Marked());
  EXPECT_EQ(block_->lrecl, 0);
  EXPECT_EQ(block_->open_options, 0);
  // The end of the scan gives the status.
  end_status = 0x55;
  EXPECT_EQ(Run({{0, 2, "MOD", 3}}, &count), 0x55);
  EXPECT_EQ(count, 1);
}

TEST_F(ScriptedOptionsTest, OddValueTokensStayWithinTheirText) {
  int32_t count;
  // A quoted token too short to hold its quotes gives an empty description.
  EXPECT_EQ(Run({{0, 2, "DESC", 4}, {0, 1, "=", 1}, {0, 3, "'", 1}}, &count),
            0);
  EXPECT_EQ(block_->description.length, 0);
  EXPECT_EQ(
      Run({{0, 2, "DESC", 4}, {0, 1, "=", 1}, {0, 3, "'ab'", -4}}, &count), 0);
  EXPECT_EQ(block_->description.length, 0);
  EXPECT_EQ(Run({{0, 2, "RECFM", 5}, {0, 1, "=", 1}, {0, 2, "F", 0}}, &count),
            (int32_t)0x80001018);
  EXPECT_EQ(count, 2);
  // Without a context record there is nothing to mark.
  null_context = true;
  EXPECT_EQ(Run({{0, 2, "NOPE", 4}}, &count), (int32_t)0x80001017);
  EXPECT_EQ(count, 0);
}

TEST_F(ScriptedOptionsTest, WhatTheParserNeedsFromTheTokenizer) {
  int32_t count;
  // Tokens that run out: whatever the tokenizer answers comes back as it
  // is, with no count and no mark, and the block stays as it was.
  for (size_t given : {0u, 1u, 2u}) {
    std::vector<ScriptedToken> tokens = {
        {0, 2, "LRECL", 5}, {0, 1, "=", 1}, {0, 4, "20", 2}};
    tokens.resize(given);
    EXPECT_EQ(Run(tokens, &count), refhost::kHostNoMoreTokens) << given;
    EXPECT_EQ(count, -1);
    EXPECT_FALSE(Marked());
    EXPECT_EQ(block_->lrecl, 0);
  }
  EXPECT_EQ(end_calls, 0);

  // Keywords and RECFM letters are compared in upper case: a tokenizer
  // that hands names on as written makes lower-case options fail.
  EXPECT_EQ(Run({{0, 2, "lrecl", 5}, {0, 1, "=", 1}, {0, 4, "20", 2}}, &count),
            (int32_t)0x80001017);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(Run({{0, 2, "RECFM", 5}, {0, 1, "=", 1}, {0, 2, "f", 1}}, &count),
            (int32_t)0x80001018);
  EXPECT_EQ(count, 2);

  // The mark goes through the context record of the token record as the
  // last yxatok left it: a tokenizer that sets it only there is marked.
  context_from_next = true;
  std::memset(context, 0, sizeof context);
  EXPECT_EQ(Run({{0, 2, "NOPE", 4}}, &count), (int32_t)0x80001017);
  EXPECT_TRUE(Marked());
}

TEST_F(OptionsTest, ARejectedFirstOptionStillHandsOutItsBlock) {
  // The block is made before the first token is read: the host owns it
  // whatever the option's fate, and releases it through slot 36.
  for (const char* text : {"COLOUR=RED", "LRECL"}) {
    refhost::ParseResult r = Parse(text);
    EXPECT_NE(r.status, 0) << text;
    ASSERT_NE(r.block, nullptr) << text;
    EXPECT_EQ(LiveModuleBlocks(), 1) << text;
    Release(r.block);
  }
  EXPECT_EQ(LiveModuleBlocks(), 0);
}

TEST_F(OptionsTest, HeldCopiesRoundTrip) {
  option_block* b = Options("LRECL=133 RECFM=P DESC='held' ATTR", kOptionKeep);
  option_block* copy = nullptr;
  int32_t size = 0;
  ASSERT_EQ(slots().HoldCopy(b, &copy, &size), 0);
  EXPECT_EQ(size, 288);
  ASSERT_NE(copy, b);
  option_block* back = nullptr;
  ASSERT_EQ(slots().FromCopy(copy, size, &back), 0);
  ASSERT_NE(back, nullptr);
  EXPECT_NE(back, copy);
  EXPECT_EQ(std::memcmp(back, b, 288), 0);

  int64_t live = LiveModuleBlocks();
  option_block* untouched = b;
  EXPECT_EQ(slots().FromCopy(copy, 287, &untouched), (int32_t)0x8000100D);
  EXPECT_EQ(untouched, b);
  EXPECT_EQ(LiveModuleBlocks(), live);
  host().module_arena().FailAfter(0);
  EXPECT_EQ(slots().FromCopy(copy, 288, &untouched), (int32_t)0x80000803);
  EXPECT_EQ(untouched, b);
  host().module_arena().FailAfter(0);
  option_block* failed = b;
  EXPECT_EQ(slots().HoldCopy(b, &failed, &size), (int32_t)0x80000803);
  EXPECT_EQ(failed, nullptr);
  for (option_block* x : {b, copy, back}) Release(x);
}

}  // namespace
