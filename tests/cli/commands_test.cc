// The program as a person who uses archive tools meets it: what each
// command family prints and says, listings at every level, several names
// and patterns, catalogs made, copied, renamed and deleted, streams, the
// progress line on a terminal, and shell completion.

#include <pty.h>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli/program.h"
#include "refhost/store/catalog_store.h"

namespace {

using nlohmann::json;

class CommandsTest : public ProgramTest {
 protected:
  // A few plain notes, a CSV table and a web page in work.notes.
  void WriteNotes() {
    ASSERT_EQ(Run({"write", "work.notes.jan", "desc=January notes"},
                  "Call the plumber\nBuy stamps\n")
                  .code,
              0);
    ASSERT_EQ(Run({"write", "work.notes.june"}, "Holiday plans\n").code, 0);
    ASSERT_EQ(Run({"write", "work.notes.jan.csv"}, "item,price\ntea,3\n").code,
              0);
    ASSERT_EQ(Run({"write", "work.notes.feb.html", "desc=Web page"},
                  "<p>February</p>\n")
                  .code,
              0);
  }
  static json Parse(const std::string& text) {
    json parsed = json::parse(text, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << text;
    return parsed;
  }
};

TEST_F(CommandsTest, ListingAtEveryLevelAsTablesAndJson) {
  // No data folder yet: it is said. An empty one has no libraries, and a
  // library that is not there is named with the data folder searched.
  Outcome nothing = Run({"list"});
  EXPECT_EQ(nothing.code, 1);
  EXPECT_EQ(nothing.out, "");
  ASSERT_TRUE(std::filesystem::create_directory(data_));
  EXPECT_EQ(Run({"list"}).out, "LIBREF  CATALOGS\n");
  Outcome absent = Run({"list", "work"});
  EXPECT_EQ(absent.code, 1);
  EXPECT_EQ(absent.err,
            "vuvorozo: list: work: The library does not exist in "
            "the data folder " +
                data_ + ".\n");
  WriteNotes();
  ASSERT_EQ(Run({"mkdir", "work.empty", "home.todo"}).code, 0);

  EXPECT_EQ(Run({"list"}).out,
            "LIBREF  CATALOGS\n"
            "HOME           1\n"
            "WORK           2\n");
  EXPECT_EQ(Run({"list", "Work"}).out,
            "CATALOG  ENTRIES\n"
            "EMPTY          0\n"
            "NOTES          4\n");
  EXPECT_EQ(Run({"list", "work.notes"}).out,
            "NAME  TYPE    DESCRIPTION\n"
            "FEB   HTML    Web page\n"
            "JAN   CATAMS  January notes\n"
            "JAN   CSV\n"
            "JUNE  CATAMS\n");
  // -l adds records, bytes, the time (of the last change, for an entry
  // written rather than imported) and the path kept (none here).
  Outcome long_listing = Run({"list", "-l", "work.notes"});
  std::istringstream lines(long_listing.out);
  std::string heading, feb;
  std::getline(lines, heading);
  std::getline(lines, feb);
  EXPECT_EQ(heading,
            "NAME  TYPE    RECORDS  BYTES  MODIFIED          PATH  "
            "DESCRIPTION");
  EXPECT_EQ(feb.substr(0, 30), "FEB   HTML          1     16  ") << feb;
  EXPECT_EQ(feb.substr(46), "  -     Web page");
  // A pattern selects entries; without a type it takes every type.
  EXPECT_EQ(Run({"list", "work.notes.j*"}).out,
            "NAME  TYPE    DESCRIPTION\n"
            "JAN   CATAMS  January notes\n"
            "JAN   CSV\n"
            "JUNE  CATAMS\n");
  EXPECT_EQ(Run({"list", "work.notes.ju?e"}).out,
            "NAME  TYPE    DESCRIPTION\n"
            "JUNE  CATAMS\n");
  Outcome none = Run({"list", "work.notes.x*"});
  EXPECT_EQ(none.code, 1);
  EXPECT_EQ(none.err, "vuvorozo: list: work.notes.x*: no entry matches\n");

  // JSON at each level, one documented shape each, read back by a parser.
  json libraries = Parse(Run({"list", "--json"}).out);
  EXPECT_EQ(libraries, json::parse(R"([{"libref": "HOME", "catalogs": 1},
                                       {"libref": "WORK", "catalogs": 2}])"));
  json catalogs = Parse(Run({"list", "work", "--json"}).out);
  EXPECT_EQ(catalogs, json::parse(R"([{"catalog": "EMPTY", "entries": 0},
                                      {"catalog": "NOTES", "entries": 4}])"));
  json entries = Parse(Run({"list", "--json", "work.notes"}).out);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[1]["name"], "JAN");
  EXPECT_EQ(entries[1]["type"], "CATAMS");
  EXPECT_EQ(entries[1]["description"], "January notes");
  EXPECT_EQ(entries[1]["records"], 2);
  EXPECT_EQ(entries[1]["bytes"], 28);
  EXPECT_EQ(entries[1]["longest_record"], 16);
  EXPECT_EQ(entries[1]["modified"].get<std::string>().size(), 27u);
  EXPECT_EQ(Parse(Run({"list", "work.empty", "--json"}).out), json::array());
  EXPECT_EQ(Run({"list", "-l", "work"}).code, 2);
}

// An imported file is listed with the name, time and mode it came with,
// the time export gives back, not the time of the import.
TEST_F(CommandsTest, LongListingShowsTheFilesOwnNameTimeAndMode) {
  env_["TZ"] = "UTC";
  std::string folder = root_ + "/f";
  std::filesystem::create_directory(folder);
  WriteFile(folder + "/a.txt", "North 1200\n");
  ASSERT_EQ(chmod((folder + "/a.txt").c_str(), 0640), 0);
  SetModified(folder + "/a.txt", 1577836800LL * 1000000000);  // 2020-01-01
  ASSERT_EQ(Run({"import", folder, "w.f"}).code, 0);
  ASSERT_EQ(Run({"write", "w.f.note"}, "x\n").code, 0);

  Outcome listed = Run({"list", "-l", "w.f"});
  ASSERT_EQ(listed.code, 0) << listed.err;
  std::istringstream lines(listed.out);
  std::string heading, a, note;
  std::getline(lines, heading);
  std::getline(lines, a);
  std::getline(lines, note);
  EXPECT_EQ(heading,
            "NAME  TYPE    RECORDS  BYTES  MODIFIED          PATH   "
            "DESCRIPTION");
  EXPECT_EQ(a, "A     CATAMS        1     11  2020-01-01 00:00  a.txt");
  EXPECT_EQ(note.substr(0, 30), "NOTE  CATAMS        1      2  ") << note;
  EXPECT_EQ(note.substr(46), "  -");

  json entries = Parse(Run({"list", "--json", "w.f"}).out);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]["path"], "a.txt");
  EXPECT_EQ(entries[0]["mode"], "0640");
  EXPECT_EQ(entries[0]["file_modified"], "2020-01-01T00:00:00.000000Z");
  EXPECT_EQ(entries[0]["bytes"], 11);
  EXPECT_EQ(entries[0]["records"], 1);
  EXPECT_NE(entries[0]["modified"], entries[0]["file_modified"]);
  EXPECT_EQ(entries[0]["modified"], entries[0]["created"]);  // the import
  for (const char* unknown : {"path", "mode", "file_modified"}) {
    EXPECT_TRUE(entries[1][unknown].is_null()) << unknown;
  }
  EXPECT_EQ(entries[1]["bytes"], 2);

  // The tar stream says the same time.
  ASSERT_EQ(
      std::system(("TZ=UTC " + std::string(VUVOROZO_PROGRAM_PATH) + " --data " +
                   data_ + " export w.f - | tar tv > " + root_ + "/tar.txt")
                      .c_str()),
      0);
  EXPECT_NE(ReadFile(root_ + "/tar.txt").find("2020-01-01 00:00 a.txt"),
            std::string::npos)
      << ReadFile(root_ + "/tar.txt");
}

TEST_F(CommandsTest, TablesAlignByDisplayWidth) {
  ASSERT_EQ(Run({"write", "work.team.caf\u00e9", "desc=Men\u00fc"}, "x\n").code,
            0);
  ASSERT_EQ(Run({"write", "work.team.\u65e5\u672c", "desc=wide"}, "x\n").code,
            0);
  ASSERT_EQ(Run({"write", "work.team.plain", "desc=ascii"}, "x\n").code, 0);
  // CAFé is four columns, 日本 four (two wide characters): the type column
  // starts at the same column on every line.
  EXPECT_EQ(Run({"list", "work.team"}).out,
            "NAME   TYPE    DESCRIPTION\n"
            "CAF\u00e9   CATAMS  Men\u00fc\n"
            "PLAIN  CATAMS  ascii\n"
            "\u65e5\u672c   CATAMS  wide\n");
  json listed = Parse(Run({"list", "work.team", "--json"}).out);
  EXPECT_EQ(listed[2]["name"], "\u65e5\u672c");
}

TEST_F(CommandsTest, ReadDeleteAndExportTakeSeveralNamesAndPatterns) {
  WriteNotes();
  // read: one after another, as cat does; '-' is standard output.
  EXPECT_EQ(Run({"read", "work.notes.june", "work.notes.jan.csv", "-"}).out,
            "Holiday plans\nitem,price\ntea,3\n");
  EXPECT_EQ(Run({"read", "work.notes.j*"}).out,
            "Call the plumber\nBuy stamps\nitem,price\ntea,3\nHoliday plans\n");
  // A name that fails is named; the others are still read.
  Outcome partly = Run({"read", "work.notes.june", "work.notes.nope"});
  EXPECT_EQ(partly.code, 1);
  EXPECT_EQ(partly.out, "Holiday plans\n");
  EXPECT_EQ(partly.err,
            "vuvorozo: read: WORK.NOTES.NOPE.CATAMS: The entry does not "
            "exist.\n");
  Outcome options = Run({"read", "work.notes.jan", "lrecl=4"});
  EXPECT_EQ(options.code, 3);
  EXPECT_EQ(options.out, "Call\nBuy \n");

  // export: only the members named.
  std::string out = root_ + "/out";
  Outcome some = Run({"export", "work.notes", out, "jan", "f*.html"});
  EXPECT_EQ(some.code, 0) << some.err;
  std::set<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(out)) {
    files.insert(e.path().filename().string());
  }
  EXPECT_EQ(files, (std::set<std::string>{".vuvorozo-manifest", "feb.html",
                                          "jan.csv", "jan.txt"}));
  Outcome unmatched = Run({"export", "work.notes", out, "nothing*"});
  EXPECT_EQ(unmatched.code, 1);
  EXPECT_NE(unmatched.err.find("vuvorozo: export: nothing*: no entry matches"),
            std::string::npos)
      << unmatched.err;

  // delete: names and patterns together.
  Outcome deleted =
      Run({"delete", "-v", "work.notes.j*.catams", "work.notes.feb.html"});
  EXPECT_EQ(deleted.code, 0) << deleted.err;
  EXPECT_EQ(deleted.out,
            "deleted WORK.NOTES.JAN.CATAMS\n"
            "deleted WORK.NOTES.JUNE.CATAMS\n"
            "deleted work.notes.feb.html\n");
  EXPECT_EQ(Run({"list", "work.notes"}).out,
            "NAME  TYPE  DESCRIPTION\n"
            "JAN   CSV\n");
  Outcome gone = Run({"delete", "work.notes.jan.csv", "work.notes.x*"});
  EXPECT_EQ(gone.code, 1);
  EXPECT_EQ(gone.err, "vuvorozo: delete: work.notes.x*: no entry matches\n");
  EXPECT_EQ(Run({"exists", "work.notes.jan.csv"}).code, 1);
}

TEST_F(CommandsTest, CatalogsAreMadeCopiedRenamedAndDeleted) {
  // An imported file keeps its name, time and mode through a copy to
  // another library and a rename, and export gives them back.
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  WriteFile(in + "/Budget 2024.csv", "month,amount\njan,120\n");
  SetModified(in + "/Budget 2024.csv", 1600000000123456789);
  chmod((in + "/Budget 2024.csv").c_str(), 0640);
  ASSERT_EQ(Run({"import", in, "work.money", "desc=Household"}).code, 0);

  Outcome made = Run({"mkdir", "archive.old", "archive.old"});
  EXPECT_EQ(made.code, 1);
  EXPECT_EQ(made.err, "vuvorozo: mkdir: archive.old: the catalog exists\n");
  EXPECT_EQ(Run({"mkdir", "archive"}).code, 1);

  Outcome copied = Run({"copy", "work.money.budget 2024.csv", "archive.old"});
  EXPECT_EQ(copied.code, 0) << copied.err;
  Outcome renamed =
      Run({"rename", "archive.old.budget 2024.csv", "archive.old.spending"});
  EXPECT_EQ(renamed.code, 0) << renamed.err;
  EXPECT_EQ(Run({"list", "archive.old"}).out,
            "NAME      TYPE  DESCRIPTION\n"
            "SPENDING  CSV   Household\n");
  std::string out = root_ + "/out";
  ASSERT_EQ(Run({"export", "archive.old", out}).code, 0);
  EXPECT_EQ(Snapshot(out), Snapshot(in));
  EXPECT_EQ(Run({"read", "work.money.budget 2024.csv"}).out,
            "month,amount\njan,120\n");

  // An entry is never moved onto itself; a copy keeps its type.
  Outcome itself = Run({"rename", "archive.old.spending.csv", "archive.old"});
  EXPECT_EQ(itself.code, 1);
  EXPECT_EQ(
      itself.err,
      "vuvorozo: rename: ARCHIVE.OLD.SPENDING.CSV: is the entry itself\n");
  EXPECT_EQ(Run({"read", "archive.old.spending.csv"}).code, 0);
  Outcome retyped =
      Run({"copy", "archive.old.spending.csv", "archive.old.other.html"});
  EXPECT_EQ(retyped.code, 1);
  EXPECT_NE(retyped.err.find("the copy keeps the type CSV"), std::string::npos);
  EXPECT_EQ(Run({"copy", "work.money.*", "archive.old.one"}).code, 0);
  EXPECT_EQ(Run({"copy", "archive.old.*", "archive.old.x"}).code, 2);

  // A catalog with entries goes only with -r.
  Outcome full = Run({"delete", "archive.old"});
  EXPECT_EQ(full.code, 1);
  EXPECT_EQ(full.err,
            "vuvorozo: delete: archive.old: the catalog holds entries; "
            "delete -r deletes it with them\n");
  EXPECT_EQ(Run({"delete", "-r", "archive.old"}).code, 0);
  Outcome missing = Run({"delete", "archive.old"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err,
            "vuvorozo: delete: archive.old: The catalog does not exist.\n");
  EXPECT_EQ(Run({"list", "archive"}).out, "CATALOG  ENTRIES\n");
}

TEST_F(CommandsTest, DashIsTheStandardStreams) {
  WriteNotes();
  ASSERT_EQ(Run({"write", "work.notes.memo", "-"}, "from a pipe\n").code, 0);
  EXPECT_EQ(Run({"read", "-", "work.notes.memo"}).out, "from a pipe\n");

  // export to '-' is a tar stream that unpacks to what a folder export
  // makes.
  std::string folder = root_ + "/folder";
  ASSERT_EQ(Run({"export", "work.notes", folder}).code, 0);
  Outcome stream = Run({"export", "-v", "work.notes", "-"});
  EXPECT_EQ(stream.code, 0) << stream.err;
  // What is said of the stream goes to standard error, beside it.
  EXPECT_NE(stream.err.find("JAN.CSV -> jan.csv (2 records)\n"),
            std::string::npos)
      << stream.err;
  EXPECT_NE(stream.err.find("5 entries: 5 files written, 87 bytes, "),
            std::string::npos)
      << stream.err;
  std::string unpacked = root_ + "/unpacked";
  std::filesystem::create_directory(unpacked);
  WriteFile(root_ + "/stream.tar", stream.out);
  ASSERT_EQ(std::system(
                ("tar -x -f " + root_ + "/stream.tar -C " + unpacked).c_str()),
            0);
  EXPECT_EQ(Snapshot(unpacked), Snapshot(folder));
  EXPECT_EQ(ReadFile(unpacked + "/.vuvorozo-manifest"),
            ReadFile(folder + "/.vuvorozo-manifest"));

  // The stream imports back: the same files, names, times and modes.
  Outcome in = Run({"import", "-", "work.x"}, stream.out);
  EXPECT_EQ(in.code, 0) << in.err;
  std::string again = root_ + "/again";
  ASSERT_EQ(Run({"export", "work.x", again}).code, 0);
  EXPECT_EQ(Snapshot(again), Snapshot(folder));
}

TEST_F(CommandsTest, QuietByDefaultVerboseOnRequest) {
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  WriteFile(in + "/a.txt", "first note\n");
  WriteFile(in + "/b.csv", "x,y\n1,2\n");
  Outcome imported = Run({"import", in, "work.batch"});
  EXPECT_EQ(imported.code, 0);
  EXPECT_EQ(imported.err, "");
  // One line: files, entries written, bytes, seconds.
  EXPECT_EQ(imported.out.rfind("2 files: 2 entries written, 19 bytes, ", 0), 0u)
      << imported.out;
  EXPECT_EQ(imported.out.back(), '\n');
  EXPECT_EQ(std::count(imported.out.begin(), imported.out.end(), '\n'), 1);
  Outcome verbose = Run({"-v", "import", in, "work.batch"});
  EXPECT_EQ(verbose.out.rfind("a.txt -> WORK.BATCH.A.CATAMS (1 record)\n"
                              "b.csv -> WORK.BATCH.B.CSV (2 records)\n2 files",
                              0),
            0u)
      << verbose.out;
  Outcome quiet = Run({"import", "-q", in, "work.batch"});
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
  // Errors still speak under -q.
  WriteFile(in + "/A.txt", "clash\n");
  Outcome clash = Run({"import", "-q", "--exact-names", in, "work.batch"});
  EXPECT_EQ(clash.code, 1);
  EXPECT_EQ(clash.out, "");
  EXPECT_NE(clash.err.find("vuvorozo: import: A.txt: skipped: its entry "
                           "A.CATAMS is another file's, a.txt"),
            std::string::npos)
      << clash.err;

  // exists answers by its exit code alone, unless asked.
  Outcome yes = Run({"exists", "work.batch.a"});
  EXPECT_EQ(yes.code, 0);
  EXPECT_EQ(yes.out + yes.err, "");
  json answer = Parse(Run({"exists", "--json", "work.batch.zz"}).out);
  EXPECT_EQ(answer, json::parse(R"({"name": "work.batch.zz",
                                    "exists": false})"));
  json info = Parse(Run({"info", "work.batch.b.csv", "--json"}).out);
  EXPECT_EQ(info, json::parse(R"({"path": "WORK.BATCH.B.CSV", "recfm": "V",
                                  "carriage_control": false, "lrecl": 3,
                                  "description": ""})"));
}

TEST_F(CommandsTest, StoreFailuresGiveTheStoresOwnAccount) {
  ASSERT_EQ(Run({"write", "work.a.b"}, "kept\n").code, 0);
  // A library file that is no database at all.
  WriteFile(data_ + "/broken.db", std::string(4096, 'x'));
  Outcome broken = Run({"list", "broken.notes"});
  EXPECT_EQ(broken.code, 1);
  EXPECT_EQ(broken.err.find("could not be read or written"), std::string::npos)
      << broken.err;
  EXPECT_NE(broken.err.find("not a database"), std::string::npos) << broken.err;
  EXPECT_EQ(broken.err.rfind("vuvorozo: list: broken.notes: ", 0), 0u)
      << broken.err;
}

// A command that fails before it meets any file says why, with the
// system's own reason, and no summary of nothing done.
TEST_F(CommandsTest, FailuresBeforeAnyFileSayWhyAndNothingElse) {
  Outcome missing = Run({"import", root_ + "/nosuch", "work.notes"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("cannot be read: No such file or directory"),
            std::string::npos)
      << missing.err;
  EXPECT_EQ(missing.out, "");
  ASSERT_TRUE(std::filesystem::create_directory(data_));
  Outcome absent = Run({"export", "none.notes", root_ + "/out"});
  EXPECT_EQ(absent.code, 1);
  EXPECT_NE(absent.err.find("The library does not exist in the data folder"),
            std::string::npos)
      << absent.err;
  EXPECT_EQ(absent.out, "");
}

// Runs the program with standard error on a pseudo-terminal (standard
// output on a pipe) and returns what the terminal showed.
std::string RunOnTerminal(const std::vector<std::string>& args) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    std::string program = VUVOROZO_PROGRAM_PATH;
    argv.push_back(program.data());
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string shown;
  char buffer[4096];
  ssize_t n;
  while ((n = read(master, buffer, sizeof buffer)) > 0) shown.append(buffer, n);
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  return shown;
}

TEST_F(CommandsTest, ProgressIsDrawnOnATerminalOnly) {
  std::string in = root_ + "/in";
  std::filesystem::create_directory(in);
  for (int i = 0; i < 40; ++i) {
    WriteFile(in + "/note" + std::to_string(i) + ".txt", "a note\n");
  }
  // A large single file shows its bytes as they move; the last state is
  // drawn before the line is cleared.
  WriteFile(in + "/large.pdf", Bytes(6 << 20, 7));
  std::string shown =
      RunOnTerminal({"--data", data_, "import", in, "work.many"});
  EXPECT_NE(shown.find("\r\x1B[Kimport: "), std::string::npos) << shown;
  EXPECT_NE(shown.find("import: 41 of 41, 6.0 MiB"), std::string::npos)
      << shown;
  // The line is cleared when the command ends.
  EXPECT_EQ(shown.substr(shown.size() - 4), "\r\x1B[K") << shown;
  EXPECT_EQ(RunOnTerminal({"--data", data_, "-q", "import", in, "work.many"}),
            "");
  // On a pipe or a file nothing of it appears.
  Outcome piped = Run({"import", in, "work.many"});
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out.find('\r'), std::string::npos);
}

// The words of a help text block: the first word of each line of the
// block that follows heading, up to the blank line that ends it.
std::vector<std::string> BlockWords(const std::string& help,
                                    const std::string& heading) {
  std::vector<std::string> words;
  size_t at = help.find("\n" + heading + "\n");
  if (at == std::string::npos) return words;
  std::istringstream lines(help.substr(at + heading.size() + 2));
  std::string line;
  while (std::getline(lines, line) && !line.empty()) {
    if (line.size() < 3 || line[0] != ' ' || line[1] != ' ' || line[2] == ' ')
      continue;
    words.push_back(line.substr(2, line.find(' ', 2) - 2));
  }
  return words;
}

// Completion asks the program, so it knows every command, each command's
// own flags (as its help names them) and options, and the store's names,
// with a dot only where a name goes on.
TEST_F(CommandsTest, BashCompletesEveryCommandItsOwnFlagsOptionsAndNames) {
  WriteNotes();
  ASSERT_EQ(Run({"mkdir", "home.todo"}).code, 0);
  std::string script =
      std::string(VUVOROZO_SOURCE_DIR) + "/cli/vuvorozo.bash-completion";
  auto complete = [&](const std::string& words) {
    std::string command =
        "bash -c 'source " + script + "; COMP_WORDS=(" + VUVOROZO_PROGRAM_PATH +
        " --data " + data_ + " " + words +
        "); COMP_CWORD=$((${#COMP_WORDS[@]}-1)); _vuvorozo; "
        "for w in \"${COMPREPLY[@]}\"; do printf \"%s \" \"$w\"; done' "
        "> " +
        root_ + "/completed";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return ReadFile(root_ + "/completed");
  };
  auto completions = [&](const std::string& words) {
    std::set<std::string> set;
    std::istringstream in(complete(words));
    for (std::string word; in >> word;) set.insert(word);
    return set;
  };

  // Every command of the program's help, and its flags as its own help
  // names them: long ones after "--", short ones after "-", each flag
  // completing to itself.
  std::string help = RunBare({"--help"}).out;
  std::vector<std::string> commands = BlockWords(help, "Commands:");
  ASSERT_GE(commands.size(), 15u) << help;
  std::map<std::string, std::string> short_of;  // --verbose -> -v
  for (const std::string& flag : BlockWords(help, "Flags:")) {
    if (flag.size() == 3 && flag[2] == ',') {
      size_t at = help.find("  " + flag + " ");
      std::string rest = help.substr(at + 6);
      short_of[rest.substr(0, rest.find_first_of(" \n"))] = flag.substr(0, 2);
    }
  }
  EXPECT_EQ(short_of["--recursive"], "-r");
  for (const std::string& command : commands) {
    EXPECT_EQ(completions(command.substr(0, 2)).count(command), 1u) << command;
    if (command == "help") continue;
    std::string own = RunBare({command, "--help"}).out;
    size_t from = own.rfind("\nFlags: ");
    ASSERT_NE(from, std::string::npos) << own;
    std::string list = own.substr(from + 8, own.find(" (see", from) - from - 8);
    std::set<std::string> flags, shorts;
    std::istringstream in(list);
    for (std::string flag; std::getline(in >> std::ws, flag, ',');) {
      flags.insert(flag);
      if (short_of.count(flag)) shorts.insert(short_of[flag]);
      EXPECT_EQ(complete(command + " " + flag), flag + " ") << command;
    }
    EXPECT_EQ(completions(command + " --"), flags) << command;
    std::set<std::string> dashed = completions(command + " -");
    for (const std::string& letter : shorts) {
      EXPECT_EQ(dashed.count(letter), 1u) << command << " " << letter;
    }
    EXPECT_EQ(dashed.size(), flags.size() + shorts.size()) << command;
  }
  EXPECT_EQ(complete("c"), "check compact copy ");
  EXPECT_EQ(complete("re"), "read rename ");
  EXPECT_EQ(complete("help ch"), "check ");
  // A flag another command takes is not offered.
  EXPECT_EQ(complete("import --j"), "");
  EXPECT_EQ(complete("list --js"), "--json ");

  // Names: a libref and a catalog that go on end in a dot; a command that
  // takes a bare libref gets it without one.
  EXPECT_EQ(complete("read \"\""), "home. work. ");
  EXPECT_EQ(complete("read work."), "work.notes. ");
  EXPECT_EQ(complete("read work.notes.j"), "work.notes.jan work.notes.june ");
  EXPECT_EQ(complete("mkdir w"), "work. ");
  EXPECT_EQ(complete("mkdir work."), "work.notes ");
  EXPECT_EQ(complete("check w"), "work ");
  EXPECT_EQ(complete("compact h"), "home ");
  EXPECT_EQ(complete("list \"\""), "home work ");
  EXPECT_EQ(complete("list home."), "home.todo ");
  EXPECT_EQ(complete("export -r w"), "work ");
  EXPECT_EQ(complete("export w"), "work. ");
  EXPECT_EQ(complete("import -r " + root_ + " w"), "work ");
  // Folders where a folder goes, also after a flag's value.
  EXPECT_EQ(complete("import " + root_ + "/da"), root_ + "/data ");
  EXPECT_EQ(complete("-o ro mount " + root_ + "/da"), root_ + "/data ");
  EXPECT_EQ(complete("export work.notes " + root_ + "/da"), root_ + "/data ");

  // The module options a command takes, after its names.
  EXPECT_EQ(complete("write work.notes.jan l"), "lrecl= ");
  EXPECT_EQ(complete("write work.notes.jan d"), "desc= ");
  EXPECT_EQ(complete("write work.notes.jan m"), "mod ");
  EXPECT_EQ(complete("info work.notes.jan r"), "recfm= ");
  EXPECT_EQ(complete("import " + root_ + " work.notes b"), "blocksize= ");
  EXPECT_EQ(complete("delete work.notes.jan l"), "");
  EXPECT_EQ(complete("exists work.notes.jan l"), "");
}

}  // namespace
