// The entry open through slot 11 as the host sees it: what a handle holds,
// the requests sent to the library services, the notice words, and that a
// failed open leaves nothing open and nothing allocated. Also the split of
// member text that the member open shares.

#include <cstring>
#include <string>

#include "entry_fixture.h"
#include "refhost/host/library_services.h"

namespace {

TEST_F(EntryTest, OpenedHandleDescribesTheEntry) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  open_request request = Request(kOpenOutput);
  request.host_16 = 0xCAFE;
  file_handle* handle = nullptr;
  std::string lower = "f       ";
  ASSERT_EQ(slots().Open(&handle, lower.data(), 0, &request), 0);
  ASSERT_NE(handle, nullptr);

  EXPECT_EQ(std::string(handle->head.fileref, 8), "F       ");
  EXPECT_EQ(handle->head.amec, amec());
  EXPECT_EQ(std::string(handle->libref, 8), "WORK    ");
  EXPECT_EQ(std::string(handle->entry_type, 8), "HTML    ");
  EXPECT_EQ(std::string(handle->display_name, handle->display_name_length),
            "WORK.CAT.E1.HTML");
  EXPECT_EQ(std::string(handle->display_name + 16, 74), std::string(74, ' '));
  EXPECT_NE(handle->record_buffer, nullptr);
  EXPECT_EQ(request.record_length, 132);  // the data record length
  EXPECT_EQ(request.host_16, 0xCAFEu);

  fileref_node* node = nullptr;
  ASSERT_EQ(yxlzl2l("F       ", nullptr, &node, 0), 0);
  EXPECT_EQ(handle->node, node);
  EXPECT_EQ(node->open_count, 1);
  EXPECT_EQ(slots().Close(handle), 0);
  EXPECT_EQ(node->open_count, 0);
}

TEST_F(EntryTest, FilerefMustNameAnEntry) {
  std::string name = Name8("NOPE");
  open_request request = Request(kOpenInput);
  file_handle* handle = (file_handle*)1;
  EXPECT_EQ(slots().Open(&handle, name.data(), 0, &request),
            kStatusNotAssigned);
  EXPECT_EQ(handle, nullptr);

  ASSERT_EQ(Assign("D", "work.cat"), 0);
  handle = (file_handle*)1;
  EXPECT_EQ(Open("D", &request, &handle), kStatusRefused);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 4));
  EXPECT_EQ(library().calls(ylopen_service), 0);

  // A name that does not resolve fails with the resolution's message.
  ASSERT_EQ(Assign("L", "toolongref.cat.e1.html"), 0);
  EXPECT_EQ(Open("L", &request, &handle), kStatusRefused);
  EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 5));
}

// Records the library mode and the entry open request, then passes on.
lib_open_request g_lib_open;
member_open_request g_member_open;
ylopen_routine g_real_ylopen;
ylmopen_routine g_real_ylmopen;
int32_t RecordLibOpen(lib_open_request* request, uint32_t* library) {
  g_lib_open = *request;
  return g_real_ylopen(request, library);
}
int32_t RecordMemberOpen(member_open_request* request, uint32_t* member) {
  g_member_open = *request;
  return g_real_ylmopen(request, member);
}

TEST_F(EntryTest, RequestsCarryTheModeAndTheEntry) {
  g_real_ylopen = host().service(ylopen_service);
  g_real_ylmopen = host().service(ylmopen_service);
  ScopedService record_library(host(), ylopen_service, &RecordLibOpen);
  ScopedService record_member(host(), ylmopen_service, &RecordMemberOpen);
  Seed("E1", "HTML", {Rec("x")});
  ASSERT_EQ(Assign("F", "work.cat.e1.html", Options("DESC='about it'")), 0);

  struct ModeCase {
    int32_t flags, mode, access;
  };
  for (ModeCase c :
       {ModeCase{kOpenInput, 1, 1}, ModeCase{kOpenOutput, 8, 2},
        ModeCase{kOpenAppend, 8, 8}, ModeCase{kOpenUpdate, 8, 8},
        ModeCase{kOpenInput | kOpenOutput, 1, 1}, ModeCase{0, 0, 8}}) {
    SCOPED_TRACE(c.flags);
    file_handle* handle = MustOpen("F", c.flags, 0, nullptr);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(g_lib_open.open_mode, c.mode);
    EXPECT_EQ(g_lib_open.caller_token, 0);
    EXPECT_EQ(std::string(g_lib_open.libref, 8), "WORK    ");
    EXPECT_EQ(std::string(g_lib_open.catalog.text, 3), "CAT");
    EXPECT_EQ(g_member_open.access_kind, c.access);
    EXPECT_EQ(g_member_open.option_bits, 4);
    EXPECT_EQ(g_member_open.value_512, 512);
    EXPECT_EQ(g_member_open.library, handle->library);
    EXPECT_EQ(std::string(g_member_open.entry.text, g_member_open.entry.length),
              "E1");
    EXPECT_EQ(std::string(g_member_open.description.text,
                          g_member_open.description.length),
              "about it");
    uint8_t zero[26] = {};
    EXPECT_EQ(memcmp(g_member_open.zero_46, zero, 26), 0);
    EXPECT_EQ(slots().Close(handle), 0);
  }
}

TEST_F(EntryTest, NoticeWordsIssueOneMessage) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  open_request request = Request(kOpenOutput | kOpenNotices);
  request.notice1 = 1;
  request.notice2 = 1;
  file_handle* handle = nullptr;
  ASSERT_EQ(Open("F", &request, &handle, 77), 0);
  ASSERT_EQ(host().issued().size(), 1u);
  EXPECT_EQ(host().issued()[0].number, 4157);
  EXPECT_EQ(host().issued()[0].token, 77);
  EXPECT_EQ(request.notice1, 0);
  EXPECT_EQ(request.notice2, 0);
  EXPECT_EQ(slots().Close(handle), 0);

  request = Request(kOpenOutput | kOpenNotices);
  request.notice1 = 1;
  ASSERT_EQ(Open("F", &request, &handle, 77), 0);
  ASSERT_EQ(host().issued().size(), 2u);
  EXPECT_EQ(host().issued()[1].number, 4156);
  EXPECT_EQ(slots().Close(handle), 0);

  // Without the report flag the words are cleared and nothing is issued.
  request = Request(kOpenOutput);
  request.notice1 = request.notice2 = 1;
  ASSERT_EQ(Open("F", &request, &handle), 0);
  EXPECT_EQ(host().issued().size(), 2u);
  EXPECT_EQ(request.notice1 + request.notice2, 0);
  EXPECT_EQ(slots().Close(handle), 0);
}

int32_t FailPoint(uint32_t, void*, int32_t) { return 4; }
int32_t FailMemberOpen(member_open_request*, uint32_t*) {
  return (int32_t)0x80001234;
}

// A failed open closes what it opened on the host, releases its handle,
// leaves the request as it was and the open's option block with the host.
// The fixture's teardown checks that no host handle is left open.
TEST_F(EntryTest, FailedOpenLeavesNothingBehind) {
  Seed("E1", "HTML", {Rec("x")});
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  option_block* options = Options("LRECL=10");
  fileref_node* node = nullptr;
  ASSERT_EQ(yxlzl2l("F       ", nullptr, &node, 0), 0);

  auto expect_failed = [&](int32_t flags, int32_t status) {
    open_request request = Request(flags | kOpenNotices, 0, 0, options);
    request.notice1 = 1;
    file_handle* handle = (file_handle*)1;
    int64_t live = LiveModuleBlocks();
    library().ResetCalls();
    EXPECT_EQ(Open("F", &request, &handle), status);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(request.notice1, 1);
    EXPECT_EQ(request.record_length, 0);
    EXPECT_EQ(LiveModuleBlocks(), live);
    EXPECT_TRUE(host().module_arena().IsLive(options));
    EXPECT_EQ(node->open_count, 0);
    EXPECT_EQ(library().calls(ylclose_service), 1);
    EXPECT_TRUE(host().issued().empty());
  };

  // Positioning at the end answers a warning: the entry was open.
  {
    ScopedService fail(host(), ylmpoin_service, &FailPoint);
    expect_failed(kOpenAppend, 4);
    EXPECT_EQ(library().calls(ylmclos_service), 1);
  }

  // The entry does not open.
  {
    ScopedService fail(host(), ylmopen_service, &FailMemberOpen);
    expect_failed(kOpenOutput, (int32_t)0x80001234);
  }

  // The type may not be written.
  ASSERT_EQ(Assign("F", "work.cat.e1.format"), 0);
  expect_failed(kOpenOutput, kStatusRefused);

  // No memory for the record buffer (the handle is the first block).
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  host().module_arena().FailAfter(1);
  expect_failed(kOpenOutput, kStatusNoMemory);
  host().module_arena().StopFailing();

  slots().ReleaseOptions("F       ", 0, options);
}

int32_t FailLibraryOpen(lib_open_request*, uint32_t*) {
  return (int32_t)0x80001235;
}

// Whatever step of an open for output or append fails, the entry it was to
// replace or extend keeps its records: the record buffer is taken before
// the entry opens on the host, and nothing written reaches a close. (A
// failed ylminfo does not fail these opens: they go on as for a new entry.)
TEST_F(EntryTest, FailedWritingOpenLeavesTheEntryAsItWas) {
  const std::vector<refhost::StoredRecord> precious = {Rec("precious"),
                                                       Rec("lines")};
  Seed("E1", "HTML", precious);
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  for (int32_t flags : {kOpenOutput, kOpenAppend}) {
    SCOPED_TRACE(flags);
    auto expect_kept = [&](int32_t status) {
      open_request request = Request(flags, 200);
      file_handle* handle = (file_handle*)1;
      EXPECT_EQ(Open("F", &request, &handle), status);
      EXPECT_EQ(handle, nullptr);
      EXPECT_EQ(Stored("E1", "HTML"), precious);
    };
    // Every allocation of the open in turn: the handle, then the buffer.
    for (int64_t after = 0; after < 2; ++after) {
      host().module_arena().FailAfter(after);
      expect_kept(kStatusNoMemory);
      host().module_arena().StopFailing();
    }
    {
      ScopedService fail(host(), ylopen_service, &FailLibraryOpen);
      expect_kept((int32_t)0x80001235);
    }
    {
      ScopedService fail(host(), ylmopen_service, &FailMemberOpen);
      expect_kept((int32_t)0x80001234);
    }
    if (flags == kOpenAppend) {
      ScopedService fail(host(), ylmpoin_service, &FailPoint);
      expect_kept(4);
    }
  }
}

TEST_F(EntryTest, MemberTextSplitsIntoNameAndType) {
  name_part entry{};
  char type[8];
  memcpy(type, "html    ", 8);
  EXPECT_EQ(yxlzdme("abc", &entry, type, 3), 0);
  EXPECT_EQ(std::string(entry.text, entry.length), "ABC");
  EXPECT_EQ(std::string(type, 8), "HTML    ");  // kept, upper-cased

  EXPECT_EQ(yxlzdme("page1.kor", &entry, type, 9), 0);
  EXPECT_EQ(std::string(entry.text, entry.length), "PAGE1");
  EXPECT_EQ(std::string(type, 8), "SOURCE  ");

  EXPECT_EQ(yxlzdme("x.verylongtype", &entry, type, 14), 0);
  EXPECT_EQ(std::string(type, 8), "VERYLONG");
  EXPECT_EQ(yxlzdme("x.", &entry, type, 2), 0);
  EXPECT_EQ(std::string(type, 8), "        ");

  std::string name32(32, 'n');
  EXPECT_EQ(yxlzdme(name32.data(), &entry, type, 32), 0);
  EXPECT_EQ(entry.length, 32);

  // A longer name is refused, not cut: two such names would meet.
  memcpy(type, "GIF     ", 8);
  entry.length = 3;
  std::string name33 = std::string(33, 'm') + ".html";
  EXPECT_EQ(yxlzdme(name33.data(), &entry, type, (int32_t)name33.size()),
            kStatusRefused);
  EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 5));
  EXPECT_EQ(entry.length, 3);
  EXPECT_EQ(std::string(type, 8), "GIF     ");
}

}  // namespace
