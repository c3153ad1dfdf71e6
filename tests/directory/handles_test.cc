// Directory handles through the routine vector: the open of a two-level
// fileref's catalog (update first, input when update is refused), the walk
// with the caller's stream word, the member existence test and the close.

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "directory/directory_fixture.h"
#include "refhost/host/library_services.h"

namespace {

// A library open that records what each call carried, refuses the modes it
// is told to refuse and otherwise passes the call on to the real service,
// returning `answer` in place of its 0.
struct FakeOpen {
  static inline ylopen_routine real = nullptr;
  static inline std::vector<lib_open_request> requests;
  static inline int32_t refuse_update = 0;  // status for mode 8, or 0
  static inline int32_t refuse_read = 0;    // status for mode 1, or 0
  static inline int32_t answer = 0;

  static int32_t Open(lib_open_request* request, uint32_t* library) {
    requests.push_back(*request);
    if (request->open_mode == kLibModeUpdate && refuse_update != 0)
      return refuse_update;
    if (request->open_mode == kLibModeRead && refuse_read != 0)
      return refuse_read;
    int32_t st = real(request, library);
    return st == 0 ? answer : st;
  }

  static void Install(refhost::Host& host) {
    real = host.service(ylopen_service);
    requests.clear();
    refuse_update = refuse_read = answer = 0;
    host.set_service(ylopen_service, &FakeOpen::Open);
  }
};

// A directory read that answers with a chosen record or status.
struct FakeRead {
  static inline int32_t status = 0;
  static inline directory_entry_record record{};

  static int32_t Read(uint32_t, directory_entry_record* entry, int32_t) {
    if (status == 0) *entry = record;
    return status;
  }
};

// A member find that keeps the request it was given.
struct FakeFind {
  static inline member_request seen{};
  static int32_t Find(member_request* request) {
    seen = *request;
    return 0;
  }
};

constexpr int32_t kRefused = (int32_t)0x8001C0AA;

class HandlesTest : public DirectoryTest {};

TEST_F(HandlesTest, OpenRefusesFilerefsThatDoNotNameACatalog) {
  ASSERT_EQ(Assign("E4", "WORK.CAT.E1.SOURCE"), 0);
  ASSERT_EQ(Assign("E3", "WORK.CAT.E1"), 0);
  ASSERT_EQ(Assign("E1", "WORK"), 0);
  const std::string message = refhost::Host::MessageText(566, 2);
  for (const char* name : {"E4", "E3", "E1"}) {
    SCOPED_TRACE(name);
    dir_handle* dir = reinterpret_cast<dir_handle*>(0x5A5A);
    host().ClearMessages();
    EXPECT_EQ(slots().DirOpen(&dir, Name8(name).data(), 0), kStatusRefused);
    EXPECT_EQ(dir, reinterpret_cast<dir_handle*>(0x5A5A));
    // The text goes to the host without a terminator.
    ASSERT_EQ(host().substitutions().size(), 1u);
    EXPECT_EQ(host().substitutions()[0], message);
    EXPECT_EQ(Node(name)->open_count, 0);
  }

  dir_handle* dir = nullptr;
  EXPECT_EQ(slots().DirOpen(&dir, Name8("NONE").data(), 0), kStatusNotAssigned);
  EXPECT_EQ(dir, nullptr);
  EXPECT_EQ(library().calls(ylopen_service), 0);
  for (const char* name : {"E4", "E3", "E1"}) EXPECT_EQ(Deassign(name), 0);
}

TEST_F(HandlesTest, OpenTakesTheCatalogForUpdateAndCountsOnTheFileref) {
  Seed("E1", "SOURCE");
  FakeOpen::Install(host());
  ASSERT_EQ(Assign("DIR", "WORK.CAT"), 0);
  dir_handle* dir = nullptr;
  // The name is looked up (and kept) in upper case.
  ASSERT_EQ(slots().DirOpen(&dir, Name8("dir").data(), 77), 0);
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(std::string(dir->head.fileref, 8), "DIR     ");
  EXPECT_EQ(Node("DIR")->open_count, 1);
  EXPECT_EQ(library().open_libraries(), 1);

  ASSERT_EQ(FakeOpen::requests.size(), 1u);
  lib_open_request expected{};
  memcpy(expected.libref, "WORK    ", 8);
  expected.catalog.length = 3;
  memcpy(expected.catalog.text, "CAT", 3);
  expected.open_mode = kLibModeUpdate;
  expected.caller_token = 77;
  lib_open_request sent = FakeOpen::requests[0];
  // The catalog name_part is sent whole, positions beyond its length as the
  // fileref's node holds them.
  memcpy(expected.catalog.text + 3, Node("DIR")->parts[3].text + 3, 29);
  EXPECT_EQ(memcmp(&sent, &expected, sizeof(sent)), 0);

  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Node("DIR")->open_count, 0);
  EXPECT_EQ(library().open_libraries(), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(HandlesTest, OpenFallsBackToInputWhenUpdateIsRefused) {
  Seed("E1", "SOURCE");
  FakeOpen::Install(host());
  FakeOpen::refuse_update = kRefused;
  dir_handle* dir = OpenDirectory();
  ASSERT_NE(dir, nullptr);
  ASSERT_EQ(FakeOpen::requests.size(), 2u);
  EXPECT_EQ(FakeOpen::requests[0].open_mode, kLibModeUpdate);
  EXPECT_EQ(FakeOpen::requests[1].open_mode, kLibModeRead);
  // The second request is built afresh, not left over from the first.
  lib_open_request first = FakeOpen::requests[0];
  first.open_mode = kLibModeRead;
  EXPECT_EQ(memcmp(&first, &FakeOpen::requests[1], sizeof(first)), 0);
  EXPECT_EQ(Walk(dir).size(), 1u);
  EXPECT_EQ(slots().DirClose(dir), 0);

  // Both refused: the input open's status, nothing left allocated.
  FakeOpen::requests.clear();
  FakeOpen::refuse_read = kRefused + 1;
  dir = reinterpret_cast<dir_handle*>(0x77);
  EXPECT_EQ(slots().DirOpen(&dir, Name8("DIR").data(), 0), kRefused + 1);
  EXPECT_EQ(dir, reinterpret_cast<dir_handle*>(0x77));
  EXPECT_EQ(FakeOpen::requests.size(), 2u);
  EXPECT_EQ(Node("DIR")->open_count, 0);
  EXPECT_EQ(LiveModuleBlocks(), 1);  // the fileref's node
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(HandlesTest, WarningFromTheLibraryOpenStillOpensTheDirectory) {
  Seed("E1", "SOURCE");
  FakeOpen::Install(host());
  FakeOpen::answer = 0x123;
  dir_handle* dir = OpenDirectory();
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(FakeOpen::requests.size(), 1u);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(HandlesTest, WalkHandsOutEachEntryAsTheHostDeliversItThenEnds) {
  const std::string long_name(32, 'N');
  Seed("ALPHA", "SOURCE");
  Seed(long_name, "LOG");
  dir_handle* dir = OpenDirectory();

  uint32_t stream = 0;
  char name[40];
  char type[8];
  int32_t length = 0;
  memset(name, '#', sizeof(name));
  ASSERT_EQ(slots().DirNext(&stream, dir, name, &length, type), 0);
  EXPECT_NE(stream, 0u);
  EXPECT_EQ(std::string(name, length), "ALPHA");
  EXPECT_EQ(std::string(type, 8), "SOURCE  ");
  EXPECT_EQ(library().open_streams(), 1);

  memset(name, '#', sizeof(name));
  ASSERT_EQ(slots().DirNext(&stream, dir, name, &length, type), 0);
  EXPECT_EQ(length, 32);
  EXPECT_EQ(std::string(name, 32), long_name);
  EXPECT_EQ(name[32], '#') << "no terminator after a 32-character name";
  EXPECT_EQ(std::string(type, 8), "LOG     ");

  // At the end the outputs are not written and the stream is ended.
  length = -7;
  EXPECT_EQ(slots().DirNext(&stream, dir, name, &length, type),
            kStatusEndOfList);
  EXPECT_EQ(length, -7);
  EXPECT_EQ(library().open_streams(), 0);

  // The caller sets the word to 0 again for a new walk.
  EXPECT_EQ(Walk(dir).size(), 2u);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(HandlesTest, WalkOfAnEmptyCatalogEndsAtOnce) {
  ASSERT_TRUE(store().CreateCatalog("WORK", "EMPTY").ok());
  dir_handle* dir = OpenDirectory("DIR", "WORK.EMPTY");
  int32_t end = 0;
  EXPECT_TRUE(Walk(dir, &end).empty());
  EXPECT_EQ(end, kStatusEndOfList);
  EXPECT_EQ(library().calls(yldclos_service), 1);
  EXPECT_EQ(library().open_streams(), 0);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(HandlesTest, WalkPassesOnHostFailuresAndEndsTheStream) {
  Seed("E1", "SOURCE");
  dir_handle* dir = OpenDirectory();

  FakeRead::status = kRefused;
  std::optional<ScopedService> fake_read;
  fake_read.emplace(host(), yldread_service, &FakeRead::Read);
  int32_t end = 0;
  EXPECT_TRUE(Walk(dir, &end).empty());
  EXPECT_EQ(end, kRefused);
  EXPECT_EQ(library().open_streams(), 0);

  // A name length the host reports beyond 32 is held to the caller's 32
  // characters; a negative one gives an empty name.
  FakeRead::status = 0;
  FakeRead::record = {};
  FakeRead::record.name_length = 40;
  memset(FakeRead::record.name, 'Q', 32);
  memcpy(FakeRead::record.entry_type, "DATA    ", 8);
  uint32_t stream = 0;
  char name[40];
  char type[8];
  int32_t length = 0;
  memset(name, '#', sizeof(name));
  ASSERT_EQ(slots().DirNext(&stream, dir, name, &length, type), 0);
  EXPECT_EQ(length, 32);
  EXPECT_EQ(name[32], '#');
  FakeRead::record.name_length = -3;
  ASSERT_EQ(slots().DirNext(&stream, dir, name, &length, type), 0);
  EXPECT_EQ(length, 0);

  // A stream the host will not start is passed on; no stream remains.
  fake_read.reset();
  stream = 0;
  EXPECT_EQ(slots().DirClose(dir), 0);  // ends the stream left above
  dir = OpenDirectory("DIR2");
  ScopedService refuse(
      host(), yldopen_service,
      [](uint32_t, const char*, int32_t, uint32_t*) { return kRefused; });
  EXPECT_EQ(slots().DirNext(&stream, dir, name, &length, type), kRefused);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
  EXPECT_EQ(Deassign("DIR2"), 0);
}

TEST_F(HandlesTest, CloseEndsAWalkGivenUpBeforeItsEnd) {
  Seed("E1", "SOURCE");
  Seed("E2", "SOURCE");
  dir_handle* dir = OpenDirectory();
  uint32_t stream = 0;
  char name[32];
  char type[8];
  int32_t length = 0;
  ASSERT_EQ(slots().DirNext(&stream, dir, name, &length, type), 0);
  EXPECT_EQ(library().open_streams(), 1);
  // The module leaves the stream to the library close.
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(library().calls(yldclos_service), 0);
  EXPECT_EQ(library().open_streams(), 0);
  EXPECT_EQ(library().open_libraries(), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(HandlesTest, CloseIsRefusedWhileAMemberBorrowsTheLibrary) {
  Seed("E1", "SOURCE");
  dir_handle* dir = OpenDirectory();
  file_handle* member = nullptr;
  ASSERT_EQ(OpenMember(&member, dir, "new", "LOG", kOpenOutput), 0);
  EXPECT_EQ(Node("DIR")->open_count, 2);

  EXPECT_EQ(slots().DirClose(dir), kStatusMembersOpen);
  EXPECT_EQ(library().calls(ylclose_service), 0);
  EXPECT_EQ(Node("DIR")->open_count, 2);
  // The directory and the member both go on working.
  EXPECT_EQ(Walk(dir).size(), 1u);
  WriteLines(member, {"first", "second"});

  EXPECT_EQ(slots().MemberClose(member), 0);
  EXPECT_EQ(Node("DIR")->open_count, 1);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Node("DIR")->open_count, 0);
  EXPECT_TRUE(Stored("NEW", "LOG"));
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(HandlesTest, FilerefDeassignedWhileOpenLivesUntilTheDirectoryCloses) {
  Seed("E1", "SOURCE");
  dir_handle* dir = OpenDirectory();
  EXPECT_EQ(Deassign("DIR"), 0);
  EXPECT_EQ(LiveModuleBlocks(), 2);  // the directory and the detached node
  EXPECT_EQ(Walk(dir).size(), 1u);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(LiveModuleBlocks(), 0);
}

TEST_F(HandlesTest, MemberExistsLooksForTheNamedOrDefaultType) {
  Seed("PROG", "SOURCE");
  Seed("PROG", "DATA");
  dir_handle* dir = OpenDirectory();
  char default_type[8];
  memcpy(default_type, "DATA    ", 8);

  struct Case {
    const char* text;
    int32_t status;
  } cases[] = {
      {"prog.kor", 0},                 // PROG of type SOURCE
      {"prog", 0},                     // PROG of the default type
      {"Prog.Source", 0},              // upper-cased
      {"prog.log", kHostNoSuchEntry},  // absent: the host's status
      {"other", kHostNoSuchEntry},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    host().ClearMessages();
    EXPECT_EQ(
        slots().MemberExists(dir, c.text, static_cast<int32_t>(strlen(c.text)),
                             default_type),
        c.status);
    EXPECT_TRUE(host().substitutions().empty());
  }
  EXPECT_EQ(std::string(default_type, 8), "DATA    ");

  // The request carries the directory's library, the name and the type,
  // zero elsewhere.
  {
    ScopedService fake(host(), ylmfind_service, &FakeFind::Find);
    EXPECT_EQ(slots().MemberExists(dir, "prog.kor", 8, default_type), 0);
  }
  member_request expected{};
  expected.library = dir->library;
  expected.entry.length = 4;
  memcpy(expected.entry.text, "PROG", 4);
  memcpy(expected.entry_type, "SOURCE  ", 8);
  EXPECT_EQ(memcmp(&FakeFind::seen, &expected, sizeof(expected)), 0);

  // A member name longer than an entry name is refused, not cut.
  const std::string long_text(33, 'L');
  EXPECT_EQ(slots().MemberExists(dir, long_text.data(), 33, default_type),
            kStatusRefused);
  EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 5));

  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(HandlesTest, NullHandleIsRefusedByEveryDirectoryRoutine) {
  uint32_t stream = 0;
  char name[32];
  char type[8];
  int32_t length = 0;
  EXPECT_EQ(slots().DirNext(&stream, nullptr, name, &length, type),
            kStatusNullHandle);
  EXPECT_EQ(slots().DirClose(nullptr), kStatusNullHandle);
  EXPECT_EQ(slots().DirInfoSet(nullptr), kStatusNullHandle);
  EXPECT_EQ(slots().DirInfoRelease(nullptr), kStatusNullHandle);
  EXPECT_EQ(slots().MemberExists(nullptr, "A", 1, "DATA    "),
            kStatusNullHandle);
  EXPECT_EQ(stream, 0u);

  dir_handle* dir = OpenDirectory();
  EXPECT_EQ(slots().DirInfoSet(dir), 0);
  EXPECT_EQ(slots().DirInfoRelease(dir), 0);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

}  // namespace
