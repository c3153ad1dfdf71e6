// Moving records between an open entry and bytes, shared by the commands
// that write (write, import) and read (read, export). Text entries hold one
// line a record, without its newline; binary entries hold chunks of the
// record length. Records go through the entry's io_vector, the host's fast
// path, in both directions.

#ifndef VUVOROZO_CLI_RECORDS_H_
#define VUVOROZO_CLI_RECORDS_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/session.h"

namespace cli {

// The record length an open for input asks for. The entry's own record
// length wins whenever it is longer; asking for one byte only matters for an
// entry whose records are all empty (or that has none): the module then
// settles a record length of 0 and makes no record buffer, and no read,
// not even the one that finds the end, could be made.
inline constexpr int32_t kInputRecordLength = 1;

struct Transfer {
  int32_t status = 0;           // 0, or the status that stopped the transfer
  int64_t records = 0;          // records moved
  int64_t truncated = 0;        // records cut to the record length
  int64_t first_truncated = 0;  // 1-based number of the first one cut
};

// Writes data to the entry open for output: lines for text (a last line
// without a newline is a record too), chunks of entry.record_length() bytes
// for binary.
Transfer WriteRecords(OpenEntry& entry, std::string_view data, bool binary);

// Reads every record of the entry open for input into out: each text record
// followed by a newline, binary records back to back. A write error of out
// stops the transfer with *out_failed set.
Transfer ReadRecords(OpenEntry& entry, bool binary, std::FILE* out,
                     bool* out_failed);

// Reads the whole of a stream; false on a read error.
bool ReadAll(std::FILE* in, std::string* data);

// Prints the warning for records cut in a transfer of what (a name).
void WarnTruncated(std::string_view what, const Transfer& transfer,
                   int32_t record_length, bool writing);

}  // namespace cli

#endif  // VUVOROZO_CLI_RECORDS_H_
