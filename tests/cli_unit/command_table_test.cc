// The table of commands holds together: a flag means one thing wherever it
// is taken, a command's usage names the flags it takes, the options it
// offers are the module's, and a command line is parsed and checked by the
// command's own flags.

#include "cli/command_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "cli/option_text.h"

namespace cli {
namespace {

TEST(CommandTableTest, EveryFlagMeansOneThingAndEveryCommandNamesItsOwn) {
  std::map<std::string, const Flag*> seen;
  std::set<char> letters;
  for (const Flag* flag : AllFlags()) {
    EXPECT_TRUE(seen.emplace(flag->long_name, flag).second) << flag->long_name;
    if (flag->short_name != 0) {
      EXPECT_TRUE(letters.insert(flag->short_name).second) << flag->long_name;
    }
  }
  std::set<std::string> names;
  for (const Command* command : Commands()) {
    EXPECT_TRUE(names.insert(command->name).second) << command->name;
    EXPECT_EQ(std::string(command->usage).rfind(command->name, 0), 0u);
    for (const Flag& flag : command->flags) {
      // The same letter and value wherever the flag stands, and never one
      // of the global flags again.
      const Flag* first = FindFlag(flag.long_name);
      ASSERT_NE(first, nullptr) << flag.long_name;
      EXPECT_EQ(first->short_name, flag.short_name) << flag.long_name;
      EXPECT_EQ(first->value == nullptr, flag.value == nullptr);
      std::string usage = command->usage;
      std::string letter = std::string("-") + flag.short_name;
      EXPECT_TRUE(
          usage.find(flag.long_name) != std::string::npos ||
          (flag.short_name != 0 && usage.find(letter) != std::string::npos))
          << command->name << " does not name " << flag.long_name;
    }
    for (const char* option : command->options) {
      std::string keyword(option);
      if (keyword.back() == '=') keyword.pop_back();
      EXPECT_TRUE(IsOptionWord(keyword)) << command->name << " " << option;
    }
  }
  EXPECT_EQ(CommandNames().size(), Commands().size() + 1);  // and help
  EXPECT_EQ(FindCommand("check")->use, StoreUse::kRead);
  EXPECT_EQ(FindCommand("compact")->use, StoreUse::kChange);
  EXPECT_EQ(FindCommand("mkdir")->use, StoreUse::kCreate);
}

TEST(CommandTableTest, ACommandLineIsCheckedAgainstTheCommandsOwnFlags) {
  CommandLine line = ParseCommandLine(
      {"-v", "list", "--data=/d", "-l", "work.notes", "--json", "--", "-x"});
  EXPECT_EQ(line.error, "");
  EXPECT_EQ(line.words, (Words{"list", "work.notes", "-x"}));
  EXPECT_EQ(line.settings.data_folder, "/d");
  EXPECT_TRUE(line.settings.long_listing);
  EXPECT_TRUE(line.settings.json);
  EXPECT_EQ(line.settings.verbosity, Verbosity::kVerbose);
  EXPECT_EQ(StrayFlags(line, *FindCommand("list")), "");
  EXPECT_EQ(StrayFlags(line, *FindCommand("import")), "--json, --long");

  // A run of letters, a value in the word or the next one.
  line = ParseCommandLine({"mount", "-fo", "ro", "m", "-oallow_other"});
  EXPECT_EQ(line.error, "");
  EXPECT_TRUE(line.settings.foreground);
  EXPECT_EQ(line.settings.mount_options,
            (std::vector<std::string>{"ro", "allow_other"}));
  line = ParseCommandLine({"import", "-ru", "--exact-names", "d", "w"});
  EXPECT_TRUE(line.settings.recursive && line.settings.update &&
              line.settings.exact_names);
  EXPECT_EQ(StrayFlags(line, *FindCommand("export")),
            "--update, --exact-names");

  EXPECT_EQ(ParseCommandLine({"list", "--jsn"}).error,
            "'--jsn': unknown flag (did you mean '--json'?)");
  EXPECT_EQ(ParseCommandLine({"list", "-lx"}).error, "'-lx': unknown flag -x");
  EXPECT_EQ(ParseCommandLine({"--data"}).error, "'--data' needs a value");
  EXPECT_EQ(ParseCommandLine({"list", "--json=yes"}).error,
            "'--json=yes': the flag takes no value");
}

// A name in a message shows every byte it holds and nothing that acts on
// the terminal: printable text as it is, a backslash doubled, a control
// character or a byte that is not UTF-8 as \xHH.
TEST(PrintableTest, AMessageShowsEveryByteAndNoControl) {
  EXPECT_EQ(Printable("notes-2024.csv ~ (a) [b]"), "notes-2024.csv ~ (a) [b]");
  EXPECT_EQ(Printable(""), "");
  EXPECT_EQ(Printable("a\\b"), "a\\\\b");
  EXPECT_EQ(Printable("tab\there"), "tab\\x09here");
  EXPECT_EQ(Printable(std::string("nul\0", 4)), "nul\\x00");
  EXPECT_EQ(Printable("esc\x1B[2J"), "esc\\x1B[2J");
  EXPECT_EQ(Printable("del\x7F"), "del\\x7F");
  EXPECT_EQ(Printable("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(Printable("bad\xFF"), "bad\\xFF");
  EXPECT_EQ(Printable("\xC2\x9B"), "\\xC2\\x9B") << "a C1 control";
}

}  // namespace
}  // namespace cli
