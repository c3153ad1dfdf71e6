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

  // A last line without its newline is a record too; it comes back as a
  // line. No input at all is an entry without records.
  ASSERT_EQ(Run({"write", "work.notes.tail.log"}, "a\nno newline").code, 0);
  EXPECT_EQ(Run({"read", "work.notes.tail.log"}).out, "a\nno newline\n");
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

TEST_F(RecordsTest, LongRecordsAreCutWithAWarningAndExitCodeThree) {
  std::string line(200, 'x');
  Outcome w = Run({"write", "work.notes.wide"}, "short\n" + line + "\n");
  EXPECT_EQ(w.code, 3);
  EXPECT_NE(w.err.find("warning: WORK.NOTES.WIDE.CATAMS: record 2 was longer "
                       "than the record length 132 and was cut"),
            std::string::npos)
      << w.err;
  EXPECT_EQ(Run({"read", "work.notes.wide"}).out,
            "short\n" + line.substr(0, 132) + "\n");

  // With a record length that holds it, nothing is cut; reading with a
  // smaller one cuts on the way out.
  ASSERT_EQ(Run({"write", "work.notes.wide", "lrecl=300"}, line + "\n").code,
            0);
  EXPECT_EQ(Run({"read", "work.notes.wide"}).out, line + "\n");
  Outcome r = Run({"read", "work.notes.wide", "lrecl=50"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, line.substr(0, 50) + "\n");
  EXPECT_NE(r.err.find("warning:"), std::string::npos);
}

TEST_F(RecordsTest, ModAppendsAndRecfmFPadsFixedRecords) {
  ASSERT_EQ(Run({"write", "work.log.day.log"}, "one\n").code, 0);
  Outcome append = Run({"write", "work.log.day.log", "mod"}, "two\n");
  EXPECT_EQ(append.code, 0) << append.err;
  // An entry keeps no record length of its own: an append goes by its
  // longest record unless lrecl says more.
  Outcome longer = Run({"write", "work.log.day.log", "mod"}, "three\n");
  EXPECT_EQ(longer.code, 3);
  ASSERT_EQ(
      Run({"write", "work.log.day.log", "lrecl=20", "mod"}, "three\n").code, 0);
  EXPECT_EQ(Run({"read", "work.log.day.log"}).out, "one\ntwo\nthr\nthree\n");
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
}

}  // namespace
