// The host attributes kept with an entry that holds a file: what is
// encoded reads back the same, whatever bytes the names hold, and text
// that is not such attributes reads as none.

#include "refhost/host/file_attributes.h"

#include <gtest/gtest.h>
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <string>

namespace refhost {
namespace {

TEST(FileAttributesTest, EncodedAttributesReadBackWhateverTheNamesHold) {
  FileAttributes a;
  a.file_name = std::string("odd name\t%20=\n\xFF\x00.txt", 20);
  a.folder = "caf\xC3\xA9 notes";
  a.modified_ns = -1234567890123LL;  // before the epoch
  a.mode = 04755;
  a.size = 1LL << 33;
  a.records = RecordMapping::kChunks;
  a.final_newline = false;
  a.record_format = 0x18;
  a.content_hash = 0xFEDCBA9876543210ULL;
  a.changed_ns = 1700000000123456789LL;
  a.inode = 42;
  std::string text = EncodeFileAttributes(a);
  // Plain ASCII lines, whatever the names hold: a store may keep it as text.
  for (char c : text) {
    EXPECT_TRUE(c == '\n' || (c >= ' ' && c <= '~')) << int(c);
  }
  FileAttributes b;
  ASSERT_TRUE(DecodeFileAttributes(text, &b)) << text;
  EXPECT_EQ(b.file_name, a.file_name);
  EXPECT_EQ(b.folder, a.folder);
  EXPECT_EQ(b.modified_ns, a.modified_ns);
  EXPECT_EQ(b.mode, a.mode);
  EXPECT_EQ(b.size, a.size);
  EXPECT_EQ(b.records, a.records);
  EXPECT_EQ(b.final_newline, false);
  EXPECT_EQ(b.record_format, 0x18);
  EXPECT_EQ(b.content_hash, a.content_hash);
  EXPECT_EQ(b.changed_ns, a.changed_ns);
  EXPECT_EQ(b.inode, a.inode);

  // What was never set stays unknown; keys a later host adds are skipped.
  FileAttributes sparse;
  ASSERT_TRUE(DecodeFileAttributes(
      EncodeFileAttributes(FileAttributes()) + "\nowner=someone", &sparse));
  EXPECT_TRUE(sparse.file_name.empty());
  EXPECT_FALSE(sparse.modified_ns || sparse.mode || sparse.size ||
               sparse.records || sparse.content_hash);
  EXPECT_TRUE(sparse.final_newline);
  EXPECT_EQ(sparse.record_format, 0);
}

TEST(FileAttributesTest, TextThatIsNotAttributesReadsAsNone) {
  std::string good = EncodeFileAttributes(FileAttributes());
  for (const std::string& bad :
       {std::string(), std::string("mode=644"), good + "\nsize=-1",
        good + "\nmode=9", good + "\nname=%4", good + "\nrecords=rows",
        good + "\nrecfm=0", good + "\nrecfm=P", good + "\nxxh3=12",
        good + "\nno equals sign"}) {
    FileAttributes a;
    a.file_name = "left over";
    EXPECT_FALSE(DecodeFileAttributes(bad, &a)) << bad;
    EXPECT_TRUE(a.file_name.empty());
  }
}

TEST(FileAttributesTest, TheContentHashDoesNotDependOnHowBytesArrive) {
  std::string bytes(100000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7 + i / 13);
  ContentHash whole, pieces;
  whole.Add(bytes.data(), bytes.size());
  for (size_t at = 0; at < bytes.size(); at += 777) {
    pieces.Add(bytes.data() + at, std::min<size_t>(777, bytes.size() - at));
  }
  EXPECT_EQ(whole.Value(), pieces.Value());
  // The hash libraries keep: XXH3 of the bytes, whatever the pieces (of a
  // byte, lines and newlines, around the size the hash gathers).
  EXPECT_EQ(whole.Value(), XXH3_64bits(bytes.data(), bytes.size()));
  for (size_t piece : {1, 2, 81, 1023, 1024, 1025, 5000}) {
    ContentHash by_pieces;
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
      size_t n = std::min(i % 2 == 0 ? piece : 1, bytes.size() - at);
      by_pieces.Add(bytes.data() + at, n);
      at += n;
      // Asked midway, the hash goes on.
      if (i == 3) {
        EXPECT_NE(by_pieces.Value(), whole.Value());
      }
    }
    EXPECT_EQ(by_pieces.Value(), whole.Value()) << piece;
    EXPECT_EQ(by_pieces.Value(), whole.Value()) << piece;
  }
  bytes[5000] ^= 1;
  ContentHash changed;
  changed.Add(bytes.data(), bytes.size());
  EXPECT_NE(changed.Value(), whole.Value());
}

}  // namespace
}  // namespace refhost
