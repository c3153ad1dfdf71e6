// The existence test and the deletion of what a fileref names, through the
// routine vector: each opens the catalog's library for input for the one
// request and closes it again, whatever the request gave.

#include <cstring>
#include <string>
#include <vector>

#include "directory/directory_fixture.h"
#include "refhost/host/library_services.h"

namespace {

// Library open and close that pass each call on to the real services,
// keeping the open modes and tokens, and answering `open_answer` or
// `close_answer` in place of a 0.
struct FakeLibrary {
  static inline ylopen_routine real_open = nullptr;
  static inline ylclose_routine real_close = nullptr;
  static inline std::vector<int32_t> modes;
  static inline std::vector<int32_t> tokens;
  static inline int32_t open_answer = 0;
  static inline int32_t close_answer = 0;

  static int32_t Open(lib_open_request* request, uint32_t* library) {
    modes.push_back(request->open_mode);
    tokens.push_back(request->caller_token);
    int32_t st = real_open(request, library);
    return st == 0 ? open_answer : st;
  }
  static int32_t Close(uint32_t library, int32_t zero) {
    int32_t st = real_close(library, zero);
    return st == 0 ? close_answer : st;
  }

  static void Install(refhost::Host& host) {
    real_open = host.service(ylopen_service);
    real_close = host.service(ylclose_service);
    modes.clear();
    tokens.clear();
    open_answer = close_answer = 0;
    host.set_service(ylopen_service, &FakeLibrary::Open);
    host.set_service(ylclose_service, &FakeLibrary::Close);
  }
};

// A member find that keeps the names it was asked about.
struct FakeFind {
  static inline ylmfind_routine real = nullptr;
  static inline std::vector<std::string> asked;  // name.type
  static inline int32_t answer = 0;

  static int32_t Find(member_request* request) {
    asked.push_back(std::string(request->entry.text, request->entry.length) +
                    "." + std::string(request->entry_type, 8));
    return answer != 0 ? answer : real(request);
  }
  static void Install(refhost::Host& host) {
    real = host.service(ylmfind_service);
    asked.clear();
    answer = 0;
    host.set_service(ylmfind_service, &FakeFind::Find);
  }
};

class ExistenceTest : public DirectoryTest {
 protected:
  int32_t Exists(std::string_view fileref, int32_t token = 0) {
    return slots().EntryExists(Name8(fileref).data(), token);
  }
  int32_t Delete(std::string_view fileref, int32_t token = 0) {
    return slots().Delete(Name8(fileref).data(), token);
  }
};

TEST_F(ExistenceTest, TwoLevelFilerefExistsWhenItsCatalogOpens) {
  Seed("E1", "SOURCE");
  FakeLibrary::Install(host());
  ASSERT_EQ(Assign("CAT", "WORK.CAT"), 0);
  ASSERT_EQ(Assign("NOCAT", "WORK.NOSUCH"), 0);

  EXPECT_EQ(Exists("CAT", 31), 0);
  EXPECT_EQ(library().calls(ylmfind_service), 0);
  EXPECT_EQ(FakeLibrary::modes, std::vector<int32_t>{kLibModeRead});
  EXPECT_EQ(FakeLibrary::tokens, std::vector<int32_t>{31});

  // An absent catalog: the library open's status, and it was not created.
  EXPECT_EQ(Exists("NOCAT"), refhost::kLibNoSuchCatalog);
  EXPECT_FALSE(store().FindCatalog("WORK", "NOSUCH").ok());

  // The close's status is the result once the catalog opened.
  FakeLibrary::close_answer = 0x77;
  EXPECT_EQ(Exists("CAT"), 0x77);
  EXPECT_EQ(library().open_libraries(), 0);

  EXPECT_EQ(Deassign("CAT"), 0);
  EXPECT_EQ(Deassign("NOCAT"), 0);
}

TEST_F(ExistenceTest, EntryFilerefsAreTestedByNameAndResolvedType) {
  Seed("E1", "LOG");
  Seed("E1", "SOURCE");
  Seed("E3", "CATAMS");
  FakeFind::Install(host());
  ASSERT_EQ(Assign("F4", "WORK.CAT.e1.log"), 0);
  ASSERT_EQ(Assign("FKOR", "work.cat.E1.kor"), 0);
  ASSERT_EQ(Assign("F3", "WORK.CAT.E3"), 0);
  ASSERT_EQ(Assign("GONE", "WORK.CAT.E2.DATA"), 0);

  EXPECT_EQ(Exists("F4"), 0);
  EXPECT_EQ(Exists("FKOR"), 0);
  EXPECT_EQ(Exists("F3"), 0);
  EXPECT_EQ(FakeFind::asked, (std::vector<std::string>{
                                 "E1.LOG     ", "E1.SOURCE  ", "E3.CATAMS  "}));

  host().ClearMessages();
  EXPECT_EQ(Exists("GONE"), kStatusNoSuchEntry);
  EXPECT_EQ(
      host().substitutions(),
      (std::vector<std::string>{std::string("\x08\0\0\0", 4), "DATA    "}));
  EXPECT_EQ(library().open_libraries(), 0);

  // Any other answer of the find comes back as it came, unsubstituted.
  host().ClearMessages();
  FakeFind::answer = (int32_t)0x8001C0AC;
  EXPECT_EQ(Exists("F4"), (int32_t)0x8001C0AC);
  EXPECT_TRUE(host().substitutions().empty());
  EXPECT_EQ(library().open_libraries(), 0);

  for (const char* name : {"F4", "FKOR", "F3", "GONE"})
    EXPECT_EQ(Deassign(name), 0);
}

TEST_F(ExistenceTest, UnassignedOrUnresolvedFilerefsOpenNothing) {
  ASSERT_EQ(Assign("LONGLIB", "LIBRARY09.CAT.E1.LOG"), 0);
  EXPECT_EQ(Exists("NONE"), kStatusNotAssigned);
  EXPECT_EQ(Delete("NONE"), kStatusNotAssigned);
  EXPECT_EQ(Exists("LONGLIB"), kStatusRefused);
  EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 5));
  EXPECT_EQ(library().calls(ylopen_service), 0);
  EXPECT_EQ(Deassign("LONGLIB"), 0);
}

TEST_F(ExistenceTest, WarningFromTheLibraryOpenDoesNotLeaveTheLibraryOpen) {
  Seed("E1", "LOG");
  FakeLibrary::Install(host());
  FakeLibrary::open_answer = 0x55;
  ASSERT_EQ(Assign("F4", "WORK.CAT.E1.LOG"), 0);
  ASSERT_EQ(Assign("CAT", "WORK.CAT"), 0);
  EXPECT_EQ(Exists("F4"), 0x55);
  EXPECT_EQ(Exists("CAT"), 0x55);
  EXPECT_EQ(Delete("F4"), 0x55);
  EXPECT_EQ(library().open_libraries(), 0);
  EXPECT_EQ(library().calls(ylmdel_service), 0);
  EXPECT_TRUE(Stored("E1", "LOG"));
  EXPECT_EQ(Deassign("F4"), 0);
  EXPECT_EQ(Deassign("CAT"), 0);
}

TEST_F(ExistenceTest, DeletionRemovesTheEntryAndPassesHostStatusesOn) {
  Seed("E1", "LOG");
  Seed("E1", "SOURCE");
  Seed("E3", "CATAMS");
  FakeLibrary::Install(host());
  ASSERT_EQ(Assign("F4", "WORK.CAT.E1.LOG"), 0);
  ASSERT_EQ(Assign("F3", "WORK.CAT.e3"), 0);
  ASSERT_EQ(Assign("CAT", "WORK.CAT"), 0);

  EXPECT_EQ(Delete("F4", 42), 0);
  EXPECT_FALSE(Stored("E1", "LOG"));
  EXPECT_TRUE(Stored("E1", "SOURCE"));
  // Input mode, and the caller's token goes to the library open.
  EXPECT_EQ(FakeLibrary::modes, std::vector<int32_t>{kLibModeRead});
  EXPECT_EQ(FakeLibrary::tokens, std::vector<int32_t>{42});
  EXPECT_EQ(Delete("F3"), 0);
  EXPECT_FALSE(Stored("E3", "CATAMS"));

  // Absent now: the host's own status, not the existence test's.
  host().ClearMessages();
  EXPECT_EQ(Delete("F4"), kHostNoSuchEntry);
  EXPECT_TRUE(host().substitutions().empty());
  EXPECT_EQ(library().open_libraries(), 0);

  // A catalog is not an entry: refused before anything is opened.
  FakeLibrary::modes.clear();
  EXPECT_EQ(Delete("CAT"), kStatusRefused);
  EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 5));
  EXPECT_TRUE(FakeLibrary::modes.empty());

  // A close that fails after the deletion is the result.
  Seed("E1", "LOG");
  FakeLibrary::close_answer = (int32_t)0x8001C0AD;
  EXPECT_EQ(Delete("F4"), (int32_t)0x8001C0AD);
  EXPECT_FALSE(Stored("E1", "LOG"));

  for (const char* name : {"F4", "F3", "CAT"}) EXPECT_EQ(Deassign(name), 0);
}

}  // namespace
