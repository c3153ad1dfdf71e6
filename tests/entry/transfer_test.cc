// Record transfer through the routine vector and the io_vector, against
// the reference host's in-memory store: the record layouts and kind codes
// each entry type stores, carriage control, fixed-length fill, truncation,
// the lead-byte records of SOURCE, LOG and OUTPUT, append, note and point,
// and the cost of one record.

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "entry_fixture.h"
#include "refhost/host/library_services.h"

namespace {

using refhost::StoredRecord;

struct TypeKind {
  const char* type;
  uint16_t kind;
};

const TypeKind kWritable[] = {
    {"SOURCE", 145}, {"LOG", 145}, {"OUTPUT", 145}, {"HTML", 322}, {"GIF", 321},
    {"JPEG", 321},   {"CSS", 322}, {"WML", 322},    {"XML", 322},  {"XSL", 322},
    {"RTF", 322},    {"PDF", 321}, {"PS", 322},     {"CSV", 322},  {"JS", 322},
    {"VBS", 322},    {"JAR", 321}, {"CATAMS", 145},
};

TEST_F(EntryTest, EveryWritableTypeRoundTripsThroughSlots18And19) {
  for (const TypeKind& t : kWritable) {
    SCOPED_TRACE(t.type);
    ASSERT_EQ(Assign("F", std::string("work.cat.e1.") + t.type), 0);
    file_handle* out = MustOpen("F", kOpenOutput);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Write(out, "first"), 0);
    EXPECT_EQ(Write(out, ""), 0);
    EXPECT_EQ(Write(out, "third"), 0);
    ASSERT_EQ(slots().Close(out), 0);

    // Slot 19 adds no lead byte, whatever the type; an empty record of a
    // CATAMS entry is stored as "1" of kind 270.
    bool catams = std::string(t.type) == "CATAMS";
    std::vector<StoredRecord> expected = {
        Rec("first", t.kind), catams ? Rec("1", 270) : Rec("", t.kind),
        Rec("third", t.kind)};
    EXPECT_EQ(Stored("E1", t.type), expected);

    // The data record length of a SOURCE, LOG or OUTPUT entry leaves room
    // for a lead byte; a request length makes room for the whole record.
    file_handle* in = MustOpen("F", kOpenInput, 100);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(ReadAll(in), (std::vector<std::string>{"first", "", "third"}));
    EXPECT_EQ(slots().Close(in), 0);
  }
}

TEST_F(EntryTest, CarriageControlLeadsEachRecord) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html", Options("RECFM=P")), 0);
  file_handle* out = MustOpen("F", kOpenOutput);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Write(out, "abc", '1'), 0);
  EXPECT_EQ(Write(out, "", '0'), 0);
  ASSERT_EQ(slots().Close(out), 0);
  EXPECT_EQ(Stored("E1", "HTML"),
            (std::vector<StoredRecord>{Rec("1abc", 322), Rec("0", 322)}));

  file_handle* in = MustOpen("F", kOpenInput);
  ASSERT_NE(in, nullptr);
  ReadResult r = Read(in);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.data, "abc");
  EXPECT_EQ(r.control, '1');
  r = Read(in);
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(r.control, '0');
  EXPECT_EQ(Read(in).status, kStatusEndOfFile);
  EXPECT_EQ(slots().Close(in), 0);

  // A stored record with no byte at all has a blank control character.
  Seed("E2", "HTML", {Rec("", 322)});
  ASSERT_EQ(Assign("G", "work.cat.e2.html", Options("RECFM=P")), 0);
  in = MustOpen("G", kOpenInput, 10);
  ASSERT_NE(in, nullptr);
  r = Read(in);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(r.control, ' ');
  EXPECT_EQ(slots().Close(in), 0);

  // An empty CATAMS record with carriage control is the control character.
  ASSERT_EQ(Assign("H", "work.cat.e3", Options("RECFM=P")), 0);
  out = MustOpen("H", kOpenOutput);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Write(out, "", '+'), 0);
  ASSERT_EQ(slots().Close(out), 0);
  EXPECT_EQ(Stored("E3", "CATAMS"), std::vector<StoredRecord>{Rec("+", 145)});
}

TEST_F(EntryTest, FixedLengthRecordsAreBlankFilled) {
  // Without carriage control the caller's bytes go out as they are.
  ASSERT_EQ(Assign("F", "work.cat.e1.html", Options("RECFM=F LRECL=10")), 0);
  file_handle* out = MustOpen("F", kOpenOutput);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Write(out, "abc"), 0);
  ASSERT_EQ(slots().Close(out), 0);
  EXPECT_EQ(Stored("E1", "HTML"), std::vector<StoredRecord>{Rec("abc", 322)});

  // A read hands back the record's own length, blanks behind it.
  file_handle* in = MustOpen("F", kOpenInput);
  ASSERT_NE(in, nullptr);
  char* data = nullptr;
  int32_t length = 0;
  ASSERT_EQ(slots().Read(in, &data, &length, nullptr), 0);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(std::string(data, 10), "abc       ");
  EXPECT_EQ(slots().Close(in), 0);

  // With carriage control the record is built whole: control, data, fill.
  ASSERT_EQ(
      Assign("G", "work.cat.e2.html", Options("RECFM=P RECFM=F LRECL=10")), 0);
  out = MustOpen("G", kOpenOutput);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->data_length, 9);
  EXPECT_EQ(Write(out, "abc", '-'), 0);
  ASSERT_EQ(slots().Close(out), 0);
  EXPECT_EQ(Stored("E2", "HTML"),
            std::vector<StoredRecord>{Rec("-abc      ", 322)});
}

TEST_F(EntryTest, LongRecordsAreCutWithAWarning) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html", Options("LRECL=8")), 0);
  file_handle* out = MustOpen("F", kOpenOutput);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Write(out, "0123456789"), kStatusTruncated);
  EXPECT_EQ(Write(out, "01234567"), 0);

  // A host warning wins over the module's.
  static ylmwrit_routine real_write;
  real_write = host().service(ylmwrit_service);
  {
    ScopedService warn(host(), ylmwrit_service,
                       [](uint32_t m, record_request* r) {
                         real_write(m, r);
                         return (int32_t)7;
                       });
    EXPECT_EQ(Write(out, "0123456789"), 7);
  }
  ASSERT_EQ(slots().Close(out), 0);
  EXPECT_EQ(
      Stored("E1", "HTML"),
      (std::vector<StoredRecord>{Rec("01234567", 322), Rec("01234567", 322),
                                 Rec("01234567", 322)}));

  // Reading a record longer than the data record length.
  Seed("E2", "HTML", {Rec("0123456789AB", 322)});
  ASSERT_EQ(Assign("G", "work.cat.e2.html", Options("LRECL=8")), 0);
  file_handle* in = MustOpen("G", kOpenInput);
  ASSERT_NE(in, nullptr);
  ReadResult r = Read(in);
  EXPECT_EQ(r.status, kStatusTruncated);
  EXPECT_EQ(r.data, "01234567");
  EXPECT_EQ(slots().Close(in), 0);
}

TEST_F(EntryTest, LeadByteRecordsThroughTheIoVector) {
  ASSERT_EQ(Assign("F", "work.cat.e1.source"), 0);
  file_handle* out = MustOpen("F", kOpenOutput);
  ASSERT_NE(out, nullptr);
  io_vector* v = nullptr;
  ASSERT_EQ(slots().IoVector(out, &v), 0);
  EXPECT_EQ(v->write(out, "ABC", 3, 0), 0);
  EXPECT_EQ(v->write(out, "", 0, 0), 0);
  ASSERT_EQ(slots().Close(out), 0);
  EXPECT_EQ(Stored("E1", "SOURCE"),
            (std::vector<StoredRecord>{Rec(std::string("\0ABC", 4)),
                                       Rec(std::string("\0", 1))}));
  file_handle* in = MustOpen("F", kOpenInput);
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(slots().IoVector(in, &v), 0);
  EXPECT_EQ(ReadAll(in, v->read), (std::vector<std::string>{"ABC", ""}));
  EXPECT_EQ(slots().Close(in), 0);

  // Carriage control: lead byte, control character, data.
  ASSERT_EQ(Assign("G", "work.cat.e2.log", Options("RECFM=P")), 0);
  out = MustOpen("G", kOpenOutput);
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(slots().IoVector(out, &v), 0);
  EXPECT_EQ(v->write(out, "DATA", 4, '1'), 0);
  ASSERT_EQ(slots().Close(out), 0);
  EXPECT_EQ(Stored("E2", "LOG"),
            std::vector<StoredRecord>{Rec(std::string("\0"
                                                      "1DATA",
                                                      6))});
  in = MustOpen("G", kOpenInput);
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(slots().IoVector(in, &v), 0);
  ReadResult r = Read(in, v->read);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.data, "DATA");
  EXPECT_EQ(r.control, '1');
  EXPECT_EQ(slots().Close(in), 0);

  // Fixed length: the record takes the stored length, blank-filled.
  ASSERT_EQ(Assign("H", "work.cat.e3.output", Options("RECFM=F LRECL=10")), 0);
  out = MustOpen("H", kOpenOutput);
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(slots().IoVector(out, &v), 0);
  EXPECT_EQ(v->write(out, "AB", 2, 0), 0);
  ASSERT_EQ(slots().Close(out), 0);
  EXPECT_EQ(Stored("E3", "OUTPUT"),
            std::vector<StoredRecord>{Rec(std::string("\0AB       ", 10))});
}

TEST_F(EntryTest, LeadByteRecordThatOverrunsTheStoredLengthWarns) {
  // With ATTR and carriage control on an update, the data record length is
  // the stored length less one, but a record carries two leading bytes.
  Seed("E1", "LOG", {Rec(std::string(10, 'x'))});
  ASSERT_EQ(Assign("F", "work.cat.e1.log", Options("RECFM=P ATTR")), 0);
  file_handle* out = MustOpen("F", kOpenUpdate);
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(out->data_length, 9);
  io_vector* v = nullptr;
  ASSERT_EQ(slots().IoVector(out, &v), 0);
  EXPECT_EQ(v->write(out, "12345678", 8, '1'), 0);
  EXPECT_EQ(v->write(out, "123456789", 9, '1'), kStatusTruncated);
  ASSERT_EQ(slots().Close(out), 0);
}

// A SOURCE entry whose records other writers made, read with and without
// ATTR.
TEST_F(EntryTest, LeadByteReadsFollowTheKindCode) {
  Seed("E1", "SOURCE",
       {Rec(std::string("\0ABC", 4), 145), Rec("0123456789", 999),
        Rec("0123456789", 187), Rec("0123", 186), Rec("0", 186), Rec("0", 999),
        Rec("", 145)});
  struct Expect {
    int32_t attr;
    std::vector<std::string> records;
  };
  const Expect kExpect[] = {
      {0, {"ABC", "1234", "123", "12", "", "", ""}},
      {1, {std::string("\0ABC", 4), "01239", "01239", "0123", "0", "0", ""}},
  };
  for (const Expect& e : kExpect) {
    SCOPED_TRACE(e.attr);
    ASSERT_EQ(
        Assign("F", "work.cat.e1.source", e.attr ? Options("ATTR") : nullptr),
        0);
    file_handle* in = MustOpen("F", kOpenInput);
    ASSERT_NE(in, nullptr);
    io_vector* v = nullptr;
    ASSERT_EQ(slots().IoVector(in, &v), 0);
    EXPECT_EQ(ReadAll(in, v->read), e.records);
    EXPECT_EQ(slots().Close(in), 0);
    ASSERT_EQ(slots().Deassign("F       ", 0), 0);
  }

  // With carriage control the control character is byte 1.
  Seed("E2", "SOURCE",
       {Rec(std::string("\0"
                        "1DATA",
                        6),
            145),
        Rec("", 145)});
  ASSERT_EQ(Assign("G", "work.cat.e2.source", Options("RECFM=P")), 0);
  file_handle* in = MustOpen("G", kOpenInput);
  ASSERT_NE(in, nullptr);
  io_vector* v = nullptr;
  ASSERT_EQ(slots().IoVector(in, &v), 0);
  ReadResult r = Read(in, v->read);
  EXPECT_EQ(r.data, "DATA");
  EXPECT_EQ(r.control, '1');
  // An empty record leaves the control character alone.
  r = Read(in, v->read);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(r.control, '?');
  EXPECT_EQ(slots().Close(in), 0);
}

TEST_F(EntryTest, EmptyCatamsRecordIsNeverPadded) {
  Seed("E1", "CATAMS", {Rec("1", 270), Rec("x", 145)});
  ASSERT_EQ(Assign("F", "work.cat.e1", Options("RECFM=F")), 0);
  file_handle* in = MustOpen("F", kOpenInput, 20);
  ASSERT_NE(in, nullptr);
  char* data = nullptr;
  int32_t length = -1;
  char control = '?';
  ASSERT_EQ(slots().Read(in, &data, &length, &control), 0);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(data, in->record_buffer);
  EXPECT_EQ(data[0], '1');  // the stored byte, not a blank
  EXPECT_EQ(control, '?');
  ASSERT_EQ(slots().Read(in, &data, &length, &control), 0);
  EXPECT_EQ(std::string(data, 20), "x                   ");
  EXPECT_EQ(control, ' ');
  EXPECT_EQ(slots().Close(in), 0);
}

TEST_F(EntryTest, AppendStartsAtTheEnd) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  file_handle* out = MustOpen("F", kOpenOutput);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Write(out, "a"), 0);
  EXPECT_EQ(Write(out, "b"), 0);
  ASSERT_EQ(slots().Close(out), 0);

  out = MustOpen("F", kOpenAppend);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Write(out, "c"), 0);
  ASSERT_EQ(slots().Close(out), 0);

  // MOD turns an output open into an append.
  out = MustOpen("F", kOpenOutput, 0, Options("MOD"));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Write(out, "d"), 0);
  ASSERT_EQ(slots().Close(out), 0);

  file_handle* in = MustOpen("F", kOpenInput);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(ReadAll(in), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(slots().Close(in), 0);
}

TEST_F(EntryTest, PointReturnsToANotedPosition) {
  Seed("E1", "HTML", {Rec("r0"), Rec("r1"), Rec("r2"), Rec("r3")});
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  file_handle* in = MustOpen("F", kOpenInput);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(Read(in).data, "r0");
  uint32_t position = 0xFFFFFFFF;
  EXPECT_EQ(slots().Note(in, &position), 0);
  EXPECT_EQ(Read(in).data, "r1");
  EXPECT_EQ(Read(in).data, "r2");
  EXPECT_EQ(slots().Point(in, &position), 0);
  EXPECT_EQ(Read(in).data, "r1");
  EXPECT_EQ(slots().Flush(in), 0);
  EXPECT_EQ(slots().Close(in), 0);
}

TEST_F(EntryTest, IoVectorHoldsThePairForTheEntryType) {
  Seed("E1", "SOURCEXY", {Rec("x")});
  Seed("E2", "SOURCE", {Rec("x")});
  ASSERT_EQ(Assign("F", "work.cat.e1.sourcexy"), 0);
  ASSERT_EQ(Assign("G", "work.cat.e2.source"), 0);
  file_handle* plain = MustOpen("F", kOpenInput);
  file_handle* lead = MustOpen("G", kOpenInput);
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(lead, nullptr);

  // No memory: neither the output nor the handle changes.
  io_vector* untouched = (io_vector*)0x1234;
  host().module_arena().FailAfter(0);
  EXPECT_EQ(slots().IoVector(plain, &untouched), kStatusNoMemory);
  host().module_arena().StopFailing();
  EXPECT_EQ(untouched, (io_vector*)0x1234);
  EXPECT_EQ(plain->vector, nullptr);

  io_vector* v = nullptr;
  ASSERT_EQ(slots().IoVector(plain, &v), 0);
  EXPECT_EQ(v->owner, plain);
  EXPECT_EQ((void*)v->read, (void*)slots().routine(kSlotRead));
  EXPECT_EQ((void*)v->write, (void*)slots().routine(kSlotWrite));
  EXPECT_EQ((void*)v->note, (void*)slots().routine(kSlotNote));
  EXPECT_EQ((void*)v->point, (void*)slots().routine(kSlotPoint));
  EXPECT_EQ((void*)v->slot15, (void*)slots().routine(15));
  EXPECT_EQ((void*)v->slot17, (void*)slots().routine(17));

  ASSERT_EQ(slots().IoVector(lead, &v), 0);
  EXPECT_EQ((void*)v->read, (void*)&yxlrds);
  EXPECT_EQ((void*)v->write, (void*)&yxlwrt);

  // Asking again hands out the same vector and allocates nothing.
  int64_t allocations = host().module_arena().stats().allocations;
  io_vector* again = nullptr;
  ASSERT_EQ(slots().IoVector(lead, &again), 0);
  EXPECT_EQ(again, v);
  EXPECT_EQ(host().module_arena().stats().allocations, allocations);

  EXPECT_EQ(slots().Close(plain), 0);
  EXPECT_EQ(slots().Close(lead), 0);
}

// One host call and no allocation a record, through the slots and the
// io_vector, for both read/write pairs.
TEST_F(EntryTest, ARecordCostsOneHostCallAndNoAllocation) {
  constexpr int kRecords = 500;
  const std::string record(80, 'r');
  for (const char* type : {"html", "source"}) {
    SCOPED_TRACE(type);
    ASSERT_EQ(Assign("F", std::string("work.cat.e1.") + type), 0);
    file_handle* out = MustOpen("F", kOpenOutput);
    ASSERT_NE(out, nullptr);
    io_vector* v = nullptr;
    ASSERT_EQ(slots().IoVector(out, &v), 0);
    library().ResetCalls();
    int64_t allocations = host().module_arena().stats().allocations;
    for (int i = 0; i < kRecords; ++i) {
      ASSERT_EQ(Write(out, record), 0);
      ASSERT_EQ(v->write(out, record.data(), (int32_t)record.size(), 0), 0);
    }
    EXPECT_EQ(library().calls(ylmwrit_service), 2 * kRecords);
    EXPECT_EQ(host().module_arena().stats().allocations, allocations);
    ASSERT_EQ(slots().Close(out), 0);

    file_handle* in = MustOpen("F", kOpenInput);
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(slots().IoVector(in, &v), 0);
    library().ResetCalls();
    allocations = host().module_arena().stats().allocations;
    for (int i = 0; i < kRecords; ++i) {
      ASSERT_GE(Read(in).status, 0);
      ASSERT_GE(Read(in, v->read).status, 0);
    }
    EXPECT_EQ(library().calls(ylmread_service), 2 * kRecords);
    EXPECT_EQ(host().module_arena().stats().allocations, allocations);
    ASSERT_EQ(slots().Close(in), 0);
  }
}

// A host that reports more than it could have placed, or a negative
// length, never sends the module outside its record buffer.
int32_t g_reported_length;
int32_t FakeRead(uint32_t, record_request* request) {
  request->length = g_reported_length;
  request->kind = 999;
  return 0;
}

TEST_F(EntryTest, ReadLengthFromTheHostIsKeptWithinTheBuffer) {
  Seed("E1", "SOURCE", {Rec(std::string(10, 'x'))});
  ASSERT_EQ(Assign("F", "work.cat.e1.source", Options("RECFM=F ATTR")), 0);
  file_handle* in = MustOpen("F", kOpenInput);
  ASSERT_NE(in, nullptr);
  int32_t size = record_buffer_size(in);
  io_vector* v = nullptr;
  ASSERT_EQ(slots().IoVector(in, &v), 0);
  ScopedService fake(host(), ylmread_service, &FakeRead);
  for (int32_t reported : {INT_MAX, size + 1, -5, INT_MIN}) {
    SCOPED_TRACE(reported);
    g_reported_length = reported;
    char* data = nullptr;
    int32_t length = -1;
    int32_t st = slots().Read(in, &data, &length, nullptr);
    EXPECT_TRUE(st == 0 || st == kStatusTruncated);
    EXPECT_GE(length, 0);
    EXPECT_LE(length, in->data_length);
    EXPECT_LE(in->last_length, size);
    st = v->read(in, &data, &length, nullptr);
    EXPECT_GE(length, 0);
    EXPECT_LE(length, in->data_length + 1);
  }
  EXPECT_EQ(slots().Close(in), 0);
}

TEST_F(EntryTest, BadTransfersAreRefused) {
  // Every transfer refuses a null handle.
  char* data = (char*)1;
  int32_t length = 5;
  EXPECT_EQ(slots().Read(nullptr, &data, &length, nullptr), kStatusNullHandle);
  EXPECT_EQ(data, (char*)1);
  EXPECT_EQ(slots().Write(nullptr, "x", 1, 0), kStatusNullHandle);
  EXPECT_EQ(yxlrds(nullptr, &data, &length, nullptr), kStatusNullHandle);
  EXPECT_EQ(yxlwrt(nullptr, "x", 1, 0), kStatusNullHandle);
  EXPECT_EQ(slots().Note(nullptr, nullptr), kStatusNullHandle);
  EXPECT_EQ(slots().Point(nullptr, nullptr), kStatusNullHandle);
  EXPECT_EQ(slots().Flush(nullptr), kStatusNullHandle);
  io_vector* v = nullptr;
  EXPECT_EQ(slots().IoVector(nullptr, &v), kStatusNullHandle);

  // A negative length is no record; nothing reaches the host.
  ASSERT_EQ(Assign("F", "work.cat.e1.source"), 0);
  file_handle* out = MustOpen("F", kOpenOutput);
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(slots().IoVector(out, &v), 0);
  library().ResetCalls();
  EXPECT_EQ(Write(out, std::string_view("abc").substr(0, 0)), 0);
  EXPECT_EQ(slots().Write(out, "abc", -1, 0), kStatusBadLength);
  EXPECT_EQ(slots().Write(out, "abc", INT_MIN, 0), kStatusBadLength);
  EXPECT_EQ(v->write(out, "abc", -3, 0), kStatusBadLength);
  EXPECT_EQ(library().calls(ylmwrit_service), 1);
  ASSERT_EQ(slots().Close(out), 0);

  // An open in neither direction without a record length has no buffer:
  // its transfers refuse rather than hand the host a null buffer.
  ASSERT_EQ(Assign("G", "work.cat.e1.source"), 0);
  open_request request = Request(0);
  request.record_length = 0;
  file_handle* none = nullptr;
  ASSERT_EQ(Open("G", &request, &none), 0);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->record_buffer, nullptr);
  EXPECT_EQ(request.record_length, 0);
  library().ResetCalls();
  length = 7;
  EXPECT_EQ(slots().Read(none, &data, &length, nullptr), kStatusNoRecordBuffer);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(slots().Write(none, "x", 1, 0), kStatusNoRecordBuffer);
  EXPECT_EQ(library().calls(ylmread_service) + library().calls(ylmwrit_service),
            0);
  EXPECT_EQ(slots().Close(none), 0);
}

}  // namespace
