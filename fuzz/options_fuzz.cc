// Fuzz target: fileref options. An input is either raw option text or a
// list of options built from it (keywords in any case, unknown words,
// values of every token kind, numbers in and out of range, descriptions
// with doubled quotes and past 256 characters). Each statement is parsed
// through the host's tokenizer and slot 30 into one block, the way a host
// parses the options after a fileref. Then:
// - the block must be well formed (tag, keep flag, bit sets, description
//   blank-filled behind its length) and, for built statements, hold exactly
//   what a simple model of the options says, with the status and the
//   rejected token the model expects;
// - slot 33 copies it out and slot 34 back in, byte for byte; slot 34 with
//   a size other than 288 refuses and allocates nothing;
// - the block goes to a fileref through slot 0 and leaves with its
//   deassignment (released unless the keep flag says the host owns it);
// - everything left is released through slot 36, and the heaps must hold
//   nothing of it.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_host.h"

namespace {

using fuzz::FuzzHost;

// What the module must have made of the statements so far.
struct ModelBlock {
  int32_t recfm = 0;
  int32_t open_options = 0;
  int32_t lrecl = 0;
  int32_t blocksize = 0;
  std::string description;
  bool has_description = false;
  int32_t attr = 0;
};

// One built option: its text and what it does to the model. `status` is
// the parse status it must give (0 when accepted) and `bad` the index,
// within its own tokens, of the token the host reports.
struct BuiltOption {
  std::string text;
  int32_t status = 0;
  int bad = -1;
  void (*apply)(ModelBlock*, const BuiltOption&) = nullptr;
  int32_t number = 0;
  std::string description;
};

constexpr const char* kKeywordSpellings[][2] = {
    {"LRECL", "lrecl"}, {"BLOCKSIZE", "BlockSize"},
    {"RECFM", "recfm"}, {"MOD", "mod"},
    {"ATTR", "Attr"},   {"CATALOG", "catalog"},
    {"DESC", "desc"},   {"DESCRIPTION", "Description"},
};

std::string Quote(const std::string& text, char quote) {
  std::string out(1, quote);
  for (char c : text) {
    out += c;
    if (c == quote) out += c;  // doubled inside the quotes
  }
  out += quote;
  return out;
}

// Printable text without NUL bytes (the description ends at the first NUL).
std::string DescriptionText(FuzzedDataProvider& in) {
  size_t length = in.ConsumeIntegralInRange<size_t>(0, 300);
  std::string seed = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 8));
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    char c = seed.empty() ? 'x' : seed[i % seed.size()];
    if (c < 0x20 || c > 0x7E) c = (char)('a' + (unsigned char)c % 26);
    text += c;
  }
  return text;
}

BuiltOption BuildOption(FuzzedDataProvider& in) {
  BuiltOption o;
  int which = in.ConsumeIntegralInRange(0, 9);
  if (which >= 8) {
    // Not a keyword: an unknown word, an abbreviation, or a number.
    constexpr const char* kOthers[] = {"DESCR",    "LREC", "FOO", "7",
                                       "CATALOGS", "=",    "X1"};
    o.text = kOthers[in.ConsumeIntegralInRange<size_t>(0, 6)];
    o.status = kStatusUnknownOption;
    o.bad = 0;
    return o;
  }
  std::string keyword = kKeywordSpellings[which][in.ConsumeBool() ? 1 : 0];
  if (which >= 3 && which <= 5) {
    o.text = keyword;
    o.number = which;
    o.apply = [](ModelBlock* m, const BuiltOption& opt) {
      if (opt.number == 3) m->open_options |= kOpenOptionMod;  // MOD
      if (opt.number == 4) m->attr = 1;                        // ATTR
    };                                                         // CATALOG: none
    return o;
  }
  bool equals = in.ConsumeIntegralInRange(0, 15) != 0;
  o.text = keyword + (in.ConsumeBool() ? " " : "") + (equals ? "=" : "");
  if (!equals) {
    o.text += " 5";
    o.status = kStatusMalformedOption;
    o.bad = 1;
    return o;
  }
  int form = in.ConsumeIntegralInRange(0, 7);
  if (which <= 1) {  // LRECL, BLOCKSIZE: a number
    if (form == 0) {
      o.text += "'12'";
      o.status = kStatusMalformedOption;
      o.bad = 2;
    } else if (form == 1) {
      o.text += "99999999999";  // beyond 32 bits
      o.status = kStatusMalformedOption;
      o.bad = 2;
    } else {
      o.number = in.ConsumeIntegral<int32_t>();
      if (form < 5) o.number = in.ConsumeIntegralInRange(-5, 40000);
      o.text += std::to_string(o.number);
      o.apply = which == 0
                    ? +[](ModelBlock* m,
                          const BuiltOption& opt) { m->lrecl = opt.number; }
                    : +[](ModelBlock* m, const BuiltOption& opt) {
                        m->blocksize = opt.number;
                      };
    }
  } else if (which == 2) {  // RECFM: a name whose first letter counts
    constexpr const char* kValues[] = {"V", "vb", "F", "fba", "P", "U", "x"};
    if (form == 0) {
      o.text += "12";
      o.status = kStatusMalformedOption;
      o.bad = 2;
      return o;
    }
    std::string value = kValues[in.ConsumeIntegralInRange<size_t>(0, 6)];
    o.text += value;
    char letter = (char)(value[0] & ~0x20);
    if (letter == 'V') o.number = kRecfmVariable;
    if (letter == 'F') o.number = kRecfmFixed;
    if (letter == 'P') o.number = kRecfmPrint;
    if (o.number == 0) {
      o.status = kStatusMalformedOption;
      o.bad = 2;
    } else {
      o.apply = [](ModelBlock* m, const BuiltOption& opt) {
        m->recfm |= opt.number;
      };
    }
  } else {  // DESC, DESCRIPTION: a quoted string
    if (form == 0) {
      o.text += "plain";
      o.status = kStatusMalformedOption;
      o.bad = 2;
      return o;
    }
    o.description = DescriptionText(in);
    o.text += Quote(o.description, in.ConsumeBool() ? '\'' : '"');
    if (o.description.size() > kDescriptionTextLength) {
      o.description.resize(kDescriptionTextLength);
    }
    o.apply = [](ModelBlock* m, const BuiltOption& opt) {
      m->description = opt.description;
      m->has_description = true;
    };
  }
  return o;
}

// The invariants every block the parser made must keep.
void CheckWellFormed(const option_block* b, int32_t control) {
  FUZZ_CHECK(b->block_tag == kOptionBlockTag, "tag %d", b->block_tag);
  FUZZ_CHECK(b->option_flags == (control & kOptionKeep), "flags %#x",
             b->option_flags);
  FUZZ_CHECK((b->recfm & ~(kRecfmVariable | kRecfmFixed | kRecfmPrint)) == 0,
             "recfm %#x", b->recfm);
  FUZZ_CHECK((b->open_options & ~kOpenOptionMod) == 0, "open options %#x",
             b->open_options);
  FUZZ_CHECK(b->attr == 0 || b->attr == 1, "attr %d", b->attr);
  FUZZ_CHECK(b->reserved_278[0] == 0 && b->reserved_278[1] == 0,
             "reserved bytes written");
  int16_t n = b->description.length;
  FUZZ_CHECK(n >= 0 && n <= kDescriptionTextLength, "description length %d", n);
  for (int i = n; i < kDescriptionTextLength; ++i) {
    FUZZ_CHECK(b->description.text[i] == ' ',
               "description not blank-filled at %d", i);
  }
}

void CheckModel(const option_block* b, const ModelBlock& m) {
  FUZZ_CHECK(b->recfm == m.recfm, "recfm %#x, model %#x", b->recfm, m.recfm);
  FUZZ_CHECK(b->open_options == m.open_options, "open options %#x",
             b->open_options);
  FUZZ_CHECK(b->lrecl == m.lrecl, "lrecl %d, model %d", b->lrecl, m.lrecl);
  FUZZ_CHECK(b->blocksize == m.blocksize, "blocksize %d", b->blocksize);
  FUZZ_CHECK(b->attr == m.attr, "attr %d", b->attr);
  FUZZ_CHECK(b->description.length == (int16_t)m.description.size(),
             "description length %d, model %zu", b->description.length,
             m.description.size());
  FUZZ_CHECK(memcmp(b->description.text, m.description.data(),
                    m.description.size()) == 0,
             "description text differs from the model");
}

// Copies the block out (slot 33) and back (slot 34); both copies must
// carry its 288 bytes. A wrong size is refused without an allocation.
// Returns the two new blocks through *copies.
void CheckCopies(FuzzHost& fh, const option_block* block, int32_t odd_size,
                 std::vector<option_block*>* copies) {
  refhost::Slots& slots = fh.slots();
  option_block* held = nullptr;
  int32_t size = 0;
  FUZZ_CHECK(slots.HoldCopy(block, &held, &size) == 0, "slot 33 failed");
  FUZZ_CHECK(size == kOptionBlockSize && held != nullptr, "size %d", size);
  copies->push_back(held);
  FUZZ_CHECK(memcmp(held, block, kOptionBlockSize) == 0,
             "the held copy differs from the block");

  int64_t live = fh.LiveModuleBlocks();
  option_block* untouched = reinterpret_cast<option_block*>(0x1234);
  if (odd_size != kOptionBlockSize) {
    FUZZ_CHECK(slots.FromCopy(held, odd_size, &untouched) == kStatusBadCopySize,
               "slot 34 took size %d", odd_size);
    FUZZ_CHECK(untouched == reinterpret_cast<option_block*>(0x1234),
               "slot 34 wrote the pointer on a refusal");
    FUZZ_CHECK(fh.LiveModuleBlocks() == live, "slot 34 allocated on refusal");
  }
  option_block* back = nullptr;
  FUZZ_CHECK(slots.FromCopy(held, kOptionBlockSize, &back) == 0,
             "slot 34 failed");
  copies->push_back(back);
  FUZZ_CHECK(memcmp(back, block, kOptionBlockSize) == 0,
             "the block made from the copy differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzHost fh;
  refhost::Slots& slots = fh.slots();
  int32_t control = in.ConsumeBool() ? kOptionKeep : 0;
  int32_t odd_size = in.ConsumeIntegral<int32_t>();
  bool built = in.ConsumeBool();

  option_block* block = nullptr;
  ModelBlock model;
  bool model_valid = true;
  int statements = in.ConsumeIntegralInRange(1, 4);
  for (int s = 0; s < statements && in.remaining_bytes() > 0; ++s) {
    std::string text;
    int32_t expect_status = 0;
    int expect_bad = -1;
    ModelBlock next = model;
    if (built) {
      int tokens_before = 0;
      int count = in.ConsumeIntegralInRange(1, 6);
      for (int i = 0; i < count; ++i) {
        BuiltOption o = BuildOption(in);
        if (!text.empty()) text += ' ';
        text += o.text;
        if (o.status != 0) {
          expect_status = o.status;
          expect_bad = tokens_before + o.bad;
          break;
        }
        if (o.apply) o.apply(&next, o);
        // Keyword alone is one token; keyword = value three.
        tokens_before += (o.text.find('=') == std::string::npos) ? 1 : 3;
      }
    } else {
      text = in.ConsumeRandomLengthString(600);
      model_valid = false;
    }
    refhost::ParseResult r = fh.Parse(text, control, block);
    if (block == nullptr && r.block != nullptr) block = r.block;
    FUZZ_CHECK(r.block == block, "the parser replaced the block");
    if (block == nullptr) {
      FUZZ_CHECK(r.status != 0 ||
                     text.find_first_not_of(" \t\n\r\f\v") == std::string::npos,
                 "options parsed but no block made");
      continue;
    }
    CheckWellFormed(block, control);
    if (r.status == kStatusUnknownOption ||
        r.status == kStatusMalformedOption) {
      FUZZ_CHECK(r.error_marked, "status %#x without the error mark",
                 (unsigned)r.status);
    }
    if (built) {
      FUZZ_CHECK(r.status == expect_status, "status %#x, model %#x for \"%s\"",
                 (unsigned)r.status, (unsigned)expect_status, text.c_str());
      if (expect_status != 0) {
        FUZZ_CHECK(r.error_token == expect_bad,
                   "rejected token %d, model %d for \"%s\"", r.error_token,
                   expect_bad, text.c_str());
      }
      model = next;
      CheckModel(block, model);
    }
  }
  (void)model_valid;

  std::vector<option_block*> extra;
  if (block != nullptr) {
    CheckCopies(fh, block, odd_size, &extra);
    // A block from raw bytes the host held: slot 34 copies whatever it is.
    std::string raw = in.ConsumeBytesAsString(kOptionBlockSize);
    raw.resize(kOptionBlockSize, '\xA5');
    option_block* from_raw = nullptr;
    FUZZ_CHECK(slots.FromCopy(raw.data(), kOptionBlockSize, &from_raw) == 0,
               "slot 34 failed on raw bytes");
    FUZZ_CHECK(memcmp(from_raw, raw.data(), kOptionBlockSize) == 0,
               "slot 34 changed raw bytes");
    extra.push_back(from_raw);

    // The block goes with a fileref and leaves with its deassignment.
    std::string name = FuzzHost::Name8("OPTS");
    const char physical[] = "WORK.CAT.ENTRY";
    FUZZ_CHECK(slots.Assign(name.data(), 0, "VUVOROZO", physical,
                            (int32_t)strlen(physical), block) == 0,
               "assignment failed");
    if (in.ConsumeBool()) {
      // Assigned again with the very block it holds: it must stay alive.
      FUZZ_CHECK(slots.Assign(name.data(), 0, "VUVOROZO", physical,
                              (int32_t)strlen(physical), block) == 0,
                 "re-assignment failed");
      CheckWellFormed(block, control);
    }
    int64_t live = fh.LiveModuleBlocks();
    FUZZ_CHECK(slots.Deassign(name.data(), 0) == 0, "deassignment failed");
    if (control & kOptionKeep) {
      FUZZ_CHECK(fh.LiveModuleBlocks() == live - 1,
                 "the node did not leave, or a kept block was released");
      CheckWellFormed(block, control);
      slots.ReleaseOptions(name.data(), 0, block);
    } else {
      FUZZ_CHECK(fh.LiveModuleBlocks() == live - 2,
                 "the block did not leave with its fileref");
    }
  }
  for (option_block* b : extra) {
    FUZZ_CHECK(slots.ReleaseOptions("        ", 0, b) == 0, "slot 36 failed");
  }
  fh.CheckReleased();
  return 0;
}
