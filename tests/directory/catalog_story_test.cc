// A catalog's life through the routine vector, as a host drives it: entries
// of several types written through a directory and through entry filerefs,
// walked, tested, read back, deleted and walked again, with every open
// count back where it started.

#include <string>
#include <vector>

#include "directory/directory_fixture.h"

namespace {

class CatalogStoryTest : public DirectoryTest {
 protected:
  // Writes lines to member text of dir, opened for output with hint.
  void WriteMember(dir_handle* dir, std::string_view text, const char* hint,
                   const std::vector<std::string>& lines) {
    open_request request{};
    request.open_flags = kOpenOutput;
    request.record_length = 80;
    file_handle* member = nullptr;
    ASSERT_EQ(OpenMember(&member, dir, text, hint, 0, &request), 0);
    WriteLines(member, lines);
    ASSERT_EQ(slots().MemberClose(member), 0);
  }

  std::vector<std::string> ReadMember(dir_handle* dir, std::string_view text,
                                      const char* hint) {
    open_request request{};
    request.open_flags = kOpenInput;
    request.record_length = 80;
    file_handle* member = nullptr;
    EXPECT_EQ(OpenMember(&member, dir, text, hint, 0, &request), 0);
    if (member == nullptr) return {};
    std::vector<std::string> lines = ReadLines(member);
    EXPECT_EQ(slots().MemberClose(member), 0);
    return lines;
  }

  int32_t MemberExists(dir_handle* dir, std::string_view text,
                       const char* default_type) {
    return slots().MemberExists(
        dir, text.data(), static_cast<int32_t>(text.size()), default_type);
  }
};

TEST_F(CatalogStoryTest, WriteWalkTestReadDeleteAndWalkAgain) {
  // One entry written through an entry fileref, the rest through the
  // directory, by hint and by explicit type.
  ASSERT_EQ(Assign("MAIN", "WORK.PROJ.MAIN.KOR"), 0);
  file_handle* entry = nullptr;
  open_request request{};
  request.open_flags = kOpenOutput;
  request.record_length = 80;
  ASSERT_EQ(slots().Open(&entry, Name8("MAIN").data(), 0, &request), 0);
  WriteLines(entry, {"program main", "end"});
  ASSERT_EQ(slots().Close(entry), 0);

  dir_handle* dir = OpenDirectory("PROJ", "WORK.PROJ");
  ASSERT_NE(dir, nullptr);
  WriteMember(dir, "run1", "LOG", {"started", "finished"});
  WriteMember(dir, "index", "HTML", {"<html>", "</html>"});
  WriteMember(dir, "report", "LISTING", {"page 1"});
  WriteMember(dir, "data.csv", "LOG", {"a,b", "1,2"});
  WriteMember(dir, "blob", "BINARY", {"raw"});

  using E = NameAndType;
  const std::vector<E> all = {{"BLOB", "CATAMS  "},   {"DATA", "CSV     "},
                              {"INDEX", "HTML    "},  {"MAIN", "SOURCE  "},
                              {"REPORT", "OUTPUT  "}, {"RUN1", "LOG     "}};
  int32_t end = 0;
  EXPECT_EQ(Walk(dir, &end), all);
  EXPECT_EQ(end, kStatusEndOfList);

  EXPECT_EQ(MemberExists(dir, "main", "SOURCE  "), 0);
  EXPECT_EQ(MemberExists(dir, "main.kor", "DATA    "), 0);
  EXPECT_EQ(MemberExists(dir, "run1", "DATA    "), kHostNoSuchEntry);
  EXPECT_EQ(MemberExists(dir, "run1.log", "DATA    "), 0);

  EXPECT_EQ(ReadMember(dir, "main", "KOR"),
            (std::vector<std::string>{"program main", "end"}));
  EXPECT_EQ(ReadMember(dir, "run1", "LOG"),
            (std::vector<std::string>{"started", "finished"}));
  EXPECT_EQ(ReadMember(dir, "data.csv", "HTML"),
            (std::vector<std::string>{"a,b", "1,2"}));
  EXPECT_EQ(ReadMember(dir, "report.output", "CSV"),
            (std::vector<std::string>{"page 1"}));

  // Delete through entry filerefs, one made like the catalog's fileref.
  ASSERT_EQ(slots().AssignLike(Name8("RUN1").data(), 0, "VUVOROZO", "PROJ", 4,
                               "run1.log", 8, nullptr),
            0);
  ASSERT_EQ(Assign("BLOB", "WORK.PROJ.BLOB"), 0);
  EXPECT_EQ(slots().EntryExists(Name8("RUN1").data(), 0), 0);
  EXPECT_EQ(slots().Delete(Name8("RUN1").data(), 0), 0);
  EXPECT_EQ(slots().Delete(Name8("BLOB").data(), 0), 0);
  EXPECT_EQ(slots().EntryExists(Name8("RUN1").data(), 0), kStatusNoSuchEntry);
  EXPECT_EQ(slots().EntryExists(Name8("PROJ").data(), 0), 0);

  EXPECT_EQ(Walk(dir), (std::vector<E>{all[1], all[2], all[3], all[4]}));

  EXPECT_EQ(Node("PROJ")->open_count, 1);
  EXPECT_EQ(slots().DirClose(dir), 0);
  for (const char* name : {"MAIN", "PROJ", "RUN1", "BLOB"}) {
    EXPECT_EQ(Node(name)->open_count, 0) << name;
    EXPECT_EQ(Deassign(name), 0);
  }
}

TEST_F(CatalogStoryTest, CatalogFilerefOptionsReachItsMembers) {
  // MOD on the catalog's fileref turns every member output into an append.
  ASSERT_EQ(Assign("PROJ", "WORK.PROJ", Options("MOD")), 0);
  dir_handle* dir = nullptr;
  ASSERT_EQ(slots().DirOpen(&dir, Name8("PROJ").data(), 0), 0);
  WriteMember(dir, "run1", "LOG", {"first"});
  WriteMember(dir, "run1", "LOG", {"second"});
  EXPECT_EQ(ReadMember(dir, "run1", "LOG"),
            (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("PROJ"), 0);
}

TEST_F(CatalogStoryTest, DirectoryWrittenInLowerCaseReachesTheSameCatalog) {
  // The directory open sends the libref and catalog as the user wrote them;
  // the host's catalog names do not depend on case.
  ASSERT_EQ(Assign("E1", "work.proj.e1.html"), 0);
  file_handle* entry = nullptr;
  open_request request{};
  request.open_flags = kOpenOutput;
  ASSERT_EQ(slots().Open(&entry, Name8("E1").data(), 0, &request), 0);
  WriteLines(entry, {"<p>"});
  ASSERT_EQ(slots().Close(entry), 0);

  dir_handle* dir = OpenDirectory("PROJ", "work.proj");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(Walk(dir), (std::vector<NameAndType>{{"E1", "HTML    "}}));
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("PROJ"), 0);
  EXPECT_EQ(Deassign("E1"), 0);
}

}  // namespace
