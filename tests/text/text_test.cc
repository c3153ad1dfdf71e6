// The blank-padded text routines, through their exported names.

#include "text/text.h"

#include <cstring>
#include <string>

#include "support/module_fixture.h"

namespace {

class TextTest : public ModuleTest {};

std::string Field(const char* text, int n) { return std::string(text, n); }

TEST_F(TextTest, MoveBlankFillsAndCutsAtTheDestination) {
  char field[9] = "XXXXXXXX";
  vzmp("ABC", 3, field, 8);
  EXPECT_EQ(Field(field, 8), "ABC     ");
  vzmp("ABCDEFGHIJ", 10, field, 8);
  EXPECT_EQ(Field(field, 8), "ABCDEFGH");
  vzmp("ABC", 0, field, 8);
  EXPECT_EQ(Field(field, 8), "        ");

  // Overlap in both directions.
  char buffer[16] = "0123456789";
  vzmp(buffer, 6, buffer + 2, 8);
  EXPECT_EQ(Field(buffer, 10), "01012345  ");
  char other[16] = "0123456789";
  vzmp(other + 2, 6, other, 8);
  EXPECT_EQ(Field(other, 10), "234567  89");
}

TEST_F(TextTest, CompareIgnoresTrailingBlanksButNotCase) {
  EXPECT_EQ(wzstcom("LRECL", 5, "LRECL   ", 8), 0);
  EXPECT_EQ(wzstcom("LRECL", 5, "LRECLX", 6), -6);
  EXPECT_EQ(wzstcom("ABD", 3, "ABC", 3), 3);
  EXPECT_EQ(wzstcom("ABC", 3, "ABD", 3), -3);
  EXPECT_EQ(wzstcom("LRECLX", 6, "LRECL", 5), 6);
  EXPECT_EQ(wzstcom("lrecl", 5, "LRECL", 5), 1);
  EXPECT_EQ(wzstcom(nullptr, 5, "   ", 3), 0);
  EXPECT_EQ(wzstcom("A\x01", 2, "A", 1), -2);  // a's byte below 0x20
  EXPECT_EQ(wzstcom("A", 1, "A\x01", 2), 2);   // b's byte below 0x20
}

TEST_F(TextTest, StripScanAndLength) {
  EXPECT_EQ(wzstrip("        ", 8), 0);
  EXPECT_EQ(wzstrip("CATAMS  ", 8), 6);
  EXPECT_EQ(wzstrip("", 0), 0);
  EXPECT_EQ(vzsetl("PROG.KOR", 8, '.'), 4);
  EXPECT_EQ(vzsetl("PROG", 4, '.'), -1);
  EXPECT_EQ(vzatl(' ', "        ", 8), 1);
  EXPECT_EQ(vzatl(' ', "       X", 8), 0);
  EXPECT_EQ(vzatl(' ', "X", 0), 1);
  EXPECT_EQ(vzatl(-1, "\xff\xff", 2), 1);  // signed comparison
  EXPECT_EQ(wzstlen("CATALOG"), 7);
  EXPECT_EQ(wzstlen(nullptr), 0);
}

TEST_F(TextTest, UnquoteCollapsesDoubledQuotes) {
  char token[] = "'it''s'";
  EXPECT_EQ(wzstrpq(token, 7), 4);
  EXPECT_STREQ(token, "it's");
  char empty[] = "''";
  EXPECT_EQ(wzstrpq(empty, 2), 0);
  EXPECT_STREQ(empty, "");
  char dq[] = "\"a\"\"b\"";
  EXPECT_EQ(wzstrpq(dq, 6), 3);
  EXPECT_STREQ(dq, "a\"b");
}

TEST_F(TextTest, JoinFillsOrTerminates) {
  char field[91];
  std::memset(field, 'Z', sizeof field);
  EXPECT_EQ(wzstcat(field, 90, '.', 4, "WORK", 4, "CAT", 3, "E1", 2, "LOG", 3),
            15);
  EXPECT_EQ(Field(field, 90), "WORK.CAT.E1.LOG" + std::string(75, ' '));
  EXPECT_EQ(field[90], 'Z');

  EXPECT_EQ(wzstcat(field, 10, '.', 3, "X", 1, "", 0, "Y", 1), 4);
  EXPECT_EQ(Field(field, 4), "X..Y");

  EXPECT_EQ(wzstcat(field, ~5, -1, 2, "ABC", 3, "DEFG", 4), 5);
  EXPECT_STREQ(field, "ABCDE");

  std::memset(field, 'Z', sizeof field);
  EXPECT_EQ(wzstcat(field, 0, '.', 2, "A", 1, "B", 1), 0);
  EXPECT_EQ(field[0], 'Z');

  // A separator counts as a character and stops at the capacity.
  EXPECT_EQ(wzstcat(field, 4, '.', 2, "ABCD", 4, "E", 1), 4);
  EXPECT_EQ(Field(field, 4), "ABCD");
}

TEST_F(TextTest, TranslateThroughHostTables) {
  char field[9] = "work.e1 ";
  EXPECT_EQ(wztxxlt(2, field, field, 8), 0);
  EXPECT_EQ(Field(field, 8), "WORK.E1 ");
  char out[4] = "xyz";
  EXPECT_EQ(wztxxlt(5, "abc", out, 3), kStatusBadTable);
  EXPECT_EQ(Field(out, 3), "xyz");
  EXPECT_EQ(wztxxlt(-1, "abc", out, 3), kStatusBadTable);
  EXPECT_EQ(wztxxlt(1, "ABC", out, 3), 0);
  EXPECT_EQ(Field(out, 3), "abc");
}

}  // namespace
