// Moving records between an open entry and bytes, shared by the commands
// that write (write, import) and read (read, export) and by the mount, and
// from one entry to another (CopyEntry: copy, rename and the mount's
// renames). An entry's records
// map to bytes as lines (each record a line without its newline) or as
// chunks (records back to back): binary types always take chunks, text
// takes lines, and a text whose longest line is beyond what a record holds
// takes chunks too. The host attributes say which, and whether the last
// line had a newline, so the bytes come back exactly. Records go through
// the entry's io_vector, the host's fast path, in both directions.
//
// The record length an entry is opened with holds its longest record, so
// nothing is cut unless the user asks for a length (lrecl=).

#ifndef VUVOROZO_CLI_RECORDS_H_
#define VUVOROZO_CLI_RECORDS_H_

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli/files/content.h"
#include "cli/session.h"
#include "refhost/host/file_attributes.h"

namespace cli {

// The longest record the program writes or lets a user ask for (lrecl=): a
// record is held whole in memory, by the module and by the host. A text
// with a longer line is kept as chunks of kTextChunkBytes.
inline constexpr int32_t kMaxRecordLength = 1 << 20;
inline constexpr int32_t kTextChunkBytes = 64 << 10;

// The record length an open for input asks for. The entry's own record
// length wins whenever it is longer; asking for one byte only matters for an
// entry whose records are all empty (or that has none): the module then
// settles a record length of 0 and makes no record buffer, and no read,
// not even the one that finds the end, could be made.
inline constexpr int32_t kInputRecordLength = 1;

// What the user's options change in how records are laid out.
struct RecordLayout {
  int32_t recfm = 0;    // RECFM bits; 0 when not given
  bool attr = false;    // ATTR: the lead byte is the caller's
  int32_t lrecl = 0;    // LRECL; 0 when not given
  bool append = false;  // MOD
  // From the block of the user's options (may be null).
  static RecordLayout Of(const option_block* options);
};

// The record length an open for output asks for so that records of up to
// longest bytes are kept whole: longest, plus the bytes the module places
// ahead of the data for the type and the layout (a carriage-control byte, a
// lead byte), and at least 1.
int32_t RequestLength(int64_t longest, std::string_view type,
                      const RecordLayout& layout);

struct Transfer {
  int32_t status = 0;           // 0, or the status that stopped the transfer
  int64_t records = 0;          // records moved
  int64_t truncated = 0;        // records cut to the record length
  int64_t first_truncated = 0;  // 1-based number of the first one cut
  int64_t bytes = 0;            // bytes of the file the records make
  // Writing only: the input changed between its two passes (a line longer
  // than the first pass found), or could not be read (the reason).
  bool input_changed = false;
  std::string input_error;
  // Reading only: the bytes the records gave disagree with the size or
  // hash the entry keeps of them (EntryBytes::Expect); the reason.
  std::string damage;

  // Whether every record moved as planned: no status stopped it, the input
  // was read whole and unchanged, and what was read is what was stored.
  bool whole() const {
    return status == 0 && !input_changed && input_error.empty() &&
           damage.empty();
  }
  // What went wrong with the input, when it did (status 0, not whole).
  std::string InputProblem() const {
    return input_changed ? "the input changed while it was read"
                         : "cannot read the input: " + input_error;
  }
};

// What a first pass over a text finds.
struct TextScan {
  int64_t size = 0;
  int64_t longest_line = 0;  // bytes, newline excluded
  bool final_newline = false;
};
// Scans the content; false with *error on a read error.
bool ScanText(const Content& content, TextScan* scan, std::string* error);

// How content goes into an entry.
struct WritePlan {
  refhost::RecordMapping mapping = refhost::RecordMapping::kLines;
  int64_t longest = INT64_MAX;  // lines: the longest the first pass found
  bool final_newline = false;   // lines: the content ends in a newline
  int32_t request_length = 0;   // the record length the open asks for
  // The record format bits that change the records' bytes (carriage
  // control, fixed length), which the entry's attributes keep so that
  // every reader reads the records as they were written.
  int32_t record_format = 0;
  // Fixed records that are padded: the bytes each record reads back as
  // (its stored length less the lead and control bytes); 0 otherwise.
  int64_t padded_record = 0;
};

// Plans writing content to an entry of type with the user's layout. kept
// is the mapping of an entry being appended to (none for new content):
// binary types take chunks of the default record length, text takes lines
// of its longest line, or chunks when a line is beyond kMaxRecordLength and
// no lrecl= asks for a cut. false with *error on a read error, or for a
// line beyond kMaxRecordLength that would go to an entry that keeps lines.
bool PlanWrite(const Content& content, std::string_view type,
               const RecordLayout& layout,
               std::optional<refhost::RecordMapping> kept, WritePlan* plan,
               std::string* error);

// True when the records give back exactly the bytes written under the
// layout, read with the record format the entry keeps and without ATTR,
// as every reader but one that asks for another reads them: fixed records
// that are padded do not.
bool KeepsBytes(std::string_view type, const RecordLayout& layout);

// Writes the content to the entry open for output, as lines or as chunks
// of entry.record_length() bytes. hash (may be null) receives every byte.
// planned_longest is the longest line the first pass found: a longer one
// means the content changed between the passes, and stops the transfer
// (input_changed). A read error stops it (input_error).
Transfer WriteRecords(EntryStream& entry, const Content& content,
                      refhost::RecordMapping mapping, int64_t planned_longest,
                      refhost::ContentHash* hash);

// What the attributes of an entry say its bytes are, when its records read
// back as the bytes written (fixed records that are padded do not).
struct ExpectedBytes {
  std::optional<int64_t> size;
  std::optional<uint64_t> hash;

  ExpectedBytes() = default;
  ExpectedBytes(const refhost::FileAttributes& attributes,
                std::string_view type);
  // Why the bytes read, as transfer counts them and *summed (when a hash
  // is expected) sums them, are not those written; empty when they are.
  std::string DamageOf(const Transfer& transfer,
                       refhost::ContentHash* summed) const;
};

// The bytes of an entry open for input: the records as lines (a newline
// after each record but the last, and after the last when final_newline)
// or as chunks, pulled a piece at a time (Next) or a record at a time
// (NextRecord), not both. What either gives points into the module's
// record buffer and stays valid until the next call.
class EntryBytes {
 public:
  EntryBytes(EntryStream& entry, refhost::RecordMapping mapping,
             bool final_newline)
      : entry_(entry),
        lines_(mapping == refhost::RecordMapping::kLines),
        final_newline_(final_newline) {}

  // Holds Next's read to the size and content hash the entry's attributes
  // keep (ExpectedBytes): bytes that disagree end the read with
  // transfer().damage. Call it before the first Next; only a read from
  // the first record to the last is held to them.
  void Expect(const refhost::FileAttributes& attributes, std::string_view type);

  // The next piece (it may be empty); false at the end of the entry, or
  // when a read failed (transfer().status) or found the bytes damaged
  // (transfer().damage).
  bool Next(const char** data, size_t* length);
  // The bytes the next record makes, with *newline when a newline goes
  // before them; after the last record of lines that end with a newline,
  // that newline with no bytes. false at the end of the entry, or when a
  // read failed (transfer().status). Not held to Expect: the caller sums
  // what it takes.
  bool NextRecord(const char** data, size_t* length, bool* newline);
  // Records read so far; status, truncation; bytes counts what was given.
  const Transfer& transfer() const { return transfer_; }

 private:
  void Verify();

  EntryStream& entry_;
  bool lines_;
  bool final_newline_;
  bool ended_ = false;
  const char* held_ = nullptr;  // a record whose newline went first
  size_t held_length_ = 0;
  Transfer transfer_;
  ExpectedBytes expected_;
  std::unique_ptr<refhost::ContentHash> hash_;
};

// Reads every record of the entry open for input into out, as EntryBytes
// gives them, held to *expect (may be null; EntryBytes::Expect) for an
// entry of type. A write error of out stops the transfer.
Transfer ReadRecords(EntryStream& entry, refhost::RecordMapping mapping,
                     bool final_newline, Output& out,
                     const refhost::FileAttributes* expect = nullptr,
                     std::string_view type = {});

// What WriteMember did.
struct MemberWrite {
  Transfer transfer;       // the records written
  int32_t status = 0;      // the open or close status that stopped it
  bool opened = false;     // the member was opened (its name was taken)
  std::string read_error;  // the content could not be read to plan it
  int32_t record_length = 0;
  // Whether the entry now holds the content.
  bool done() const {
    return read_error.empty() && status == 0 && transfer.whole();
  }
};

// Writes content as the new content of the member `key` of the open
// directory of the session: plans its records under the layout, opens the
// member for output (member is the text the open takes, hint gives the type;
// options may be null and goes to the open), writes the records and commits
// them with *attributes, which gain what the transfer found: the record
// mapping, the final newline, the size when the layout keeps the bytes and
// the content hash. On any failure the entry keeps the content it had.
MemberWrite WriteMember(Session& session, Directory& directory,
                        const EntryKey& key, std::string_view member,
                        const char* hint, const Content& content,
                        const RecordLayout& layout, OptionBlock* options,
                        refhost::FileAttributes* attributes);

// Copies the records of the entry source (LIBREF.CATALOG.NAME.TYPE as slot
// 4 gives it; info is what the host knows of it) into the entry target,
// record by record through the routine vector: the source open for input,
// the target for output with a record length that holds the source's
// longest record. The copy gets the source's description and host
// attributes, as they stand, or, with edit, decoded (a source without any
// starting from none, its records mapped by its type) and changed by edit.
// The target's content is replaced once the copy is whole. Reports a
// failure and returns false, the target as it was, with *status the status
// that stopped the copy (0 for a name the host cannot split).
bool CopyEntry(Session& session, const std::string& source,
               const refhost::EntryInfo& info, const std::string& target,
               const std::function<void(refhost::FileAttributes*)>& edit,
               int32_t* status);

// How the records of an entry make bytes: as its attributes say, else by
// its type.
refhost::RecordMapping MappingOf(const refhost::FileAttributes* attributes,
                                 std::string_view type);

// Prints the warning for records cut in a transfer of what (a name).
void WarnTruncated(std::string_view what, const Transfer& transfer,
                   int32_t record_length, bool writing);

}  // namespace cli

#endif  // VUVOROZO_CLI_RECORDS_H_
