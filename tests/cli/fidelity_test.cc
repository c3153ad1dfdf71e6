// A person's files through the program: whatever a folder holds comes back
// byte for byte, under its own names, times and modes; names a catalog
// cannot hold are reported, or fitted on request; trees go folder by
// folder; an update writes only what changed, and a killed one leaves every
// entry whole.

#include <signal.h>

#include <random>
#include <set>

#include "cli/program.h"
#include "refhost/host/file_attributes.h"
#include "refhost/store/catalog_store.h"

namespace {

class FidelityTest : public ProgramTest {
 protected:
  // Under a wrapper such as valgrind every run is slow: fewer rounds.
  static int Rounds(int full) {
    return getenv("VUVOROZO_PROGRAM_WRAPPER") != nullptr ? 1 : full;
  }
};

// What people keep in files, by kind: nothing, random bytes, text with
// and without a last newline, CRLF, NUL, tabs and trailing blanks, bytes
// that are not UTF-8, empty lines, long lines.
std::string RandomContent(std::mt19937& rng, int kind) {
  auto number = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
  };
  std::string out;
  switch (kind % 8) {
    case 0:
      break;
    case 1:
      for (int i = number(1, 4000); i > 0; --i) out += char(number(0, 255));
      break;
    case 2:
    case 3:
      for (int i = number(1, 30); i > 0; --i) {
        out += "line " + std::to_string(i) + std::string(number(0, 90), 'w');
        out += kind % 8 == 3 ? "\r\n" : "\n";
      }
      if (kind % 8 == 2) out += "no newline at the end";
      break;
    case 4:
      out = std::string("nul \0 inside\t\ttabs   \n\0\n  trailing  \n", 37);
      break;
    case 5:
      out = "caf\xC3\xA9 ok, then \xFF\xFE\xC3( broken\n\x80\n";
      break;
    case 6:
      out = std::string(number(1, 5), '\n');
      break;
    case 7:
      out = std::string(number(2000, 9000), 'L') + "\n" +
            std::string(number(1, 300), 'S');
      break;
  }
  return out;
}

// File names people use, legal for a catalog: any case, blanks, accents,
// other scripts, punctuation; the extension decides the type.
std::string RandomName(std::mt19937& rng, std::set<std::string>* stems) {
  static const char* const kParts[] = {"Notes",
                                       "report 2024",
                                       "\xC3\xA9t\xC3\xA9",
                                       "\xE4\xB8\xAD\xE6\x96\x87",
                                       "a'b",
                                       "x#1",
                                       "50%",
                                       "tilde~",
                                       "-dash",
                                       "(paren)",
                                       "plus+eq=",
                                       "\xF0\x9F\x99\x82"};
  static const char* const kExtensions[] = {
      ".txt", ".TXT", ".kor", ".log", ".lst", ".html", ".htm", ".gif",
      ".jpg", ".pdf", ".csv", ".png", ".dat", ".JPEG", ""};
  auto pick = [&](size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
  };
  while (true) {
    std::string stem = kParts[pick(std::size(kParts))];
    stem += char('a' + pick(26));
    std::string upper;
    for (char c : stem) upper += char(toupper((unsigned char)c));
    if (stems->insert(upper).second) {
      return stem + kExtensions[pick(std::size(kExtensions))];
    }
  }
}

TEST_F(FidelityTest, RandomFoldersComeBackByteForByteWithNamesTimesAndModes) {
  static const unsigned kModes[] = {0644, 0600, 0755, 0444, 0640, 0700};
  for (int round = 0; round < Rounds(3); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::mt19937 rng(1000 + round);
    auto number = [&](int64_t low, int64_t high) {
      return std::uniform_int_distribution<int64_t>(low, high)(rng);
    };
    auto fill = [&](const std::string& folder, int files) {
      std::filesystem::create_directories(folder);
      std::set<std::string> stems;
      for (int i = 0; i < files; ++i) {
        std::string path = folder + "/" + RandomName(rng, &stems);
        WriteFile(path, RandomContent(rng, i));
        SetModified(path, number(1000000000, 1999999999) * 1000000000 +
                              number(0, 999999999));
        chmod(path.c_str(), kModes[number(0, std::size(kModes) - 1)]);
      }
    };
    std::string r = std::to_string(round);

    // One folder into one catalog and back.
    std::string in = root_ + "/in" + r;
    fill(in, 12);
    if (round == 0 && Rounds(2) == 2) {
      // A line of a megabyte stays one record; a longer one goes in chunks.
      WriteFile(in + "/one line.txt", std::string(1 << 20, 'x') + "\nend");
      WriteFile(in + "/longer.csv", std::string(3 << 19, 'y'));
    }
    Outcome imported = Run({"import", in, "work.p" + r});
    ASSERT_EQ(imported.code, 0) << imported.err;
    Outcome exported = Run({"export", "work.p" + r, root_ + "/out" + r});
    ASSERT_EQ(exported.code, 0) << exported.err;
    EXPECT_EQ(Snapshot(root_ + "/out" + r), Snapshot(in));

    // A tree of folders into a library's catalogs and back.
    std::string tree = root_ + "/tree" + r;
    for (const char* folder : {"Letters", "photos 2023", "caf\xC3\xA9"}) {
      fill(tree + "/" + folder, 4);
    }
    imported = Run({"import", "-r", tree, "t" + r});
    ASSERT_EQ(imported.code, 0) << imported.err;
    exported = Run({"export", "--recursive", "t" + r, root_ + "/treeout" + r});
    ASSERT_EQ(exported.code, 0) << exported.err;
    EXPECT_EQ(Snapshot(root_ + "/treeout" + r), Snapshot(tree));

    // Standard input into an entry and back, for text and binary types.
    for (int i = 0; i < 8; ++i) {
      static const char* const kTypes[] = {"catams", "source", "log", "output",
                                           "html",   "jpeg",   "csv", "pdf"};
      std::string content = RandomContent(rng, i + round);
      std::string entry = "work.w" + r + ".e" + std::to_string(i) + "." +
                          kTypes[(i + round) % 8];
      ASSERT_EQ(Run({"write", entry}, content).code, 0) << entry;
      Outcome read = Run({"read", entry});
      EXPECT_EQ(read.code, 0) << read.err;
      EXPECT_EQ(read.out, content) << entry;
    }
  }
}

TEST_F(FidelityTest, AnyFileNameIsKeptAndEntryNamesAreFittedUnlessExact) {
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  std::string long_name = std::string(33, 'n') + ".txt";
  const std::vector<std::string> files = {
      "A.txt",        "a.txt",    long_name,    "tab\there.txt", "bad\xFF.txt",
      "two.dots.txt", ".profile", "trail .txt", "fine.csv"};
  for (const std::string& file : files) {
    WriteFile(in + "/" + file, "content of " + file + "\n");
    SetModified(in + "/" + file, 1234567890123456789);
  }
  // Asked for exact names, the program refuses every file whose name is no
  // entry name as it stands, each with the reason.
  Outcome strict = Run({"import", "--exact-names", in, "work.strict"});
  EXPECT_EQ(strict.code, 1);
  for (const char* expected :
       {"a.txt: skipped: its entry A.CATAMS is another file's, A.txt",
        "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn.txt: skipped: the name is longer",
        "tab\\x09here.txt: skipped: the name holds a control character",
        "bad\\xFF.txt: skipped: the name is not UTF-8 text",
        "two.dots.txt: skipped: the name holds a '.'",
        ".profile: skipped: there is no name before the extension",
        "trail .txt: skipped: the name ends in a blank",
        "import: 7 of 9 files were not imported"}) {
    EXPECT_NE(strict.err.find(expected), std::string::npos) << expected << "\n"
                                                            << strict.err;
  }
  EXPECT_EQ(Run({"list", "work.strict"}).out,
            "NAME  TYPE    DESCRIPTION\n"
            "A     CATAMS\n"
            "FINE  CSV\n");

  // By default every name is fitted (--rename, which asked for it before,
  // is still taken), and export gives each file its own name back, control
  // characters and bytes that are not UTF-8 included.
  Outcome fitted = Run({"import", "-v", "--rename", in, "work.fitted"});
  EXPECT_EQ(fitted.code, 0) << fitted.err;
  EXPECT_NE(fitted.out.find("a.txt -> WORK.FITTED.A~2.CATAMS"),
            std::string::npos)
      << fitted.out;
  EXPECT_NE(fitted.out.find("tab\\x09here.txt -> WORK.FITTED.TAB_HERE.CATAMS"),
            std::string::npos)
      << fitted.out;
  std::string out = root_ + "/out";
  Outcome exported = Run({"export", "work.fitted", out});
  EXPECT_EQ(exported.code, 0) << exported.err;
  EXPECT_EQ(Snapshot(out), Snapshot(in));
}

TEST_F(FidelityTest, TreesOfAnyDepthGoIntoOneCatalogAndComeBack) {
  std::string tree = root_ + "/tree";
  std::filesystem::create_directories(tree + "/Mail/old/older");
  std::filesystem::create_directories(tree + "/web/empty");
  std::filesystem::create_directories(tree + "/v1.2");
  WriteFile(tree + "/top.txt", "beside the folders\n");
  WriteFile(tree + "/Mail/inbox.txt", "hello\n");
  WriteFile(tree + "/Mail/old/archive.txt", "deeper\n");
  WriteFile(tree + "/Mail/old/older/inbox.txt", "deepest, same name\n");
  WriteFile(tree + "/web/index.html", "<p>\n");
  WriteFile(tree + "/v1.2/notes.txt", "dotted folder\n");
  chmod((tree + "/web/empty").c_str(), 0700);
  SetModified(tree + "/Mail/old", 1300000000000000000);
  std::filesystem::create_directory_symlink("web", tree + "/site");
  WriteFile(root_ + "/outside.txt", "not in the tree\n");
  std::filesystem::create_symlink(root_ + "/outside.txt",
                                  tree + "/web/link.txt");

  // A plain import takes the whole tree into one catalog; links are named
  // and not followed.
  Outcome plain = Run({"import", "-v", tree, "work.top"});
  EXPECT_EQ(plain.code, 1);
  for (const char* expected :
       {"site: skipped: a symbolic link: not kept",
        "web/link.txt: skipped: a symbolic link: not kept",
        "import: 2 of 8 files were not imported"}) {
    EXPECT_NE(plain.err.find(expected), std::string::npos) << expected << "\n"
                                                           << plain.err;
  }
  EXPECT_NE(plain.out.find("Mail/old/older/inbox.txt -> "
                           "WORK.TOP.INBOX~2.CATAMS"),
            std::string::npos)
      << plain.out;
  Outcome listed = Run({"list", "-l", "work.top"});
  EXPECT_NE(listed.out.find("Mail/old/archive.txt"), std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("web/empty/"), std::string::npos) << listed.out;
  std::string back = root_ + "/back";
  ASSERT_EQ(Run({"export", "work.top", back}).code, 0);
  auto original = Snapshot(tree);
  original.erase("site/");
  original.erase("web/link.txt");
  EXPECT_EQ(Snapshot(back), original);
  struct stat st;
  ASSERT_EQ(stat((back + "/web/empty").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((back + "/Mail/old").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1300000000);

  // -r: each folder at the top a catalog, what is deeper its tree; a
  // folder name that is no catalog name is fitted and kept.
  Outcome recursive = Run({"import", "-rv", tree, "lib"});
  EXPECT_EQ(recursive.code, 1);
  for (const char* expected : {"top.txt: skipped: not in a folder",
                               "site: skipped: a symbolic link: not kept"}) {
    EXPECT_NE(recursive.err.find(expected), std::string::npos)
        << expected << "\n"
        << recursive.err;
  }
  EXPECT_NE(recursive.out.find("Mail/old/archive.txt -> LIB.MAIL.ARCHIVE."
                               "CATAMS"),
            std::string::npos)
      << recursive.out;
  EXPECT_NE(Run({"list", "lib"}).out.find("V1_2"), std::string::npos);

  // Each catalog goes back to the folder it came from, and a second
  // import -r of that makes the same catalogs again.
  std::string out = root_ + "/out";
  Outcome exported = Run({"export", "-r", "lib", out});
  EXPECT_EQ(exported.code, 0) << exported.err;
  auto snapshot = Snapshot(out);
  auto from = Snapshot(tree);
  for (const char* path : {"Mail/inbox.txt", "Mail/old/older/inbox.txt",
                           "v1.2/notes.txt", "web/index.html", "web/empty/"}) {
    EXPECT_EQ(snapshot[path], from[path]) << path;
  }
  ASSERT_EQ(Run({"import", "-r", out, "lib2"}).code, 0);
  EXPECT_EQ(Run({"list", "lib2"}).out, Run({"list", "lib"}).out);

  EXPECT_EQ(Run({"import", "-r", tree, "lib.cat"}).code, 2);
  EXPECT_EQ(Run({"export", "-u", "lib", out}).code, 2);
}

TEST_F(FidelityTest, UpdateWritesOnlyFilesThatChangedAndTakesTheManifest) {
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  for (const char* name : {"size.txt", "time.txt", "mode.txt", "same-size.txt",
                           "touched.txt", "still.txt"}) {
    WriteFile(in + "/" + name, std::string(name) + "\n");
    SetModified(in + "/" + name, 1500000000000000000);
  }
  ASSERT_EQ(Run({"import", in, "work.up", "desc=First import"}).code, 0);
  Outcome nothing = Run({"import", "-u", in, "work.up"});
  EXPECT_EQ(nothing.code, 0) << nothing.err;
  EXPECT_EQ(nothing.out.rfind(
                "6 files: 0 entries written, 6 unchanged, 0 bytes, ", 0),
            0u)
      << nothing.out;

  WriteFile(in + "/size.txt", "longer than before\n");
  SetModified(in + "/time.txt", 1500000000000000001);
  chmod((in + "/mode.txt").c_str(), 0600);
  // The same size and time, other bytes: only the content tells.
  WriteFile(in + "/same-size.txt", "SAME-SIZE.TXT\n");
  SetModified(in + "/same-size.txt", 1500000000000000000);
  // Written again with the same bytes: nothing to do.
  WriteFile(in + "/touched.txt", "touched.txt\n");
  SetModified(in + "/touched.txt", 1500000000000000000);
  WriteFile(in + "/new.txt", "new\n");
  Outcome update = Run({"import", "-v", "-u", in, "work.up"});
  EXPECT_EQ(update.code, 0) << update.err;
  EXPECT_EQ(update.out,
            "mode.txt -> WORK.UP.MODE.CATAMS (1 record)\n"
            "new.txt -> WORK.UP.NEW.CATAMS (1 record)\n"
            "same-size.txt -> WORK.UP.SAME-SIZE.CATAMS (1 record)\n"
            "size.txt -> WORK.UP.SIZE.CATAMS (1 record)\n"
            "time.txt -> WORK.UP.TIME.CATAMS (1 record)\n" +
                update.out.substr(update.out.find("7 files: 5 entries written, "
                                                  "2 unchanged, 55 bytes, ")));
  EXPECT_EQ(Run({"read", "work.up.same-size"}).out, "SAME-SIZE.TXT\n");

  // Export and import again: the manifest brings the descriptions, and one
  // a person wrote into it; desc= given to the import wins over them.
  std::string out = root_ + "/out";
  ASSERT_EQ(Run({"write", "work.up.memo", "desc=Own words"}, "m\n").code, 0);
  ASSERT_EQ(Run({"export", "work.up", out}).code, 0);
  std::string manifest = ReadFile(out + "/.vuvorozo-manifest");
  EXPECT_NE(manifest.find("\nmemo.txt\tWORK.UP.MEMO.CATAMS\tOwn words\n"),
            std::string::npos)
      << manifest;
  // The exported copy holds the same files: an update from it reads them
  // and writes only the one that came from no file.
  Outcome copy = Run({"import", "-u", "-v", out, "work.up"});
  EXPECT_EQ(copy.out.rfind("memo.txt -> WORK.UP.MEMO.CATAMS (1 record)\n8 "
                           "files: 1 entry written, 7 unchanged, 2 bytes, ",
                           0),
            0u)
      << copy.out;
  WriteFile(out + "/.vuvorozo-manifest",
            manifest + "new.txt\tanything\tEdited\\tby hand\n");
  ASSERT_EQ(Run({"import", out, "work.again"}).code, 0);
  std::string listing = Run({"list", "work.again"}).out;
  EXPECT_NE(listing.find("MEMO       CATAMS  Own words\n"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("NEW        CATAMS  Edited\\x09by hand\n"),
            std::string::npos);
  EXPECT_NE(listing.find("STILL      CATAMS  First import\n"),
            std::string::npos);
  ASSERT_EQ(Run({"import", out, "work.mine", "desc=Mine"}).code, 0);
  EXPECT_EQ(Run({"list", "work.mine", "--json"}).out.find("Own words"),
            std::string::npos);
}

// An update killed in the middle: every entry holds its old file or its
// new one, whole and with the attributes that go with it, and the next
// update finishes the job. The entries are many and large enough that
// the update stores them in several batches of commits.
TEST_F(FidelityTest, AKilledUpdateLeavesEveryEntryWholeAndTheNextFinishes) {
  if (getenv("VUVOROZO_PROGRAM_WRAPPER") != nullptr) {
    GTEST_SKIP() << "times a kill; not under a wrapper";
  }
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  constexpr int kFiles = 2000;
  auto old_text = [](int i) { return "old " + std::to_string(i) + "\n"; };
  // Lines of letters at random: text that compresses no better than a
  // person's, so that the batches fill as they would with real files.
  auto new_text = [](int i) {
    std::mt19937 random(i);
    std::string text;
    while (text.size() < size_t(8000 + i)) {
      for (int c = 0; c < 60; ++c) text += char('a' + random() % 26);
      text += '\n';
    }
    return text + std::to_string(i);
  };
  auto name = [](int i) { return "f" + std::to_string(1000 + i) + ".txt"; };
  for (int i = 0; i < kFiles; ++i) WriteFile(in + "/" + name(i), old_text(i));
  ASSERT_EQ(Run({"import", in, "work.kill"}).code, 0);
  for (int i = 0; i < kFiles; ++i) WriteFile(in + "/" + name(i), new_text(i));

  int output[2];
  ASSERT_EQ(pipe(output), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(output[1], 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    unsetenv("VUVOROZO_DATA");
    alarm(Deadline());  // outlives exec: a hang ends, the read below with it
    execl(VUVOROZO_PROGRAM_PATH, VUVOROZO_PROGRAM_PATH, "--data", data_.c_str(),
          "import", "-v", "-u", in.c_str(), "work.kill", nullptr);
    _exit(127);
  }
  close(output[1]);
  // The first line comes once the first batch is stored, which the
  // bytes of the batch bring about long before the last entry.
  char first[64];
  ASSERT_GT(read(output[0], first, sizeof first), 0) << "nothing was written";
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(output[0]);
  EXPECT_TRUE(WIFSIGNALED(status)) << "the update ended before the kill";

  int updated = 0;
  {
    auto store = refhost::NewSqliteCatalogStore(data_);
    for (int i = 0; i < kFiles; ++i) {
      std::string entry = "F" + std::to_string(1000 + i);
      auto stored = store->GetEntry("WORK", "KILL", entry, "CATAMS");
      ASSERT_TRUE(stored.has_value()) << entry;
      refhost::FileAttributes a;
      ASSERT_TRUE(
          refhost::DecodeFileAttributes(stored->info.host_attributes, &a));
      std::string text;
      for (const auto& record : stored->records) text += record.bytes + "\n";
      if (!a.final_newline) text.pop_back();
      ASSERT_TRUE(text == old_text(i) || text == new_text(i)) << entry;
      EXPECT_EQ(a.size, int64_t(text.size())) << entry;
      updated += text == new_text(i);
    }
  }
  EXPECT_GT(updated, 0);
  EXPECT_LT(updated, kFiles);

  Outcome finish = Run({"import", "-v", "-u", in, "work.kill"});
  EXPECT_EQ(finish.code, 0) << finish.err;
  // A line for each file written, and the summary.
  EXPECT_EQ(std::count(finish.out.begin(), finish.out.end(), '\n'),
            kFiles - updated + 1);
  std::string out = root_ + "/out";
  ASSERT_EQ(Run({"export", "work.kill", out}).code, 0);
  EXPECT_EQ(Snapshot(out), Snapshot(in));
}

}  // namespace
