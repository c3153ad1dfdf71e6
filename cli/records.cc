// Record transfer through an entry's io_vector. A record the module cuts
// to the record length (status 4105) is counted, not fatal: the rest of the
// records still move and the command ends with the truncation exit code.

#include "cli/records.h"

#include <algorithm>

namespace cli {
namespace {

// Writes one record; a cut record is counted, an error stops the transfer.
// Any other condition the host reports is a warning and the record went.
bool WriteOne(OpenEntry& entry, const char* data, size_t length,
              Transfer* transfer) {
  int32_t st = entry.vector()->write(entry.handle(), data,
                                     static_cast<int32_t>(length), ' ');
  ++transfer->records;
  if (st == kStatusTruncated) {
    if (transfer->truncated++ == 0)
      transfer->first_truncated = transfer->records;
    return true;
  }
  if (st < 0) {
    transfer->status = st;
    return false;
  }
  return true;
}

}  // namespace

Transfer WriteRecords(OpenEntry& entry, std::string_view data, bool binary) {
  Transfer transfer;
  if (binary) {
    size_t chunk = static_cast<size_t>(std::max(entry.record_length(), 0));
    if (chunk == 0) {
      transfer.status = kStatusNoRecordBuffer;
      return transfer;
    }
    for (size_t at = 0; at < data.size(); at += chunk) {
      size_t n = std::min(chunk, data.size() - at);
      if (!WriteOne(entry, data.data() + at, n, &transfer)) break;
    }
    return transfer;
  }
  size_t at = 0;
  while (at < data.size()) {
    size_t newline = data.find('\n', at);
    size_t end = newline == std::string_view::npos ? data.size() : newline;
    if (!WriteOne(entry, data.data() + at, end - at, &transfer)) break;
    at = end + 1;
  }
  return transfer;
}

Transfer ReadRecords(OpenEntry& entry, bool binary, std::FILE* out,
                     bool* out_failed) {
  Transfer transfer;
  *out_failed = false;
  while (true) {
    char* data = nullptr;
    int32_t length = 0;
    int32_t st = entry.vector()->read(entry.handle(), &data, &length, nullptr);
    if (st == kStatusEndOfFile) break;
    if (st < 0) {
      transfer.status = st;
      break;
    }
    ++transfer.records;
    if (st == kStatusTruncated && transfer.truncated++ == 0) {
      transfer.first_truncated = transfer.records;
    }
    size_t n = data == nullptr || length < 0 ? 0 : static_cast<size_t>(length);
    if ((n > 0 && std::fwrite(data, 1, n, out) != n) ||
        (!binary && std::fputc('\n', out) == EOF)) {
      *out_failed = true;
      break;
    }
  }
  return transfer;
}

bool ReadAll(std::FILE* in, std::string* data) {
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
    data->append(buffer, n);
  }
  return std::ferror(in) == 0;
}

void WarnTruncated(std::string_view what, const Transfer& transfer,
                   int32_t record_length, bool writing) {
  if (transfer.truncated == 0) return;
  std::string limit = " longer than the record length " +
                      std::to_string(record_length) + " and ";
  std::string text = "warning: " + std::string(what) + ": ";
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
  PrintError(text);
}

}  // namespace cli
