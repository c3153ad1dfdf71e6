// The member open through the routine vector: the type a hint or the member
// text selects, the handle it makes on the directory's library, the notice
// words, and what a failed open leaves behind (nothing).

#include <cstring>
#include <string>
#include <vector>

#include "directory/directory_fixture.h"
#include "refhost/host/library_services.h"

namespace {

// An entry open that keeps the name and type each call asked for, then
// passes the call on to the real service, or refuses with `refuse`.
struct FakeMemberOpen {
  static inline ylmopen_routine real = nullptr;
  static inline std::vector<std::pair<std::string, std::string>> opened;
  static inline std::vector<uint32_t> libraries;
  static inline int32_t refuse = 0;

  static int32_t Open(member_open_request* request, uint32_t* member) {
    opened.emplace_back(std::string(request->entry.text, request->entry.length),
                        std::string(request->entry_type, 8));
    libraries.push_back(request->library);
    if (refuse != 0) return refuse;
    return real(request, member);
  }

  static void Install(refhost::Host& host) {
    real = host.service(ylmopen_service);
    opened.clear();
    libraries.clear();
    refuse = 0;
    host.set_service(ylmopen_service, &FakeMemberOpen::Open);
  }
};

class MemberTest : public DirectoryTest {
 protected:
  // Opens text for output with hint, closes it again and reports the name
  // and type the host was asked to open.
  std::pair<std::string, std::string> OpenedAs(dir_handle* dir,
                                               std::string_view text,
                                               const char* hint) {
    FakeMemberOpen::opened.clear();
    file_handle* member = nullptr;
    EXPECT_EQ(OpenMember(&member, dir, text, hint, kOpenOutput), 0);
    if (member != nullptr) {
      EXPECT_EQ(slots().MemberClose(member), 0);
    }
    if (FakeMemberOpen::opened.size() != 1) return {};
    return FakeMemberOpen::opened[0];
  }
};

TEST_F(MemberTest, TypeComesFromTheMemberTextOrElseFromTheHint) {
  dir_handle* dir = OpenDirectory();
  FakeMemberOpen::Install(host());
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(OpenedAs(dir, "page1", "HTML"), P("PAGE1", "HTML    "));
  EXPECT_EQ(OpenedAs(dir, "page1.gif", "HTML"), P("PAGE1", "GIF     "));
  EXPECT_EQ(OpenedAs(dir, "out1", "LISTING"), P("OUT1", "OUTPUT  "));
  EXPECT_EQ(OpenedAs(dir, "prog", "KOR"), P("PROG", "SOURCE  "));
  EXPECT_EQ(OpenedAs(dir, "prog.Kor", "LOG"), P("PROG", "SOURCE  "));
  // A hint is a prefix test: JSON begins with the two-byte row JS.
  EXPECT_EQ(OpenedAs(dir, "app", "JSON"), P("APP", "JS      "));
  EXPECT_EQ(OpenedAs(dir, "doc", "PSX"), P("DOC", "PS      "));
  EXPECT_EQ(OpenedAs(dir, "site", "XSLT"), P("SITE", "XSL     "));
  // No change of case, and anything else, gives the default type.
  EXPECT_EQ(OpenedAs(dir, "page2", "html"), P("PAGE2", "CATAMS  "));
  EXPECT_EQ(OpenedAs(dir, "blob", "BINARY"), P("BLOB", "CATAMS  "));
  EXPECT_EQ(OpenedAs(dir, "blob", "L"), P("BLOB", "CATAMS  "));
  EXPECT_EQ(OpenedAs(dir, "blob", nullptr), P("BLOB", "CATAMS  "));
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(MemberTest, MemberBorrowsTheDirectoryLibraryAndCountsOnItsFileref) {
  dir_handle* dir = OpenDirectory();
  FakeMemberOpen::Install(host());
  open_request request{};
  request.open_flags = 0;  // neither input nor output: no record buffer
  request.record_length = 55;
  file_handle* member = nullptr;
  ASSERT_EQ(OpenMember(&member, dir, "m1", "LOG", 0, &request), 0);
  ASSERT_NE(member, nullptr);

  EXPECT_EQ(library().calls(ylopen_service), 1);  // the directory's only
  ASSERT_EQ(FakeMemberOpen::libraries.size(), 1u);
  EXPECT_EQ(FakeMemberOpen::libraries[0], dir->library);
  EXPECT_EQ(Node("DIR")->open_count, 2);
  // A member handle carries no fileref name.
  EXPECT_EQ(memcmp(member->head.fileref, "\0\0\0\0\0\0\0\0", 8), 0);
  EXPECT_EQ(member->head.amec, amec());
  EXPECT_EQ(std::string(member->display_name, member->display_name_length),
            "WORK.CAT.M1.LOG");
  // The record length word is written even without a record buffer.
  EXPECT_EQ(member->record_buffer, nullptr);
  EXPECT_EQ(request.record_length, member->data_length);
  EXPECT_NE(request.record_length, 55);

  EXPECT_EQ(slots().MemberClose(member), 0);
  EXPECT_EQ(Node("DIR")->open_count, 1);
  EXPECT_EQ(library().open_libraries(), 1);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(MemberTest, NoticeWordsAreReportedAndClearedEvenWhenTheOpenFails) {
  dir_handle* dir = OpenDirectory();
  open_request request{};
  request.open_flags = kOpenOutput | kOpenNotices;
  request.notice1 = 1;
  request.notice2 = 1;
  file_handle* member = nullptr;
  ASSERT_EQ(OpenMember(&member, dir, "m1", "LOG", 0, &request), 0);
  ASSERT_EQ(host().issued().size(), 1u);
  EXPECT_EQ(host().issued()[0].number, 4157);
  EXPECT_EQ(host().issued()[0].token, 0);
  EXPECT_EQ(request.notice1, 0);
  EXPECT_EQ(request.notice2, 0);
  EXPECT_EQ(slots().MemberClose(member), 0);

  // An entry type that may not be written fails after the notice.
  host().ClearMessages();
  request = {};
  request.open_flags = kOpenOutput | kOpenNotices;
  request.notice1 = 1;
  member = reinterpret_cast<file_handle*>(0x99);
  EXPECT_EQ(OpenMember(&member, dir, "m1.format", "LOG", 0, &request),
            kStatusRefused);
  EXPECT_EQ(member, nullptr);
  ASSERT_EQ(host().issued().size(), 1u);
  EXPECT_EQ(host().issued()[0].number, 4156);
  EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 1));
  EXPECT_EQ(request.notice1, 0);

  // Without the report flag nothing is issued, the words are cleared.
  host().ClearMessages();
  request = {};
  request.open_flags = kOpenOutput;
  request.notice1 = 1;
  ASSERT_EQ(OpenMember(&member, dir, "m2", "LOG", 0, &request), 0);
  EXPECT_TRUE(host().issued().empty());
  EXPECT_EQ(request.notice1, 0);
  EXPECT_EQ(slots().MemberClose(member), 0);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(MemberTest, FailedOpenLeavesNothingBehindAndTheDirectoryOpen) {
  Seed("OLD", "LOG");
  dir_handle* dir = OpenDirectory();
  file_handle* member = reinterpret_cast<file_handle*>(0x99);

  // A null directory: nothing touched.
  open_request request{};
  request.open_flags = kOpenInput;
  EXPECT_EQ(slots().MemberOpen(&member, nullptr, "A", 1, "LOG", &request),
            kStatusNullHandle);
  EXPECT_EQ(member, reinterpret_cast<file_handle*>(0x99));
  // A null request: nothing to open by.
  EXPECT_EQ(slots().MemberOpen(&member, dir, "A", 1, "LOG", nullptr),
            kStatusNullHandle);
  EXPECT_EQ(member, nullptr);

  // A member name longer than an entry name: refused with message 5.
  const std::string long_text(33, 'M');
  EXPECT_EQ(OpenMember(&member, dir, long_text, "LOG", kOpenOutput),
            kStatusRefused);
  EXPECT_EQ(member, nullptr);
  EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 5));

  // The host refuses the entry: its status comes back.
  EXPECT_EQ(OpenMember(&member, dir, "absent", "LOG", kOpenInput),
            kHostNoSuchEntry);
  ylmopen_routine real_open = host().service(ylmopen_service);
  FakeMemberOpen::Install(host());
  FakeMemberOpen::refuse = (int32_t)0x8001C0AB;
  EXPECT_EQ(OpenMember(&member, dir, "old", "LOG", kOpenOutput),
            (int32_t)0x8001C0AB);
  host().set_service(ylmopen_service, real_open);

  // The append positioning fails after the entry was opened on the host:
  // the entry is closed again, the directory's library is not.
  {
    ScopedService fail(host(), ylmpoin_service,
                       [](uint32_t, void*, int32_t) { return 5; });
    EXPECT_EQ(OpenMember(&member, dir, "old", "LOG", kOpenAppend), 5);
    EXPECT_EQ(member, nullptr);
    EXPECT_EQ(library().open_members(), 0);
    EXPECT_EQ(library().open_libraries(), 1);
  }

  // No memory for the record buffer (the handle came first).
  host().module_arena().FailAfter(1);
  EXPECT_EQ(OpenMember(&member, dir, "old", "LOG", kOpenInput),
            kStatusNoMemory);
  host().module_arena().StopFailing();
  EXPECT_EQ(library().open_members(), 0);

  EXPECT_EQ(Node("DIR")->open_count, 1);
  EXPECT_EQ(LiveModuleBlocks(), 2);  // the node and the directory
  // The directory has no open member to wait for.
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

TEST_F(MemberTest, MembersWrittenThroughTheDirectoryReadBack) {
  dir_handle* dir = OpenDirectory();
  file_handle* member = nullptr;
  open_request request{};
  request.record_length = 80;
  request.open_flags = kOpenOutput;
  ASSERT_EQ(OpenMember(&member, dir, "notes", "LOG", 0, &request), 0);
  WriteLines(member, {"alpha", "beta"});
  ASSERT_EQ(slots().MemberClose(member), 0);

  // An append moves to the end of what is there.
  request = {};
  request.record_length = 80;
  request.open_flags = kOpenAppend;
  ASSERT_EQ(OpenMember(&member, dir, "notes.log", "HTML", 0, &request), 0);
  WriteLines(member, {"gamma"});
  ASSERT_EQ(slots().MemberClose(member), 0);

  request = {};
  request.record_length = 80;
  request.open_flags = kOpenInput;
  ASSERT_EQ(OpenMember(&member, dir, "NOTES", "LOG", 0, &request), 0);
  EXPECT_EQ(ReadLines(member),
            (std::vector<std::string>{"alpha", "beta", "gamma"}));
  ASSERT_EQ(slots().MemberClose(member), 0);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(Deassign("DIR"), 0);
}

// A member close the store cannot commit: the module keeps the member so
// that the host can close it again, the host's second close answers 0, and
// then the directory closes; the entry keeps what it held.
TEST_F(MemberTest, MemberWhoseCloseFailedClosesAgainAndFreesItsDirectory) {
  store().PutEntry("WORK", "CAT", "KEPT", "CATAMS", "", {{"old", 145}});
  dir_handle* dir = OpenDirectory();
  file_handle* member = nullptr;
  ASSERT_EQ(OpenMember(&member, dir, "kept", "CATAMS  ", kOpenOutput), 0);
  WriteLines(member, {"new"});
  faults().Fail(FaultyStore::kCommit);
  EXPECT_EQ(slots().MemberClose(member), refhost::kLibStoreFailed);
  faults().Heal();
  EXPECT_EQ(slots().DirClose(dir), kStatusMembersOpen);
  EXPECT_EQ(slots().MemberClose(member), 0);
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "KEPT", "CATAMS")->records,
            (std::vector<refhost::StoredRecord>{{"old", 145}}));
  EXPECT_EQ(Deassign("DIR"), 0);
}

}  // namespace
