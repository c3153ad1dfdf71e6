// What a host's catalog library services receive, slot by slot, and what
// the host's answers become: which names arrive upper case and which as the
// user wrote them, what each slot makes of a catalog that does not exist,
// the display and path names a host shows, the buffer a read fills, and the
// host statuses whose sign decides their meaning.

#include <cstring>
#include <string>
#include <vector>

#include "directory/directory_fixture.h"
#include "entry/entry.h"

namespace {

// One request as the host saw it.
struct Seen {
  std::string service;
  std::string libref;  // the 8 characters
  std::string name;    // catalog or entry name, its length's worth
  std::string type;    // the 8 characters, for entry requests
  int32_t mode = -1;   // open mode or access kind
};
std::vector<Seen> g_seen;

ylopen_routine g_ylopen;
ylmopen_routine g_ylmopen;
ylmfind_routine g_ylmfind;
ylmdel_routine g_ylmdel;

std::string Part(const name_part& p) { return std::string(p.text, p.length); }

int32_t SeeLibraryOpen(lib_open_request* r, uint32_t* library) {
  g_seen.push_back({"ylopen", std::string(r->libref, 8), Part(r->catalog), "",
                    r->open_mode});
  return g_ylopen(r, library);
}
int32_t SeeMemberOpen(member_open_request* r, uint32_t* member) {
  g_seen.push_back({"ylmopen", "", Part(r->entry),
                    std::string(r->entry_type, 8), r->access_kind});
  return g_ylmopen(r, member);
}
int32_t SeeFind(member_request* r) {
  g_seen.push_back(
      {"ylmfind", "", Part(r->entry), std::string(r->entry_type, 8)});
  return g_ylmfind(r);
}
int32_t SeeDelete(member_request* r, int32_t zero) {
  g_seen.push_back(
      {"ylmdel", "", Part(r->entry), std::string(r->entry_type, 8)});
  return g_ylmdel(r, zero);
}

class HostRequestsTest : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    g_seen.clear();
    g_ylopen = host().service(ylopen_service);
    g_ylmopen = host().service(ylmopen_service);
    g_ylmfind = host().service(ylmfind_service);
    g_ylmdel = host().service(ylmdel_service);
  }

  // The requests seen since the last call, then forgotten.
  std::vector<Seen> Take() {
    std::vector<Seen> seen = std::move(g_seen);
    g_seen.clear();
    return seen;
  }

  file_handle* OpenEntry(std::string_view fileref, int32_t flags,
                         int32_t* status = nullptr) {
    open_request request{};
    request.open_flags = flags;
    file_handle* handle = nullptr;
    int32_t st = slots().Open(&handle, Name8(fileref).data(), 0, &request);
    if (status != nullptr) *status = st;
    return handle;
  }

  // The display name of an open handle, as slot 8 hands it out.
  std::string DisplayOf(file_handle* handle) {
    info_reply reply{};
    EXPECT_EQ(slots().Info(handle, nullptr, 0, kInfoPath, &reply), 0);
    return std::string(reply.path, reply.path_length);
  }

  // The display name of an assigned fileref, as the walk of slot 6 gives it.
  std::string WalkDisplay(std::string_view fileref) {
    fileref_node* cursor = nullptr;
    char name[8];
    const char* display = nullptr;
    int32_t length = 0;
    while (slots().NextFileref(&cursor, name, 0, &display, &length) == 0) {
      if (std::string(name, 8) == Name8(fileref)) {
        return std::string(display, length);
      }
    }
    return "(not assigned)";
  }

  std::string PathName(std::string_view fileref) {
    char buffer[kPathNameCapacity];
    if (slots().PathName(Name8(fileref).data(), buffer) != 0) return "(none)";
    return buffer;
  }
};

TEST_F(HostRequestsTest, NamesArriveUpperCaseOnlyWhereTheModuleResolvesThem) {
  ScopedService a(host(), ylopen_service, &SeeLibraryOpen);
  ScopedService b(host(), ylmopen_service, &SeeMemberOpen);
  ScopedService c(host(), ylmfind_service, &SeeFind);
  ScopedService d(host(), ylmdel_service, &SeeDelete);
  ASSERT_EQ(Assign("NOTES", "work.notes"), 0);
  ASSERT_EQ(Assign("JAN", "work.notes.jan"), 0);
  ASSERT_EQ(Assign("MAR", "Work.Notes.Mar.Html"), 0);

  // The walk shows each name as written, the path name in upper case.
  EXPECT_EQ(WalkDisplay("NOTES"), "..work.notes");
  EXPECT_EQ(WalkDisplay("JAN"), "work.notes.jan.");
  EXPECT_EQ(WalkDisplay("MAR"), "Work.Notes.Mar.Html");
  EXPECT_EQ(PathName("JAN"), "WORK.NOTES.JAN.CATAMS");
  EXPECT_EQ(PathName("MAR"), "WORK.NOTES.MAR.HTML");
  EXPECT_EQ(PathName("NOTES"), "(none)");

  // An entry fileref: every name resolved, upper case.
  file_handle* jan = OpenEntry("JAN", kOpenOutput);
  ASSERT_NE(jan, nullptr);
  EXPECT_EQ(DisplayOf(jan), "WORK.NOTES.JAN.CATAMS");
  ASSERT_EQ(slots().Close(jan), 0);
  std::vector<Seen> seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].libref, "WORK    ");
  EXPECT_EQ(seen[0].name, "NOTES");
  EXPECT_EQ(seen[0].mode, kLibModeUpdate);
  EXPECT_EQ(seen[1].name, "JAN");
  EXPECT_EQ(seen[1].type, "CATAMS  ");

  // A catalog fileref: the libref and catalog as written; the member's
  // name and type upper case. The member's display name mixes the two.
  dir_handle* dir = nullptr;
  ASSERT_EQ(slots().DirOpen(&dir, Name8("NOTES").data(), 0), 0);
  open_request request{};
  request.open_flags = kOpenOutput;
  file_handle* feb = nullptr;
  ASSERT_EQ(OpenMember(&feb, dir, "feb.html", "CSV", 0, &request), 0);
  EXPECT_EQ(DisplayOf(feb), "work.notes.FEB.HTML");
  ASSERT_EQ(slots().MemberClose(feb), 0);
  EXPECT_EQ(slots().MemberExists(dir, "feb", 3, "HTML    "), 0);
  seen = Take();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].libref, "work    ");
  EXPECT_EQ(seen[0].name, "notes");
  EXPECT_EQ(seen[0].mode, kLibModeUpdate);
  EXPECT_EQ(seen[1].name, "FEB");
  EXPECT_EQ(seen[1].type, "HTML    ");
  EXPECT_EQ(seen[2].service, "ylmfind");
  EXPECT_EQ(seen[2].name, "FEB");
  // The walk hands the names on as the host stored them.
  EXPECT_EQ(Walk(dir), (std::vector<NameAndType>{{"FEB", "HTML    "},
                                                 {"JAN", "CATAMS  "}}));
  ASSERT_EQ(slots().DirClose(dir), 0);

  // The existence test: as written for the catalog, resolved for an entry.
  EXPECT_EQ(slots().EntryExists(Name8("NOTES").data(), 0), 0);
  EXPECT_EQ(slots().EntryExists(Name8("JAN").data(), 0), 0);
  seen = Take();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].libref, "work    ");
  EXPECT_EQ(seen[0].name, "notes");
  EXPECT_EQ(seen[0].mode, kLibModeRead);
  EXPECT_EQ(seen[1].libref, "WORK    ");
  EXPECT_EQ(seen[1].name, "NOTES");
  EXPECT_EQ(seen[2].name, "JAN");
  EXPECT_EQ(seen[2].type, "CATAMS  ");

  // The deletion opens the library for input and names the entry resolved.
  EXPECT_EQ(slots().Delete(Name8("JAN").data(), 0), 0);
  seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].libref, "WORK    ");
  EXPECT_EQ(seen[0].mode, kLibModeRead);
  EXPECT_EQ(seen[1].service, "ylmdel");
  EXPECT_EQ(seen[1].name, "JAN");

  // A two-level libref over 8 characters is refused, as an entry's is:
  // cut to 8 it would name another library.
  ASSERT_EQ(Assign("LONG", "worklibrary.notes"), 0);
  dir = (dir_handle*)&request;
  host().ClearMessages();
  EXPECT_EQ(slots().DirOpen(&dir, Name8("LONG").data(), 0), kStatusRefused);
  EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 5));
  EXPECT_EQ(dir, (dir_handle*)&request);
  EXPECT_EQ(slots().EntryExists(Name8("LONG").data(), 0), kStatusRefused);
  EXPECT_TRUE(Take().empty()) << "nothing reaches the host";

  // An empty catalog: refused for an entry, left to the host for a catalog.
  ASSERT_EQ(Assign("EMPTY", "work."), 0);
  ASSERT_EQ(Assign("NOCAT", "work..jan"), 0);
  EXPECT_EQ(slots().EntryExists(Name8("NOCAT").data(), 0), kStatusRefused);
  EXPECT_TRUE(Take().empty());
  EXPECT_LT(slots().DirOpen(&dir, Name8("EMPTY").data(), 0), 0);
  seen = Take();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].libref, "work    ");
  EXPECT_EQ(seen[0].name, "");

  for (const char* f : {"NOTES", "JAN", "MAR", "LONG", "EMPTY", "NOCAT"}) {
    EXPECT_EQ(Deassign(f), 0);
  }
}

// A host that makes catalogs only by a step of its own: it refuses every
// open of a catalog it does not have, whatever the mode.
int32_t RefuseUpdate(lib_open_request* r, uint32_t* library) {
  g_seen.push_back({"ylopen", std::string(r->libref, 8), Part(r->catalog), "",
                    r->open_mode});
  if (r->open_mode == kLibModeUpdate) return (int32_t)0x80E00008;
  if (r->open_mode == kLibModeRead) return (int32_t)0x80E00001;
  return g_ylopen(r, library);
}

TEST_F(HostRequestsTest, AMissingCatalogFailsEachSlotWithTheHostsOwnStatus) {
  Seed("E1", "CSV");  // the library WORK exists, its catalog NOTES not
  ASSERT_EQ(Assign("NOTES", "WORK.NOTES"), 0);
  ASSERT_EQ(Assign("JAN", "WORK.NOTES.JAN"), 0);

  // The reference host finds no catalog NOTES for input: each slot that
  // opens it so returns the host's status, never 0x80001006.
  int32_t st = 0;
  EXPECT_EQ(OpenEntry("JAN", kOpenInput, &st), nullptr);
  EXPECT_EQ(st, refhost::kLibNoSuchCatalog);
  EXPECT_EQ(slots().EntryExists(Name8("NOTES").data(), 0),
            refhost::kLibNoSuchCatalog);
  EXPECT_EQ(slots().EntryExists(Name8("JAN").data(), 0),
            refhost::kLibNoSuchCatalog);
  EXPECT_EQ(slots().Delete(Name8("JAN").data(), 0), refhost::kLibNoSuchCatalog);

  {
    ScopedService refuse(host(), ylopen_service, &RefuseUpdate);
    // A writing open asks for update once and returns the refusal.
    EXPECT_EQ(OpenEntry("JAN", kOpenOutput, &st), nullptr);
    EXPECT_EQ(st, (int32_t)0x80E00008);
    EXPECT_EQ(Take().size(), 1u);
    // A directory open asks for update, then for input, and returns the
    // second refusal.
    dir_handle* dir = (dir_handle*)&st;
    EXPECT_EQ(slots().DirOpen(&dir, Name8("NOTES").data(), 0),
              (int32_t)0x80E00001);
    EXPECT_EQ(dir, (dir_handle*)&st);
    std::vector<Seen> seen = Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].mode, kLibModeUpdate);
    EXPECT_EQ(seen[1].mode, kLibModeRead);
  }
  EXPECT_FALSE(store().FindCatalog("WORK", "NOTES").ok());
  EXPECT_EQ(Deassign("NOTES"), 0);
  EXPECT_EQ(Deassign("JAN"), 0);
}

std::vector<int32_t> g_point_modes;
ylmpoin_routine g_ylmpoin;
int32_t SeePoint(uint32_t member, void* position, int32_t mode) {
  g_point_modes.push_back(position == nullptr ? mode : -1);
  return g_ylmpoin(member, position, mode);
}

TEST_F(HostRequestsTest, OpenFlagsGiveTheLibraryModeTheAccessKindAndTheAppend) {
  Seed("E1", "CSV", {"one"});
  g_ylmpoin = host().service(ylmpoin_service);
  ScopedService a(host(), ylopen_service, &SeeLibraryOpen);
  ScopedService b(host(), ylmopen_service, &SeeMemberOpen);
  ScopedService c(host(), ylmpoin_service, &SeePoint);
  ASSERT_EQ(Assign("OLD", "WORK.CAT.E1.CSV"), 0);
  ASSERT_EQ(Assign("MODDED", "WORK.CAT.E1.CSV", Options("MOD")), 0);
  ASSERT_EQ(Assign("NEW", "WORK.CAT.NEW.CSV"), 0);

  struct Case {
    const char* fileref;
    int32_t flags, mode, access;
    bool append;  // a ylmpoin mode 2 follows ylmopen
  };
  for (Case c :
       {Case{"OLD", kOpenInput, 1, 1, false},
        Case{"OLD", kOpenInput | kOpenOutput, 1, 1, false},
        Case{"OLD", kOpenOutput, 8, 2, false},
        Case{"OLD", kOpenOutput | kOpenAppend, 8, 2, true},
        Case{"OLD", kOpenAppend, 8, 8, true},
        Case{"OLD", kOpenUpdate, 8, 8, false}, Case{"OLD", 0, 0, 8, false},
        Case{"MODDED", kOpenOutput, 8, 8, true},
        Case{"MODDED", kOpenInput, 1, 1, false},
        Case{"NEW", kOpenAppend, 8, 8, true}, Case{"NEW", 0, 0, 8, false}}) {
    SCOPED_TRACE(std::string(c.fileref) + " " + std::to_string(c.flags));
    g_point_modes.clear();
    int32_t st = 0;
    file_handle* handle = OpenEntry(c.fileref, c.flags, &st);
    ASSERT_EQ(st, 0);
    std::vector<Seen> seen = Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].mode, c.mode);
    EXPECT_EQ(seen[1].service, "ylmopen");
    EXPECT_EQ(seen[1].mode, c.access);
    EXPECT_EQ(g_point_modes,
              c.append ? std::vector<int32_t>{2} : std::vector<int32_t>{});
    ASSERT_EQ(slots().Close(handle), 0);
  }
  // An open with no flags and no record length has no record buffer: it
  // opens the entry on the host and moves no record.
  file_handle* handle = OpenEntry("NEW", 0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(slots().Write(handle, "x", 1, ' '), kStatusNoRecordBuffer);
  ASSERT_EQ(slots().Close(handle), 0);
  for (const char* f : {"OLD", "MODDED", "NEW"}) EXPECT_EQ(Deassign(f), 0);
}

// The reads of one open, as the host's ylmread sees them.
std::vector<int32_t> g_read_lengths;
ylmread_routine g_ylmread;
int32_t SeeRead(uint32_t member, record_request* r) {
  g_read_lengths.push_back(r->length);
  return g_ylmread(member, r);
}
int32_t g_stored_length;
ylminfo_routine g_ylminfo;
int32_t SeeInfo(member_request* r, int32_t zero, int32_t two, int32_t* out) {
  int32_t st = g_ylminfo(r, zero, two, out);
  g_stored_length = st < 0 ? -1 : *out;
  return st;
}

TEST_F(HostRequestsTest, EveryReadFitsTheLongestStoredRecord) {
  const std::string longest(300, 'x');
  Seed("E1", "CSV", {"short", longest, "mid-length"});
  g_ylmread = host().service(ylmread_service);
  g_ylminfo = host().service(ylminfo_service);
  ScopedService read(host(), ylmread_service, &SeeRead);
  ScopedService info(host(), ylminfo_service, &SeeInfo);
  ASSERT_EQ(Assign("E1", "WORK.CAT.E1.CSV", Options("LRECL=20")), 0);
  ASSERT_EQ(Assign("E2", "WORK.CAT.E1.CSV"), 0);

  // Whatever the open asks for, the record buffer holds the longest record
  // the entry has, which is what ylminfo reported.
  struct Case {
    const char* fileref;
    int32_t flags, requested;
  };
  for (Case c : {Case{"E2", kOpenInput, 0}, Case{"E2", kOpenInput, 50},
                 Case{"E1", kOpenInput, 0}, Case{"E1", kOpenUpdate, 0},
                 Case{"E1", kOpenAppend, 0}, Case{"E1", 0, 0}}) {
    SCOPED_TRACE(std::string(c.fileref) + " " + std::to_string(c.flags));
    g_stored_length = 0;
    open_request request{};
    request.open_flags = c.flags;
    request.record_length = c.requested;
    file_handle* handle = nullptr;
    ASSERT_EQ(slots().Open(&handle, Name8(c.fileref).data(), 0, &request), 0);
    EXPECT_EQ(g_stored_length, 300);
    EXPECT_GE(record_buffer_size(handle), 300);
    if (c.flags != kOpenAppend) {
      g_read_lengths.clear();
      char* data = nullptr;
      int32_t length = 0;
      for (int i = 0; i < 4; ++i) slots().Read(handle, &data, &length, nullptr);
      // The request carries no length to the host: the buffer's size is
      // the host's to know from what it reported.
      EXPECT_EQ(g_read_lengths, (std::vector<int32_t>{0, 0, 0, 0}));
    }
    ASSERT_EQ(slots().Close(handle), 0);
  }
  EXPECT_EQ(Deassign("E1"), 0);
  EXPECT_EQ(Deassign("E2"), 0);
}

int32_t g_answer;
int32_t AnswerRead(uint32_t, record_request* r) {
  r->length = 0;
  return g_answer;
}
int32_t AnswerDirRead(uint32_t, directory_entry_record*, int32_t) {
  return g_answer;
}
int32_t AnswerFind(member_request*) { return g_answer; }

TEST_F(HostRequestsTest, TheSignOfAHostStatusIsPartOfItsMeaning) {
  Seed("E1", "CSV", {"one"});
  ASSERT_EQ(Assign("E1", "WORK.CAT.E1.CSV"), 0);
  file_handle* handle = OpenEntry("E1", kOpenInput);
  ASSERT_NE(handle, nullptr);
  char* data = nullptr;
  int32_t length = 0;
  {
    // End of data is positive: the mask keeps bit 31, so a negative
    // status of the same low bits is a failure of the read.
    ScopedService read(host(), ylmread_service, &AnswerRead);
    g_answer = 0x1C00A;
    EXPECT_EQ(slots().Read(handle, &data, &length, nullptr), kStatusEndOfFile);
    g_answer = 0x4001C00A;  // bits the mask drops
    EXPECT_EQ(slots().Read(handle, &data, &length, nullptr), kStatusEndOfFile);
    g_answer = (int32_t)0x8001C00A;
    EXPECT_EQ(slots().Read(handle, &data, &length, nullptr),
              (int32_t)0x8001C00A);
  }
  ASSERT_EQ(slots().Close(handle), 0);

  dir_handle* dir = OpenDirectory("CAT", "WORK.CAT");
  ASSERT_NE(dir, nullptr);
  {
    ScopedService read(host(), yldread_service, &AnswerDirRead);
    char name[32], type[8];
    uint32_t stream = 0;
    g_answer = 0x1C00F;
    EXPECT_EQ(slots().DirNext(&stream, dir, name, &length, type),
              kStatusEndOfList);
    stream = 0;
    g_answer = (int32_t)0x8001C00F;
    EXPECT_EQ(slots().DirNext(&stream, dir, name, &length, type),
              (int32_t)0x8001C00F);
  }
  ASSERT_EQ(slots().DirClose(dir), 0);

  {
    // "No such entry" is negative: without bit 31 it is some other answer,
    // passed on as it came.
    ScopedService find(host(), ylmfind_service, &AnswerFind);
    g_answer = (int32_t)0x8001C006;
    EXPECT_EQ(slots().EntryExists(Name8("E1").data(), 0), kStatusNoSuchEntry);
    g_answer = 0x1C006;
    EXPECT_EQ(slots().EntryExists(Name8("E1").data(), 0), 0x1C006);
  }
  EXPECT_EQ(Deassign("E1"), 0);
  EXPECT_EQ(Deassign("CAT"), 0);
}

}  // namespace
