// Record attributes as the host sees them after an open through slot 11:
// the three record lengths of every row of the length table, the carriage
// control and lead-byte adjustments, the append conversion, the writable
// types, the description and the lengths no buffer can be made for.

#include <climits>
#include <string>

#include "entry_fixture.h"

namespace {

struct LengthCase {
  const char* label;
  const char* type;          // entry type of WORK.CAT.E1
  int32_t seeded;            // stored record length of the entry; -1: absent
  int32_t flags;             // open flags of the request
  int32_t requested;         // the request's record length
  const char* fileref_opts;  // options at assignment
  const char* open_opts;     // options of the open
  int32_t status;            // expected open status
  int32_t stored, buffer, data;
  int32_t flags_after;
  int32_t access;
};

constexpr int32_t kNoEntry = (int32_t)0x8001C006;

const LengthCase kLengthCases[] = {
    // Entries that must exist: input, update, append to an existing one.
    {"InputAbsentFails", "HTML", -1, 0x1, 0, "", "", kNoEntry, 0, 0, 0, 0, 0},
    {"InputLreclWins", "HTML", 80, 0x1, 0, "", "LRECL=40", 0, 40, 80, 40, 0x1,
     1},
    {"InputStored", "HTML", 80, 0x1, 0, "", "", 0, 80, 80, 80, 0x1, 1},
    {"InputLongerRequest", "HTML", 80, 0x1, 100, "", "", 0, 100, 100, 100, 0x1,
     1},
    {"InputNegativeRequest", "HTML", 80, 0x1, -100, "", "", 0, 100, 100, 100,
     0x1, 1},
    {"InputShorterRequest", "HTML", 80, 0x1, 50, "", "", 0, 80, 80, 80, 0x1, 1},
    {"UpdateStored", "HTML", 80, 0x8, 0, "", "", 0, 80, 80, 80, 0x8, 8},
    {"UpdateAbsentFails", "HTML", -1, 0x8, 0, "", "", kNoEntry, 0, 0, 0, 0, 0},
    {"AppendExisting", "HTML", 60, 0x4, 0, "", "", 0, 60, 60, 60, 0x4, 8},
    // New entries.
    {"AppendAbsentIsNew", "HTML", -1, 0x4, 0, "", "", 0, 132, 132, 132, 0x4, 8},
    {"NeitherDirection", "HTML", 80, 0x0, 0, "LRECL=40", "", 0, 40, 80, 40, 0x0,
     8},
    {"NeitherDirectionNew", "HTML", -1, 0x0, 0, "LRECL=40", "", 0, 40, 0, 40,
     0x0, 8},
    {"NeitherDirectionNoLrecl", "HTML", 80, 0x0, 0, "", "", 0, -1, 0, -1, 0x0,
     8},
    {"OutputLrecl", "HTML", -1, 0x2, 0, "LRECL=40", "", 0, 40, 40, 40, 0x2, 2},
    {"OutputOpenLreclWins", "HTML", -1, 0x2, 0, "LRECL=40", "LRECL=50", 0, 50,
     50, 50, 0x2, 2},
    {"OutputDefault", "HTML", -1, 0x2, 0, "", "", 0, 132, 132, 132, 0x2, 2},
    {"OutputReplacesIgnoringStored", "HTML", 80, 0x2, 0, "", "", 0, 132, 132,
     132, 0x2, 2},
    {"OutputNegativeRequest", "HTML", -1, 0x2, -200, "", "", 0, 200, 200, 200,
     0x2, 2},
    {"InputWinsOverOutput", "HTML", 80, 0x3, 0, "", "", 0, 80, 80, 80, 0x3, 1},
    // Carriage control and the lead byte.
    {"CarriageControl", "HTML", -1, 0x2, 0, "RECFM=P", "", 0, 132, 132, 131,
     0x2, 2},
    {"SourceWithoutAttr", "SOURCE", -1, 0x2, 0, "", "", 0, 132, 132, 131, 0x2,
     2},
    {"SourceWithAttr", "SOURCE", -1, 0x2, 0, "ATTR", "", 0, 132, 132, 132, 0x2,
     2},
    {"OutputPrintNoAttr", "OUTPUT", -1, 0x2, 0, "RECFM=P", "", 0, 132, 132, 129,
     0x2, 2},
    {"LogPrintUpdate", "LOG", 80, 0x8, 0, "", "RECFM=P", 0, 80, 80, 78, 0x8, 8},
    {"LogPrintAttrAppend", "LOG", 80, 0x4, 0, "RECFM=P ATTR", "", 0, 80, 80, 78,
     0x4, 8},
    // MOD turns a writing open into an append; an input open stays input.
    {"ModMakesAppend", "HTML", 70, 0x2, 0, "MOD", "", 0, 70, 70, 70, 0x4, 8},
    {"ModInOpenOptions", "HTML", -1, 0x2, 0, "", "MOD", 0, 132, 132, 132, 0x4,
     8},
    {"ModLeavesInput", "HTML", 70, 0x1, 0, "MOD", "", 0, 70, 70, 70, 0x1, 1},
};

class LengthTableTest : public EntryTest,
                        public ::testing::WithParamInterface<LengthCase> {};

TEST_P(LengthTableTest, SettlesTheThreeLengths) {
  const LengthCase& c = GetParam();
  Seed("OTHER", "HTML", {Rec("x")});  // the catalog exists in every case
  if (c.seeded >= 0) Seed("E1", c.type, {Rec(std::string(c.seeded, 'a'))});
  option_block* fileref_opts =
      *c.fileref_opts ? Options(c.fileref_opts) : nullptr;
  option_block* open_opts = *c.open_opts ? Options(c.open_opts) : nullptr;
  ASSERT_EQ(Assign("F", std::string("work.cat.e1.") + c.type, fileref_opts), 0);

  open_request request = Request(c.flags, c.requested, 0, open_opts);
  file_handle* handle = nullptr;
  ASSERT_EQ(Open("F", &request, &handle), c.status);
  if (c.status != 0) {
    EXPECT_EQ(handle, nullptr);
    if (open_opts != nullptr) slots().ReleaseOptions("F       ", 0, open_opts);
  } else {
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->stored_length, c.stored);
    EXPECT_EQ(handle->buffer_length, c.buffer);
    EXPECT_EQ(handle->data_length, c.data);
    EXPECT_EQ(handle->open_flags, c.flags_after);
    EXPECT_EQ(handle->access_kind, c.access);
    EXPECT_EQ(slots().Close(handle), 0);
  }
  ASSERT_EQ(slots().Deassign("F       ", 0), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, LengthTableTest,
                         ::testing::ValuesIn(kLengthCases),
                         [](const ::testing::TestParamInfo<LengthCase>& info) {
                           return std::string(info.param.label);
                         });

TEST_F(EntryTest, OnlyWritableTypesOpenForWriting) {
  Seed("E1", "FORMAT", {Rec("abc")});
  ASSERT_EQ(Assign("F", "work.cat.e1.format"), 0);
  open_request request = Request(kOpenOutput);
  file_handle* handle = nullptr;
  EXPECT_EQ(Open("F", &request, &handle), kStatusRefused);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(host().RefusalText(), refhost::Host::MessageText(566, 1));

  // Reading it is fine.
  handle = MustOpen("F", kOpenInput);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(ReadAll(handle), std::vector<std::string>{"abc"});
  EXPECT_EQ(slots().Close(handle), 0);

  // So is the type's default for a three-level name.
  ASSERT_EQ(Assign("G", "work.cat.e2"), 0);
  handle = MustOpen("G", kOpenOutput);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(std::string(handle->entry_type, 8), "CATAMS  ");
  EXPECT_EQ(slots().Close(handle), 0);
}

TEST_F(EntryTest, DescriptionOfTheOpenWinsUnlessEmpty) {
  option_block* fileref_opts = Options("DESC='from the fileref'");
  ASSERT_EQ(Assign("F", "work.cat.e1.html", fileref_opts), 0);

  option_block* open_opts = Options("DESC='from the open'");
  file_handle* handle = MustOpen("F", kOpenOutput, 0, open_opts);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(std::string(handle->description.text, handle->description.length),
            "from the open");
  ASSERT_EQ(Write(handle, "x"), 0);
  EXPECT_EQ(slots().Close(handle), 0);
  EXPECT_EQ(store().GetEntry("WORK", "CAT", "E1", "HTML")->info.description,
            "from the open");

  open_opts = Options("DESC=''");
  handle = MustOpen("F", kOpenOutput, 0, open_opts);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(std::string(handle->description.text, handle->description.length),
            "from the fileref");
  EXPECT_EQ(slots().Close(handle), 0);
}

TEST_F(EntryTest, LengthsWithoutARecordBufferAreRefused) {
  ASSERT_EQ(Assign("F", "work.cat.e1.html"), 0);
  // INT_MIN has no absolute value to count by.
  open_request request = Request(kOpenOutput, INT_MIN);
  file_handle* handle = nullptr;
  EXPECT_EQ(Open("F", &request, &handle), kStatusBadLength);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(request.record_length, INT_MIN);

  // The largest length leaves no room for the bytes ahead of a record.
  request = Request(kOpenOutput, INT_MAX);
  EXPECT_EQ(Open("F", &request, &handle), kStatusBadLength);
  EXPECT_EQ(handle, nullptr);

  // One below INT_MIN's magnitude is a length like any other.
  request = Request(kOpenOutput, -1000);
  handle = nullptr;
  EXPECT_EQ(Open("F", &request, &handle), 0);
  EXPECT_EQ(request.record_length, 1000);
  EXPECT_EQ(slots().Close(handle), 0);
}

// An open with neither input nor output updates the entry as it stands, so
// its records come back through the record buffer: the buffer must hold the
// longest of them, not only LRECL.
TEST_F(EntryTest, OpenWithoutDirectionReadsLongRecordsWithinItsBuffer) {
  Seed("E1", "HTML", {Rec(std::string(300, 'r'), 322), Rec("short", 322)});
  ASSERT_EQ(Assign("F", "work.cat.e1.html", Options("LRECL=4")), 0);
  file_handle* handle = MustOpen("F", 0);
  ASSERT_NE(handle, nullptr);
  EXPECT_GE(host().module_arena().SizeOf(handle->record_buffer), 300);

  ReadResult r = Read(handle);
  EXPECT_EQ(r.status, kStatusTruncated);
  EXPECT_EQ(r.data, "rrrr");
  r = Read(handle);
  EXPECT_EQ(r.status, kStatusTruncated);
  EXPECT_EQ(r.data, "shor");
  EXPECT_EQ(slots().Close(handle), 0);
}

}  // namespace
