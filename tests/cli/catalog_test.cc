// Catalogs through the program: folders in and out, existence, deletion
// and information.

#include "cli/program.h"

namespace {

class CatalogTest : public ProgramTest {
 protected:
  std::vector<std::string> Files(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(CatalogTest, ImportThenExportGivesTheFolderBack) {
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  std::string picture = Bytes(3000, 3);
  WriteFile(in + "/readme.txt", "Read me\nplease\n");
  WriteFile(in + "/prog.kor", "Shopping list\n- bread\n");
  WriteFile(in + "/report.lst", "page 1\n");
  WriteFile(in + "/page.html", "<html>\n</html>\n");
  WriteFile(in + "/photo.jpeg", picture);
  WriteFile(in + "/notes", "no extension\n");
  Outcome imported = Run({"import", "-v", in, "work.site"});
  EXPECT_EQ(imported.code, 0) << imported.err;
  EXPECT_NE(imported.out.find("prog.kor -> WORK.SITE.PROG.SOURCE (2 records)"),
            std::string::npos)
      << imported.out;
  EXPECT_EQ(Run({"list", "work.site"}).out,
            "NAME    TYPE    DESCRIPTION\n"
            "NOTES   CATAMS\n"
            "PAGE    HTML\n"
            "PHOTO   JPEG\n"
            "PROG    SOURCE\n"
            "README  CATAMS\n"
            "REPORT  OUTPUT\n");

  // The files come back under their own names, and nothing else: without
  // descriptions there is no manifest. An entry written without a file
  // takes its name and type.
  ASSERT_EQ(Run({"write", "work.site.memo"}, "memo\n").code, 0);
  std::string out = root_ + "/out";
  Outcome exported = Run({"export", "work.site", out});
  EXPECT_EQ(exported.code, 0) << exported.err;
  EXPECT_EQ(Files(out), (std::vector<std::string>{
                            "memo.txt", "notes", "page.html", "photo.jpeg",
                            "prog.kor", "readme.txt", "report.lst"}));
  EXPECT_EQ(ReadFile(out + "/photo.jpeg"), picture);
  EXPECT_EQ(ReadFile(out + "/prog.kor"), "Shopping list\n- bread\n");
  EXPECT_EQ(ReadFile(out + "/report.lst"), "page 1\n");
  EXPECT_EQ(ReadFile(out + "/notes"), "no extension\n");

  // The exported folder imports back to the same entries.
  Outcome again = Run({"import", out, "work.copy"});
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_EQ(Run({"list", "work.copy"}).out, Run({"list", "work.site"}).out);

  // One description brings the manifest, listing every file; when the
  // description is gone, so is the manifest, and a later import does not
  // take its stale text.
  ASSERT_EQ(Run({"write", "work.site.memo", "desc=Kept"}, "memo\n").code, 0);
  ASSERT_EQ(Run({"export", "work.site", out}).code, 0);
  std::string manifest = ReadFile(out + "/.vuvorozo-manifest");
  EXPECT_NE(manifest.find("\nmemo.txt\tWORK.SITE.MEMO.CATAMS\tKept\n"),
            std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find("\nprog.kor\tWORK.SITE.PROG.SOURCE\t\n"),
            std::string::npos);
  ASSERT_EQ(Run({"delete", "work.site.memo"}).code, 0);
  ASSERT_EQ(Run({"write", "work.site.memo"}, "memo\n").code, 0);
  ASSERT_EQ(Run({"export", "work.site", out}).code, 0);
  EXPECT_FALSE(std::filesystem::exists(out + "/.vuvorozo-manifest"));
}

TEST_F(CatalogTest, ImportReportsAndSkipsWhatTheModuleRefuses) {
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  std::string long_name(33, 'n');
  WriteFile(in + "/" + long_name + ".txt", "too long\n");
  WriteFile(in + "/a.txt", "kept\n");
  WriteFile(in + "/a.data", "same entry as a.txt\n");
  WriteFile(in + "/two.dots.txt", "x\n");
  WriteFile(in + "/fine.csv", "1,2\n");
  // With exact names, a file whose name is no entry name as it stands is
  // refused with the reason, and so is a second file for one entry.
  Outcome imported = Run({"import", "--exact-names", in, "work.mixed"});
  EXPECT_EQ(imported.code, 1);
  EXPECT_NE(imported.err.find(long_name + ".txt: skipped: the name is longer "
                                          "than 32 bytes"),
            std::string::npos)
      << imported.err;
  EXPECT_NE(imported.err.find("a.data: skipped: its entry A.CATAMS is another "
                              "file's, a.txt"),
            std::string::npos)
      << imported.err;
  EXPECT_NE(imported.err.find("two.dots.txt: skipped"), std::string::npos);
  EXPECT_NE(imported.err.find("import: 3 of 5 files were not imported"),
            std::string::npos)
      << imported.err;
  EXPECT_EQ(Run({"list", "work.mixed"}).out,
            "NAME  TYPE    DESCRIPTION\n"
            "A     CATAMS\n"
            "FINE  CSV\n");
  EXPECT_EQ(Run({"read", "work.mixed.a"}).out, "kept\n");
  // By default every name is fitted instead, and each file keeps its own.
  Outcome fitted = Run({"import", in, "work.fitted"});
  EXPECT_EQ(fitted.code, 0) << fitted.err;
  EXPECT_EQ(Run({"list", "work.fitted"}).out,
            "NAME                              TYPE    DESCRIPTION\n"
            "A                                 CATAMS\n"
            "A~2                               CATAMS\n"
            "FINE                              CSV\n"
            "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN  CATAMS\n"
            "TWO_DOTS                          CATAMS\n");
  EXPECT_EQ(Run({"read", "work.fitted.a~2"}).out, "same entry as a.txt\n");
  std::string out = root_ + "/out";
  ASSERT_EQ(Run({"export", "work.fitted", out}).code, 0);
  EXPECT_EQ(Snapshot(out), Snapshot(in));

  // Options given to import hold for every file.
  std::filesystem::remove(in + "/" + long_name + ".txt");
  std::filesystem::remove(in + "/a.data");
  std::filesystem::remove(in + "/two.dots.txt");
  WriteFile(in + "/wide.txt", std::string(150, 'w') + "\n");
  Outcome wide = Run({"import", in, "work.wide", "lrecl=200", "desc=batch"});
  EXPECT_EQ(wide.code, 0) << wide.err;
  EXPECT_EQ(Run({"read", "work.wide.wide"}).out, std::string(150, 'w') + "\n");
  EXPECT_NE(Run({"list", "work.wide"}).out.find("WIDE  CATAMS  batch"),
            std::string::npos);
}

TEST_F(CatalogTest, ExistsDeleteAndInfo) {
  ASSERT_EQ(Run({"write", "lib.cat.entry", "desc=Kept"}, "abc\nde\n").code, 0);
  Outcome yes = Run({"exists", "lib.cat.entry"});
  EXPECT_EQ(yes.code, 0);
  EXPECT_EQ(yes.out, "");
  EXPECT_EQ(Run({"exists", "-v", "lib.cat.entry"}).out,
            "lib.cat.entry exists\n");
  EXPECT_EQ(Run({"exists", "-v", "lib.cat.none"}).out,
            "lib.cat.none does not exist\n");
  EXPECT_EQ(Run({"exists", "lib.cat"}).code, 0);
  EXPECT_EQ(Run({"exists", "lib.cat.entry.log"}).code, 1);
  EXPECT_EQ(Run({"exists", "nolib.cat.entry"}).code, 1);
  // A name the module refuses is no answer to "does it exist".
  Outcome refused = Run({"exists", "libref123.cat.entry"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.err.find("The name does not resolve"), std::string::npos);

  Outcome info = Run({"info", "lib.cat.entry"});
  EXPECT_EQ(info.code, 0) << info.err;
  EXPECT_EQ(info.out,
            "Path name:      LIB.CAT.ENTRY.CATAMS\n"
            "Record format:  V (variable length)\n"
            "Record length:  3\n"
            "Description:    Kept\n");

  EXPECT_EQ(Run({"delete", "lib.cat.entry"}).code, 0);
  EXPECT_EQ(Run({"exists", "lib.cat.entry"}).code, 1);
  Outcome again = Run({"delete", "lib.cat.entry"});
  EXPECT_EQ(again.code, 1);
  EXPECT_EQ(again.err,
            "vuvorozo: delete: lib.cat.entry: The entry does not exist.\n");
}

}  // namespace
