// Record pages: building them record by record, and their stored form (see
// record_page.h).

#include "refhost/store/paged/record_page.h"

#define ZDICT_STATIC_LINKING_ONLY
#define ZSTD_STATIC_LINKING_ONLY
#include <zdict.h>
#include <zstd.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace refhost {
namespace {

// The compression level of a page by the length of its content. On i386
// zstd compresses text at about the same speed at every level up to 3 (the
// sequences of short matches that text makes are the cost, not the entropy
// stage). Level 5 makes a page that is not full (a small entry, or an
// entry's last page) about 1% smaller at half the speed; with a dictionary
// of the catalog's own text, level 3 makes it smaller still. A page of 4 KB
// and more is another matter: level 6, matches of 6 bytes and more
// (kLongMatches), makes the pages of files of 1 MB of text 9% smaller than
// level 3, and those of a folder of 10 KB texts 5% (levels 4 and 5: no
// smaller), at a third of the speed; with 4 matches tried at each place
// instead of 8 (kLargePageSearchLog), pages of less than half a page are
// 1% larger at four fifths of the time, full ones 2% (which a folder of
// 1 MB texts cannot spare). Pages are compressed beside their writer
// (page_compressor.h). All decompress alike.
constexpr int kFullPageLevel = 6;
constexpr int kShortPageLevel = 3;
constexpr int kLargePageSearchLog = 2;
// From this level on (the lazy match finders), matches shorter than
// kLongMatchBytes are not looked for: on text, whose words are a few
// letters, they cost more to code than the literals they stand for.
// Measured on folders of notes, tables and HTML, level 6 packs 4 to 9%
// smaller with them left out, at the same speed.
constexpr int kLongMatchesFrom = 5;
constexpr int kLongMatchBytes = 6;
// The dictionary trainer's segment and match lengths, the log of its
// table of segment frequencies, and how far it skips through the samples
// (1: not at all; skipping made a folder of notes, tables and HTML 10%
// larger): on such folders, as small as a larger table makes them, at
// about 10 ms for 600 KB of samples here.
constexpr unsigned kSegmentBytes = 200;
constexpr unsigned kMatchBytes = 8;
constexpr unsigned kFrequencyLog = 16;
constexpr unsigned kTrainerAccel = 1;
// More than a dictionary digested for compression takes at any level.
constexpr size_t kEncoderRoom = 2 << 20;

// A zstd frame starts with its magic number and a descriptor byte whose
// bit 2 says that a content checksum ends the frame.
constexpr uint8_t kFrameMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
constexpr uint8_t kChecksumFlag = 0x04;

// The first byte of a page's content says how its records are laid out.
constexpr uint8_t kLinesLayout = 0x01;    // each record ends with a newline
constexpr uint8_t kOneKindLayout = 0x02;  // one kind code for every record

void PutVarint(std::string* out, uint32_t value) {
  while (value >= 0x80) {
    out->push_back((char)(value | 0x80));
    value >>= 7;
  }
  out->push_back((char)value);
}

// Reads a number at *at; false when the text ends first or it is longer
// than 32 bits.
bool GetVarint(const uint8_t* data, size_t size, size_t* at, uint32_t* value) {
  uint32_t result = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (*at >= size) return false;
    uint8_t byte = data[(*at)++];
    if (shift == 28 && byte > 0x0F) return false;
    result |= (uint32_t)(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      *value = result;
      return true;
    }
  }
  return false;
}

}  // namespace

PageLevel DefaultLevel(size_t bytes, size_t large_from) {
  if (bytes >= kPageBytes / 2) return {kFullPageLevel, 0};
  if (bytes >= large_from) return {kFullPageLevel, kLargePageSearchLog};
  return {kShortPageLevel, 0};
}

PageDictionary::PageDictionary(std::string bytes) : bytes_(std::move(bytes)) {
  id_ = ZSTD_getDictID_fromDict(bytes_.data(), bytes_.size());
  // A dictionary of a library always names itself.
  if (id_ != 0) decoder_ = ZSTD_createDDict(bytes_.data(), bytes_.size());
}

PageDictionary::~PageDictionary() {
  ZSTD_freeDDict(decoder_);
  for (auto& [level, encoder] : encoders_) ZSTD_freeCDict(encoder);
}

ZSTD_CDict_s* PageDictionary::ForLevel(PageLevel level) {
  std::pair<int, int> key(level.level, level.search_log);
  auto it = encoders_.find(key);
  if (it != encoders_.end()) return it->second;
  // zstd does not survive the failure of a dictionary's allocation: the
  // room it needs (about 1 MB at the highest levels) is tried first.
  void* room = malloc(kEncoderRoom);
  if (room == nullptr) return nullptr;
  free(room);
  ZSTD_CCtx_params* params = ZSTD_createCCtxParams();
  if (params == nullptr) return nullptr;
  ZSTD_CCtxParams_init(params, level.level);
  if (level.level >= kLongMatchesFrom) {
    ZSTD_CCtxParams_setParameter(params, ZSTD_c_minMatch, kLongMatchBytes);
  }
  if (level.search_log != 0) {
    ZSTD_CCtxParams_setParameter(params, ZSTD_c_searchLog, level.search_log);
  }
  ZSTD_CDict* made =
      ZSTD_createCDict_advanced2(bytes_.data(), bytes_.size(), ZSTD_dlm_byCopy,
                                 ZSTD_dct_auto, params, ZSTD_defaultCMem);
  ZSTD_freeCCtxParams(params);
  if (made != nullptr) encoders_[key] = made;
  return made;
}

void AddSample(std::vector<std::string>* samples, std::string_view content) {
  std::string_view sample = content.substr(0, kDictionarySampleBytes);
  if (!samples->empty() &&
      samples->back().size() + sample.size() <= kDictionarySampleBytes) {
    samples->back() += sample;
  } else {
    samples->emplace_back(sample);
  }
}

bool MakeDictionary(uint32_t id, const std::vector<std::string>& samples,
                    const std::vector<std::string>& tail, bool spread,
                    size_t size, std::string* dictionary, std::string* why) {
  std::string joined, last;
  std::vector<size_t> sizes;
  for (const std::string& sample : samples) {
    if (sample.empty()) continue;
    joined += sample;
    sizes.push_back(sample.size());
  }
  size_t trained = sizes.size();
  for (const std::string& sample : tail) last += sample;
  if (last.size() > size / 4) last.erase(0, last.size() - size / 4);
  if (trained < 8 || joined.size() + last.size() < 1024) {
    *why = "too few samples for a dictionary";
    return false;
  }
  ZDICT_params_t finalize;
  memset(&finalize, 0, sizeof finalize);
  finalize.compressionLevel = kShortPageLevel;
  finalize.dictID = id;
  // Samples spread over what a catalog holds: the segments that recur
  // most over them (zstd's fast cover trainer, about 10 ms for 600 KB
  // here). Samples of what was just written: their last bytes, which is
  // as good as long as the text goes on alike (a writer makes a new
  // dictionary where it changes), at a tenth of the time. The tail goes
  // last, where zstd reaches it first.
  std::string content;
  size_t room = size - last.size();
  if (spread) {
    ZDICT_fastCover_params_t params;
    memset(&params, 0, sizeof params);
    params.k = kSegmentBytes;
    params.d = kMatchBytes;
    params.f = kFrequencyLog;
    params.accel = kTrainerAccel;
    params.zParams = finalize;
    content.resize(room);
    size_t n = ZDICT_trainFromBuffer_fastCover(content.data(), content.size(),
                                               joined.data(), sizes.data(),
                                               (unsigned)trained, params);
    size_t header =
        ZDICT_isError(n) ? n : ZDICT_getDictHeaderSize(content.data(), n);
    if (ZDICT_isError(header)) {
      content.clear();  // too little for the trainer
    } else {
      content = content.substr(header, n - header);
    }
  }
  if (content.empty()) {
    content = joined.substr(joined.size() - std::min(joined.size(), room));
  }
  content += last;
  joined += last;
  if (!last.empty()) sizes.push_back(last.size());
  dictionary->resize(size + 4096);
  size_t n = ZDICT_finalizeDictionary(
      dictionary->data(), dictionary->size(), content.data(), content.size(),
      joined.data(), sizes.data(), (unsigned)sizes.size(), finalize);
  if (ZDICT_isError(n)) {
    *why =
        std::string("a dictionary could not be made: ") + ZDICT_getErrorName(n);
    dictionary->clear();
    return false;
  }
  dictionary->resize(n);
  return true;
}

uint64_t DictionaryHash(std::string_view bytes) {
  return XXH3_64bits(bytes.data(), bytes.size());
}

uint32_t DictionaryIdFor(std::string_view bytes, int attempt) {
  // Ids below 32768 are zstd's own; those above 2^31 too.
  constexpr uint64_t kFirst = 32768, kSpan = 0x80000000u - 32768;
  return (uint32_t)(kFirst +
                    (DictionaryHash(bytes) + (uint64_t)attempt) % kSpan);
}

bool DictionaryFit::Worse(size_t text, size_t stored) {
  constexpr size_t kWindowBytes = 128 << 10;
  constexpr double kDrift = 1.25;
  text_ += text;
  stored_ += stored;
  ended_ = text_ >= kWindowBytes;
  if (!ended_) return false;
  double ratio = (double)stored_ / (double)text_;
  text_ = stored_ = 0;
  if (measure_ <= 0) {
    measure_ = ratio;
    return false;
  }
  return ratio >= measure_ * kDrift;
}

bool ChooseDictionary(
    PageCodec& codec,
    const std::vector<std::shared_ptr<PageDictionary>>& choices,
    std::string_view content, std::shared_ptr<PageDictionary>* in_use,
    DictionaryFit* fit) {
  if (choices.size() < 2) return false;
  std::string sample(content.substr(0, kChoiceSampleBytes));
  std::string why;
  auto packed = [&](const std::shared_ptr<PageDictionary>& dictionary) {
    codec.Use(dictionary.get());
    return codec.Compress(sample, &why) ? codec.frame().size() : SIZE_MAX;
  };
  size_t in_use_bytes = packed(*in_use);
  std::shared_ptr<PageDictionary> best;
  size_t best_bytes = in_use_bytes;
  for (const std::shared_ptr<PageDictionary>& choice : choices) {
    if (choice == *in_use) continue;
    size_t bytes = packed(choice);
    if (bytes < best_bytes) {
      best = choice;
      best_bytes = bytes;
    }
  }
  bool chosen =
      best != nullptr &&
      (double)best_bytes <= (1.0 - kChoiceGain) * (double)in_use_bytes;
  if (chosen) {
    *in_use = std::move(best);
    fit->Start(0);
  }
  codec.Use(in_use->get());
  return chosen;
}

uint32_t DictionaryOf(const void* frame, size_t size) {
  return ZSTD_getDictID_fromFrame(frame, size);
}

PageCodec::PageCodec()
    : compressor_(NewPageCompressor()), decompressor_(ZSTD_createDCtx()) {}

PageCodec::~PageCodec() {
  FreePageCompressor(compressor_);
  ZSTD_freeDCtx(decompressor_);
}

bool PageCodec::Compress(std::string_view text, std::string* why) {
  PageLevel level = LevelOf(text.size());
  // Without the room for the dictionary, the text is compressed without
  // it (and reads without it).
  ZSTD_CDict* encoder =
      dictionary_ != nullptr ? dictionary_->ForLevel(level) : nullptr;
  return CompressFrame(compressor_, encoder, level, text, &frame_, why);
}

ZSTD_CCtx* NewPageCompressor() {
  ZSTD_CCtx* made = ZSTD_createCCtx();
  if (made != nullptr) {
    ZSTD_CCtx_setParameter(made, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(made, ZSTD_c_contentSizeFlag, 1);
  }
  return made;
}

void FreePageCompressor(ZSTD_CCtx* compressor) { ZSTD_freeCCtx(compressor); }

bool CompressFrame(ZSTD_CCtx* compressor, ZSTD_CDict* encoder, PageLevel level,
                   std::string_view text, std::string* frame,
                   std::string* why) {
  frame->resize(ZSTD_compressBound(text.size()));
  // A dictionary digested for a level compresses at that level; the
  // frame names it (zstd's default) and carries the size and checksum.
  ZSTD_CCtx_refCDict(compressor, encoder);
  if (encoder == nullptr) {
    ZSTD_CCtx_setParameter(compressor, ZSTD_c_compressionLevel, level.level);
    ZSTD_CCtx_setParameter(
        compressor, ZSTD_c_minMatch,
        level.level >= kLongMatchesFrom ? kLongMatchBytes : 0);
    ZSTD_CCtx_setParameter(compressor, ZSTD_c_searchLog, level.search_log);
  }
  size_t n = ZSTD_compress2(compressor, frame->data(), frame->size(),
                            text.data(), text.size());
  if (ZSTD_isError(n)) {
    *why =
        std::string("a page could not be compressed: ") + ZSTD_getErrorName(n);
    frame->clear();
    return false;
  }
  frame->resize(n);
  return true;
}

bool PageCodec::Decompress(const void* frame, size_t size, uint64_t limit,
                           const DictionaryFinder& finder, std::string* why) {
  const uint8_t* f = (const uint8_t*)frame;
  if (size < 5 || memcmp(f, kFrameMagic, 4) != 0 ||
      (f[4] & kChecksumFlag) == 0) {
    *why = "not a checksummed page";
    return false;
  }
  // A frame that says it holds more than it can is damaged, and is not
  // given the memory it asks for.
  unsigned long long declared = ZSTD_getFrameContentSize(frame, size);
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN ||
      declared == ZSTD_CONTENTSIZE_ERROR || declared > limit ||
      declared > content_.max_size()) {
    *why = "the page's size does not agree with its records";
    return false;
  }
  PageDictionary* dictionary = nullptr;
  if (uint32_t id = ZSTD_getDictID_fromFrame(frame, size); id != 0) {
    if (!finder) {
      *why = "it needs dictionary " + std::to_string(id) +
             ", which the library does not hold";
      return false;
    }
    if (!finder(id, &dictionary, why)) return false;
  }
  content_.resize((size_t)declared);
  size_t n = dictionary != nullptr
                 ? ZSTD_decompress_usingDDict(decompressor_, content_.data(),
                                              content_.size(), frame, size,
                                              dictionary->decoder())
                 : ZSTD_decompressDCtx(decompressor_, content_.data(),
                                       content_.size(), frame, size);
  if (ZSTD_isError(n) || n != declared) {
    *why = ZSTD_isError(n) ? std::string(ZSTD_getErrorName(n))
                           : std::string("the page is short");
    return false;
  }
  return true;
}

void RecordPage::Reset(uint64_t first) {
  first_ = first;
  ends_.clear();
  kinds_.clear();
  bytes_.clear();
  start_ = 0;
  gap_ = 0;
  longest_ = 0;
}

void RecordPage::MakePlain() {
  if (start_ == 0 && gap_ == 0) return;
  std::string plain;
  plain.reserve(bytes_.size());
  uint32_t start = start_;
  for (uint32_t& end : ends_) {
    uint32_t next = end + gap_;
    plain.append(bytes_, start, end - start);
    end = (uint32_t)plain.size();
    start = next;
  }
  bytes_.swap(plain);
  start_ = 0;
  gap_ = 0;
}

void RecordPage::Append(const void* data, uint32_t length, uint16_t kind) {
  MakePlain();
  bytes_.append((const char*)data, length);
  ends_.push_back((uint32_t)bytes_.size());
  kinds_.push_back(kind);
  longest_ = std::max(longest_, length);
}

void RecordPage::Truncate(uint32_t count) {
  MakePlain();
  if (count >= ends_.size()) return;
  ends_.resize(count);
  kinds_.resize(count);
  bytes_.resize(count == 0 ? 0 : ends_.back());
  longest_ = 0;
  uint32_t start = 0;
  for (uint32_t end : ends_) {
    longest_ = std::max(longest_, end - start);
    start = end;
  }
}

std::string RecordPage::Sample() const {
  std::string text;
  for (uint64_t n = first_; n < end() && text.size() < kDictionarySampleBytes;
       ++n) {
    RecordView record = Get(n);
    text.append((const char*)record.data, record.length);
    text += '\n';
  }
  if (text.size() > kDictionarySampleBytes) text.resize(kDictionarySampleBytes);
  return text;
}

bool RenewWorth(PageCodec& codec, PageDictionary& made,
                const std::vector<RecordPage>& trials, size_t stored) {
  size_t again = 0;
  bool encoded = true;
  std::string why;
  codec.Use(&made);
  for (const RecordPage& page : trials) {
    if (!(encoded = page.Encode(codec, &why))) break;
    again += codec.frame().size();
  }
  codec.Use(nullptr);
  return encoded && (double)again < (1.0 - kRenewGain) * (double)stored;
}

bool RecordPage::Encode(PageCodec& codec, std::string* why) const {
  std::string& content = codec.content();
  Content(&content);
  return codec.Compress(content, why);
}

void RecordPage::Content(std::string* out) const {
  if (start_ != 0 || gap_ != 0) {
    RecordPage plain = *this;
    plain.MakePlain();
    plain.Content(out);
    return;
  }
  std::string& content = *out;
  content.clear();
  bool lines = memchr(bytes_.data(), '\n', bytes_.size()) == nullptr;
  bool one_kind = std::all_of(kinds_.begin(), kinds_.end(),
                              [&](uint16_t k) { return k == kinds_[0]; });
  content.push_back(
      (char)((lines ? kLinesLayout : 0) | (one_kind ? kOneKindLayout : 0)));
  for (size_t i = 0; i < (one_kind ? 1 : kinds_.size()); ++i) {
    content.push_back((char)(kinds_[i] & 0xFF));
    content.push_back((char)(kinds_[i] >> 8));
  }
  uint32_t start = 0;
  if (lines) {
    content.reserve(content.size() + bytes_.size() + ends_.size());
    for (uint32_t end : ends_) {
      content.append(bytes_, start, end - start);
      content.push_back('\n');
      start = end;
    }
  } else {
    for (uint32_t end : ends_) {
      PutVarint(&content, end - start);
      start = end;
    }
    content += bytes_;
  }
}

bool RecordPage::Decode(PageCodec& codec, const void* frame, size_t size,
                        uint64_t first, uint32_t count, uint32_t longest,
                        std::string* why, const DictionaryFinder& finder) {
  Reset(first);
  if (count == 0) {
    *why = "not a checksummed page";
    return false;
  }
  // The content cannot be longer than a full page's bytes (or one record
  // that is longer than a page, which has a page of its own), with the
  // lengths and kinds of count records: a frame that says more is
  // damaged, and is not given the memory it asks for.
  uint64_t bound = 1 + (uint64_t)count * 7 +
                   std::max<uint64_t>(kPageBytes, (uint64_t)longest);
  if (!codec.Decompress(frame, size, bound, finder, why)) return false;
  // The content is decompressed into the codec's buffer, which then
  // becomes the page's: the records are served where they lie.
  bytes_.swap(codec.content());
  if (!Parse(count) || longest_ != longest) {
    Reset(first);
    *why = "the page's records do not agree with what its row says";
    return false;
  }
  return true;
}

bool RecordPage::Parse(uint32_t count) {
  const uint8_t* c = (const uint8_t*)bytes_.data();
  size_t n = bytes_.size();
  if (n < 1) return false;
  uint8_t layout = c[0];
  size_t at = 1;
  size_t kinds = layout & kOneKindLayout ? 1 : count;
  if (n - at < 2 * kinds) return false;
  kinds_.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    size_t k = at + 2 * (kinds == 1 ? 0 : i);
    kinds_[i] = (uint16_t)(c[k] | (c[k + 1] << 8));
  }
  at += 2 * kinds;
  ends_.reserve(count);
  start_ = (uint32_t)at;
  if (layout & kLinesLayout) {
    // Each record ends with a newline, which none of them holds.
    gap_ = 1;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* line = c + at;
      const uint8_t* end = (const uint8_t*)memchr(line, '\n', n - at);
      if (end == nullptr) return false;
      uint32_t length = (uint32_t)(end - line);
      ends_.push_back((uint32_t)(end - c));
      longest_ = std::max(longest_, length);
      at += length + 1;
    }
    return at == n;
  }
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t length;
    if (!GetVarint(c, n, &at, &length)) return false;
    total += length;
    ends_.push_back((uint32_t)total);
    longest_ = std::max(longest_, length);
  }
  if ((uint64_t)at + total != n) return false;
  // The records follow their lengths, back to back.
  start_ = (uint32_t)at;
  for (uint32_t& end : ends_) end += start_;
  return true;
}

}  // namespace refhost
