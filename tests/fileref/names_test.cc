// Name resolution as the host sees it through the path name (slot 4) and
// validation (slot 7), and yxlznam's outputs as the opens receive them.

#include <cstring>
#include <string>

#include "fileref/fileref.h"
#include "support/module_fixture.h"

namespace {

class NamesTest : public ModuleTest {
 protected:
  // The path name of fileref, up to its NUL; the status goes to *status.
  std::string PathName(std::string_view fileref, int32_t* status) {
    std::string name = Name8(fileref);
    std::memset(buffer_, '#', sizeof buffer_);
    *status = slots().PathName(name.data(), buffer_);
    return std::string(buffer_, strnlen(buffer_, sizeof buffer_));
  }
  bool BufferUntouched() const {
    for (char c : buffer_) {
      if (c != '#') return false;
    }
    return true;
  }
  int32_t Validate(std::string_view fileref) {
    std::string name = Name8(fileref);
    return slots().Validate(name.data());
  }
  void ExpectMessage5() {
    ASSERT_EQ(host().substitutions().size(), 1u);
    EXPECT_EQ(host().substitutions()[0],
              refhost::Host::MessageText(566, 5) + std::string(1, '\0'));
  }

  char buffer_[1024];
};

TEST_F(NamesTest, FourLevelNameResolvesUpperCaseWithBlankFilledPath) {
  ASSERT_EQ(Assign("F", "work.cat.e1.log"), 0);
  fileref_node* node = nullptr;
  ASSERT_EQ(yxlzl2l("F       ", nullptr, &node, 0), 0);
  char libref[8], type[8];
  name_part catalog, entry;
  ASSERT_EQ(
      yxlznam(node->levels, kFormEntry, &node->parts[0], &node->parts[1],
              &node->parts[2], &node->parts[3], libref, &catalog, &entry, type),
      0);
  EXPECT_EQ(std::string(libref, 8), "WORK    ");
  EXPECT_EQ(std::string(catalog.text, catalog.length), "CAT");
  EXPECT_EQ(std::string(entry.text, entry.length), "E1");
  EXPECT_EQ(std::string(type, 8), "LOG     ");

  int32_t st;
  EXPECT_EQ(PathName("F", &st), "WORK.CAT.E1.LOG");
  EXPECT_EQ(st, 0);
  for (int i = 16; i < 1024; ++i) ASSERT_EQ(buffer_[i], ' ') << i;
  EXPECT_EQ(Validate("f"), 0);
  EXPECT_EQ(slots().Deassign("F       ", 0), 0);
}

TEST_F(NamesTest, EntryTypesDefaultAndAlias) {
  ASSERT_EQ(Assign("KOR", "work.cat.e1.kor"), 0);
  ASSERT_EQ(Assign("THREE", "LIB.CAT.E1"), 0);
  ASSERT_EQ(Assign("NOENTRY", "LIB.CAT..LOG"), 0);
  int32_t st;
  EXPECT_EQ(PathName("KOR", &st), "WORK.CAT.E1.SOURCE");
  EXPECT_EQ(PathName("THREE", &st), "LIB.CAT.E1.CATAMS");
  EXPECT_EQ(PathName("NOENTRY", &st), "LIB.CAT..LOG");
  EXPECT_EQ(st, 0);
  for (auto f : {"KOR", "THREE", "NOENTRY"}) {
    EXPECT_EQ(slots().Deassign(Name8(f).data(), 0), 0);
  }
}

TEST_F(NamesTest, LongLibrefOrTypeAndDirectoriesDoNotResolve) {
  ASSERT_EQ(Assign("LIB8", "ABCDEFGH.CAT.E.TYPE8XYZ"), 0);
  ASSERT_EQ(Assign("LIB9", "ABCDEFGHI.CAT.E.LOG"), 0);
  ASSERT_EQ(Assign("TYPE9", "LIB.CAT.E.TYPE9WXYZ"), 0);
  ASSERT_EQ(Assign("DIR", "LIB.CAT"), 0);
  int32_t st;
  EXPECT_EQ(PathName("LIB8", &st), "ABCDEFGH.CAT.E.TYPE8XYZ");
  EXPECT_EQ(st, 0);
  for (auto f : {"LIB9", "TYPE9", "DIR"}) {
    host().ClearMessages();
    PathName(f, &st);
    EXPECT_EQ(st, (int32_t)0x80000805) << f;
    EXPECT_TRUE(BufferUntouched()) << f;
    ExpectMessage5();
    host().ClearMessages();
    EXPECT_EQ(Validate(f), (int32_t)0x80000805) << f;
    ExpectMessage5();
  }

  host().ClearMessages();
  PathName("NONE", &st);
  EXPECT_EQ(st, (int32_t)0x80001004);
  EXPECT_TRUE(BufferUntouched());
  EXPECT_EQ(Validate("NONE"), (int32_t)0x80001004);
  EXPECT_TRUE(host().substitutions().empty());
  for (auto f : {"LIB8", "LIB9", "TYPE9", "DIR"}) {
    EXPECT_EQ(slots().Deassign(Name8(f).data(), 0), 0);
  }
}

TEST_F(NamesTest, NamesOfOneOrMoreThanFourLevelsAssignButNameNothing) {
  // The host's split reports one level, or none for more than four levels
  // or a level over 32 characters; the module does not look at its status,
  // so the assignment succeeds and every use of the fileref is refused.
  const std::string long_level(33, 'n');
  struct Case {
    const char* fileref;
    std::string physical;
    int32_t levels;
  };
  for (const Case& c : {Case{"ONE", "notes", 1}, Case{"FIVE", "a.b.c.d.e", 0},
                        Case{"LONG", "work." + long_level + ".e1", 0}}) {
    SCOPED_TRACE(c.fileref);
    ASSERT_EQ(Assign(c.fileref, c.physical), 0);
    std::string name = Name8(c.fileref);
    fileref_node* node = nullptr;
    ASSERT_EQ(yxlzl2l(name.data(), nullptr, &node, 0), 0);
    EXPECT_EQ(node->levels, c.levels);
    int32_t st;
    PathName(c.fileref, &st);
    EXPECT_EQ(st, (int32_t)0x80000805);
    EXPECT_EQ(slots().EntryExists(name.data(), 0), (int32_t)0x80000805);
    EXPECT_EQ(slots().Delete(name.data(), 0), (int32_t)0x80000805);
    host().ClearMessages();
    open_request request{};
    request.open_flags = kOpenOutput;
    file_handle* handle = nullptr;
    EXPECT_EQ(slots().Open(&handle, name.data(), 0, &request),
              (int32_t)0x80000805);
    EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 4));
    dir_handle* dir = nullptr;
    host().ClearMessages();
    EXPECT_EQ(slots().DirOpen(&dir, name.data(), 0), (int32_t)0x80000805);
    EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 2));
    EXPECT_EQ(slots().Deassign(name.data(), 0), 0);
  }
}

TEST_F(NamesTest, PartsNoSplitCouldGiveAreRefusedNotRead) {
  name_part parts[4] = {};
  for (auto& p : parts) {
    std::memset(p.text, 'a', sizeof p.text);
    p.length = 3;
  }
  char libref[8], type[8];
  name_part catalog, entry;
  for (int16_t bad : {(int16_t)-1, (int16_t)33, (int16_t)0x7FFF}) {
    for (int which : {1, 2}) {
      parts[which].length = bad;
      host().ClearMessages();
      EXPECT_EQ(yxlznam(4, kFormEntry, &parts[0], &parts[1], &parts[2],
                        &parts[3], libref, &catalog, &entry, type),
                (int32_t)0x80000805);
      ExpectMessage5();
      parts[which].length = 3;
    }
  }
  // The empty catalog is refused after all four names are written.
  parts[1].length = 0;
  EXPECT_EQ(yxlznam(4, kFormEntry, &parts[0], &parts[1], &parts[2], &parts[3],
                    libref, &catalog, &entry, type),
            (int32_t)0x80000805);
  EXPECT_EQ(std::string(libref, 8), "AAA     ");
  EXPECT_EQ(std::string(type, 8), "AAA     ");
  EXPECT_EQ(std::string(entry.text, 32), "AAA" + std::string(29, 'a'))
      << "only the first length characters are translated";
}

}  // namespace
