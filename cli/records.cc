// Record transfer through an entry's io_vector. A record the module cuts
// to the record length (status 4105) is counted, not fatal: the rest of the
// records still move and the command ends with the truncation exit code.
// Records are sent straight from the content's buffer wherever a line or
// chunk lies whole in one piece; only one that spans two pieces is copied.

#include "cli/records.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "cli/command_support.h"
#include "cli/files/attributes.h"
#include "cli/files/entry_types.h"
#include "cli/option_text.h"

namespace cli {
namespace {

using refhost::RecordMapping;

// Feeds pieces of bytes into records of the open entry.
class RecordFeed {
 public:
  RecordFeed(EntryStream& entry, RecordMapping mapping, int64_t planned_longest)
      : entry_(entry),
        mapping_(mapping),
        record_length_(std::max(entry.record_length(), 0)),
        planned_longest_(planned_longest) {}

  // false to stop: a write failed, or a line is longer than planned.
  bool Add(const char* data, size_t length) {
    return mapping_ == RecordMapping::kLines ? AddLines(data, length)
                                             : AddChunks(data, length);
  }
  // Writes what is left: a last line without its newline, a short chunk.
  void Finish() {
    if (stopped_) return;
    bool rest =
        mapping_ == RecordMapping::kLines ? line_length_ > 0 : !carry_.empty();
    if (rest) WriteOne(carry_.data(), carry_.size());
  }
  const Transfer& transfer() const { return transfer_; }
  bool changed() const { return changed_; }

 private:
  bool AddLines(const char* data, size_t length) {
    while (length > 0) {
      const char* newline =
          static_cast<const char*>(std::memchr(data, '\n', length));
      size_t line = newline == nullptr ? length : newline - data;
      line_length_ += static_cast<int64_t>(line);
      if (line_length_ > planned_longest_) {
        changed_ = true;
        return Stop();
      }
      if (newline == nullptr) {
        Carry(data, line);
        return true;
      }
      if (line_length_ == static_cast<int64_t>(line)) {
        if (!WriteOne(data, line)) return false;  // whole in this piece
      } else {
        Carry(data, line);
        if (!WriteOne(carry_.data(), carry_.size())) return false;
        carry_.clear();
      }
      line_length_ = 0;
      ++transfer_.bytes;  // the newline
      data += line + 1;
      length -= line + 1;
    }
    return true;
  }

  // A line spanning pieces is kept up to one byte past the record length:
  // enough for the module to see that it must cut it, and never more than
  // a record's worth of memory.
  void Carry(const char* data, size_t length) {
    size_t limit = static_cast<size_t>(record_length_) + 1;
    size_t room = limit > carry_.size() ? limit - carry_.size() : 0;
    carry_.append(data, std::min(length, room));
  }

  bool AddChunks(const char* data, size_t length) {
    size_t chunk = static_cast<size_t>(std::max(record_length_, 1));
    if (!carry_.empty()) {
      size_t take = std::min(chunk - carry_.size(), length);
      carry_.append(data, take);
      data += take;
      length -= take;
      if (carry_.size() < chunk) return true;
      if (!WriteOne(carry_.data(), carry_.size())) return false;
      carry_.clear();
    }
    for (; length >= chunk; data += chunk, length -= chunk) {
      if (!WriteOne(data, chunk)) return false;
    }
    carry_.assign(data, length);
    return true;
  }

  // Writes one record; a cut record is counted, an error stops the
  // transfer. Any other condition the host reports is a warning and the
  // record went.
  bool WriteOne(const char* data, size_t length) {
    int32_t st = entry_.vector()->write(entry_.handle(), data,
                                        static_cast<int32_t>(length), ' ');
    ++transfer_.records;
    transfer_.bytes += std::min<int64_t>(length, record_length_);
    if (st == kStatusTruncated) {
      if (transfer_.truncated++ == 0)
        transfer_.first_truncated = transfer_.records;
      return true;
    }
    if (st < 0) {
      transfer_.status = st;
      return Stop();
    }
    return true;
  }

  bool Stop() {
    stopped_ = true;
    return false;
  }

  EntryStream& entry_;
  RecordMapping mapping_;
  int32_t record_length_;  // the entry's data record length
  int64_t planned_longest_;
  int64_t line_length_ = 0;  // of the line being read, over pieces
  std::string carry_;        // a line or chunk that spans pieces
  Transfer transfer_;
  bool stopped_ = false;
  bool changed_ = false;
};

}  // namespace

RecordLayout RecordLayout::Of(const option_block* options) {
  RecordLayout layout;
  if (options == nullptr) return layout;
  layout.recfm = options->recfm;
  layout.attr = options->attr != 0;
  layout.lrecl = options->lrecl > 0 ? options->lrecl : 0;
  layout.append = (options->open_options & kOpenOptionMod) != 0;
  return layout;
}

int32_t RequestLength(int64_t longest, std::string_view type,
                      const RecordLayout& layout) {
  // A stored record holds the lead byte and the carriage-control byte
  // ahead of its data, and the module takes from the record length a byte
  // for each of them (the lead byte only without ATTR) and one more for
  // a carriage-controlled record with a lead byte: the length asked for
  // must satisfy both.
  int64_t carriage = (layout.recfm & kRecfmCarriage) != 0 ? 1 : 0;
  int64_t prefix = carriage;
  if (HasLeadByte(type)) {
    int64_t taken = carriage + (layout.attr ? 0 : 1) + carriage;
    prefix = std::max(1 + carriage, taken);
  }
  int64_t length = std::max<int64_t>(longest + prefix, 1);
  return static_cast<int32_t>(std::min<int64_t>(length, INT32_MAX));
}

namespace {

bool Padded(std::string_view type, const RecordLayout& layout) {
  return (layout.recfm & kRecfmFixed) != 0 &&
         (HasLeadByte(type) || (layout.recfm & kRecfmCarriage) != 0);
}

}  // namespace

bool KeepsBytes(std::string_view type, const RecordLayout& layout) {
  return !Padded(type, layout);
}

bool PlanWrite(const Content& content, std::string_view type,
               const RecordLayout& layout, std::optional<RecordMapping> kept,
               WritePlan* plan, std::string* error) {
  *plan = WritePlan();
  plan->mapping = kept                 ? *kept
                  : IsBinaryType(type) ? RecordMapping::kChunks
                                       : RecordMapping::kLines;
  if (plan->mapping == RecordMapping::kLines) {
    TextScan scan;
    if (!ScanText(content, &scan, error)) return false;
    plan->longest = scan.longest_line;
    plan->final_newline = scan.final_newline;
    if (scan.longest_line > kMaxRecordLength && layout.lrecl == 0) {
      if (kept) {
        *error = "a line of " + std::to_string(scan.longest_line) +
                 " bytes is longer than the longest record (" +
                 std::to_string(kMaxRecordLength) +
                 " bytes), and the entry keeps lines: write the whole of it "
                 "again instead";
        return false;
      }
      plan->mapping = RecordMapping::kChunks;
      plan->longest = INT64_MAX;
    }
  }
  int64_t longest = plan->mapping == RecordMapping::kLines ? plan->longest
                    : IsBinaryType(type) ? kDefaultBinaryRecordLength
                                         : kTextChunkBytes;
  plan->request_length = RequestLength(longest, type, layout);
  plan->record_format = layout.recfm & (kRecfmCarriage | kRecfmFixed);
  if (Padded(type, layout)) {
    // Padded to the stored record length: the record length asked for, or
    // the user's.
    int64_t stored = layout.lrecl > 0 ? layout.lrecl : plan->request_length;
    int64_t prefix = (HasLeadByte(type) ? 1 : 0) +
                     ((layout.recfm & kRecfmCarriage) != 0 ? 1 : 0);
    plan->padded_record = std::max<int64_t>(stored - prefix, 0);
  }
  return true;
}

bool ScanText(const Content& content, TextScan* scan, std::string* error) {
  *scan = TextScan();
  int64_t line = 0;
  char last = '\n';
  int64_t total = 0;
  bool ok = content.Pass(
      [&](const char* data, size_t length) {
        const char* end = data + length;
        for (const char* at = data; at < end;) {
          const char* newline =
              static_cast<const char*>(std::memchr(at, '\n', end - at));
          if (newline == nullptr) {
            line += end - at;
            break;
          }
          line += newline - at;
          scan->longest_line = std::max(scan->longest_line, line);
          line = 0;
          at = newline + 1;
        }
        last = data[length - 1];
        return true;
      },
      &total, error);
  scan->longest_line = std::max(scan->longest_line, line);
  scan->size = total;
  scan->final_newline = total > 0 && last == '\n';
  return ok;
}

Transfer WriteRecords(EntryStream& entry, const Content& content,
                      RecordMapping mapping, int64_t planned_longest,
                      refhost::ContentHash* hash) {
  RecordFeed feed(entry, mapping, planned_longest);
  int64_t total = 0;
  std::string error;
  bool read = content.Pass(
      [&](const char* data, size_t length) {
        if (hash != nullptr) hash->Add(data, length);
        Progress::AddBytes(static_cast<int64_t>(length));
        return feed.Add(data, length);
      },
      &total, &error);
  if (read) feed.Finish();
  Transfer transfer = feed.transfer();
  transfer.input_changed = feed.changed() || content.changed();
  if (!read && !content.changed()) {
    transfer.input_error = error.empty() ? "read failed" : error;
  }
  return transfer;
}

ExpectedBytes::ExpectedBytes(const refhost::FileAttributes& attributes,
                             std::string_view type) {
  RecordLayout written;
  written.recfm = attributes.record_format;
  if (Padded(type, written)) return;
  size = attributes.size;
  hash = attributes.content_hash;
}

std::string ExpectedBytes::DamageOf(const Transfer& transfer,
                                    refhost::ContentHash* summed) const {
  if (transfer.truncated != 0) return "";
  if (size && *size != transfer.bytes) {
    return "the entry says it holds " + std::to_string(*size) +
           " bytes, its records give " + std::to_string(transfer.bytes) +
           ": the library is damaged";
  }
  if (hash && summed != nullptr && summed->Value() != *hash) {
    return "its records do not give the bytes that were written (their "
           "hash differs): the library is damaged";
  }
  return "";
}

void EntryBytes::Expect(const refhost::FileAttributes& attributes,
                        std::string_view type) {
  expected_ = ExpectedBytes(attributes, type);
  if (expected_.hash) hash_ = std::make_unique<refhost::ContentHash>();
}

bool EntryBytes::NextRecord(const char** data, size_t* length, bool* newline) {
  if (ended_) return false;
  char* record = nullptr;
  int32_t size = 0;
  int32_t st = entry_.vector()->read(entry_.handle(), &record, &size, nullptr);
  if (st == kStatusEndOfFile || st < 0) {
    ended_ = true;
    if (st != kStatusEndOfFile) {
      transfer_.status = st;
      return false;
    }
    if (!lines_ || !final_newline_ || transfer_.records == 0) return false;
    *data = "";
    *length = 0;
    *newline = true;
    ++transfer_.bytes;
    return true;
  }
  if (st == kStatusTruncated && transfer_.truncated++ == 0) {
    transfer_.first_truncated = transfer_.records + 1;
  }
  *data = record != nullptr ? record : "";
  *length = record == nullptr || size < 0 ? 0 : static_cast<size_t>(size);
  // A newline ends each line that another follows.
  *newline = lines_ && transfer_.records > 0;
  ++transfer_.records;
  transfer_.bytes += static_cast<int64_t>(*length + (*newline ? 1 : 0));
  return true;
}

bool EntryBytes::Next(const char** data, size_t* length) {
  bool newline = false;
  if (held_ != nullptr) {
    *data = held_;
    *length = held_length_;
    held_ = nullptr;
  } else if (NextRecord(data, length, &newline)) {
    if (newline) {
      // The newline first, the record's bytes (if any) at the next call.
      if (*length > 0) {
        held_ = *data;
        held_length_ = *length;
      }
      *data = "\n";
      *length = 1;
    }
  } else {
    if (ended_ && transfer_.status == 0) Verify();
    return false;
  }
  if (hash_ != nullptr) hash_->Add(*data, *length);
  return true;
}

void EntryBytes::Verify() {
  if (!transfer_.damage.empty()) return;
  transfer_.damage = expected_.DamageOf(transfer_, hash_.get());
  expected_ = ExpectedBytes();
  hash_.reset();
}

namespace {

// Bytes read so far and not yet added to the progress line.
constexpr int64_t kProgressStep = 256 << 10;

}  // namespace

// The records put straight into out: a line and the newline before it in
// one put, and the hash summed over out's buffers as they go rather than a
// piece at a time.
Transfer ReadRecords(EntryStream& entry, RecordMapping mapping,
                     bool final_newline, Output& out,
                     const refhost::FileAttributes* expect,
                     std::string_view type) {
  ExpectedBytes expected;
  if (expect != nullptr) expected = ExpectedBytes(*expect, type);
  std::optional<refhost::ContentHash> hash;
  if (expected.hash) out.HashInto(&hash.emplace());
  EntryBytes bytes(entry, mapping, final_newline);
  const char* data;
  size_t length;
  bool newline;
  bool written = true;
  int64_t unshown = 0;
  while (written && bytes.NextRecord(&data, &length, &newline)) {
    written = newline ? out.PutLine(data, length)
                      : length == 0 || out.Put(data, length);
    unshown += static_cast<int64_t>(length + (newline ? 1 : 0));
    if (unshown >= kProgressStep) {
      Progress::AddBytes(unshown);
      unshown = 0;
    }
  }
  Progress::AddBytes(unshown);
  Transfer transfer = bytes.transfer();
  // Held to what the entry says only when read whole, every byte out.
  if (hash) written = written && out.Flush();
  out.HashInto(nullptr);
  if (written && transfer.status == 0) {
    transfer.damage = expected.DamageOf(transfer, hash ? &*hash : nullptr);
  }
  return transfer;
}

MemberWrite WriteMember(Session& session, Directory& directory,
                        const EntryKey& key, std::string_view member,
                        const char* hint, const Content& content,
                        const RecordLayout& layout, OptionBlock* options,
                        refhost::FileAttributes* attributes) {
  MemberWrite result;
  WritePlan plan;
  if (!PlanWrite(content, key.type, layout, std::nullopt, &plan,
                 &result.read_error)) {
    return result;
  }
  EntryStream entry(session);
  result.status = entry.OpenMember(directory, key, member, hint, kOpenOutput,
                                   plan.request_length, options);
  if (result.status != 0) return result;
  result.opened = true;
  result.record_length = entry.record_length();
  refhost::ContentHash hash;
  result.transfer =
      WriteRecords(entry, content, plan.mapping, plan.longest, &hash);
  if (!result.transfer.whole()) {
    entry.Discard();
    return result;
  }
  NoteWritten(plan, result.transfer, KeepsBytes(key.type, layout), hash.Value(),
              attributes);
  entry.SetAttributes(refhost::EncodeFileAttributes(*attributes));
  result.status = entry.Close();
  return result;
}

bool CopyEntry(Session& session, const std::string& source,
               const refhost::EntryInfo& info, const std::string& target,
               const std::function<void(refhost::FileAttributes*)>& edit,
               int32_t* status) {
  std::string what = Printable(source) + " -> " + Printable(target);
  *status = 0;
  Fileref in(session);
  if (!AssignName(session, in, source, nullptr)) return false;
  EntryStream reader(session);
  int32_t st = reader.Open(in, KeyOfPath(source), kOpenInput,
                           kInputRecordLength, nullptr);
  if (st != 0) {
    session.Fail(Printable(source), *status = st);
    return false;
  }
  OptionBlock options(session);
  bool cut = false;
  st = options.ParseDescription(info.description, &cut);
  if (st != 0) {
    session.Fail(what + ": the description", *status = st);
    return false;
  }
  Fileref out(session);
  if (!AssignName(session, out, target, nullptr)) return false;
  EntryKey key = KeyOfPath(Upper(target));
  EntryStream writer(session);
  st = writer.Open(out, key, kOpenOutput,
                   RequestLength(std::max(reader.record_length(), 1), key.type,
                                 RecordLayout()),
                   options.get() != nullptr ? &options : nullptr);
  if (st != 0) {
    session.Fail(Printable(target), *status = st);
    return false;
  }
  int64_t records = 0;
  while (true) {
    char* data = nullptr;
    int32_t length = 0;
    st = reader.vector()->read(reader.handle(), &data, &length, nullptr);
    if (st == kStatusEndOfFile) {
      st = 0;
      break;
    }
    // A record that does not come whole, or does not go whole, would make
    // the copy differ: it is no copy.
    if (st != 0) break;
    st =
        writer.vector()->write(writer.handle(), data, std::max(length, 0), ' ');
    if (st != 0) break;
    Progress::AddBytes(length);
    ++records;
  }
  if (st != 0) {
    writer.Discard();
    session.Fail(what + ": record " + std::to_string(records + 1) +
                     ": nothing was copied",
                 *status = st);
    return false;
  }
  if (edit) {
    // The records keep the way they make bytes, whatever the target's type
    // would choose.
    refhost::FileAttributes attributes;
    refhost::DecodeFileAttributes(info.host_attributes, &attributes);
    if (!attributes.records) {
      attributes.records = MappingOf(nullptr, KeyOfPath(source).type);
    }
    edit(&attributes);
    writer.SetAttributes(refhost::EncodeFileAttributes(attributes));
  } else {
    writer.SetAttributes(info.host_attributes);
  }
  st = writer.Close();
  if (st != 0) {
    session.Fail(Printable(target), *status = st);
    return false;
  }
  reader.Close();
  PrintDetail(what + " (" + std::to_string(records) +
              (records == 1 ? " record)" : " records)"));
  return true;
}

RecordMapping MappingOf(const refhost::FileAttributes* attributes,
                        std::string_view type) {
  if (attributes != nullptr && attributes->records) return *attributes->records;
  return IsBinaryType(type) ? RecordMapping::kChunks : RecordMapping::kLines;
}

void WarnTruncated(std::string_view what, const Transfer& transfer,
                   int32_t record_length, bool writing) {
  if (transfer.truncated == 0) return;
  std::string limit = " longer than the record length " +
                      std::to_string(record_length) + " and ";
  std::string text = Printable(what) + ": ";
  if (transfer.truncated == 1) {
    text += "record " + std::to_string(transfer.first_truncated) + " was" +
            limit + "was cut";
  } else {
    text += std::to_string(transfer.truncated) + " of " +
            std::to_string(transfer.records) + " records were" + limit +
            "were cut (the first: record " +
            std::to_string(transfer.first_truncated) + ")";
  }
  if (writing) text += "; give a larger lrecl=";
  PrintWarning(text);
}

}  // namespace cli
