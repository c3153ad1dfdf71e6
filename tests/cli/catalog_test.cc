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

// import --delete follows the folder as rsync --delete does: the entries
// whose files are gone from it go, each named with -v and counted; entries
// that keep no path, and what the folder still holds in any form, stay.
TEST_F(CatalogTest, ImportWithDeleteRemovesTheEntriesWhoseFilesAreGone) {
  std::string tree = root_ + "/tree";
  std::filesystem::create_directories(tree + "/sub/deeper");
  WriteFile(tree + "/a.txt", "a\n");
  WriteFile(tree + "/sub/b.txt", "b\n");
  WriteFile(tree + "/sub/c.txt", "c\n");
  WriteFile(tree + "/sub/deeper/d.txt", "d\n");
  WriteFile(tree + "/kept.txt", "kept\n");
  ASSERT_EQ(Run({"import", tree, "lib.t"}).code, 0);
  ASSERT_EQ(Run({"write", "lib.t.memo"}, "no path\n").code, 0);

  std::filesystem::remove(tree + "/a.txt");
  std::filesystem::remove(tree + "/sub/b.txt");
  std::filesystem::remove_all(tree + "/sub/deeper");
  // A file that is still there but cannot be kept is not gone.
  std::filesystem::remove(tree + "/kept.txt");
  ASSERT_EQ(symlink("/etc/passwd", (tree + "/kept.txt").c_str()), 0);
  Outcome synced = Run({"import", "-u", "--delete", tree, "lib.t", "-v"});
  EXPECT_EQ(synced.code, 1) << synced.err;  // the link is not kept
  for (const char* line :
       {"deleted LIB.T.A.CATAMS: a.txt is gone\n",
        "deleted LIB.T.B.CATAMS: sub/b.txt is gone\n",
        "deleted LIB.T.D.CATAMS: sub/deeper/d.txt is gone\n",
        "deleted LIB.T.DEEPER.CATAMS: sub/deeper is gone\n"}) {
    EXPECT_NE(synced.out.find(line), std::string::npos) << line << synced.out;
  }
  EXPECT_NE(synced.out.find(", 4 deleted, 1 skipped, "), std::string::npos)
      << synced.out;
  for (const char* gone : {"lib.t.a", "lib.t.b", "lib.t.d"}) {
    EXPECT_EQ(Run({"exists", gone}).code, 1) << gone;
  }
  for (const char* stays :
       {"lib.t.c", "lib.t.kept", "lib.t.memo", "lib.t.sub"}) {
    EXPECT_EQ(Run({"exists", stays}).code, 0) << stays;
  }
  // Again: nothing more is gone; without --delete nothing ever goes.
  Outcome again = Run({"import", "-u", "--delete", tree, "lib.t"});
  EXPECT_EQ(again.out.find("deleted"), std::string::npos) << again.out;
  std::filesystem::remove(tree + "/sub/c.txt");
  EXPECT_EQ(Run({"import", "-u", tree, "lib.t"}).code, 1);
  EXPECT_EQ(Run({"exists", "lib.t.c"}).code, 0);

  // With -r, each catalog follows its own folder.
  std::string lib = root_ + "/lib";
  std::filesystem::create_directories(lib + "/one");
  std::filesystem::create_directories(lib + "/two");
  WriteFile(lib + "/one/x.txt", "x\n");
  WriteFile(lib + "/two/y.txt", "y\n");
  ASSERT_EQ(Run({"import", "-r", lib, "many"}).code, 0);
  std::filesystem::remove(lib + "/two/y.txt");
  Outcome tree_sync = Run({"import", "-r", "-u", "--delete", lib, "many"});
  EXPECT_EQ(tree_sync.code, 0) << tree_sync.err;
  EXPECT_EQ(Run({"exists", "many.two.y"}).code, 1);
  EXPECT_EQ(Run({"exists", "many.one.x"}).code, 0);

  // An archive is not walked as a folder: there is nothing to tell gone.
  Outcome archive = Run({"import", "--delete", "-", "lib.t"}, "");
  EXPECT_EQ(archive.code, 2);
  EXPECT_NE(archive.err.find("--delete takes a folder"), std::string::npos)
      << archive.err;
}

// export's members can be named by the files they keep: a path, a file
// name (every file of that name), or a folder's path with what is under it.
TEST_F(CatalogTest, ExportTakesMembersByTheirFileNamesAndPaths) {
  std::string tree = root_ + "/tree";
  std::filesystem::create_directories(tree + "/sub");
  WriteFile(tree + "/notes.txt", "top\n");
  WriteFile(tree + "/sub/notes.txt", "inner\n");
  WriteFile(tree + "/sub/data.csv", "a,b\n");
  WriteFile(tree + "/other.txt", "other\n");
  ASSERT_EQ(Run({"import", tree, "lib.t"}).code, 0);
  auto exported = [&](const std::string& member) {
    std::string out =
        root_ + "/out-" + std::to_string(std::hash<std::string>()(member));
    Outcome got = Run({"export", "lib.t", out, member});
    EXPECT_EQ(got.code, 0) << member << got.err;
    std::set<std::string> files;
    for (const auto& [path, state] : Snapshot(out)) files.insert(path);
    return files;
  };
  EXPECT_EQ(exported("sub/notes.txt"),
            (std::set<std::string>{"sub/", "sub/notes.txt"}));
  EXPECT_EQ(exported("notes.txt"),
            (std::set<std::string>{"notes.txt", "sub/", "sub/notes.txt"}));
  EXPECT_EQ(exported("sub"),
            (std::set<std::string>{"sub/", "sub/data.csv", "sub/notes.txt"}));
  // Entry names still name members, and a name that names nothing fails.
  EXPECT_EQ(exported("other"), (std::set<std::string>{"other.txt"}));
  Outcome none = Run({"export", "lib.t", root_ + "/none", "sub/none.txt"});
  EXPECT_EQ(none.code, 1);
  EXPECT_NE(none.err.find("sub/none.txt: no entry matches"), std::string::npos)
      << none.err;
}

}  // namespace
