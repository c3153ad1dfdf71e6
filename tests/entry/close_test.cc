// Closing entries and members, and the information the host asks for: what
// each close releases and when, the keep flag of the open's option block,
// warnings and failures of the host's closes, the info_reply with and
// without a handle, and the information set.

#include <cstring>
#include <string>

#include "directory/directory.h"
#include "entry_fixture.h"
#include "refhost/host/library_services.h"

namespace {

TEST_F(EntryTest, KeepFlagDecidesWhoReleasesTheOpenOptions) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  // Kept: the block is the host's and outlives the close.
  option_block* kept = Options("LRECL=20", kOptionKeep);
  file_handle* handle = MustOpen("F", kOpenOutput, 0, kept);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->requests.option_flags_copy & kOptionKeep, kOptionKeep);
  EXPECT_EQ(slots().Close(handle), 0);
  EXPECT_TRUE(host().module_arena().IsLive(kept));
  slots().ReleaseOptions("F       ", 0, kept);

  // Not kept: the close releases it, and a fileref of the handle's name
  // that held the same block lets go of it (its deassignment then releases
  // nothing twice; the fixture checks).
  option_block* shared = Options("LRECL=20");
  ASSERT_EQ(Assign("G", "work.cat.e2.html", shared), 0);
  handle = MustOpen("G", kOpenOutput, 0, shared);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(slots().Close(handle), 0);
  EXPECT_FALSE(host().module_arena().IsLive(shared));
  fileref_node* node = nullptr;
  ASSERT_EQ(yxlzl2l("G       ", nullptr, &node, 0), 0);
  EXPECT_EQ(node->options, nullptr);
}

TEST_F(EntryTest, CloseWithoutBufferOrVectorSucceeds) {
  Seed("E1", "HTML", {Rec("x")});
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  file_handle* handle = MustOpen("F", 0);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(handle->record_buffer, nullptr);
  ASSERT_EQ(handle->vector, nullptr);
  EXPECT_EQ(slots().Close(handle), 0);
}

// ylmclos and ylclose have one type.
ylclose_routine g_real_close;
int32_t g_close_answer;
// Closes for real, then answers the chosen status.
int32_t AnswerAfterClose(uint32_t handle, int32_t zero) {
  g_real_close(handle, zero);
  return g_close_answer;
}
int32_t RefuseClose(uint32_t, int32_t) { return g_close_answer; }
// Closes the library for real, then fails.
ylclose_routine g_real_library_close;
int32_t FailAfterLibraryClose(uint32_t handle, int32_t zero) {
  g_real_library_close(handle, zero);
  return (int32_t)0x80006666;
}

TEST_F(EntryTest, EntryCloseReleasesEverythingWhateverTheHostSays) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);

  // A warning from the entry close: the library this open opened is closed
  // all the same, the warning is the result, and the handle with all it
  // owns is gone.
  file_handle* handle = MustOpen("F", kOpenOutput, 0, Options("LRECL=20"));
  ASSERT_NE(handle, nullptr);
  io_vector* v = nullptr;
  ASSERT_EQ(slots().IoVector(handle, &v), 0);
  g_real_close = host().service(ylmclos_service);
  g_close_answer = 4;
  library().ResetCalls();
  {
    ScopedService close(host(), ylmclos_service, &AnswerAfterClose);
    EXPECT_EQ(slots().Close(handle), 4);
  }
  EXPECT_EQ(library().calls(ylclose_service), 1);
  EXPECT_EQ(LiveModuleBlocks(), 1);  // the fileref's node only
  EXPECT_EQ(library().open_libraries(), 0);

  // The library close fails after a clean entry close: its status is the
  // result.
  handle = MustOpen("F", kOpenOutput);
  ASSERT_NE(handle, nullptr);
  g_real_close = host().service(ylclose_service);
  g_close_answer = (int32_t)0x80004321;
  {
    ScopedService close(host(), ylclose_service, &AnswerAfterClose);
    EXPECT_EQ(slots().Close(handle), (int32_t)0x80004321);
  }
  EXPECT_EQ(LiveModuleBlocks(), 1);

  // A failure outranks a warning, whichever close gave which.
  handle = MustOpen("F", kOpenOutput);
  ASSERT_NE(handle, nullptr);
  g_real_close = host().service(ylmclos_service);
  g_real_library_close = host().service(ylclose_service);
  g_close_answer = 4;
  {
    ScopedService close(host(), ylmclos_service, &AnswerAfterClose);
    ScopedService fail(host(), ylclose_service, &FailAfterLibraryClose);
    EXPECT_EQ(slots().Close(handle), (int32_t)0x80006666);
    // Of two failures, the entry close's comes back.
    handle = MustOpen("F", kOpenOutput);
    ASSERT_NE(handle, nullptr);
    g_close_answer = (int32_t)0x80005555;
    EXPECT_EQ(slots().Close(handle), (int32_t)0x80005555);
  }
  EXPECT_EQ(library().open_libraries(), 0);
  EXPECT_EQ(LiveModuleBlocks(), 1);

  EXPECT_EQ(slots().Close(nullptr), kStatusNullHandle);
}

TEST_F(EntryTest, MemberCloseKeepsTheHandleUntilTheEntryCloses) {
  // The directory sends its libref and catalog as the fileref names them.
  ASSERT_EQ(Assign("D", "WORK.CAT"), 0);
  dir_handle* dir = nullptr;
  ASSERT_EQ(slots().DirOpen(&dir, "D       ", 0), 0);
  open_request request = Request(kOpenOutput, 0, 0, Options("LRECL=30"));
  file_handle* member = nullptr;
  ASSERT_EQ(slots().MemberOpen(&member, dir, "e1", 2, "HTML", &request), 0);
  ASSERT_NE(member, nullptr);
  EXPECT_EQ(std::string(member->head.fileref, 8), std::string(8, '\0'));
  io_vector* v = nullptr;
  ASSERT_EQ(slots().IoVector(member, &v), 0);
  EXPECT_EQ(Write(member, "abc"), 0);
  fileref_node* node = member->node;
  ASSERT_EQ(node->open_count, 2);  // the directory and the member

  // The host refuses: the status comes back, the handle stays and still
  // counts, but its record buffer is gone for good.
  {
    g_close_answer = (int32_t)0x80005555;
    ScopedService refuse(host(), ylmclos_service, &RefuseClose);
    int64_t live = LiveModuleBlocks();
    EXPECT_EQ(slots().MemberClose(member), (int32_t)0x80005555);
    EXPECT_EQ(member->record_buffer, nullptr);
    EXPECT_EQ(LiveModuleBlocks(), live - 1);
    EXPECT_EQ(node->open_count, 2);
    // A warning is no better.
    g_close_answer = 4;
    EXPECT_EQ(slots().MemberClose(member), 4);
  }

  library().ResetCalls();
  EXPECT_EQ(slots().MemberClose(member), 0);
  EXPECT_EQ(library().calls(ylclose_service), 0);
  EXPECT_EQ(node->open_count, 1);
  EXPECT_EQ(Stored("E1", "HTML"),
            std::vector<refhost::StoredRecord>{Rec("abc", 322)});
  EXPECT_EQ(slots().DirClose(dir), 0);
  EXPECT_EQ(slots().MemberClose(nullptr), kStatusNullHandle);
}

TEST_F(EntryTest, InformationWithAHandleFollowsTheMask) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html", Options("RECFM=F RECFM=P")), 0);
  file_handle* handle = MustOpen("F", kOpenOutput, 0);
  ASSERT_NE(handle, nullptr);

  info_reply reply;
  memset(&reply, 0x5A, sizeof reply);
  info_reply untouched = reply;
  EXPECT_EQ(slots().Info(handle, nullptr, 0, 0, &reply), 0);
  EXPECT_EQ(reply.four, 4);
  reply.four = untouched.four;
  EXPECT_EQ(memcmp(&reply, &untouched, sizeof reply), 0);

  EXPECT_EQ(slots().Info(handle, nullptr, 0, 0x3F, &reply), 0);
  EXPECT_EQ(reply.path, handle->display_name);
  EXPECT_EQ(reply.path_length, 16);
  EXPECT_EQ(reply.recfm, 24);
  EXPECT_EQ(reply.data_length, 131);
  EXPECT_EQ(std::string(reply.kind, 8), "CATALOG ");
  EXPECT_EQ(reply.zero_24, 0);
  EXPECT_EQ(reply.zero_28, 0);
  EXPECT_EQ(reply.twelve, 12);
  EXPECT_EQ(slots().Close(handle), 0);

  ASSERT_EQ(Assign("G", "work.cat.e2.html"), 0);
  handle = MustOpen("G", kOpenOutput, 0);
  ASSERT_NE(handle, nullptr);
  memset(&reply, 0x5A, sizeof reply);
  EXPECT_EQ(slots().Info(handle, nullptr, 0, kInfoRecfm, &reply), 0);
  EXPECT_EQ(reply.recfm, 32);
  EXPECT_EQ(reply.data_length, 0x5A5A5A5A);
  EXPECT_EQ(slots().Close(handle), 0);
}

TEST_F(EntryTest, InformationWithoutAHandleDescribesTheFileref) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  fileref_node* node = nullptr;
  ASSERT_EQ(yxlzl2l("F       ", nullptr, &node, 0), 0);

  info_reply reply;
  memset(&reply, 0x5A, sizeof reply);
  info_reply before = reply;
  EXPECT_EQ(slots().Info(nullptr, "F       ", 0, 0, &reply), 0);
  EXPECT_EQ(reply.path, node->display_name);
  EXPECT_EQ(reply.path_length, node->display_name_length);
  EXPECT_EQ(std::string(reply.kind, 8), "CATALOG ");
  EXPECT_EQ(reply.four, 4);
  EXPECT_EQ(memcmp(&reply.recfm, &before.recfm, 8), 0);
  EXPECT_EQ(memcmp(&reply.zero_24, &before.zero_24, 12), 0);

  memset(&reply, 0x5A, sizeof reply);
  EXPECT_EQ(slots().Info(nullptr, "NOPE    ", 0, 0x3F, &reply),
            kStatusNotAssigned);
  EXPECT_EQ(reply.four, 4);
  reply.four = before.four;
  EXPECT_EQ(memcmp(&reply, &before, sizeof reply), 0);
}

int32_t g_register_answer;
int32_t AnswerRegister(uint32_t, info_item*) { return g_register_answer; }

TEST_F(EntryTest, InformationSetNamesTheEntry) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  file_handle* handle = MustOpen("F", kOpenOutput);
  ASSERT_NE(handle, nullptr);

  info_item* item = nullptr;
  ASSERT_EQ(slots().InfoSet(handle, &item), 0);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->item_count, 1);
  EXPECT_EQ(item->label_length, 12);
  EXPECT_EQ(item->value, handle->display_name);
  ASSERT_EQ(library().items().size(), 1u);
  EXPECT_EQ(library().items()[0].label, "Catalog Name");
  EXPECT_EQ(library().items()[0].value, "WORK.CAT.E1.HTML");
  EXPECT_EQ(slots().InfoRelease(handle, item), 0);
  EXPECT_TRUE(library().items().empty());

  // Refused by the host: nothing is kept and the output is null.
  int64_t live = LiveModuleBlocks();
  {
    ScopedService answer(host(), ylinfsy_service, &AnswerRegister);
    g_register_answer = (int32_t)0x80007777;
    item = (info_item*)1;
    EXPECT_EQ(slots().InfoSet(handle, &item), (int32_t)0x80007777);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(LiveModuleBlocks(), live);

    // A warning keeps the item; its release goes ahead whatever the host
    // answers then.
    g_register_answer = 3;
    EXPECT_EQ(slots().InfoSet(handle, &item), 3);
    ASSERT_NE(item, nullptr);
  }
  EXPECT_NE(slots().InfoRelease(handle, item), 0);  // never registered
  EXPECT_EQ(LiveModuleBlocks(), live);

  library().ResetCalls();
  EXPECT_EQ(slots().InfoRelease(handle, nullptr), 0);
  EXPECT_EQ(library().calls(ylinfsr_service), 0);
  EXPECT_EQ(slots().InfoSet(nullptr, &item), kStatusNullHandle);
  EXPECT_EQ(slots().InfoRelease(nullptr, item), kStatusNullHandle);
  EXPECT_EQ(slots().Close(handle), 0);
}

TEST_F(EntryTest, HandleOutlivesItsDeassignedFileref) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  file_handle* handle = MustOpen("F", kOpenOutput);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(slots().Deassign("F       ", 0), 0);
  EXPECT_EQ(Write(handle, "still here"), 0);
  EXPECT_EQ(slots().Close(handle), 0);
  EXPECT_EQ(LiveModuleBlocks(), 0);
  EXPECT_EQ(Stored("E1", "HTML"),
            std::vector<refhost::StoredRecord>{Rec("still here", 322)});
}

}  // namespace

namespace {

// A close the store cannot commit: the module passes the host's status on,
// closes the library the open opened and releases the handle as after any
// close; the entry keeps what it held and nothing stays open on the host.
// The fileref opens and writes again once the store works.
TEST_F(EntryTest, CloseTheStoreCannotCommitPassesTheFailureOn) {
  Seed("E1", "HTML", {Rec("old", 322)});
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  file_handle* handle = MustOpen("F", kOpenOutput);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(Write(handle, "new"), 0);
  faults().Fail(FaultyStore::kCommit);
  EXPECT_EQ(slots().Close(handle), refhost::kLibStoreFailed);
  faults().Heal();
  EXPECT_EQ(Stored("E1", "HTML"),
            std::vector<refhost::StoredRecord>{Rec("old", 322)});
  EXPECT_EQ(LiveModuleBlocks(), 1);  // the fileref's node only
  EXPECT_EQ(library().open_members(), 0);
  EXPECT_EQ(library().open_libraries(), 0);

  handle = MustOpen("F", kOpenOutput);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(Write(handle, "new"), 0);
  EXPECT_EQ(slots().Close(handle), 0);
  EXPECT_EQ(Stored("E1", "HTML"),
            std::vector<refhost::StoredRecord>{Rec("new", 322)});
}

// The other requests the store can fail: each status reaches the host as
// the library services gave it, nothing stays open, nothing stored changes.
TEST_F(EntryTest, StoreFailuresReachTheHostAsTheyCame) {
  Seed("E1", "HTML", {Rec("one", 322)});
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  open_request request = Request(kOpenInput);
  file_handle* handle = nullptr;

  faults().Fail(FaultyStore::kOpen);
  EXPECT_EQ(Open("F", &request, &handle), refhost::kLibStoreFailed);
  EXPECT_EQ(handle, nullptr);
  faults().Fail(FaultyStore::kFind);
  EXPECT_EQ(slots().EntryExists("F       ", 0), refhost::kLibStoreFailed);
  faults().Fail(FaultyStore::kDelete);
  EXPECT_EQ(slots().Delete("F       ", 0), refhost::kLibStoreFailed);
  EXPECT_EQ(library().open_libraries(), 0);

  faults().Heal();
  handle = MustOpen("F", kOpenUpdate);
  ASSERT_NE(handle, nullptr);
  faults().Fail(FaultyStore::kRead | FaultyStore::kWrite);
  EXPECT_EQ(Read(handle).status, refhost::kLibStoreFailed);
  EXPECT_EQ(Write(handle, "two"), refhost::kLibStoreFailed);
  faults().Heal();
  EXPECT_EQ(slots().Close(handle), 0);
  EXPECT_EQ(Stored("E1", "HTML"),
            std::vector<refhost::StoredRecord>{Rec("one", 322)});
}

}  // namespace
