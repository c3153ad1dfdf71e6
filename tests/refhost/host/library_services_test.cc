// The catalog library services of vector 39, driven as the module drives
// them: through the host's vector, with request records built as the
// module builds them, and with the host's scribbling checked. Every story
// runs over each store: in memory, SQLite and PostgreSQL.

#include "refhost/host/library_services.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "refhost/host/host.h"
#include "refhost/store/catalog_store.h"
#include "refhost/store/library_files.h"
#include "support/faulty_store.h"
#include "support/server_database.h"

namespace refhost {
namespace {

constexpr uint8_t kFill = kScribbleFill;

template <typename T>
bool AllScribbled(const T& record, size_t from = 0, size_t to = sizeof(T)) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
  for (size_t i = from; i < to; ++i) {
    if (bytes[i] != kFill) return false;
  }
  return true;
}

void SetName(name_part* part, std::string_view text) {
  part->length = (int16_t)text.size();
  memcpy(part->text, text.data(), std::min<size_t>(text.size(), 32));
}

void SetType(char* field8, std::string_view text) {
  memset(field8, ' ', 8);
  memcpy(field8, text.data(), text.size());
}

enum class Kind { kMemory, kSqlite, kPostgres };

class LibraryServicesTest : public ::testing::TestWithParam<Kind> {
 protected:
  LibraryServicesTest() : host_(MakeStore()) {}
  ~LibraryServicesTest() override {
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }
  void SetUp() override {
    if (database_ != nullptr) {
      ASSERT_FALSE(database_->url().empty()) << database_->error();
    }
  }

  CatalogStore& store() { return *host_.store(); }
  FaultyStore& faults() { return *faults_; }
  LibraryServices& services() { return *host_.library_services(); }

  int32_t OpenLibrary(std::string_view libref, std::string_view catalog,
                      int32_t mode, uint32_t* handle) {
    lib_open_request r;
    memset(&r, 0, sizeof r);
    SetType(r.libref, libref);
    SetName(&r.catalog, catalog);
    r.open_mode = mode;
    int32_t st = host_.service(ylopen_service)(&r, handle);
    EXPECT_TRUE(AllScribbled(r)) << "ylopen leaves the request scribbled";
    return st;
  }
  int32_t CloseLibrary(uint32_t handle) {
    return host_.service(ylclose_service)(handle, 0);
  }
  int32_t OpenMember(uint32_t library, std::string_view name,
                     std::string_view type, int32_t access, uint32_t* member,
                     std::string_view description = "") {
    member_open_request r;
    memset(&r, 0, sizeof r);
    r.library = library;
    SetName(&r.entry, name);
    SetType(r.entry_type, type);
    r.option_bits = kMemberOpenOptionBits;
    r.value_512 = kMemberOpenValue512;
    r.access_kind = access;
    memset(r.description.text, ' ', sizeof r.description.text);
    r.description.length = (int16_t)description.size();
    memcpy(r.description.text, description.data(), description.size());
    int32_t st = host_.service(ylmopen_service)(&r, member);
    EXPECT_TRUE(AllScribbled(r)) << "ylmopen leaves the request scribbled";
    return st;
  }
  int32_t Write(uint32_t member, std::string_view bytes, uint16_t kind) {
    std::string buffer(bytes);
    record_request r;
    memset(&r, 0, sizeof r);
    r.buffer = buffer.data();
    r.length = (int32_t)buffer.size();
    r.kind = kind;
    int32_t st = host_.service(ylmwrit_service)(member, &r);
    EXPECT_TRUE(AllScribbled(r)) << "ylmwrit leaves the request scribbled";
    return st;
  }
  // Reads one record into a buffer of capacity bytes.
  int32_t Read(uint32_t member, std::string* bytes, uint16_t* kind,
               size_t capacity = 256) {
    std::vector<char> buffer(capacity, '?');
    record_request r;
    memset(&r, 0, sizeof r);
    r.buffer = buffer.data();
    int32_t st = host_.service(ylmread_service)(member, &r);
    EXPECT_TRUE(AllScribbled(r, 10)) << "ylmread scribbles bytes 10..27";
    EXPECT_EQ(r.buffer, buffer.data());
    bytes->assign(buffer.data(), std::max(r.length, 0));
    *kind = r.kind;
    return st;
  }
  int32_t CloseMember(uint32_t member) {
    return host_.service(ylmclos_service)(member, 0);
  }
  member_request Request(uint32_t library, std::string_view name,
                         std::string_view type) {
    member_request r;
    memset(&r, 0, sizeof r);
    r.library = library;
    SetName(&r.entry, name);
    SetType(r.entry_type, type);
    return r;
  }
  int32_t Find(uint32_t library, std::string_view name, std::string_view type) {
    member_request r = Request(library, name, type);
    int32_t st = host_.service(ylmfind_service)(&r);
    EXPECT_TRUE(AllScribbled(r));
    return st;
  }
  int32_t Info(uint32_t library, std::string_view name, std::string_view type,
               int32_t* result) {
    member_request r = Request(library, name, type);
    int32_t st = host_.service(ylminfo_service)(&r, 0, 2, result);
    EXPECT_TRUE(AllScribbled(r));
    return st;
  }
  int32_t Delete(uint32_t library, std::string_view name,
                 std::string_view type) {
    member_request r = Request(library, name, type);
    int32_t st = host_.service(ylmdel_service)(&r, 0);
    EXPECT_TRUE(AllScribbled(r));
    return st;
  }
  int32_t Note(uint32_t member, uint32_t* cell) {
    return host_.service(ylmnote_service)(member, cell);
  }
  int32_t Point(uint32_t member, void* cell, int32_t mode) {
    return host_.service(ylmpoin_service)(member, cell, mode);
  }
  int32_t DirOpen(uint32_t library, uint32_t* stream,
                  const char* selector = "ALL     ") {
    return host_.service(yldopen_service)(library, selector, 0, stream);
  }
  int32_t DirRead(uint32_t stream, directory_entry_record* entry) {
    return host_.service(yldread_service)(stream, entry, 0);
  }
  int32_t DirClose(uint32_t stream) {
    return host_.service(yldclos_service)(stream);
  }

  std::unique_ptr<CatalogStore> MakeStore() {
    std::unique_ptr<CatalogStore> base;
    switch (GetParam()) {
      case Kind::kMemory:
        base = NewMemoryCatalogStore();
        break;
      case Kind::kSqlite:
        folder_ = TempFolder();
        base = NewSqliteCatalogStore(folder_);
        break;
      case Kind::kPostgres:
        database_ = std::make_unique<ServerDatabase>();
        base = NewPostgresCatalogStore(database_->url());
        break;
    }
    auto store = std::make_unique<FaultyStore>(std::move(base));
    faults_ = store.get();
    return store;
  }

  std::string folder_;                        // the SQLite store's
  std::unique_ptr<ServerDatabase> database_;  // the server store's
  FaultyStore* faults_ = nullptr;             // the host's store
  Host host_;
};

TEST_P(LibraryServicesTest, OnlyUpdateModeCreatesLibraryAndCatalog) {
  uint32_t handle = 0x1234;
  EXPECT_EQ(OpenLibrary("WORK", "CAT", kLibModeRead, &handle),
            kLibNoSuchLibrary);
  EXPECT_EQ(OpenLibrary("WORK", "CAT", kLibModeNone, &handle),
            kLibNoSuchLibrary);
  EXPECT_EQ(handle, 0x1234u) << "a failed open leaves the handle";
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &handle), 0);
  EXPECT_NE(handle, 0u);
  EXPECT_TRUE(store().FindCatalog("WORK", "CAT").ok());
  EXPECT_EQ(CloseLibrary(handle), 0);

  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeRead, &handle), 0);
  EXPECT_EQ(CloseLibrary(handle), 0);
  EXPECT_EQ(OpenLibrary("WORK", "OTHER", kLibModeRead, &handle),
            kLibNoSuchCatalog);
  EXPECT_EQ(OpenLibrary("WORK", "CAT", 5, &handle), kLibBadRequest);
  EXPECT_EQ(OpenLibrary("WORK", "", kLibModeUpdate, &handle), kLibBadRequest);
  EXPECT_EQ(OpenLibrary("WO/K", "CAT", kLibModeUpdate, &handle),
            kLibBadRequest);
  EXPECT_EQ(services().open_libraries(), 0);

  // Only the first `length` characters of the catalog name count.
  lib_open_request r;
  memset(&r, 0, sizeof r);
  SetType(r.libref, "WORK");
  memcpy(r.catalog.text, "CATXXXXXXXXXXXXXXXXXXXXXXXXXXXXX", 32);
  r.catalog.length = 3;
  r.open_mode = kLibModeRead;
  ASSERT_EQ(host_.service(ylopen_service)(&r, &handle), 0);
  r.catalog.length = 33;
  EXPECT_EQ(host_.service(ylopen_service)(&r, &handle), kLibBadRequest);
  EXPECT_EQ(CloseLibrary(handle), 0);
}

TEST_P(LibraryServicesTest, EntryWrittenThenReadBackRecordByRecord) {
  uint32_t lib, out, in;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  ASSERT_EQ(OpenMember(lib, "E1", "SOURCE", kAccessWrite, &out, "my entry"), 0);
  EXPECT_EQ(Write(out, "first line", 1), 0);
  EXPECT_EQ(Write(out, "", 270), 0);
  EXPECT_EQ(Write(out, std::string(80, 'z'), 2), 0);
  // Nothing shows before the close.
  EXPECT_EQ(Find(lib, "E1", "SOURCE"), kHostNoSuchEntry);
  EXPECT_EQ(CloseMember(out), 0);
  EXPECT_EQ(Find(lib, "E1", "SOURCE"), 0);
  int32_t stored = -1;
  EXPECT_EQ(Info(lib, "E1", "SOURCE", &stored), 0);
  EXPECT_EQ(stored, 80) << "the longest record the entry holds";
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "E1", "SOURCE")->info.description,
            "my entry");

  ASSERT_EQ(OpenMember(lib, "E1", "SOURCE", kAccessRead, &in), 0);
  std::string bytes;
  uint16_t kind;
  EXPECT_EQ(Read(in, &bytes, &kind), 0);
  EXPECT_EQ(bytes, "first line");
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(Read(in, &bytes, &kind), 0);
  EXPECT_EQ(bytes, "");
  EXPECT_EQ(kind, 270);
  EXPECT_EQ(Read(in, &bytes, &kind, 80), 0);
  EXPECT_EQ(bytes, std::string(80, 'z'));
  int32_t st = Read(in, &bytes, &kind);
  EXPECT_EQ(st, kLibEndOfData);
  EXPECT_TRUE(host_end_of_data(st));
  EXPECT_EQ(bytes, "");
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(Write(in, "no", 0), kLibNotWritable);
  EXPECT_EQ(CloseMember(in), 0);
  EXPECT_EQ(CloseLibrary(lib), 0);
  EXPECT_EQ(services().calls(ylmwrit_service), 4);
  EXPECT_EQ(services().calls(ylmread_service), 4);
}

TEST_P(LibraryServicesTest, AttributesSetForAnEntryGoWithItsNextWriterClose) {
  uint32_t lib, out, in;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  ASSERT_TRUE(store().PutEntry("WORK", "CAT", "E1", "DATA", "", {}).ok());
  services().SetAttributesAtClose("work", "cat", "E1", "DATA    ", "mode=644");
  // A reader's close leaves them waiting for the writer.
  ASSERT_EQ(OpenMember(lib, "E1", "DATA", kAccessRead, &in), 0);
  EXPECT_EQ(CloseMember(in), 0);
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "E1", "DATA")->info.host_attributes,
            "");
  ASSERT_EQ(OpenMember(lib, "E1", "DATA", kAccessWrite, &out), 0);
  EXPECT_EQ(Write(out, "x", 1), 0);
  EXPECT_EQ(CloseMember(out), 0);
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "E1", "DATA")->info.host_attributes,
            "mode=644");
  // Taken once: the next writer that brings none drops them with the old
  // content.
  ASSERT_EQ(OpenMember(lib, "E1", "DATA", kAccessWrite, &out), 0);
  EXPECT_EQ(CloseMember(out), 0);
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "E1", "DATA")->info.host_attributes,
            "");
  EXPECT_EQ(CloseLibrary(lib), 0);
}

// A host that could not write all of an entry's records marks it: the
// module's close then leaves the entry as it was, attributes included.
TEST_P(LibraryServicesTest, AWriterMarkedForDiscardLeavesTheEntryAsItWas) {
  uint32_t lib, out;
  ASSERT_TRUE(
      store().PutEntry("WORK", "CAT", "KEEP", "DATA", "d", {{"old", 1}}).ok());
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  for (int access : {kAccessWrite, kAccessUpdate}) {
    ASSERT_EQ(OpenMember(lib, "KEEP", "DATA", access, &out, "new"), 0);
    EXPECT_EQ(Write(out, "half", 1), 0);
    services().SetAttributesAtClose("WORK", "CAT", "KEEP", "DATA", "new");
    services().DiscardAtClose("work", "cat", "KEEP", "DATA");
    EXPECT_EQ(CloseMember(out), 0);
    auto kept = store().GetEntry("WORK", "CAT", "KEEP", "DATA");
    EXPECT_EQ(kept->records, (std::vector<StoredRecord>{{"old", 1}}));
    EXPECT_EQ(kept->info.description, "d");
    EXPECT_EQ(kept->info.host_attributes, "");
  }
  // The mark and the attributes went with that close: the next writer
  // commits as usual.
  ASSERT_EQ(OpenMember(lib, "KEEP", "DATA", kAccessWrite, &out), 0);
  EXPECT_EQ(Write(out, "whole", 1), 0);
  EXPECT_EQ(CloseMember(out), 0);
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "KEEP", "DATA")->records,
            (std::vector<StoredRecord>{{"whole", 1}}));
  EntryInfo info;
  EXPECT_TRUE(services().FindEntry("work", "cat", "KEEP", "DATA", &info).ok());
  EXPECT_EQ(info.record_count, 1);
  EXPECT_EQ(CloseLibrary(lib), 0);
}

// New catalogs and entries get names fit to print; what was stored under
// another name before still reads and deletes.
TEST_P(LibraryServicesTest, NewNamesHoldNoControlCharactersAndAreUtf8) {
  uint32_t lib, member;
  EXPECT_EQ(OpenLibrary("WORK", "A\x1B[2J", kLibModeUpdate, &lib),
            kLibBadRequest);
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  for (std::string_view bad :
       {"TAB\tBED", "LINE\n", "BYTE\xFF", "C1\xC2\x9B"}) {
    EXPECT_EQ(OpenMember(lib, bad, "DATA", kAccessWrite, &member),
              kLibBadRequest)
        << bad;
  }
  ASSERT_EQ(OpenMember(lib, "CAF\xC3\x89", "DATA", kAccessWrite, &member), 0);
  EXPECT_EQ(CloseMember(member), 0);

  ASSERT_TRUE(store().PutEntry("WORK", "CAT", "OLD\tONE", "DATA", "", {}).ok());
  ASSERT_EQ(OpenMember(lib, "OLD\tONE", "DATA", kAccessRead, &member), 0);
  EXPECT_EQ(CloseMember(member), 0);
  ASSERT_EQ(OpenMember(lib, "OLD\tONE", "DATA", kAccessWrite, &member), 0);
  EXPECT_EQ(CloseMember(member), 0);
  EXPECT_EQ(Delete(lib, "OLD\tONE", "DATA"), 0);
  EXPECT_EQ(CloseLibrary(lib), 0);
}

TEST_P(LibraryServicesTest, OpensRefuseWhatTheyCannotServe) {
  uint32_t lib, member = 0x77;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  EXPECT_EQ(OpenMember(lib, "ABSENT", "SOURCE", kAccessRead, &member),
            kHostNoSuchEntry);
  EXPECT_EQ(OpenMember(lib, "", "SOURCE", kAccessWrite, &member),
            kLibBadRequest);
  EXPECT_EQ(OpenMember(lib, "E", "SOURCE", 3, &member), kLibBadRequest);
  EXPECT_EQ(OpenMember(lib + 99, "E", "SOURCE", kAccessWrite, &member),
            kLibBadHandle);
  EXPECT_EQ(member, 0x77u);
  EXPECT_EQ(services().open_members(), 0);

  ASSERT_EQ(OpenMember(lib, "E", "SOURCE", kAccessWrite, &member), 0);
  record_request r;
  memset(&r, 0, sizeof r);
  r.length = -1;
  char byte = 'x';
  r.buffer = &byte;
  EXPECT_EQ(host_.service(ylmwrit_service)(member, &r), kLibBadRequest);
  memset(&r, 0, sizeof r);
  r.length = 5;  // and no buffer
  EXPECT_EQ(host_.service(ylmwrit_service)(member, &r), kLibBadRequest);
  EXPECT_EQ(CloseMember(member), 0);
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "E", "SOURCE")->records.size(), 0u);
  EXPECT_EQ(CloseLibrary(lib), 0);
}

TEST_P(LibraryServicesTest, UpdateAppendsAtTheEndAndPointsBackToANote) {
  ASSERT_TRUE(
      store()
          .PutEntry("WORK", "CAT", "LOG1", "LOG", "", {{"a", 0}, {"b", 0}})
          .ok());
  uint32_t lib, member;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  ASSERT_EQ(OpenMember(lib, "LOG1", "LOG", kAccessUpdate, &member), 0);
  ASSERT_EQ(Point(member, nullptr, 2), 0) << "to the end";
  uint32_t cell = 0xFFFF;
  ASSERT_EQ(Note(member, &cell), 0);
  EXPECT_EQ(cell, 2u);
  EXPECT_EQ(Write(member, "c", 0), 0);
  EXPECT_EQ(Write(member, "d", 0), 0);

  ASSERT_EQ(Point(member, &cell, 0), 0);
  std::string bytes;
  uint16_t kind;
  EXPECT_EQ(Read(member, &bytes, &kind), 0);
  EXPECT_EQ(bytes, "c");

  uint32_t beyond = 9;
  EXPECT_EQ(Point(member, &beyond, 0), kLibBadPosition);
  EXPECT_EQ(Point(member, nullptr, 0), kLibBadPosition);
  EXPECT_EQ(Point(member, &cell, 2), kLibBadPosition);
  EXPECT_EQ(Point(member, &cell, 7), kLibBadRequest);
  EXPECT_EQ(Note(member, nullptr), kLibBadPosition);
  ASSERT_EQ(Note(member, &cell), 0);
  EXPECT_EQ(cell, 3u) << "refused points left the position";

  // A write after pointing into the middle replaces the rest.
  uint32_t one = 1;
  ASSERT_EQ(Point(member, &one, 0), 0);
  EXPECT_EQ(Write(member, "B", 0), 0);
  EXPECT_EQ(CloseMember(member), 0);
  std::vector<StoredRecord> expected = {{"a", 0}, {"B", 0}};
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "LOG1", "LOG")->records, expected);
  EXPECT_EQ(CloseLibrary(lib), 0);
}

TEST_P(LibraryServicesTest, FindInfoAndDeleteAnswerNoSuchEntryWhenAbsent) {
  ASSERT_TRUE(store()
                  .PutEntry("WORK", "CAT", "E", "CATAMS", "",
                            {{"12345", 0}, {"1234567", 0}, {"", 0}})
                  .ok());
  uint32_t lib;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeRead, &lib), 0);
  int32_t stored = -5;
  EXPECT_EQ(Info(lib, "NOPE", "CATAMS", &stored), kHostNoSuchEntry);
  EXPECT_EQ(stored, -5) << "untouched on failure";
  EXPECT_EQ(Find(lib, "E", "SOURCE"), kHostNoSuchEntry) << "types differ";
  EXPECT_EQ(Delete(lib, "NOPE", "CATAMS"), kHostNoSuchEntry);
  EXPECT_EQ(Info(lib, "E", "CATAMS", &stored), 0);
  EXPECT_EQ(stored, 7);
  // Deletion works on a library opened for reading: the module opens it so.
  EXPECT_EQ(Delete(lib, "E", "CATAMS"), 0);
  EXPECT_EQ(Find(lib, "E", "CATAMS"), kHostNoSuchEntry);
  EXPECT_EQ(Find(lib + 1000, "E", "CATAMS"), kLibBadHandle);
  EXPECT_EQ(CloseLibrary(lib), 0);
}

TEST_P(LibraryServicesTest, DirectoryStreamListsByNameThenType) {
  for (const char* name : {"B", "A"}) {
    ASSERT_TRUE(store().PutEntry("WORK", "CAT", name, "SOURCE", "", {}).ok());
  }
  ASSERT_TRUE(store().PutEntry("WORK", "CAT", "A", "LOG", "", {}).ok());
  uint32_t lib, stream = 0;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeRead, &lib), 0);
  EXPECT_EQ(DirOpen(lib, &stream, "SOME    "), kLibBadRequest);
  ASSERT_EQ(DirOpen(lib, &stream), 0);
  // An entry made after the open is not in this walk.
  ASSERT_TRUE(store().PutEntry("WORK", "CAT", "C", "LOG", "", {}).ok());
  std::vector<std::string> seen;
  directory_entry_record entry;
  int32_t st;
  while ((st = DirRead(stream, &entry)) == 0) {
    EXPECT_EQ(std::string(entry.name + entry.name_length,
                          entry.name + kNameTextLength),
              std::string(kNameTextLength - entry.name_length, ' '));
    seen.push_back(std::string(entry.name, entry.name_length) + "." +
                   std::string(entry.entry_type, 8));
  }
  EXPECT_EQ(st, kLibNoMoreEntries);
  EXPECT_TRUE(host_no_more_entries(st));
  EXPECT_EQ(seen, (std::vector<std::string>{"A.LOG     ", "A.SOURCE  ",
                                            "B.SOURCE  "}));
  EXPECT_EQ(DirClose(stream), 0);
  EXPECT_EQ(DirClose(stream), kLibBadHandle);
  EXPECT_EQ(CloseLibrary(lib), 0);
}

// Records go to and come from the member named, whichever was used last;
// a closed member's handle reads nothing, even right after it was read.
TEST_P(LibraryServicesTest, EachRecordGoesToTheMemberItNames) {
  ASSERT_TRUE(
      store()
          .PutEntry("WORK", "CAT", "A", "DATA", "", {{"a1", 1}, {"a2", 2}})
          .ok());
  ASSERT_TRUE(
      store()
          .PutEntry("WORK", "CAT", "B", "DATA", "", {{"b1", 3}, {"b2", 4}})
          .ok());
  uint32_t lib, a, b, c;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  ASSERT_EQ(OpenMember(lib, "A", "DATA", kAccessRead, &a), 0);
  ASSERT_EQ(OpenMember(lib, "B", "DATA", kAccessRead, &b), 0);
  std::string bytes;
  uint16_t kind;
  EXPECT_EQ(Read(a, &bytes, &kind), 0);
  EXPECT_EQ(bytes, "a1");
  EXPECT_EQ(Read(b, &bytes, &kind), 0);
  EXPECT_EQ(bytes, "b1");
  EXPECT_EQ(Read(a, &bytes, &kind), 0);
  EXPECT_EQ(bytes, "a2");
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(CloseMember(a), 0);
  EXPECT_EQ(Read(a, &bytes, &kind), kLibBadHandle);
  ASSERT_EQ(OpenMember(lib, "C", "DATA", kAccessWrite, &c), 0);
  EXPECT_EQ(Write(c, "c1", 5), 0);
  EXPECT_EQ(Read(b, &bytes, &kind), 0);
  EXPECT_EQ(bytes, "b2");
  EXPECT_EQ(Write(c, "c2", 6), 0);
  EXPECT_EQ(CloseMember(c), 0);
  EXPECT_EQ(Write(c, "c3", 7), kLibBadHandle);
  EXPECT_EQ(Read(b, &bytes, &kind), kLibEndOfData);
  EXPECT_EQ(CloseMember(b), 0);
  EXPECT_EQ(CloseLibrary(lib), 0);
  std::vector<StoredRecord> written = {{"c1", 5}, {"c2", 6}};
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "C", "DATA")->records, written);
}

TEST_P(LibraryServicesTest, CloseRefusesOpenMembersAndEndsStreamsAndItems) {
  uint32_t lib, member, stream;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  ASSERT_EQ(OpenMember(lib, "E", "SOURCE", kAccessWrite, &member), 0);
  ASSERT_EQ(DirOpen(lib, &stream), 0);
  info_item item;
  memset(&item, 0, sizeof item);
  item.item_count = 1;
  item.label = "Catalog Name";
  item.label_length = 12;
  item.value = "WORK.CAT";
  item.value_length = 8;
  ASSERT_EQ(host_.service(ylinfsy_service)(lib, &item), 0);

  EXPECT_EQ(CloseLibrary(lib), kLibMembersOpen);
  EXPECT_EQ(services().open_libraries(), 1) << "refused: still open";
  EXPECT_EQ(CloseMember(member), 0);
  EXPECT_EQ(CloseLibrary(lib), 0);
  EXPECT_EQ(services().open_streams(), 0) << "a walk given up ends";
  EXPECT_TRUE(services().items().empty());
  directory_entry_record entry;
  EXPECT_EQ(DirRead(stream, &entry), kLibBadHandle);
  EXPECT_EQ(CloseLibrary(lib), kLibBadHandle) << "stale";
  EXPECT_EQ(CloseMember(member), kLibBadHandle) << "stale";
  std::string bytes;
  uint16_t kind;
  EXPECT_EQ(Read(member, &bytes, &kind), kLibBadHandle);
  EXPECT_EQ(Note(member, nullptr), kLibBadHandle);
}

TEST_P(LibraryServicesTest, HandlesOfOneKindAreRefusedAsAnother) {
  uint32_t lib, member, stream;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  ASSERT_EQ(OpenMember(lib, "E", "SOURCE", kAccessWrite, &member), 0);
  ASSERT_EQ(DirOpen(lib, &stream), 0);
  EXPECT_EQ(CloseLibrary(member), kLibBadHandle);
  EXPECT_EQ(CloseLibrary(stream), kLibBadHandle);
  EXPECT_EQ(CloseMember(lib), kLibBadHandle);
  EXPECT_EQ(DirClose(member), kLibBadHandle);
  EXPECT_EQ(Find(member, "E", "SOURCE"), kLibBadHandle);
  EXPECT_EQ(Write(lib, "x", 0), kLibBadHandle);
  EXPECT_EQ(DirClose(stream), 0);
  EXPECT_EQ(CloseMember(member), 0);
  EXPECT_EQ(CloseLibrary(lib), 0);
}

TEST_P(LibraryServicesTest, InfoItemsAreRegisteredAndWithdrawnById) {
  uint32_t lib;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  info_item item;
  memset(&item, 0, sizeof item);
  item.item_count = 1;
  item.label = "Catalog Name";
  item.label_length = 12;
  item.value = "WORK.CAT.E.SOURCE";
  item.value_length = 17;
  ASSERT_EQ(host_.service(ylinfsy_service)(lib, &item), 0);
  EXPECT_NE(item.host_word, 0u);
  ASSERT_EQ(services().items().size(), 1u);
  EXPECT_EQ(services().items()[0].label, "Catalog Name");
  EXPECT_EQ(services().items()[0].value, "WORK.CAT.E.SOURCE");

  auto release = host_.service(ylinfsr_service);
  EXPECT_EQ(release(lib, item.host_word + 1), kLibUnknownItem);
  EXPECT_EQ(release(lib, item.host_word), 0);
  EXPECT_EQ(release(lib, item.host_word), kLibUnknownItem);
  EXPECT_TRUE(services().items().empty());

  item.label_length = -1;
  EXPECT_EQ(host_.service(ylinfsy_service)(lib, &item), kLibBadRequest);
  EXPECT_EQ(CloseLibrary(lib), 0);
}

TEST_P(LibraryServicesTest, ServicesWithoutAHostAnswerAnError) {
  auto close = host_.service(ylclose_service);
  {
    Host bare(nullptr);  // current now, and without library services
    EXPECT_EQ(close(1, 0), kLibNoServices);
  }
  EXPECT_EQ(close(0x01000042, 0), kLibBadHandle) << "ours again";
}

}  // namespace
}  // namespace refhost

namespace refhost {
namespace {

std::vector<StoredRecord> RecordsOf(CatalogStore& store,
                                    std::string_view name) {
  std::optional<Entry> entry = store.GetEntry("WORK", "CAT", name, "DATA");
  return entry ? entry->records : std::vector<StoredRecord>{};
}

// A close the store cannot commit: the status says so, the entry keeps
// what it held, and the member is closed all the same (the entry close of
// the module does not close it again). Once the store works, a new writer
// commits as ever.
TEST_P(LibraryServicesTest, CloseTheStoreCannotCommitLeavesTheEntryAsItWas) {
  ASSERT_TRUE(
      store().PutEntry("WORK", "CAT", "E1", "DATA", "", {{"old", 145}}).ok());
  uint32_t lib, out;
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeUpdate, &lib), 0);
  ASSERT_EQ(OpenMember(lib, "E1", "DATA", kAccessWrite, &out), 0);
  ASSERT_EQ(Write(out, "new", 145), 0);
  faults().Fail(FaultyStore::kCommit);
  EXPECT_EQ(CloseMember(out), kLibStoreFailed);
  EXPECT_EQ(services().last_store_failure().message(), "injected failure");
  EXPECT_EQ(RecordsOf(store(), "E1"),
            (std::vector<StoredRecord>{{"old", 145}}));
  EXPECT_EQ(services().open_members(), 0);
  // Closed once more (a member close the module kept): nothing is left to
  // close; after that the handle is unknown.
  EXPECT_EQ(CloseMember(out), 0);
  EXPECT_EQ(CloseMember(out), kLibBadHandle);

  faults().Heal();
  ASSERT_EQ(OpenMember(lib, "E1", "DATA", kAccessWrite, &out), 0);
  ASSERT_EQ(Write(out, "new", 145), 0);
  EXPECT_EQ(CloseMember(out), 0);
  EXPECT_EQ(RecordsOf(store(), "E1"),
            (std::vector<StoredRecord>{{"new", 145}}));
  EXPECT_EQ(CloseLibrary(lib), 0);
}

// Every other service the store can fail answers kLibStoreFailed, gives no
// handle, changes nothing stored, and leaves the handles it was given as
// they were.
TEST_P(LibraryServicesTest, StoreFailuresAnswerStoreFailedAndChangeNothing) {
  ASSERT_TRUE(
      store().PutEntry("WORK", "CAT", "E1", "DATA", "", {{"one", 145}}).ok());
  uint32_t lib = 0x77, member = 0x77, stream = 0x77;

  faults().Fail(FaultyStore::kCreate);
  EXPECT_EQ(OpenLibrary("WORK", "NEW", kLibModeUpdate, &lib), kLibStoreFailed);
  faults().Fail(FaultyStore::kFind);
  EXPECT_EQ(OpenLibrary("WORK", "CAT", kLibModeRead, &lib), kLibStoreFailed);
  EXPECT_EQ(lib, 0x77u);
  EXPECT_EQ(services().open_libraries(), 0);
  faults().Heal();
  EXPECT_TRUE(store().ListEntries("WORK", "NEW").empty());
  ASSERT_EQ(OpenLibrary("WORK", "CAT", kLibModeRead, &lib), 0);

  int32_t longest = -1;
  faults().Fail(FaultyStore::kFind);
  EXPECT_EQ(Find(lib, "E1", "DATA"), kLibStoreFailed);
  EXPECT_EQ(Info(lib, "E1", "DATA", &longest), kLibStoreFailed);
  EXPECT_EQ(longest, -1);
  faults().Fail(FaultyStore::kDelete);
  EXPECT_EQ(Delete(lib, "E1", "DATA"), kLibStoreFailed);
  faults().Fail(FaultyStore::kList);
  EXPECT_EQ(DirOpen(lib, &stream), kLibStoreFailed);
  EXPECT_EQ(stream, 0x77u);
  EXPECT_EQ(services().open_streams(), 0);
  faults().Fail(FaultyStore::kOpen);
  EXPECT_EQ(OpenMember(lib, "E1", "DATA", kAccessRead, &member),
            kLibStoreFailed);
  EXPECT_EQ(member, 0x77u);
  EXPECT_EQ(services().open_members(), 0);

  // A member already open: its reads, writes and points fail, and it closes.
  faults().Heal();
  ASSERT_EQ(OpenMember(lib, "E1", "DATA", kAccessUpdate, &member), 0);
  faults().Fail(FaultyStore::kRead | FaultyStore::kWrite | FaultyStore::kSeek);
  std::string bytes = "?";
  uint16_t kind = 7;
  EXPECT_EQ(Read(member, &bytes, &kind), kLibStoreFailed);
  EXPECT_EQ(bytes, "");
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(Write(member, "two", 145), kLibStoreFailed);
  uint32_t start = 0;
  EXPECT_EQ(Point(member, &start, 0), kLibStoreFailed);
  faults().Heal();
  EXPECT_EQ(CloseMember(member), 0);
  EXPECT_EQ(CloseLibrary(lib), 0);
  EXPECT_EQ(RecordsOf(store(), "E1"),
            (std::vector<StoredRecord>{{"one", 145}}));
  EXPECT_EQ(faults().failures(), 10) << "each failure came from the store";
}

INSTANTIATE_TEST_SUITE_P(Stores, LibraryServicesTest,
                         ::testing::Values(Kind::kMemory, Kind::kSqlite,
                                           Kind::kPostgres),
                         [](const auto& info) {
                           return info.param == Kind::kMemory   ? "Memory"
                                  : info.param == Kind::kSqlite ? "Sqlite"
                                                                : "Postgres";
                         });

}  // namespace
}  // namespace refhost
