// A page of records as the SQLite store keeps them: a run of consecutive
// records of one entry version (bytes and kind code each), held decoded in
// memory and stored as one compressed row.
//
// Stored form: a zstd frame that carries its content size and a checksum of
// its content. The content is the page's records in columns:
//   a layout byte: 0x01 lines (no record holds a newline), 0x02 one kind;
//   the kind codes, 2 bytes each, little-endian: one for the page with
//     0x02, else one a record;
//   with 0x01, each record followed by a newline; else each record's
//     length (an unsigned LEB128 number), then the records back to back.
// A page of text lines is then stored much as the text itself would be,
// and compresses as well. zstd stores a block it cannot shrink as it is,
// so an incompressible page costs a few bytes more than its content.
// A page whose frame, checksum, size or columns do not agree with what the
// row says of it is damaged: Decode refuses it and never hands out records
// from it.
//
// Dictionaries. A library keeps zstd dictionaries made from its own
// entries (PageDictionary; one a catalog, made new by compact as the
// catalog grows), and a page may be compressed with one: its frame then
// names the dictionary's id in its header, and the page reads only with
// that dictionary. A frame that names none reads without, as every page
// of the libraries written before dictionaries did. The same holds for
// the short texts the stores compress besides pages (Pack).

#ifndef VUVOROZO_REFHOST_STORE_PAGED_RECORD_PAGE_H_
#define VUVOROZO_REFHOST_STORE_PAGED_RECORD_PAGE_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "refhost/store/catalog_store.h"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;
struct ZSTD_CDict_s;
struct ZSTD_DDict_s;

namespace refhost {

// A writer stores its page once the records' bytes would pass this; a
// single record longer than that makes a page of its own.
inline constexpr size_t kPageBytes = 64 * 1024;

// How a page is compressed: a zstd level and, for the lazy levels, the log
// of the matches tried at each place (0: the level's own).
struct PageLevel {
  int level = 0;
  int search_log = 0;
  bool operator==(const PageLevel&) const = default;
};

// The levels of pages when the store is given none (see record_page.cc):
// pages of a few KB (every page of a small entry), larger ones from
// kLargePageBytes on unless a store says otherwise
// (PageCodec::set_large_pages), and full ones.
inline constexpr size_t kLargePageBytes = 4 << 10;
PageLevel DefaultLevel(size_t bytes, size_t large_from);

// A dictionary of a library, and what zstd makes of it to compress and
// decompress with.
class PageDictionary {
 public:
  // bytes: a dictionary as MakeDictionary gives it, its id inside.
  explicit PageDictionary(std::string bytes);
  ~PageDictionary();
  PageDictionary(const PageDictionary&) = delete;
  PageDictionary& operator=(const PageDictionary&) = delete;

  // False when zstd cannot take the bytes as a dictionary.
  bool ok() const { return decoder_ != nullptr; }
  uint32_t id() const { return id_; }
  const std::string& bytes() const { return bytes_; }
  // The dictionary digested for compression at a level (made on first use).
  ZSTD_CDict_s* ForLevel(PageLevel level);
  ZSTD_DDict_s* decoder() const { return decoder_; }

 private:
  std::string bytes_;
  uint32_t id_ = 0;
  ZSTD_DDict_s* decoder_ = nullptr;
  std::map<std::pair<int, int>, ZSTD_CDict_s*> encoders_;
};

// Makes a dictionary of about size bytes, whose id is id (32768 and up),
// from samples (the pages' contents a store wrote: spread over a
// catalog, or the latest written) and tail (texts it writes often and
// small, such as host attributes, kept whole up to a quarter of the
// size). False with *why when zstd cannot.
bool MakeDictionary(uint32_t id, const std::vector<std::string>& samples,
                    const std::vector<std::string>& tail, bool spread,
                    size_t size, std::string* dictionary, std::string* why);
// The hash a library keeps of a dictionary's bytes, to tell a damaged one.
uint64_t DictionaryHash(std::string_view bytes);
// The id a library gives a dictionary of these bytes: 32768 and up, the
// same for the same bytes (ids of older dictionaries are never reused for
// others). attempt picks another where one is taken.
uint32_t DictionaryIdFor(std::string_view bytes, int attempt);
// The dictionary id a stored frame names; 0 for none.
uint32_t DictionaryOf(const void* frame, size_t size);

// When a store makes a catalog a dictionary: once kDictionaryTrainBytes
// of its text were written without one (enough text to tell what its
// entries share, little enough that compressing it again costs a few
// milliseconds), from kDictionarySampleBytes of each page, of
// kDictionarySize bytes (enough for the words and forms of a catalog's
// text; it costs its size once), up to kMostDictionaries a catalog in one
// process (a new one where the text changes kind: DictionaryFit); never
// of text stored in more than kIncompressible of its bytes, which gains
// nothing from one.
inline constexpr size_t kDictionaryTrainBytes = 512 << 10;
inline constexpr size_t kDictionarySampleBytes = 4096;
inline constexpr size_t kDictionarySize = 32 << 10;
inline constexpr int kMostDictionaries = 8;
inline constexpr double kIncompressible = 0.8;

// How compact renews a catalog's dictionary: a first one once its pages
// hold kRenewFirstBytes, from samples of kRenewSamplePages pages spread
// over it; kept only where it packs the pages taken between the samples
// kRenewGain smaller than they are stored (RenewWorth); the pages packed
// again kRenewBatchPages a transaction.
inline constexpr int64_t kRenewFirstBytes = 128 << 10;
inline constexpr size_t kRenewSamplePages = 160;
inline constexpr double kRenewGain = 0.02;
inline constexpr size_t kRenewBatchPages = 256;
// The level compact packs pages again at (or the store's, where that is
// higher): on notes, tables and HTML, with matches of 6 bytes and more,
// 10% smaller than the pages of small files are written (level 3) and 6%
// smaller than full ones (level 6), at about 20 MB of text a second here.
inline constexpr int kCompactLevel = 12;

// How well a catalog's dictionary serves the text written with it, a
// window of 128 KB at a time: one it compresses 1.25 times worse than its
// measure (the text changed kind) calls for a new dictionary.
class DictionaryFit {
 public:
  // A new dictionary, whose measure is what it makes of the text it was
  // made from; 0: what it makes of the first window.
  void Start(double measure) {
    measure_ = measure;
    text_ = stored_ = 0;
  }
  // Counts a page's text and the bytes it was stored in; true when a
  // window ends that came out worse than the measure.
  bool Worse(size_t text, size_t stored);
  // Whether the last page counted ended a window.
  bool ended() const { return ended_; }

 private:
  double measure_ = 0;
  bool ended_ = false;
  size_t text_ = 0;
  size_t stored_ = 0;
};

// A catalog with several dictionaries (a new one each time its text
// changed kind) is written with whichever fits what is written now: where
// a window of DictionaryFit ends, the first kChoiceSampleBytes of the page
// that ended it are packed with each of choices (the catalog's, *in_use
// among them), and one that packs them kChoiceGain smaller than *in_use
// does replaces it, its fit starting again. True when it did. codec is
// left using *in_use.
inline constexpr size_t kChoiceSampleBytes = 4000;  // packed at level 3
inline constexpr double kChoiceGain = 0.1;
class PageCodec;
bool ChooseDictionary(
    PageCodec& codec,
    const std::vector<std::shared_ptr<PageDictionary>>& choices,
    std::string_view content, std::shared_ptr<PageDictionary>* in_use,
    DictionaryFit* fit);

// A store keeps samples for dictionaries of the kSampledCatalogs catalogs
// it sampled last (an import of a tree writes one catalog after another, a
// mount a few at once): text is noted as sampled now in recent, and drop
// is called on the one that falls out, whose samples go.
inline constexpr size_t kSampledCatalogs = 4;
template <typename Text, typename Drop>
void NoteSampled(std::vector<Text*>& recent, Text* text, Drop drop) {
  auto at = std::find(recent.begin(), recent.end(), text);
  if (at != recent.end()) recent.erase(at);
  recent.push_back(text);
  if (recent.size() > kSampledCatalogs) {
    drop(recent.front());
    recent.erase(recent.begin());
  }
}

// Adds the sample of a page's content to the samples of a catalog's text:
// the samples of small pages together, up to a page's sample, so that the
// samples of many small entries cost their bytes and not a string each.
void AddSample(std::vector<std::string>* samples, std::string_view content);

// Finds the dictionary of an id for a decoder: *dictionary set, or false
// with *why.
using DictionaryFinder = std::function<bool(
    uint32_t id, PageDictionary** dictionary, std::string* why)>;

// A zstd compressor set as every page is compressed: the frame carries its
// content's size and checksum. Null when there is no memory for one.
ZSTD_CCtx_s* NewPageCompressor();
void FreePageCompressor(ZSTD_CCtx_s* compressor);
// Compresses text into *frame with encoder (a dictionary digested for
// level; null: none) or at level. False with *why when zstd fails.
bool CompressFrame(ZSTD_CCtx_s* compressor, ZSTD_CDict_s* encoder,
                   PageLevel level, std::string_view text, std::string* frame,
                   std::string* why);

// The zstd contexts and scratch space a connection reuses for every page,
// with the dictionary and levels pages are encoded with.
class PageCodec {
 public:
  PageCodec();
  ~PageCodec();
  PageCodec(const PageCodec&) = delete;
  PageCodec& operator=(const PageCodec&) = delete;

  ZSTD_CCtx_s* compressor() { return compressor_; }
  ZSTD_DCtx_s* decompressor() { return decompressor_; }
  std::string& content() { return content_; }  // a page's content, encoded
  std::string& frame() { return frame_; }      // a page's stored form

  // The level of every page from now on (1 to 19; 0 for the defaults).
  void set_level(int level) { level_ = level; }
  // Where the default level of large pages starts (kLargePageBytes).
  void set_large_pages(size_t from) { large_from_ = from; }
  // The level of a page of content of that many bytes.
  PageLevel LevelOf(size_t bytes) const {
    return level_ != 0 ? PageLevel{level_, 0}
                       : DefaultLevel(bytes, large_from_);
  }
  // The dictionary pages are encoded with from now on; null for none.
  void Use(PageDictionary* dictionary) { dictionary_ = dictionary; }
  PageDictionary* dictionary() const { return dictionary_; }

  // Compresses text into frame() with the dictionary in use, at the level
  // of its size. False with *why when zstd fails.
  bool Compress(std::string_view text, std::string* why);
  // Decompresses a frame whose content is at most limit bytes into
  // content(), through the dictionary it names. False with *why when the
  // frame is damaged or its dictionary cannot be had.
  bool Decompress(const void* frame, size_t size, uint64_t limit,
                  const DictionaryFinder& finder, std::string* why);

 private:
  ZSTD_CCtx_s* compressor_;
  ZSTD_DCtx_s* decompressor_;
  std::string content_;
  std::string frame_;
  int level_ = 0;
  size_t large_from_ = kLargePageBytes;
  PageDictionary* dictionary_ = nullptr;
};

class RecordPage {
 public:
  // An empty page whose first record will be number first.
  void Reset(uint64_t first);

  uint64_t first() const { return first_; }
  // Number of the record after the page's last.
  uint64_t end() const { return first_ + ends_.size(); }
  uint32_t count() const { return (uint32_t)ends_.size(); }
  bool empty() const { return ends_.empty(); }
  bool Holds(uint64_t number) const {
    return number >= first_ && number < end();
  }
  uint32_t longest() const { return longest_; }
  // Bytes of the records held (of a decoded page: with what separates them).
  size_t bytes() const { return bytes_.size(); }
  // Whether a record of length bytes still belongs on this page.
  bool Fits(uint32_t length) const {
    return empty() || bytes_.size() + length <= kPageBytes;
  }

  void Append(const void* data, uint32_t length, uint16_t kind);
  // Keeps the first count records.
  void Truncate(uint32_t count);
  // Record number (which the page holds).
  RecordView Get(uint64_t number) const {
    size_t i = (size_t)(number - first_);
    uint32_t start = i == 0 ? start_ : ends_[i - 1] + gap_;
    RecordView view;
    view.data = (const uint8_t*)bytes_.data() + start;
    view.length = ends_[i] - start;
    view.kind = kinds_[i];
    return view;
  }

  // The page's records, a line each, to kDictionarySampleBytes at most: a
  // sample of its text for a dictionary made of stored pages.
  std::string Sample() const;

  // The page's stored form, in codec.frame(). False, with *why, when the
  // compressor fails.
  bool Encode(PageCodec& codec, std::string* why) const;
  // The page's content, which its stored form compresses (codec.content()
  // after Encode).
  void Content(std::string* out) const;
  // Takes the stored form of a page whose row says it starts at first,
  // holds count records and none longer than longest, finding the
  // dictionary its frame names through finder (null: none can be had).
  // False, with *why and the page empty, when the stored form is damaged.
  bool Decode(PageCodec& codec, const void* frame, size_t size, uint64_t first,
              uint32_t count, uint32_t longest, std::string* why,
              const DictionaryFinder& finder = nullptr);

 private:
  // Finds the records in a page's content, which becomes the page's bytes;
  // false when it does not hold exactly count records.
  bool Parse(uint32_t count);

  // Puts the records back to back at the start of bytes_, as Append
  // keeps them.
  void MakePlain();

  uint64_t first_ = 0;
  std::vector<uint32_t> ends_;  // end offset of each record in bytes_
  std::vector<uint16_t> kinds_;
  // The records. A decoded page keeps its content as it was decompressed:
  // the first record at start_, each next one gap_ bytes (a newline) after
  // the end of the one before.
  std::string bytes_;
  uint32_t start_ = 0;
  uint32_t gap_ = 0;
  uint32_t longest_ = 0;
};

// Whether made is worth a catalog's renewal: the trial pages, packed with
// it, take less than (1 - kRenewGain) of stored, the bytes they take now.
// The codec is left without a dictionary.
bool RenewWorth(PageCodec& codec, PageDictionary& made,
                const std::vector<RecordPage>& trials, size_t stored);

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_PAGED_RECORD_PAGE_H_
