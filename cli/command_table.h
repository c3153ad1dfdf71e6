// The one table of the program's commands, and what is read from it: the
// program's help and each command's, the flags a command line gives (each
// checked against the command's own and the global ones), the candidates
// of did-you-mean, and the words shell completion offers. The global flags
// (--data, --store, --module, -v, -q, --version, --help) are declared here;
// every other flag belongs to the commands that name it.

#ifndef VUVOROZO_CLI_COMMAND_TABLE_H_
#define VUVOROZO_CLI_COMMAND_TABLE_H_

#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command.h"

namespace cli {

// The commands, in the order help lists them. "help" is the program's own
// and has no line of the table.
std::span<const Command* const> Commands();
// The command of that name; null when there is none.
const Command* FindCommand(std::string_view name);
// Every command name: "help", then the table's.
std::vector<std::string> CommandNames();

// Every flag once, in the order the program's help lists them: the global
// flags of the session (--data ... --quiet), the commands' flags in the
// order the commands first name them, then --version and --help. A flag
// several commands take is the same flag for each.
std::vector<const Flag*> AllFlags();
// The flags command takes: the global ones and its own, in help's order.
std::vector<const Flag*> FlagsOf(const Command& command);
// The flag of that long name ("--json") or letter; null when none.
const Flag* FindFlag(std::string_view long_name);
const Flag* FindShortFlag(char letter);

// A command line, its flags taken out.
struct CommandLine {
  Settings settings;
  std::vector<const Flag*> given;  // the flags given, in order
  Words words;                     // the command and its words
  std::string error;               // a usage error, the word quoted
  bool Given(std::string_view long_name) const;
};
// Parses the words after the program's name. Flags may stand anywhere;
// "--" ends them, and "-" alone is a word (standard input or output). A
// flag that takes a value takes the rest of its word (--data=DIR, -oro) or
// the next word.
CommandLine ParseCommandLine(const std::vector<std::string>& args);
// The given flags that command does not take, as "--json, --long"; empty
// when it takes every one.
std::string StrayFlags(const CommandLine& line, const Command& command);

void PrintProgramHelp(FILE* out);
void PrintCommandHelp(const Command& command);

}  // namespace cli

#endif  // VUVOROZO_CLI_COMMAND_TABLE_H_
