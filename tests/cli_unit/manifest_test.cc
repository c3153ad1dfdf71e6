// The manifest gives back every line it was written with, whatever bytes
// its file names and descriptions hold, and refuses what it cannot read.

#include "cli/files/manifest.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace cli {
namespace {

TEST(ManifestTest, EveryLineReadsBackAsWritten) {
  const std::vector<ManifestLine> lines = {
      {"#draft.txt", "WORK.NOTES.DRAFT.TXT", "starts like a comment"},
      {"a\tb\nc\rd\\e", "WORK.NOTES.ODD.TXT", "tab\there, line\nthere"},
      {std::string("\x01\x7F\xC3\xA9", 4), "WORK.NOTES.BYTES.TXT", ""},
      {" ends in a blank ", "WORK.NOTES.BLANK.TXT", "#not a comment"},
      {"sub/#inner.csv", "WORK.NOTES.INNER.CSV", "\\x23 as typed"},
  };
  int bad = -1;
  std::map<std::string, ManifestLine> parsed =
      ParseManifest(FormatManifest(lines), &bad);
  EXPECT_EQ(bad, 0);
  ASSERT_EQ(parsed.size(), lines.size());
  for (const ManifestLine& line : lines) {
    auto it = parsed.find(line.file);
    ASSERT_NE(it, parsed.end()) << line.file;
    EXPECT_EQ(it->second.entry, line.entry);
    EXPECT_EQ(it->second.description, line.description);
  }
}

TEST(ManifestTest, LinesThatDoNotParseAreCounted) {
  int bad = 0;
  std::map<std::string, ManifestLine> parsed = ParseManifest(
      "# a comment\n"
      "\n"
      "only\ttwo fields\n"
      "bad\\q\tWORK.A.B.C\tescape\n"
      "cut\\x4\tWORK.A.B.C\tshort hex\n"
      "fine.txt\tWORK.A.FINE.TXT\tkept\r\n",
      &bad);
  EXPECT_EQ(bad, 3);
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_EQ(parsed.begin()->second.description, "kept");
}

}  // namespace
}  // namespace cli
