// Trees of hostile names through the program: generated from seeds (the
// same seed, the same tree), imported and exported, written as archives
// and read back, unpacked by tar; and archives made to do harm, refused
// member by member while nothing outside the library is written and
// nothing stored is lost.

#include <archive.h>
#include <archive_entry.h>

#include <cstring>

#include "tests/cli/program.h"

namespace {

class TreesTest : public ProgramTest {
 protected:
  // An archive of members written with libarchive, as another program
  // would write one.
  struct Member {
    std::string path;
    unsigned type = AE_IFREG;  // AE_IFDIR, AE_IFLNK, AE_IFIFO...
    std::string bytes;
    std::string link = {};  // a link's target; a hard link's with hard
    bool hard = false;
  };
  void MakeArchive(const std::string& path, const std::vector<Member>& members,
                   bool zip = false) {
    struct archive* a = archive_write_new();
    if (zip) {
      archive_write_set_format_zip(a);
    } else {
      archive_write_set_format_pax_restricted(a);
    }
    ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
    for (const Member& m : members) {
      struct archive_entry* e = archive_entry_new();
      archive_entry_set_pathname(e, m.path.c_str());
      archive_entry_set_filetype(e, m.type);
      archive_entry_set_perm(e, 0644);
      archive_entry_set_mtime(e, 1600000000, 0);
      if (m.hard) {
        archive_entry_set_hardlink(e, m.link.c_str());
      } else if (!m.link.empty()) {
        archive_entry_set_symlink(e, m.link.c_str());
      }
      archive_entry_set_size(
          e, m.type == AE_IFREG && !m.hard ? int64_t(m.bytes.size()) : 0);
      EXPECT_EQ(archive_write_header(a, e), ARCHIVE_OK) << m.path;
      if (m.type == AE_IFREG && !m.bytes.empty()) {
        archive_write_data(a, m.bytes.data(), m.bytes.size());
      }
      archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
  }
};

// Over generated trees: import gives every file and folder an entry, and
// export gives back every name, byte, mode and time, folders' included; a
// second import with -u finds every file unchanged.
TEST_F(TreesTest, GeneratedTreesComeBackFromACatalogExactly) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    std::string tree = root_ + "/tree" + std::to_string(seed);
    MakeHostileTree(tree, seed);
    std::string catalog = "work.t" + std::to_string(seed);
    Outcome imported = Run({"import", tree, catalog});
    ASSERT_EQ(imported.code, 0) << "seed " << seed << "\n" << imported.err;
    std::string out = root_ + "/out" + std::to_string(seed);
    Outcome exported = Run({"export", catalog, out});
    ASSERT_EQ(exported.code, 0) << "seed " << seed << "\n" << exported.err;
    EXPECT_EQ(TreeDifference(Tree(out), Tree(tree)), "") << "seed " << seed;
    Outcome again = Run({"import", "-u", tree, catalog});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_NE(again.out.find(" 0 entries written, "), std::string::npos)
        << "seed " << seed << "\n"
        << again.out;
  }
}

// The same trees through archives: a pax stream that tar unpacks as the
// tree, archive files of every kind export writes, each imported back into
// a catalog that exports the tree again.
TEST_F(TreesTest, GeneratedTreesGoThroughArchivesBothWays) {
  for (unsigned seed = 11; seed <= 14; ++seed) {
    std::string tree = root_ + "/tree" + std::to_string(seed);
    MakeHostileTree(tree, seed);
    std::string n = std::to_string(seed);
    ASSERT_EQ(Run({"import", tree, "work.src" + n}).code, 0);
    // The stream, as tar sees it.
    Outcome stream = Run({"export", "work.src" + n, "-"});
    ASSERT_EQ(stream.code, 0) << stream.err;
    WriteFile(root_ + "/s.tar", stream.out);
    std::string unpacked = root_ + "/unpacked" + std::to_string(seed);
    std::filesystem::create_directory(unpacked);
    ASSERT_EQ(std::system(("tar -x -f " + root_ + "/s.tar -C " + unpacked +
                           " 2>/dev/null")
                              .c_str()),
              0);
    // tar sets a folder's time as it likes; files and modes are exact.
    auto unpacked_tree = Tree(unpacked), source = Tree(tree);
    for (auto* t : {&unpacked_tree, &source}) {
      for (auto& [path, state] : *t) {
        if (path.back() == '/') state.modified_ns = 0;
      }
    }
    EXPECT_EQ(TreeDifference(unpacked_tree, source), "") << "seed " << seed;
    // Standard input and archive files, each back into a catalog.
    Outcome in = Run({"import", "-", "work.stream" + n}, stream.out);
    ASSERT_EQ(in.code, 0) << in.err;
    std::string back = root_ + "/back" + std::to_string(seed);
    ASSERT_EQ(Run({"export", "work.stream" + n, back}).code, 0);
    EXPECT_EQ(TreeDifference(Tree(back), Tree(tree)), "") << "seed " << seed;
    int kinds = 0;
    for (const char* kind : {"tar", "tar.gz", "tar.zst", "zip"}) {
      std::string file = root_ + "/a" + std::to_string(seed) + "." + kind;
      Outcome written = Run({"export", "work.src" + n, file});
      ASSERT_EQ(written.code, 0) << kind << "\n" << written.err;
      std::string k = "work.k" + std::to_string(++kinds) + "s" + n;
      Outcome read = Run({"import", file, k});
      // A zip's reader takes a backslash for a folder, and one that leads
      // a name for the root, which is refused.
      if (std::string(kind) != "zip") {
        ASSERT_EQ(read.code, 0) << kind << "\n" << read.err;
      }
      std::string again = root_ + "/again" + std::to_string(seed) + kind;
      ASSERT_EQ(Run({"export", k, again}).code, 0);
      auto want = Tree(tree);
      auto got = Tree(again);
      if (std::string(kind) == "zip") {
        // A zip keeps times to the second (folders' hardly at all), and a
        // backslash in a name reads as a folder: what has none is exact.
        std::map<std::string, FileState> kept;
        for (auto* t : {&want, &got}) {
          for (auto& [path, state] : *t) {
            state.modified_ns =
                path.back() == '/' ? 0 : state.modified_ns / 1000000000;
          }
        }
        for (const auto& [path, state] : want) {
          if (path.find('\\') != std::string::npos) continue;
          kept[path] = state;
          if (got.count(path) != 0) kept[path] = got[path];
        }
        got = kept;
        for (auto it = want.begin(); it != want.end();) {
          it = it->first.find('\\') != std::string::npos ? want.erase(it)
                                                         : std::next(it);
        }
      }
      EXPECT_EQ(TreeDifference(got, want), "") << kind << " seed " << seed;
    }
  }
}

// Archives made to do harm: each bad member is refused by name with its
// reason, the others are kept, nothing is written outside the library, and
// an entry a bad member would have replaced keeps what it had.
TEST_F(TreesTest, HostileArchivesAreRefusedMemberByMember) {
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  WriteFile(in + "/kept.txt", "stored before\n");
  ASSERT_EQ(Run({"import", in, "work.h"}).code, 0);
  std::string archive = root_ + "/bad.tar";
  MakeArchive(archive, {
                           {"/etc/absolute.txt", AE_IFREG, "x"},
                           {"../up.txt", AE_IFREG, "x"},
                           {"a/../../up2.txt", AE_IFREG, "x"},
                           {"fine.txt", AE_IFREG, "fine\n"},
                           {"fine.txt", AE_IFREG, "twice\n"},
                           {"link", AE_IFLNK, "", root_},
                           {"link/under.txt", AE_IFREG, "x"},
                           {"hard.txt", AE_IFREG, "", "fine.txt", true},
                           {"pipe", AE_IFIFO, ""},
                           {"dev", AE_IFCHR, ""},
                           {"file.txt", AE_IFREG, "x"},
                           {"file.txt/inside.txt", AE_IFREG, "x"},
                           {"d/deep.txt", AE_IFREG, "deep\n"},
                       });
  Outcome imported = Run({"import", archive, "work.h"});
  EXPECT_EQ(imported.code, 1);
  for (const char* expected :
       {"/etc/absolute.txt: skipped: an absolute path",
        "../up.txt: skipped: a '..' step", "a/../../up2.txt: skipped: a '..'",
        "fine.txt: skipped: the path was given before",
        "link: skipped: a symbolic link: not kept",
        "link/under.txt: skipped: the path passes through a link",
        "hard.txt: skipped: a hard link: not kept",
        "pipe: skipped: a FIFO: not kept", "dev: skipped: a device: not kept",
        "file.txt/inside.txt: skipped: the path passes through a file",
        "import: 10 of 13 files were not imported"}) {
    EXPECT_NE(imported.err.find(expected), std::string::npos)
        << expected << "\n"
        << imported.err;
  }
  EXPECT_FALSE(std::filesystem::exists(root_ + "/up.txt"));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/under.txt"));
  EXPECT_EQ(Run({"read", "work.h.kept"}).out, "stored before\n");
  EXPECT_EQ(Run({"read", "work.h.fine"}).out, "fine\n");
  EXPECT_EQ(Run({"read", "work.h.deep"}).out, "deep\n");

  // An archive cut short: what was whole is kept, the member cut is not,
  // the entry it would replace keeps its bytes.
  MakeArchive(root_ + "/whole.tar",
              {{"first.txt", AE_IFREG, "first\n"},
               {"kept.txt", AE_IFREG, std::string(100000, 'k')}});
  std::string whole = ReadFile(root_ + "/whole.tar");
  WriteFile(root_ + "/cut.tar", whole.substr(0, 3000));
  Outcome cut = Run({"import", root_ + "/cut.tar", "work.h"});
  EXPECT_EQ(cut.code, 1);
  EXPECT_NE(cut.err.find("kept.txt: skipped: cannot read the file"),
            std::string::npos)
      << cut.err;
  EXPECT_EQ(Run({"read", "work.h.first"}).out, "first\n");
  EXPECT_EQ(Run({"read", "work.h.kept"}).out, "stored before\n");

  // Bytes that are no archive at all, and an archive that is not there.
  WriteFile(root_ + "/notes.txt", "just a note\n");
  Outcome text = Run({"import", root_ + "/notes.txt", "work.h"});
  EXPECT_EQ(text.code, 1);
  EXPECT_NE(text.err.find("notes.txt: cannot be read as an archive: "
                          "Unrecognized archive format"),
            std::string::npos)
      << text.err;
  EXPECT_EQ(Run({"read", "work.h.kept"}).out, "stored before\n");
}

// Archives of other kinds than tar come in too, with their folders.
TEST_F(TreesTest, ZipCpioAndSevenZipArchivesImport) {
  for (const char* kind : {"zip", "cpio", "7z", "iso"}) {
    std::string path = root_ + "/in." + kind;
    struct archive* a = archive_write_new();
    std::string k = kind;
    if (k == "zip") archive_write_set_format_zip(a);
    if (k == "cpio") archive_write_set_format_cpio_newc(a);
    if (k == "7z") archive_write_set_format_7zip(a);
    if (k == "iso") archive_write_set_format_iso9660(a);
    ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
    for (auto [name, bytes] :
         {std::pair<const char*, const char*>{"docs", nullptr},
          {"docs/report.csv", "q,total\n1,200\n"},
          {"index.html", "<p>hello</p>\n"}}) {
      struct archive_entry* e = archive_entry_new();
      archive_entry_set_pathname(e, name);
      archive_entry_set_filetype(e, bytes == nullptr ? AE_IFDIR : AE_IFREG);
      archive_entry_set_perm(e, bytes == nullptr ? 0755 : 0644);
      archive_entry_set_mtime(e, 1600000000, 0);
      archive_entry_set_size(e, bytes == nullptr ? 0 : strlen(bytes));
      archive_write_header(a, e);
      if (bytes != nullptr) archive_write_data(a, bytes, strlen(bytes));
      archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    std::string catalog = std::string("work.") + (k == "7z" ? "seven" : kind);
    Outcome imported = Run({"import", path, catalog});
    EXPECT_EQ(imported.code, 0) << kind << "\n" << imported.err;
    EXPECT_EQ(Run({"read", catalog + ".report.csv"}).out, "q,total\n1,200\n")
        << kind;
    EXPECT_EQ(Run({"read", catalog + ".index.html"}).out, "<p>hello</p>\n")
        << kind;
    EXPECT_NE(Run({"list", "-l", catalog}).out.find("docs/report.csv"),
              std::string::npos)
        << kind;
  }
}

// One rule names a catalog's folder: export -r writes the folder a catalog
// keeps, else its name in lower case, and import -r makes the same catalogs
// of those folders, so catalog names go round.
TEST_F(TreesTest, CatalogFoldersRoundTripCatalogNames) {
  std::string rt = root_ + "/rt";
  std::filesystem::create_directories(rt + "/src");
  std::filesystem::create_directories(rt + "/My Site.v2/css");
  WriteFile(rt + "/src/a.txt", "a\n");
  WriteFile(rt + "/My Site.v2/css/main.css", "p {}\n");
  ASSERT_EQ(Run({"import", rt + "/src", "lib60.reports"}).code, 0);
  ASSERT_EQ(Run({"import", "-r", rt, "lib70"}).code, 0);
  std::string out = root_ + "/out";
  ASSERT_EQ(Run({"export", "-r", "lib60", out}).code, 0);
  EXPECT_TRUE(std::filesystem::exists(out + "/reports/a.txt"));
  ASSERT_EQ(Run({"import", "-r", out, "lib61"}).code, 0);
  EXPECT_EQ(Run({"read", "lib61.reports.a"}).out, "a\n");
  std::string out70 = root_ + "/out70";
  ASSERT_EQ(Run({"export", "-r", "lib70", out70}).code, 0);
  EXPECT_TRUE(std::filesystem::exists(out70 + "/My Site.v2/css/main.css"));
  ASSERT_EQ(Run({"import", "-r", out70, "lib71"}).code, 0);
  EXPECT_EQ(Run({"list", "lib71"}).out, Run({"list", "lib70"}).out);
  // The same through a stream.
  Outcome stream = Run({"export", "-r", "lib70", "-"});
  ASSERT_EQ(stream.code, 0) << stream.err;
  ASSERT_EQ(Run({"import", "-r", "-", "lib72"}, stream.out).code, 0);
  EXPECT_EQ(Run({"list", "lib72"}).out, Run({"list", "lib70"}).out);
}

}  // namespace
