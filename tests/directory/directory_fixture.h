// Helpers shared by the directory tests: seeding a catalog in the host's
// store, opening it as a directory through the routine vector, walking it,
// and opening members as a host does.

#ifndef VUVOROZO_TESTS_DIRECTORY_DIRECTORY_FIXTURE_H_
#define VUVOROZO_TESTS_DIRECTORY_DIRECTORY_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "directory/directory.h"
#include "support/module_fixture.h"

class DirectoryTest : public ModuleTest {
 protected:
  using NameAndType = std::pair<std::string, std::string>;

  // Puts an entry with text records into WORK.CAT (or the catalog given).
  void Seed(std::string_view name, std::string_view type,
            const std::vector<std::string>& lines = {"line"},
            std::string_view catalog = "CAT") {
    std::vector<refhost::StoredRecord> records;
    for (const std::string& line : lines) records.push_back({line, kKindText});
    ASSERT_TRUE(
        store().PutEntry("WORK", catalog, name, type, "", records).ok());
  }

  bool Stored(std::string_view name, std::string_view type,
              std::string_view catalog = "CAT") {
    return store().GetEntry("WORK", catalog, name, type).has_value();
  }

  // Assigns fileref to physical and opens it as a directory; expects 0.
  dir_handle* OpenDirectory(std::string_view fileref = "DIR",
                            std::string_view physical = "WORK.CAT") {
    EXPECT_EQ(Assign(fileref, physical), 0);
    dir_handle* dir = nullptr;
    std::string name = Name8(fileref);
    EXPECT_EQ(slots().DirOpen(&dir, name.data(), 0), 0);
    return dir;
  }

  // Walks the directory to its end; every call but the last returns 0.
  std::vector<NameAndType> Walk(dir_handle* dir, int32_t* end = nullptr) {
    std::vector<NameAndType> entries;
    uint32_t stream = 0;
    for (;;) {
      char name[32];
      char type[8];
      int32_t length = -1;
      int32_t st = slots().DirNext(&stream, dir, name, &length, type);
      if (st != 0) {
        if (end != nullptr) *end = st;
        break;
      }
      entries.emplace_back(std::string(name, length), std::string(type, 8));
    }
    return entries;
  }

  // Opens member text of dir with the hint and open flags given.
  int32_t OpenMember(file_handle** member, dir_handle* dir,
                     std::string_view text, const char* hint,
                     int32_t open_flags, open_request* request = nullptr) {
    open_request local{};
    if (request == nullptr) request = &local;
    if (request->open_flags == 0) request->open_flags = open_flags;
    return slots().MemberOpen(member, dir, text.data(),
                              static_cast<int32_t>(text.size()), hint, request);
  }

  int32_t Deassign(std::string_view fileref) {
    std::string name = Name8(fileref);
    return slots().Deassign(name.data(), 0);
  }

  fileref_node* Node(std::string_view fileref) {
    std::string name = Name8(fileref);
    fileref_node* node = nullptr;
    EXPECT_EQ(yxlzl2l(name.data(), nullptr, &node, 0), 0);
    return node;
  }

  // Writes lines to an open member, each as one record.
  void WriteLines(file_handle* member, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
      ASSERT_EQ(slots().Write(member, line.data(),
                              static_cast<int32_t>(line.size()), ' '),
                0);
    }
  }

  // Reads an open member to its end.
  std::vector<std::string> ReadLines(file_handle* member) {
    std::vector<std::string> lines;
    for (;;) {
      char* data = nullptr;
      int32_t length = 0;
      int32_t st = slots().Read(member, &data, &length, nullptr);
      if (st == kStatusEndOfFile) break;
      EXPECT_EQ(st, 0);
      if (st != 0) break;
      lines.emplace_back(data, length);
    }
    return lines;
  }

  static std::string Type8(std::string_view type) { return Name8(type); }
};

#endif  // VUVOROZO_TESTS_DIRECTORY_DIRECTORY_FIXTURE_H_
