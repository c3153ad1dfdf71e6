// Helpers for the entry tests: open requests, opening through slot 11,
// writing and reading whole entries through the routine vector or an
// io_vector, and reading back what the store holds.

#ifndef VUVOROZO_TESTS_ENTRY_ENTRY_FIXTURE_H_
#define VUVOROZO_TESTS_ENTRY_ENTRY_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "entry/entry.h"
#include "support/module_fixture.h"

class EntryTest : public ModuleTest {
 protected:
  // Filerefs a test leaves assigned are deassigned before the heap checks.
  void TearDown() override {
    std::vector<std::string> names;
    fileref_node* cursor = nullptr;
    char name[8];
    const char* display;
    int32_t display_length;
    while (slots().NextFileref(&cursor, name, 0, &display, &display_length) ==
           0) {
      names.emplace_back(name, 8);
    }
    for (const std::string& n : names) slots().Deassign(n.data(), 0);
    ModuleTest::TearDown();
  }

  static open_request Request(int32_t flags, int32_t length = 0,
                              int32_t recfm = 0,
                              option_block* options = nullptr) {
    open_request request{};
    request.open_flags = flags;
    request.recfm = recfm;
    request.record_length = length;
    request.options = options;
    return request;
  }

  int32_t Open(std::string_view fileref, open_request* request,
               file_handle** handle, int32_t token = 0) {
    std::string name = Name8(fileref);
    return slots().Open(handle, name.data(), token, request);
  }

  // Opens and expects success.
  file_handle* MustOpen(std::string_view fileref, int32_t flags,
                        int32_t length = 0, option_block* options = nullptr,
                        int32_t recfm = 0) {
    open_request request = Request(flags, length, recfm, options);
    file_handle* handle = nullptr;
    int32_t st = Open(fileref, &request, &handle);
    EXPECT_EQ(st, 0) << host().Explain(st);
    return handle;
  }

  int32_t Write(file_handle* handle, std::string_view data,
                char control = ' ') {
    return slots().Write(handle, data.data(), (int32_t)data.size(), control);
  }

  // One record read through slot 18 (or the routine given).
  struct ReadResult {
    int32_t status = 0;
    std::string data;
    char control = '?';
  };
  ReadResult Read(file_handle* handle, read_routine read = nullptr) {
    ReadResult r;
    char* data = nullptr;
    int32_t length = -1;
    r.status = read != nullptr
                   ? read(handle, &data, &length, &r.control)
                   : slots().Read(handle, &data, &length, &r.control);
    if (data != nullptr && length > 0) r.data.assign(data, (size_t)length);
    return r;
  }

  // Every record up to the end of the entry, through slot 18 or read.
  std::vector<std::string> ReadAll(file_handle* handle,
                                   read_routine read = nullptr) {
    std::vector<std::string> records;
    for (int i = 0; i < 100000; ++i) {
      ReadResult r = Read(handle, read);
      if (r.status == kStatusEndOfFile) break;
      EXPECT_EQ(r.status, 0) << "record " << i;
      if (r.status != 0) break;
      records.push_back(r.data);
    }
    return records;
  }

  // The records stored in WORK.CAT.<name>.<type>, or none.
  std::vector<refhost::StoredRecord> Stored(std::string_view name,
                                            std::string_view type) {
    auto entry = store().GetEntry("WORK", "CAT", name, type);
    if (!entry) return {};
    return entry->records;
  }

  void Seed(std::string_view name, std::string_view type,
            const std::vector<refhost::StoredRecord>& records,
            std::string_view description = "") {
    ASSERT_TRUE(
        store().PutEntry("WORK", "CAT", name, type, description, records).ok());
  }
};

inline refhost::StoredRecord Rec(std::string bytes, uint16_t kind = 145) {
  return refhost::StoredRecord{std::move(bytes), kind};
}

#endif  // VUVOROZO_TESTS_ENTRY_ENTRY_FIXTURE_H_
