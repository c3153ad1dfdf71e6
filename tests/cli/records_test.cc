// Records through the program: text and binary round trips, and the
// options a user writes after a name.

#include "cli/program.h"

namespace {

class RecordsTest : public ProgramTest {};

TEST_F(RecordsTest, TextComesBackByteForByte) {
  std::string text =
      "first line\n\n\tindented with a tab\ncarriage return\r\n"
      "trailing blanks   \nbyte \x01 and \xff\nlast\n";
  Outcome w = Run({"write", "work.notes.memo"}, text);
  EXPECT_EQ(w.code, 0) << w.err;
  EXPECT_EQ(w.err, "");
  Outcome r = Run({"read", "WORK.NOTES.MEMO.CATAMS"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, text);

  // The same through a type whose records keep a lead byte.
  ASSERT_EQ(Run({"write", "work.notes.prog.kor"}, text).code, 0);
  EXPECT_EQ(Run({"read", "work.notes.prog.source"}).out, text);

  // A last line without its newline is a record too, and comes back
  // without one. No input at all is an entry without records.
  ASSERT_EQ(Run({"write", "work.notes.tail.log"}, "a\nno newline").code, 0);
  EXPECT_EQ(Run({"read", "work.notes.tail.log"}).out, "a\nno newline");
  ASSERT_EQ(Run({"write", "work.notes.none.html"}, "").code, 0);
  Outcome none = Run({"read", "work.notes.none.html"});
  EXPECT_EQ(none.code, 0) << none.err;
  EXPECT_EQ(none.out, "");
  // An entry whose records are all empty still reads back.
  ASSERT_EQ(Run({"write", "work.notes.blank.html"}, "\n\n\n").code, 0);
  EXPECT_EQ(Run({"read", "work.notes.blank.html"}).out, "\n\n\n");
}

TEST_F(RecordsTest, BinaryTypesMoveInChunksOfTheRecordLength) {
  std::string image = Bytes(5000, 7);  // four full chunks of 1024 and a rest
  ASSERT_EQ(Run({"write", "work.media.logo.gif"}, image).code, 0);
  EXPECT_EQ(Run({"read", "work.media.logo.gif"}).out, image);
  Outcome info = Run({"info", "work.media.logo.gif"});
  EXPECT_NE(info.out.find("Record length:  1024\n"), std::string::npos)
      << info.out;

  std::string document = Bytes(300, 9);
  ASSERT_EQ(Run({"write", "work.media.doc.pdf", "lrecl=100"}, document).code,
            0);
  EXPECT_EQ(Run({"read", "work.media.doc.pdf"}).out, document);
  EXPECT_NE(
      Run({"info", "work.media.doc.pdf"}).out.find("Record length:  100\n"),
      std::string::npos);
}

TEST_F(RecordsTest, OnlyAnLreclTheUserGivesCutsRecords) {
  // The record length holds the longest line, whatever its length: a
  // picture kept as text comes back whole.
  std::string line(200, 'x');
  std::string picture = Bytes(3000, 5);
  Outcome w = Run({"write", "work.notes.wide"}, "short\n" + line + "\n");
  EXPECT_EQ(w.code, 0) << w.err;
  EXPECT_EQ(w.err, "");
  EXPECT_EQ(Run({"read", "work.notes.wide"}).out, "short\n" + line + "\n");
  ASSERT_EQ(Run({"write", "work.notes.pic.kor"}, picture).code, 0);
  EXPECT_EQ(Run({"read", "work.notes.pic.kor"}).out, picture);

  // With lrecl= the user asks for the cut: a warning and exit code 3, on
  // the way in or on the way out.
  Outcome cut =
      Run({"write", "work.notes.cut", "lrecl=132"}, "short\n" + line + "\n");
  EXPECT_EQ(cut.code, 3);
  EXPECT_NE(cut.err.find("warning: WORK.NOTES.CUT.CATAMS: record 2 was longer "
                         "than the record length 132 and was cut"),
            std::string::npos)
      << cut.err;
  EXPECT_EQ(Run({"read", "work.notes.cut"}).out,
            "short\n" + line.substr(0, 132) + "\n");
  Outcome r = Run({"read", "work.notes.wide", "lrecl=50"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, "short\n" + line.substr(0, 50) + "\n");
  EXPECT_NE(r.err.find("warning:"), std::string::npos);
}

TEST_F(RecordsTest, ModAppendsAndRecfmFPadsFixedRecords) {
  ASSERT_EQ(Run({"write", "work.log.day.log"}, "one\n").code, 0);
  Outcome append = Run({"write", "work.log.day.log", "mod"}, "two\n");
  EXPECT_EQ(append.code, 0) << append.err;
  // An append asks for a record length that holds its own longest line.
  Outcome longer = Run({"write", "work.log.day.log", "mod"}, "three\n");
  EXPECT_EQ(longer.code, 0) << longer.err;
  // A LOG record keeps its lead byte within the record length.
  ASSERT_EQ(Run({"write", "work.log.day.log", "lrecl=4", "mod"}, "four\n").code,
            3);
  EXPECT_EQ(Run({"read", "work.log.day.log"}).out, "one\ntwo\nthree\nfou\n");
  // Lines appended to a text whose last line had no newline follow it on
  // lines of their own; binary records simply continue.
  ASSERT_EQ(Run({"write", "work.log.open"}, "no newline").code, 0);
  ASSERT_EQ(Run({"write", "work.log.open", "mod"}, "next").code, 0);
  EXPECT_EQ(Run({"read", "work.log.open"}).out, "no newline\nnext");
  ASSERT_EQ(Run({"write", "work.log.bin.gif"}, "GIF8").code, 0);
  ASSERT_EQ(Run({"write", "work.log.bin.gif", "mod"}, "9a").code, 0);
  EXPECT_EQ(Run({"read", "work.log.bin.gif"}).out, "GIF89a");
  // Without mod the entry is replaced.
  ASSERT_EQ(Run({"write", "work.log.day.log"}, "fresh\n").code, 0);
  EXPECT_EQ(Run({"read", "work.log.day.log"}).out, "fresh\n");

  // Fixed records of a SOURCE entry are blank-padded to the record length.
  ASSERT_EQ(
      Run({"write", "work.src.fixed.kor", "recfm=f", "lrecl=9"}, "ab\ncdef\n")
          .code,
      0);
  EXPECT_EQ(Run({"read", "work.src.fixed.kor"}).out, "ab      \ncdef    \n");
  Outcome info = Run({"info", "work.src.fixed.kor", "recfm=f"});
  EXPECT_NE(info.out.find("Record format:  F (fixed length)\n"),
            std::string::npos)
      << info.out;
}

// Records written with a carriage-control byte keep that record format
// with the entry: every reader reads them as they were written, an append
// goes on in it, and a copy, an export and an import keep the bytes.
TEST_F(RecordsTest, CarriageControlEntriesReadAsTheyWereWritten) {
  ASSERT_EQ(Run({"write", "lib.a.p", "recfm=p"}, "ab\nlast").code, 0);
  EXPECT_EQ(Run({"read", "lib.a.p"}).out, "ab\nlast");
  EXPECT_NE(Run({"list", "lib.a", "-l"}).out.find("  7  "), std::string::npos);
  // The reader may still ask for the records as they are stored.
  EXPECT_EQ(Run({"read", "lib.a.p", "recfm=v"}).out, " ab\n last");

  // An append takes the entry's record format, and refuses another.
  ASSERT_EQ(Run({"write", "lib.a.p", "mod"}, "more\n").code, 0);
  EXPECT_EQ(Run({"read", "lib.a.p"}).out, "ab\nlast\nmore\n");
  Outcome mixed = Run({"write", "lib.a.p", "mod", "recfm=v"}, "plain\n");
  EXPECT_EQ(mixed.code, 1);
  EXPECT_NE(mixed.err.find("LIB.A.P.CATAMS: its records have a "
                           "carriage-control byte"),
            std::string::npos)
      << mixed.err;
  ASSERT_EQ(Run({"write", "lib.a.plain"}, "plain\n").code, 0);
  EXPECT_EQ(Run({"write", "lib.a.plain", "mod", "recfm=p"}, "x\n").code, 1);
  EXPECT_EQ(Run({"read", "lib.a.plain"}).out, "plain\n");
  EXPECT_EQ(Run({"read", "lib.a.p"}).out, "ab\nlast\nmore\n");

  ASSERT_EQ(Run({"copy", "lib.a.p", "lib.b.q"}).code, 0);
  EXPECT_EQ(Run({"read", "lib.b.q"}).out, "ab\nlast\nmore\n");
  std::string tree = root_ + "/tree";
  std::filesystem::create_directories(tree);
  WriteFile(tree + "/print.lst", "page one\n\npage two");
  ASSERT_EQ(Run({"import", tree, "lib.c", "recfm=p"}).code, 0);
  EXPECT_EQ(Run({"read", "lib.c.print.output"}).out, "page one\n\npage two");
  ASSERT_EQ(Run({"export", "lib.c", root_ + "/out"}).code, 0);
  EXPECT_EQ(ReadFile(root_ + "/out/print.lst"), "page one\n\npage two");
}

TEST_F(RecordsTest, DescriptionsAreQuotedForTheModule) {
  // The shell has removed the user's quotes; blanks and apostrophes survive.
  ASSERT_EQ(Run({"write", "work.rep.jan", "desc=Monthly report"}, "x\n").code,
            0);
  ASSERT_EQ(Run({"write", "work.rep.feb", "DESCRIPTION=it's done"}, "x\n").code,
            0);
  // Written apart: desc = value, and a value already in quotes.
  ASSERT_EQ(Run({"write", "work.rep.mar", "desc", "=", "'quoted'"}, "x\n").code,
            0);
  ASSERT_EQ(
      Run({"write", "work.rep.apr", "lrecl=80", "desc=", "two words", "mod"},
          "x\n")
          .code,
      0);
  Outcome list = Run({"list", "work.rep"});
  EXPECT_EQ(list.out,
            "NAME  TYPE    DESCRIPTION\n"
            "APR   CATAMS  two words\n"
            "FEB   CATAMS  it's done\n"
            "JAN   CATAMS  Monthly report\n"
            "MAR   CATAMS  quoted\n");
  Outcome info = Run({"info", "work.rep.feb"});
  EXPECT_NE(info.out.find("Description:    it's done\n"), std::string::npos)
      << info.out;

  // A description longer than an entry holds is cut between characters,
  // with a warning; the listing stays valid UTF-8 and JSON.
  std::string long_text;
  for (int i = 0; i < 100; ++i) long_text += "\u00e9t\u00e9";  // 5 bytes each
  Outcome cut = Run({"write", "work.rep.may", "desc=" + long_text}, "x\n");
  EXPECT_EQ(cut.code, 0);
  EXPECT_NE(cut.err.find("vuvorozo: write: warning: the description is longer "
                         "than 256 bytes"),
            std::string::npos)
      << cut.err;
  Outcome json = Run({"list", "work.rep", "--json"});
  EXPECT_NE(json.out.find("\"" + long_text.substr(0, 255) + "\", \"records\""),
            std::string::npos)
      << json.out;
  // A quote the user opened and did not close is refused, not kept.
  Outcome open_quote = Run({"write", "work.rep.jun", "desc='x"}, "x\n");
  EXPECT_EQ(open_quote.code, 2);
  EXPECT_NE(open_quote.err.find("unterminated quoted string"),
            std::string::npos)
      << open_quote.err;
}

}  // namespace
