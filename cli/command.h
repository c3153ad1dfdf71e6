// What a command of the program is: its name, usage and help, the flags it
// takes (its own, declared in the command's file), the module options it
// accepts, what its words name, whether it writes, and the function that
// runs it. The table of commands (command_table.h) lists them; help,
// flag parsing and checking, did-you-mean and shell completion all read
// them there, so a command is declared in one place only.

#ifndef VUVOROZO_CLI_COMMAND_H_
#define VUVOROZO_CLI_COMMAND_H_

#include <span>
#include <string>
#include <vector>

#include "cli/session.h"

namespace cli {

typedef std::vector<std::string> Words;

// A flag: "--long" (and "-s"), with a value or without.
struct Flag {
  const char* long_name;  // "--json"
  char short_name;        // 'r', or 0
  const char* value;      // what it takes, as help names it ("DIR"); null
                          // for a flag that takes none
  const char* help;       // its line of help, after the names
  // Records the flag (and its value) in the settings.
  void (*set)(Settings& settings, const std::string& value);
};

// What a word after the command name names, as shell completion offers it.
enum class Word : unsigned char {
  kNone,     // nothing is offered
  kEntry,    // LIBREF.CATALOG.ENTRY: libref and catalog go on with a dot
  kCatalog,  // LIBREF.CATALOG: the libref goes on with a dot
  kName,     // LIBREF, LIBREF.CATALOG or more: each level is whole
  kLibref,   // a libref alone
  kFolder,   // a folder of the file system
};

// The words of a command, by position. The last kind given stands for
// every later word when repeats is set; with -r (a command over a whole
// library) recursive gives the kinds instead, where it gives any.
struct Arguments {
  Word words[3] = {};
  bool repeats = false;
  Word recursive[3] = {};
};

struct Command {
  const char* name;                  // "write"
  const char* usage;                 // after "vuvorozo ", as help shows it
  const char* summary;               // its line in the program's help
  std::span<const Flag> flags = {};  // its own, besides the global ones
  // The module options it takes, as a user types them ("lrecl=", "mod");
  // empty for a command that takes none. Completion offers them after the
  // names.
  std::span<const char* const> options = {};
  Arguments arguments = {};
  StoreUse use;      // what it does with the libraries (see StoreUse)
  const char* help;  // the text of 'vuvorozo help NAME'
  // Runs the command over a started session with the words that followed
  // its name (flags removed); returns the exit code.
  int (*run)(Session& session, const Words& words, const Settings& settings);
};

// Flags several commands take, each meaning the same wherever it is taken.
constexpr Flag JsonFlag() {
  return {"--json", 0, nullptr, "JSON for scripts",
          [](Settings& s, const std::string&) { s.json = true; }};
}
// help says what -r makes of the command's names.
constexpr Flag RecursiveFlag(const char* help) {
  return {"--recursive", 'r', nullptr, help,
          [](Settings& s, const std::string&) { s.recursive = true; }};
}

// How hard what the command writes is compressed (checked in main).
constexpr Flag LevelFlag() {
  return {"--level", 0, "N",
          "compress what is written at level N: 1 (fastest) to 19 (smallest)",
          [](Settings& s, const std::string& value) { s.level = value; }};
}

// The module options of write, of import (for every file) and of the
// commands that read.
inline constexpr const char* kWriteOptions[] = {
    "lrecl=", "recfm=", "desc=", "mod", "blocksize=", "attr", "catalog"};
inline constexpr const char* kImportOptions[] = {
    "lrecl=", "recfm=", "desc=", "blocksize=", "attr", "catalog"};
inline constexpr const char* kReadOptions[] = {"lrecl=", "recfm=", "attr"};

}  // namespace cli

#endif  // VUVOROZO_CLI_COMMAND_H_
