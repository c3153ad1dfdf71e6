// Failures are never reported as success: what an import could not read is
// said and fails it, what it could not keep is said, and a command that
// failed leaves no empty catalog it made behind.

#include "program.h"

namespace {

class FailuresTest : public ProgramTest {
 protected:
  static bool Has(const Outcome& o, const std::string& text) {
    return o.err.find(text) != std::string::npos;
  }
  std::string Catalogs(const std::string& libref) {
    return Run({"list", libref}).out;
  }
};

TEST_F(FailuresTest, AManifestThatCannotBeReadFailsTheImport) {
  const std::string heading =
      "# vuvorozo manifest 1: file, entry, description; tab-separated\n";
  auto folder = [&](const std::string& name) {
    std::string path = root_ + "/" + name;
    std::filesystem::create_directories(path);
    WriteFile(path + "/notes.txt", "kept\n");
    return path;
  };
  // A FIFO would read as nothing, a folder or a link as an error, and one
  // over 16 MB is no manifest an export wrote: each is said, the files are
  // still imported, and the import fails.
  std::string fifo = folder("fifo");
  ASSERT_EQ(mkfifo((fifo + "/.vuvorozo-manifest").c_str(), 0644), 0);
  std::string inner = folder("folder");
  std::filesystem::create_directory(inner + "/.vuvorozo-manifest");
  std::string link = folder("link");
  WriteFile(root_ + "/elsewhere", heading + "notes.txt\tNOTES.CATAMS\tx\n");
  ASSERT_EQ(symlink((root_ + "/elsewhere").c_str(),
                    (link + "/.vuvorozo-manifest").c_str()),
            0);
  std::string large = folder("large");
  WriteFile(large + "/.vuvorozo-manifest",
            heading + std::string((16 << 20) + 1, '#'));
  struct Case {
    std::string folder;
    std::string reason;
  };
  for (const Case& c :
       {Case{fifo, "not a regular file"}, Case{inner, "a folder, not a file"},
        Case{link, "a link, which is not followed"},
        Case{large, "it is over 16 MB"}}) {
    Outcome got = Run({"import", c.folder, "lib.m"});
    EXPECT_EQ(got.code, 1) << c.folder << got.err;
    EXPECT_TRUE(Has(got,
                    "vuvorozo: import: .vuvorozo-manifest: cannot be read, "
                    "descriptions are not given back: " +
                        c.reason))
        << got.err;
    EXPECT_EQ(Run({"read", "lib.m.notes"}).out, "kept\n") << c.folder;
  }
  // Exactly 16 MB is still a manifest.
  std::string full = folder("full");
  std::string text = heading + "notes.txt\tNOTES.CATAMS\tA note\n";
  text.resize(16 << 20, '#');
  WriteFile(full + "/.vuvorozo-manifest", text);
  Outcome taken = Run({"import", full, "lib.full"});
  EXPECT_EQ(taken.code, 0) << taken.err;

  // A description that begins with a NUL byte, or holds one, is said: a
  // description ends at its first NUL.
  std::string nul = folder("nul");
  WriteFile(nul + "/other.txt", "other\n");
  WriteFile(nul + "/.vuvorozo-manifest",
            heading + "notes.txt\tNOTES.CATAMS\t\\x00hidden\n" +
                "other.txt\tOTHER.CATAMS\tplain\\x00cut\n");
  Outcome said = Run({"import", nul, "lib.nul"});
  EXPECT_EQ(said.code, 0) << said.err;
  EXPECT_TRUE(Has(said,
                  "warning: notes.txt: the manifest's description holds a NUL "
                  "byte, which no description can hold; it was not taken"))
      << said.err;
  EXPECT_TRUE(Has(said,
                  "warning: other.txt: the manifest's description holds "
                  "a NUL byte, which no description can hold; it was "
                  "cut there"))
      << said.err;
  EXPECT_NE(Run({"list", "lib.nul"}).out.find("plain"), std::string::npos);
}

TEST_F(FailuresTest, AFailedImportLeavesNoEmptyCatalogItMade) {
  std::string links = root_ + "/links";
  std::filesystem::create_directories(links);
  ASSERT_EQ(symlink("/etc/passwd", (links + "/x.txt").c_str()), 0);
  ASSERT_EQ(Run({"write", "lib.kept.memo"}, "memo\n").code, 0);
  Outcome failed = Run({"import", links, "lib.links", "-v"});
  EXPECT_EQ(failed.code, 1);
  EXPECT_TRUE(Has(failed, "x.txt: skipped: a symbolic link: not kept"))
      << failed.err;
  EXPECT_EQ(Catalogs("lib").find("LINKS"), std::string::npos)
      << Catalogs("lib");
  // A catalog that was there before stays, empty or not; so does one a
  // successful import of an empty folder makes.
  ASSERT_EQ(Run({"mkdir", "lib.empty"}).code, 0);
  EXPECT_EQ(Run({"import", links, "lib.empty"}).code, 1);
  EXPECT_EQ(Run({"import", links, "lib.kept"}).code, 1);
  std::string none = root_ + "/none";
  std::filesystem::create_directories(none);
  EXPECT_EQ(Run({"import", none, "lib.fresh"}).code, 0);
  std::string listed = Catalogs("lib");
  for (const char* name : {"EMPTY", "KEPT", "FRESH"}) {
    EXPECT_NE(listed.find(name), std::string::npos) << name << "\n" << listed;
  }
  EXPECT_EQ(Run({"read", "lib.kept.memo"}).out, "memo\n");
}

// A write the module refuses after its open made the catalog leaves none.
TEST_F(FailuresTest, ARefusedWriteLeavesNoEmptyCatalogItMade) {
  Outcome refused = Run({"write", "lib.made.x.folder", "-v"}, "text\n");
  EXPECT_EQ(refused.code, 1);
  EXPECT_TRUE(Has(refused, "This entry type cannot be written")) << refused.err;
  EXPECT_NE(
      refused.out.find("removed the catalog LIB.MADE it had made, which is "
                       "empty\n"),
      std::string::npos)
      << refused.out;
  EXPECT_EQ(Catalogs("lib").find("MADE"), std::string::npos) << Catalogs("lib");
  // Into a catalog that is there, the same refusal leaves it be.
  ASSERT_EQ(Run({"mkdir", "lib.there"}).code, 0);
  EXPECT_EQ(Run({"write", "lib.there.x.folder"}, "text\n").code, 1);
  EXPECT_NE(Catalogs("lib").find("THERE"), std::string::npos);
}

}  // namespace

namespace {

// An export says each file it could not make, in its place among the files
// it made (-v names them in order), counts the rest and fails.
TEST_F(FailuresTest, AnExportSaysEachFileItCouldNotMakeInOrder) {
  std::string notes = root_ + "/notes";
  std::filesystem::create_directories(notes);
  auto name_of = [](int i) {
    char name[16];
    std::snprintf(name, sizeof name, "%02d", i);
    return std::string(name);
  };
  for (int i = 0; i < 40; ++i) {
    std::ofstream(notes + "/note" + name_of(i) + ".txt")
        << "note " << i << "\n";
  }
  ASSERT_EQ(Run({"import", notes, "lib.notes"}).code, 0);
  std::string out = root_ + "/out";
  std::filesystem::create_directories(out + "/note10.txt");
  std::filesystem::create_directories(out + "/note30.txt");
  // What is said, on both streams as they come.
  EXPECT_EQ(RunShell("\"$V\" --data \"$D\" export lib.notes \"" + out +
                     "\" -v >\"" + root_ + "/said\" 2>&1"),
            1);
  std::ifstream in(root_ + "/said");
  std::stringstream said_text;
  said_text << in.rdbuf();
  std::string said = said_text.str();
  EXPECT_NE(said.find("NOTE10.CATAMS: skipped: cannot write "),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("NOTE30.CATAMS: skipped: cannot write "),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("40 entries: 38 files written"), std::string::npos)
      << said;
  size_t at = 0;
  for (int i = 0; i < 40; ++i) {
    size_t found = said.find("NOTE" + name_of(i) + ".CATAMS", at);
    ASSERT_NE(found, std::string::npos) << i << " after " << at << "\n" << said;
    at = found;
    if (i == 10 || i == 30) continue;
    std::ifstream file(out + "/note" + name_of(i) + ".txt");
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), "note " + std::to_string(i) + "\n");
  }
}

}  // namespace
