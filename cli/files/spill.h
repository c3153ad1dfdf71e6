// What a command keeps of every entry of a catalog, or every name of a
// folder, without holding it in memory: records held in memory up to a
// bound and set aside in a temporary file past it, sets and maps of
// strings kept as tags of their hashes in memory with the strings aside,
// and records sorted by a key in bounded memory (sorted runs of a
// temporary file, merged). A catalog of any size is then named, listed,
// exported and imported in about the memory of a small one.
//
// The temporary files are made in TemporaryFolder() and gone with their
// owner. A temporary file that cannot be written or read back ends the
// command as running out of memory would (SpillError): what was being
// written is not kept.

#ifndef VUVOROZO_CLI_FILES_SPILL_H_
#define VUVOROZO_CLI_FILES_SPILL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "refhost/store/catalog_store.h"

namespace cli {

// A temporary file that cannot be written or read back.
class SpillError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The bytes a spill holds in memory before it sets them aside.
inline constexpr size_t kSpillHeldBytes = 128 << 10;

// A 64-bit hash of the bytes (FNV-1a, mixed), the same in every run.
uint64_t SpillHash(std::string_view bytes);

// Records appended one after another, each read back whole by the offset
// Append gave it, or all in order by a Reader. Offsets are multiples of 4.
class RecordSpill {
 public:
  explicit RecordSpill(size_t held_bytes = kSpillHeldBytes);
  ~RecordSpill();
  RecordSpill(const RecordSpill&) = delete;
  RecordSpill& operator=(const RecordSpill&) = delete;

  // Appends record; its offset.
  uint64_t Append(std::string_view record);
  // The record at offset (one Append gave) into *record.
  void Read(uint64_t offset, std::string* record) const;
  // The bytes appended so far.
  uint64_t size() const { return written_ + tail_.size(); }
  bool empty() const { return size() == 0; }
  // Forgets every record.
  void Clear();

  // The records in the order they were appended, from the first.
  class Reader {
   public:
    explicit Reader(const RecordSpill& spill) : spill_(spill) {}
    // From the record at offset (one Append gave) on.
    Reader(const RecordSpill& spill, uint64_t offset)
        : spill_(spill), at_(offset) {}
    // The next record into *record; false after the last.
    bool Next(std::string* record);
    // The offset of the record Next gives next.
    uint64_t offset() const { return at_; }

   private:
    const RecordSpill& spill_;
    uint64_t at_ = 0;
    std::string buffer_;  // bytes of the file from buffer_at_ on
    uint64_t buffer_at_ = 0;
  };

 private:
  friend class Reader;
  // Writes the tail to the file.
  void Flush();
  // Reads length bytes of the file at offset into out.
  void ReadFile(uint64_t offset, size_t length, char* out) const;
  // The bytes at offset, wherever they are, into out.
  void Bytes(uint64_t offset, size_t length, char* out) const;

  size_t held_bytes_;
  int fd_ = -1;           // the temporary file, made at the first flush
  uint64_t written_ = 0;  // bytes in the file
  std::string tail_;      // the bytes after them
  // The block of the file read last, for records read one by one.
  mutable std::string block_;
  mutable uint64_t block_at_ = UINT64_MAX;
};

// Slots of 8 bytes: a tag of a key's hash and a reference the owner gives
// (an offset / 4 in a RecordSpill). The keys are not kept: a lookup calls
// the owner back for each reference whose tag matches, and the owner
// compares the key it kept there.
class TagTable {
 public:
  static constexpr size_t kNone = SIZE_MAX;

  // The slot of the first reference whose tag is hash's and for which
  // same(reference) is true; kNone when none is.
  template <typename Same>
  size_t Find(uint64_t hash, Same same) const {
    if (slots_.empty()) return kNone;
    uint32_t tag = TagOf(hash);
    size_t mask = slots_.size() - 1;
    for (size_t i = tag & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.tag == kEmpty) return kNone;
      if (s.tag == tag && same(s.reference)) return i;
    }
  }
  // Adds a reference under hash (a key already there is the caller's to
  // look for first).
  void Insert(uint64_t hash, uint32_t reference);
  uint32_t reference(size_t slot) const { return slots_[slot].reference; }
  void set_reference(size_t slot, uint32_t reference) {
    slots_[slot].reference = reference;
  }
  void Erase(size_t slot);
  size_t size() const { return count_; }
  // Makes room for count references in all, so that adding them does not
  // grow the table step by step.
  void Reserve(size_t count);
  void Clear();

 private:
  struct Slot {
    uint32_t tag;
    uint32_t reference;
  };
  static constexpr uint32_t kEmpty = 0;
  static constexpr uint32_t kErased = 1;
  static uint32_t TagOf(uint64_t hash) {
    uint32_t tag = static_cast<uint32_t>(hash >> 32);
    return tag < 2 ? tag + 2 : tag;
  }
  void Grow();
  void Rehash(size_t size);

  std::vector<Slot> slots_;
  size_t count_ = 0;  // references held
  size_t used_ = 0;   // slots not empty: references and erased ones
};

// A set of strings: tags in memory, the strings in a RecordSpill.
class SpillSet {
 public:
  explicit SpillSet(size_t held_bytes = kSpillHeldBytes)
      : strings_(held_bytes) {}
  bool Contains(std::string_view text) const;
  // Adds text; false when it was there.
  bool Insert(std::string_view text);
  bool Erase(std::string_view text);
  size_t size() const { return table_.size(); }

 private:
  size_t Find(std::string_view text, uint64_t hash) const;
  RecordSpill strings_;
  TagTable table_;
  mutable std::string scratch_;
};

// A map of strings to strings: tags in memory, each key with its value in
// a RecordSpill (a value put again takes a new record).
class SpillMap {
 public:
  explicit SpillMap(size_t held_bytes = kSpillHeldBytes)
      : records_(held_bytes) {}
  // The value of key into *value (may be null); false when absent.
  bool Find(std::string_view key, std::string* value) const;
  bool Contains(std::string_view key) const { return Find(key, nullptr); }
  // Sets the value of key.
  void Put(std::string_view key, std::string_view value);
  // Puts key's value unless it has one; false when it had.
  bool PutNew(std::string_view key, std::string_view value);
  bool Erase(std::string_view key);
  size_t size() const { return table_.size(); }
  // Calls each(key, value) for every key, in no set order.
  template <typename Each>
  void ForEach(Each each) const {
    RecordSpill::Reader reader(records_);
    std::string record;
    while (true) {
      uint64_t at = reader.offset();
      if (!reader.Next(&record)) break;
      std::string_view key, value;
      Split(record, &key, &value);
      // Only a key's latest record counts.
      if (Current(key, at)) each(key, value);
    }
  }

 private:
  static void Split(std::string_view record, std::string_view* key,
                    std::string_view* value);
  size_t Find(std::string_view key, uint64_t hash) const;
  bool Current(std::string_view key, uint64_t offset) const;
  RecordSpill records_;
  TagTable table_;
  mutable std::string scratch_;
};

// Records added with a key and given back in the order of their keys
// (bytes compared; ascending, or descending), those of equal keys in the
// order they were added. Held in memory up to a bound; past it, sorted
// runs go to a temporary file and are merged when the adding ends.
class SortedSpill {
 public:
  explicit SortedSpill(bool descending = false,
                       size_t held_bytes = 2 * kSpillHeldBytes);
  ~SortedSpill();
  SortedSpill(const SortedSpill&) = delete;
  SortedSpill& operator=(const SortedSpill&) = delete;

  void Add(std::string_view key, std::string_view value);
  // Ends the adding; the records may then be walked, any number of times.
  void Finish();
  size_t count() const { return count_; }

  // The records in key order (after Finish).
  class Walk {
   public:
    explicit Walk(const SortedSpill& sorted);
    // The next record; false after the last. The views hold until the next
    // call.
    bool Next(std::string_view* key, std::string_view* value);

   private:
    const SortedSpill& sorted_;
    size_t next_ = 0;  // in memory: the next of order_
    std::unique_ptr<RecordSpill::Reader> reader_;
    std::string record_;
  };

 private:
  // Puts order_ in key order, earlier records first among equal keys.
  void SortHeld();
  // The records held, sorted, as a run of runs_.
  void SpillRun();
  bool Before(std::string_view a, std::string_view b) const;

  bool descending_;
  size_t held_bytes_;
  size_t count_ = 0;
  bool finished_ = false;
  std::string held_;             // records: key length, key, value length,
                                 // value
  std::vector<uint32_t> order_;  // offsets of held_'s records, sorted at
                                 // the end
  std::vector<std::unique_ptr<RecordSpill>> runs_;
  std::unique_ptr<RecordSpill> merged_;
};

// A record of strings and numbers, written and read in order.
class RecordText {
 public:
  RecordText() = default;
  explicit RecordText(std::string_view bytes) : read_(bytes) {}
  RecordText& Put(std::string_view text);
  RecordText& Put(int64_t number);
  const std::string& bytes() const { return bytes_; }
  // Reads the next field; what a record holds is the writer's to know.
  std::string_view Text();
  int64_t Number();
  // An entry as a listing gave it: its name, type and what the store says
  // of it, put and read back as fields (info's name and type are the
  // entry's when read).
  RecordText& PutEntry(std::string_view name, std::string_view type,
                       const refhost::EntryInfo& info);
  void Entry(std::string* name, std::string* type, refhost::EntryInfo* info);

 private:
  std::string bytes_;
  std::string_view read_;
};

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_SPILL_H_
