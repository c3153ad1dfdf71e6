// The spills of spill.h.

#include "cli/files/spill.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "cli/files/content.h"

namespace cli {
namespace {

// What a reader takes of a temporary file at once.
constexpr size_t kReadBytes = 16 << 10;

[[noreturn]] void Fail(const char* what) {
  throw SpillError(std::string("the temporary folder ") + TemporaryFolder() +
                   " cannot hold what the command sets aside (" + what +
                   "): " + std::strerror(errno));
}

void PutLength(uint32_t length, std::string* out) {
  char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(length >> (8 * i));
  out->append(bytes, 4);
}

uint32_t LengthAt(const char* bytes) {
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    length |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i]))
              << (8 * i);
  }
  return length;
}

size_t Padded(size_t length) { return (length + 3) & ~size_t{3}; }

}  // namespace

uint64_t SpillHash(std::string_view bytes) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  // The high bits make the tag: every byte must reach them.
  hash ^= hash >> 29;
  hash *= 0xbf58476d1ce4e5b9ull;
  hash ^= hash >> 32;
  return hash;
}

// ---------------------------------------------------------------------------

RecordSpill::RecordSpill(size_t held_bytes) : held_bytes_(held_bytes) {}

RecordSpill::~RecordSpill() {
  if (fd_ >= 0) close(fd_);
}

uint64_t RecordSpill::Append(std::string_view record) {
  uint64_t offset = size();
  if (record.size() > UINT32_MAX) {
    errno = EFBIG;
    Fail("a record");
  }
  size_t bytes = Padded(4 + record.size());
  // The tail goes to the file before it would grow past the bound.
  if (!tail_.empty() && tail_.size() + bytes > held_bytes_ &&
      tail_.size() + bytes > tail_.capacity()) {
    Flush();
  }
  PutLength(static_cast<uint32_t>(record.size()), &tail_);
  tail_.append(record);
  tail_.resize(Padded(tail_.size()), '\0');
  if (tail_.size() > held_bytes_) Flush();
  return offset;
}

void RecordSpill::Flush() {
  if (fd_ < 0 && (fd_ = TemporaryFile()) < 0) Fail("a file");
  if (!WriteAllAt(fd_, tail_.data(), tail_.size(),
                  static_cast<off_t>(written_))) {
    Fail("a write");
  }
  written_ += tail_.size();
  tail_.clear();
  // A tail that grew past the bound with a large record is given back.
  if (tail_.capacity() > 2 * held_bytes_ + 64) std::string().swap(tail_);
}

void RecordSpill::ReadFile(uint64_t offset, size_t length, char* out) const {
  while (length > 0) {
    ssize_t n = pread(fd_, out, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      Fail("a read");
    }
    out += n;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
}

void RecordSpill::Bytes(uint64_t offset, size_t length, char* out) const {
  if (offset >= written_) {
    std::memcpy(out, tail_.data() + (offset - written_), length);
    return;
  }
  if (offset >= block_at_ && offset + length <= block_at_ + block_.size()) {
    std::memcpy(out, block_.data() + (offset - block_at_), length);
    return;
  }
  if (length > kReadBytes) {
    ReadFile(offset, length, out);
    return;
  }
  block_.resize(static_cast<size_t>(std::min<uint64_t>(
      std::max<uint64_t>(kReadBytes / 4, length), written_ - offset)));
  ReadFile(offset, block_.size(), block_.data());
  block_at_ = offset;
  std::memcpy(out, block_.data(), length);
}

void RecordSpill::Read(uint64_t offset, std::string* record) const {
  char head[4];
  Bytes(offset, 4, head);
  record->resize(LengthAt(head));
  Bytes(offset + 4, record->size(), record->data());
}

void RecordSpill::Clear() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  written_ = 0;
  std::string().swap(tail_);
  std::string().swap(block_);
  block_at_ = UINT64_MAX;
}

bool RecordSpill::Reader::Next(std::string* record) {
  if (at_ >= spill_.size()) return false;
  auto fetch = [&](uint64_t offset, size_t length, char* out) {
    if (offset >= spill_.written_) {
      spill_.Bytes(offset, length, out);
      return;
    }
    if (offset < buffer_at_ || offset + length > buffer_at_ + buffer_.size()) {
      buffer_.resize(static_cast<size_t>(std::min<uint64_t>(
          std::max(kReadBytes, length), spill_.written_ - offset)));
      spill_.ReadFile(offset, buffer_.size(), buffer_.data());
      buffer_at_ = offset;
    }
    std::memcpy(out, buffer_.data() + (offset - buffer_at_), length);
  };
  char head[4];
  fetch(at_, 4, head);
  uint32_t length = LengthAt(head);
  record->resize(length);
  fetch(at_ + 4, length, record->data());
  at_ += Padded(4 + static_cast<uint64_t>(length));
  return true;
}

// ---------------------------------------------------------------------------

void TagTable::Insert(uint64_t hash, uint32_t reference) {
  if ((used_ + 1) * 5 > slots_.size() * 4) Grow();
  uint32_t tag = TagOf(hash);
  size_t mask = slots_.size() - 1;
  for (size_t i = tag & mask;; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (s.tag == kEmpty || s.tag == kErased) {
      if (s.tag == kEmpty) ++used_;
      s = {tag, reference};
      ++count_;
      return;
    }
  }
}

void TagTable::Erase(size_t slot) {
  slots_[slot].tag = kErased;
  --count_;
}

void TagTable::Clear() {
  std::vector<Slot>().swap(slots_);
  count_ = used_ = 0;
}

void TagTable::Reserve(size_t count) {
  size_t size = slots_.empty() ? 16 : slots_.size();
  while (count * 5 > size * 4) size *= 2;
  if (size > slots_.size()) Rehash(size);
}

void TagTable::Grow() {
  size_t size = slots_.empty() ? 16 : slots_.size();
  if ((count_ + 1) * 2 > size) size *= 2;
  Rehash(size);
}

void TagTable::Rehash(size_t size) {
  // Only the tag is kept of a hash: a slot's place is the tag's low bits.
  std::vector<Slot> old(size, Slot{kEmpty, 0});
  old.swap(slots_);
  count_ = used_ = 0;
  size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.tag == kEmpty || s.tag == kErased) continue;
    for (size_t i = s.tag & mask;; i = (i + 1) & mask) {
      if (slots_[i].tag == kEmpty) {
        slots_[i] = s;
        ++count_;
        ++used_;
        break;
      }
    }
  }
}

// ---------------------------------------------------------------------------

namespace {

// A reference for an offset of a RecordSpill.
uint32_t ReferenceOf(uint64_t offset) {
  if (offset / 4 > UINT32_MAX) {
    errno = EFBIG;
    Fail("over 16 GB");
  }
  return static_cast<uint32_t>(offset / 4);
}

uint64_t OffsetOf(uint32_t reference) {
  return static_cast<uint64_t>(reference) * 4;
}

}  // namespace

size_t SpillSet::Find(std::string_view text, uint64_t hash) const {
  return table_.Find(hash, [&](uint32_t reference) {
    strings_.Read(OffsetOf(reference), &scratch_);
    return scratch_ == text;
  });
}

bool SpillSet::Contains(std::string_view text) const {
  return Find(text, SpillHash(text)) != TagTable::kNone;
}

bool SpillSet::Insert(std::string_view text) {
  uint64_t hash = SpillHash(text);
  if (Find(text, hash) != TagTable::kNone) return false;
  table_.Insert(hash, ReferenceOf(strings_.Append(text)));
  return true;
}

bool SpillSet::Erase(std::string_view text) {
  size_t slot = Find(text, SpillHash(text));
  if (slot == TagTable::kNone) return false;
  table_.Erase(slot);
  return true;
}

void SpillMap::Split(std::string_view record, std::string_view* key,
                     std::string_view* value) {
  uint32_t length = LengthAt(record.data());
  *key = record.substr(4, length);
  *value = record.substr(4 + length);
}

size_t SpillMap::Find(std::string_view key, uint64_t hash) const {
  return table_.Find(hash, [&](uint32_t reference) {
    records_.Read(OffsetOf(reference), &scratch_);
    return LengthAt(scratch_.data()) == key.size() &&
           std::string_view(scratch_).substr(4, key.size()) == key;
  });
}

bool SpillMap::Find(std::string_view key, std::string* value) const {
  size_t slot = Find(key, SpillHash(key));
  if (slot == TagTable::kNone) return false;
  if (value != nullptr) value->assign(scratch_, 4 + key.size());
  return true;
}

bool SpillMap::Current(std::string_view key, uint64_t offset) const {
  size_t slot = Find(key, SpillHash(key));
  return slot != TagTable::kNone && OffsetOf(table_.reference(slot)) == offset;
}

void SpillMap::Put(std::string_view key, std::string_view value) {
  uint64_t hash = SpillHash(key);
  size_t slot = Find(key, hash);
  std::string record;
  PutLength(static_cast<uint32_t>(key.size()), &record);
  record.append(key);
  record.append(value);
  uint32_t reference = ReferenceOf(records_.Append(record));
  if (slot == TagTable::kNone) {
    table_.Insert(hash, reference);
  } else {
    table_.set_reference(slot, reference);
  }
}

bool SpillMap::PutNew(std::string_view key, std::string_view value) {
  if (Contains(key)) return false;
  Put(key, value);
  return true;
}

bool SpillMap::Erase(std::string_view key) {
  size_t slot = Find(key, SpillHash(key));
  if (slot == TagTable::kNone) return false;
  table_.Erase(slot);
  return true;
}

// ---------------------------------------------------------------------------

namespace {

// A record of a sorted spill: key length, key, value.
void SortedRecord(std::string_view key, std::string_view value,
                  std::string* out) {
  PutLength(static_cast<uint32_t>(key.size()), out);
  out->append(key);
  out->append(value);
}

void SplitSorted(std::string_view record, std::string_view* key,
                 std::string_view* value) {
  uint32_t length = LengthAt(record.data());
  *key = record.substr(4, length);
  *value = record.substr(4 + length);
}

// The most runs merged at once.
constexpr size_t kMostRuns = 16;

}  // namespace

SortedSpill::SortedSpill(bool descending, size_t held_bytes)
    : descending_(descending), held_bytes_(held_bytes) {}

SortedSpill::~SortedSpill() = default;

bool SortedSpill::Before(std::string_view a, std::string_view b) const {
  return descending_ ? b < a : a < b;
}

void SortedSpill::Add(std::string_view key, std::string_view value) {
  size_t bytes = 8 + key.size() + value.size();
  // The records held go to a run before they would grow past the bound.
  if (!held_.empty() && held_.size() + bytes > held_bytes_ &&
      held_.size() + bytes > held_.capacity()) {
    SpillRun();
  }
  order_.push_back(static_cast<uint32_t>(held_.size()));
  PutLength(static_cast<uint32_t>(key.size() + 4 + value.size()), &held_);
  SortedRecord(key, value, &held_);
  ++count_;
  if (held_.size() > held_bytes_) SpillRun();
}

namespace {

// The record at offset of held: its bytes after the length.
std::string_view HeldRecord(const std::string& held, uint32_t offset) {
  return std::string_view(held).substr(offset + 4, LengthAt(&held[offset]));
}

// Merges the runs into one, in key order, earlier runs first among equal
// keys.
std::unique_ptr<RecordSpill> Merge(
    std::vector<std::unique_ptr<RecordSpill>>* runs,
    const std::function<bool(std::string_view, std::string_view)>& before) {
  auto merged = std::make_unique<RecordSpill>(kReadBytes);
  std::vector<std::unique_ptr<RecordSpill::Reader>> readers;
  std::vector<std::string> heads(runs->size());
  std::vector<bool> live(runs->size());
  for (size_t i = 0; i < runs->size(); ++i) {
    readers.push_back(std::make_unique<RecordSpill::Reader>(*(*runs)[i]));
    live[i] = readers[i]->Next(&heads[i]);
  }
  while (true) {
    size_t least = runs->size();
    std::string_view least_key;
    for (size_t i = 0; i < runs->size(); ++i) {
      if (!live[i]) continue;
      std::string_view key, value;
      SplitSorted(heads[i], &key, &value);
      if (least == runs->size() || before(key, least_key)) {
        least = i;
        least_key = key;
      }
    }
    if (least == runs->size()) break;
    merged->Append(heads[least]);
    live[least] = readers[least]->Next(&heads[least]);
  }
  readers.clear();
  runs->clear();
  return merged;
}

}  // namespace

void SortedSpill::SortHeld() {
  auto before = [&](uint32_t a, uint32_t b) {
    std::string_view ka, kb, va, vb;
    SplitSorted(HeldRecord(held_, a), &ka, &va);
    SplitSorted(HeldRecord(held_, b), &kb, &vb);
    return Before(ka, kb);
  };
  // Records often come in their order already (a listing in the catalog's
  // order, files named in it): one look then spares the sort.
  if (std::is_sorted(order_.begin(), order_.end(), before)) return;
  std::stable_sort(order_.begin(), order_.end(), before);
}

void SortedSpill::SpillRun() {
  SortHeld();
  auto run = std::make_unique<RecordSpill>(kReadBytes);
  for (uint32_t at : order_) run->Append(HeldRecord(held_, at));
  runs_.push_back(std::move(run));
  std::string().swap(held_);
  std::vector<uint32_t>().swap(order_);
  if (runs_.size() >= kMostRuns) {
    auto merged = Merge(&runs_, [&](std::string_view a, std::string_view b) {
      return Before(a, b);
    });
    runs_.push_back(std::move(merged));
  }
}

void SortedSpill::Finish() {
  if (finished_) return;
  finished_ = true;
  if (runs_.empty()) {
    SortHeld();
    return;
  }
  if (!order_.empty()) SpillRun();
  if (runs_.size() == 1) {
    merged_ = std::move(runs_[0]);
    runs_.clear();
    return;
  }
  merged_ = Merge(&runs_, [&](std::string_view a, std::string_view b) {
    return Before(a, b);
  });
}

SortedSpill::Walk::Walk(const SortedSpill& sorted) : sorted_(sorted) {
  if (sorted_.merged_) {
    reader_ = std::make_unique<RecordSpill::Reader>(*sorted_.merged_);
  }
}

bool SortedSpill::Walk::Next(std::string_view* key, std::string_view* value) {
  if (reader_) {
    if (!reader_->Next(&record_)) return false;
    SplitSorted(record_, key, value);
    return true;
  }
  if (next_ >= sorted_.order_.size()) return false;
  SplitSorted(HeldRecord(sorted_.held_, sorted_.order_[next_++]), key, value);
  return true;
}

// ---------------------------------------------------------------------------

RecordText& RecordText::Put(std::string_view text) {
  Put(static_cast<int64_t>(text.size()));
  bytes_.append(text);
  return *this;
}

RecordText& RecordText::Put(int64_t number) {
  uint64_t n = (static_cast<uint64_t>(number) << 1) ^
               static_cast<uint64_t>(number >> 63);
  while (n >= 0x80) {
    bytes_ += static_cast<char>((n & 0x7f) | 0x80);
    n >>= 7;
  }
  bytes_ += static_cast<char>(n);
  return *this;
}

int64_t RecordText::Number() {
  uint64_t n = 0;
  for (int shift = 0; !read_.empty() && shift < 64; shift += 7) {
    auto byte = static_cast<unsigned char>(read_[0]);
    read_.remove_prefix(1);
    n |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) break;
  }
  return static_cast<int64_t>(n >> 1) ^ -static_cast<int64_t>(n & 1);
}

std::string_view RecordText::Text() {
  auto length = static_cast<size_t>(Number());
  std::string_view text = read_.substr(0, length);
  read_.remove_prefix(text.size());
  return text;
}

RecordText& RecordText::PutEntry(std::string_view name, std::string_view type,
                                 const refhost::EntryInfo& info) {
  Put(name).Put(type).Put(info.description);
  Put(info.created_micros).Put(info.modified_micros);
  Put(info.record_count).Put(int64_t{info.longest_record});
  return Put(info.host_attributes);
}

void RecordText::Entry(std::string* name, std::string* type,
                       refhost::EntryInfo* info) {
  *name = Text();
  *type = Text();
  info->name = *name;
  info->type = *type;
  info->description = Text();
  info->created_micros = Number();
  info->modified_micros = Number();
  info->record_count = Number();
  info->longest_record = static_cast<int32_t>(Number());
  info->host_attributes = Text();
}

}  // namespace cli
