// Host attributes in the packed form: every text the reference host writes
// packs small and unpacks to its very bytes; any other text is left to the
// store's other forms; damaged packed bytes, or bytes packed for another
// entry, are refused and never read as other attributes.

#include "refhost/store/packed_attributes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "refhost/host/file_attributes.h"

namespace refhost {
namespace {

// A file as an import keeps it: every line the host writes for one.
FileAttributes File(std::string name) {
  FileAttributes a;
  a.file_name = std::move(name);
  a.modified_ns = 1733800000123456789;
  a.mode = 0644;
  a.size = 1234;
  a.records = RecordMapping::kLines;
  a.content_hash = 0x0123456789abcdefULL;
  a.changed_ns = 1733800000123456789 + 2500;
  a.inode = 1234567;
  return a;
}

std::string RoundTrip(const std::string& text, const std::string& entry,
                      std::string* packed) {
  std::string unpacked, why;
  EXPECT_TRUE(PackHostAttributes(text, entry, packed)) << text;
  EXPECT_TRUE(IsPackedHostAttributes(packed->data(), packed->size()));
  EXPECT_TRUE(UnpackHostAttributes(packed->data(), packed->size(), entry,
                                   &unpacked, &why))
      << why;
  return unpacked;
}

TEST(PackedAttributesTest, EveryTextTheHostWritesPacksAndComesBackByteForByte) {
  std::vector<std::pair<std::string, FileAttributes>> cases;
  cases.emplace_back("NOTE-00001", File("note-00001.txt"));
  cases.emplace_back("README", File("README.md"));     // the name as it is
  cases.emplace_back("JAN", File("reports/jan.txt"));  // another name
  cases.emplace_back("NOTES", File("my notes%20of%25jan.txt"));
  FileAttributes folder;
  folder.file_name = ".";
  folder.folder = "My%20Notes";
  folder.is_folder = true;
  folder.modified_ns = -1;  // before the epoch
  folder.mode = 0755;
  cases.emplace_back("FOLDER", folder);
  FileAttributes chunks = File("logo.gif");
  chunks.records = RecordMapping::kChunks;
  chunks.final_newline = false;
  chunks.record_format = 0x18;
  // A status change long before the modification, and the extremes.
  chunks.changed_ns = std::numeric_limits<int64_t>::min();
  chunks.modified_ns = std::numeric_limits<int64_t>::max();
  chunks.inode = std::numeric_limits<uint64_t>::max();
  chunks.content_hash = 0;
  cases.emplace_back("LOGO", chunks);
  // Numbers on either side of where digits are written nine at a time.
  FileAttributes wide = File("wide.txt");
  wide.size = 4294967296;         // 2^32
  wide.modified_ns = 5000000000;  // zeros below the tenth digit
  wide.changed_ns = -4294967297;
  wide.inode = 4294967295;  // 2^32 - 1
  cases.emplace_back("WIDE", wide);
  cases.emplace_back("EMPTY", FileAttributes{});  // a written entry's
  FileAttributes bare;
  bare.file_name = "";
  bare.size = 0;
  cases.emplace_back("", bare);

  for (const auto& [entry, attributes] : cases) {
    std::string text = EncodeFileAttributes(attributes);
    std::string packed;
    EXPECT_EQ(RoundTrip(text, entry, &packed), text);
    EXPECT_LE(packed.size(), text.size() / 2 + 16) << text;
  }
  // An imported file's: what each line costs, its name after the entry's.
  std::string packed;
  RoundTrip(EncodeFileAttributes(File("note-00001.txt")), "NOTE-00001",
            &packed);
  EXPECT_LE(packed.size(), 40u);
}

TEST(PackedAttributesTest, OtherTextsAreLeftToTheStoresOtherForms) {
  const std::string good = EncodeFileAttributes(File("note.txt"));
  std::string packed = "untouched";
  for (const std::string& text : {
           std::string(),
           std::string("another host's attributes"),
           std::string("vuvorozo-file 2\nname=a"),
           good + "\n",             // an empty line
           good + "\ncolour=blue",  // a key of a later version
           good + "\ninode=5",      // a line twice
           std::string("vuvorozo-file 1\nmtime=1\nname=a"),  // out of order
           std::string("vuvorozo-file 1\nkind=file"),
           std::string("vuvorozo-file 1\nmtime=0123"),  // not as written
           std::string("vuvorozo-file 1\nmtime=+5"),
           std::string("vuvorozo-file 1\nmode=0644"),
           std::string("vuvorozo-file 1\nsize=99999999999999999999"),
           std::string("vuvorozo-file 1\nxxh3=0123456789ABCDEF"),
           std::string("vuvorozo-file 1\nrecords=words"),
           std::string("vuvorozo-file 1\r\nname=a"),
       }) {
    EXPECT_FALSE(PackHostAttributes(text, "NOTE", &packed)) << text;
    EXPECT_EQ(packed, "untouched");
  }
  // A text's own bytes are not packed bytes, whatever they start with.
  EXPECT_FALSE(IsPackedHostAttributes(good.data(), good.size()));
}

TEST(PackedAttributesTest, DamagedOrMisplacedBytesAreRefusedNeverRead) {
  std::string text = EncodeFileAttributes(File("note-00001.txt"));
  std::string packed, out, why;
  ASSERT_TRUE(PackHostAttributes(text, "NOTE-00001", &packed));
  // Every bit of every byte flipped, and every cut.
  for (size_t i = 0; i < packed.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = packed;
      damaged[i] = (char)(damaged[i] ^ (1 << bit));
      EXPECT_FALSE(UnpackHostAttributes(damaged.data(), damaged.size(),
                                        "NOTE-00001", &out, &why))
          << "byte " << i << " bit " << bit;
    }
    EXPECT_FALSE(
        UnpackHostAttributes(packed.data(), i, "NOTE-00001", &out, &why))
        << "cut at " << i;
  }
  // Another entry's row: the name would come out as another file's.
  EXPECT_FALSE(UnpackHostAttributes(packed.data(), packed.size(), "NOTE-00002",
                                    &out, &why));
  EXPECT_NE(why.find("another entry"), std::string::npos) << why;

  // Fields that pass the check but do not read: unknown flags, records of
  // both kinds, bytes left over, a name that runs past the end or holds
  // a newline.
  for (const std::string& body : {
           std::string("\xA5\x00\x80", 3), std::string("\xA5\x80\x01", 3),
           std::string("\xA5\x00\x00\x00", 4),
           std::string("\xA5\x01\x00\x05"
                       "ab",
                       6),
           std::string("\xA5\x01\x00\x03"
                       "a\nb",
                       7),
           std::string("\xA5\x10\x00\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F",
                       13),  // a number of more than 64 bits
       }) {
    std::string sealed = SealPackedHostAttributes(body, "N");
    EXPECT_FALSE(
        UnpackHostAttributes(sealed.data(), sealed.size(), "N", &out, &why))
        << testing::PrintToString(body);
  }
  // A name after the entry's own needs an entry name a line can hold.
  std::string sealed =
      SealPackedHostAttributes(std::string("\xA5\x02\x00\x00", 4), "A\nB");
  EXPECT_FALSE(
      UnpackHostAttributes(sealed.data(), sealed.size(), "A\nB", &out, &why));
}

}  // namespace
}  // namespace refhost
