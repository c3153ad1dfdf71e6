// Fileref options: the host calls yxlpars once per option written after a
// fileref; each call reads the option's tokens through the host tokenizer
// (yxatoki, yxatok, yxatokt), records the option in an option_block and
// reports how many tokens it accepted. yxlhh2p and yxlhp2h copy a block out
// for the host to hold and back into a block. Releasing a block is the
// registry's yxlhbfr.
//
// The token record is the module's storage on the stack; the module reads
// only its kind, text, length and context fields. A rejected option sets
// the error mark (bit 0 of word 48 of the tokenizer's context record).

#include <cstring>

#include "fileref/fileref.h"
#include "text/text.h"

namespace {

// What an option keyword takes and does.
enum option_kind : int32_t {
  kOptLrecl,
  kOptBlocksize,
  kOptRecfm,
  kOptMod,
  kOptAttr,
  kOptCatalog,
  kOptDescription,
};

struct option_keyword {
  const char* keyword;
  int32_t length;
  option_kind kind;
  bool takes_value;     // keyword = value; else the keyword alone
  uint16_t value_kind;  // token kind the value must have
};

// Tested in this order; the first exact match wins.
constexpr option_keyword kKeywords[] = {
    {"LRECL", 5, kOptLrecl, true, kTokenNumber},
    {"BLOCKSIZE", 9, kOptBlocksize, true, kTokenNumber},
    {"RECFM", 5, kOptRecfm, true, kTokenName},
    {"MOD", 3, kOptMod, false, 0},
    {"ATTR", 4, kOptAttr, false, 0},
    {"CATALOG", 7, kOptCatalog, false, 0},
    {"DESC", 4, kOptDescription, true, kTokenQuoted},
    {"DESCRIPTION", 11, kOptDescription, true, kTokenQuoted},
};

// RECFM letters: only the value's first character counts.
struct recfm_letter {
  char letter;
  int32_t bits;
};
constexpr recfm_letter kRecfmLetters[] = {
    {'V', kRecfmVariable},
    {'F', kRecfmFixed},
    {'P', kRecfmPrint},
};

// Tokens accepted before the offending one, as the host reads the count.
constexpr int32_t kCountKeywordOnly = 1;
constexpr int32_t kCountWithValue = 3;
constexpr int32_t kCountBeforeEquals = 1;
constexpr int32_t kCountBeforeValue = 2;

// A token's length as far as it can be trusted: never negative.
int32_t token_length(const token_record& t) {
  return (t.text == nullptr || t.length < 0) ? 0 : t.length;
}

// Marks the option as rejected in the tokenizer's context record.
void set_error_mark(const token_record& t) {
  if (t.context == nullptr) return;
  uint32_t word;
  memcpy(&word, t.context + kTokenContextErrorWord, 4);
  word |= 1u;
  memcpy(t.context + kTokenContextErrorWord, &word, 4);
}

// Rejects the option: count and error mark, then the status.
int32_t reject(const token_record& t, int32_t* count, int32_t accepted,
               int32_t status) {
  *count = accepted;
  set_error_mark(t);
  return status;
}

const option_keyword* find_keyword(const token_record& t) {
  for (const option_keyword& k : kKeywords) {
    if (wzstcom(t.text, token_length(t), k.keyword, k.length) == 0) return &k;
  }
  return nullptr;
}

// Bits of the RECFM value's first letter, or 0 when it is none of them.
int32_t recfm_bits(const token_record& t) {
  if (token_length(t) == 0) return 0;
  for (const recfm_letter& r : kRecfmLetters) {
    if (t.text[0] == r.letter) return r.bits;
  }
  return 0;
}

// Unquotes a quoted token into the description. The scratch buffer comes
// from the temporary heap and goes back to it. A text longer than the
// description keeps its first 256 characters and the length 256.
// 0; 0x80000803.
int32_t store_description(const token_record& t, description_field* d) {
  int32_t length = token_length(t);
  host_heap* heap = v_global_gcb_anchor->temporary_heap;
  char* buffer = (char*)vmalloc_handler(heap, length + 1, kAllocUncleared);
  if (buffer == nullptr) return kStatusNoMemory;
  if (length > 0) memcpy(buffer, t.text, (size_t)length);
  // A token too short to hold two quotes is left unterminated by wzstrpq.
  buffer[length] = '\0';
  wzstrpq(buffer, length);
  int32_t n = wzstlen(buffer);
  if (n > kDescriptionTextLength) n = kDescriptionTextLength;
  vzmp(buffer, n, d->text, kDescriptionTextLength);
  d->length = (int16_t)n;
  vmfree_handler(heap, buffer, 0, 4);
  return kStatusOk;
}

// A new block: tag 7, the control word's keep flag, no description.
option_block* new_block(int32_t control) {
  option_block* b = (option_block*)module_alloc(kOptionBlockSize, true);
  if (b == nullptr) return nullptr;
  b->block_tag = kOptionBlockTag;
  b->option_flags = control & kOptionKeep;
  memset(b->description.text, ' ', kDescriptionTextLength);
  b->description.length = 0;
  return b;
}

}  // namespace

// Slot 30: parses one option from the host's option source into *block,
// making the block when *block is null. The control word and source go on
// to yxatok. On success *count is 1 (keyword alone) or 3 (keyword = value)
// and the status is that of yxatokt.
// 0 when source is 0 (nothing made, count not written); 0x80000803 (count
// not written); a failing status of yxatoki or yxatok (count not written);
// 0x80001017 with count 0 for an unknown keyword; 0x80001018 with count 1
// when '=' is missing, count 2 for an unfit value; 0x80001025 when the
// address of the block pointer is null. Options accepted earlier stay in
// the block; a failing option changes nothing; a block made here stays the
// caller's whatever happens later.
int32_t yxlpars(int32_t unused1, int32_t unused2, int32_t unused3,
                int32_t control, int32_t source, int32_t* count,
                option_block** block) {
  (void)unused1;
  (void)unused2;
  (void)unused3;
  if (source == 0) return kStatusOk;
  if (block == nullptr) return kStatusNullHandle;
  int32_t scratch_count = 0;
  if (count == nullptr) count = &scratch_count;
  if (*block == nullptr) {
    *block = new_block(control);
    if (*block == nullptr) return kStatusNoMemory;
  }
  option_block* b = *block;

  token_record tokens;
  memset(&tokens, 0, sizeof tokens);
  int32_t st = yxatoki(&tokens);
  if (st != kStatusOk) return st;
  st = yxatok(control, source, &tokens);
  if (st != kStatusOk) return st;
  const option_keyword* k = find_keyword(tokens);
  if (k == nullptr) return reject(tokens, count, 0, kStatusUnknownOption);

  if (!k->takes_value) {
    if (k->kind == kOptMod) b->open_options |= kOpenOptionMod;
    if (k->kind == kOptAttr) b->attr = 1;
    *count = kCountKeywordOnly;
    return yxatokt(&tokens);
  }

  st = yxatok(control, source, &tokens);
  if (st != kStatusOk) return st;
  if (token_length(tokens) == 0 || tokens.text[0] != '=') {
    return reject(tokens, count, kCountBeforeEquals, kStatusMalformedOption);
  }
  st = yxatok(control, source, &tokens);
  if (st != kStatusOk) return st;
  if (tokens.kind != k->value_kind) {
    return reject(tokens, count, kCountBeforeValue, kStatusMalformedOption);
  }
  switch (k->kind) {
    case kOptLrecl:
    case kOptBlocksize: {
      int32_t work = 0;
      int32_t value = 0;
      if (wzrlchr(tokens.text, token_length(tokens), 0, &work, &value) !=
          kStatusOk) {
        return reject(tokens, count, kCountBeforeValue, kStatusMalformedOption);
      }
      if (k->kind == kOptLrecl) {
        b->lrecl = value;
      } else {
        b->blocksize = value;
      }
      break;
    }
    case kOptRecfm: {
      int32_t bits = recfm_bits(tokens);
      if (bits == 0) {
        return reject(tokens, count, kCountBeforeValue, kStatusMalformedOption);
      }
      b->recfm |= bits;
      break;
    }
    case kOptDescription:
      st = store_description(tokens, &b->description);
      if (st != kStatusOk) return st;
      break;
    default:
      break;
  }
  *count = kCountWithValue;
  return yxatokt(&tokens);
}

// Slot 33: a copy of block for the host to hold. *size becomes 288 and
// *copy the new block (null on failure). 0; 0x80000803; 0x80001025 when the
// block or the address for the copy is null.
int32_t yxlhh2p(int32_t unused1, int32_t unused2, const option_block* block,
                option_block** copy, int32_t* size) {
  (void)unused1;
  (void)unused2;
  if (size != nullptr) *size = kOptionBlockSize;
  if (block == nullptr || copy == nullptr) return kStatusNullHandle;
  *copy = (option_block*)module_alloc(kOptionBlockSize, true);
  if (*copy == nullptr) return kStatusNoMemory;
  memcpy(*copy, block, kOptionBlockSize);
  return kStatusOk;
}

// Slot 34: a new block from a copy the host held. 0; 0x8000100D when size
// is not 288 (nothing allocated); 0x80000803 (*block untouched); 0x80001025
// when the copy or the address for the block is null.
int32_t yxlhp2h(int32_t unused1, int32_t unused2, const void* copy,
                int32_t size, option_block** block) {
  (void)unused1;
  (void)unused2;
  if (size != kOptionBlockSize) return kStatusBadCopySize;
  if (copy == nullptr || block == nullptr) return kStatusNullHandle;
  option_block* b = (option_block*)module_alloc(kOptionBlockSize, false);
  if (b == nullptr) return kStatusNoMemory;
  memcpy(b, copy, kOptionBlockSize);
  *block = b;
  return kStatusOk;
}
