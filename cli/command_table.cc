// The table of commands and the global flags, and the help, parsing and
// lookups made from them.

#include "cli/command_table.h"

#include <algorithm>
#include <cstring>

#include "cli/commands/commands.h"
#include "cli/report.h"

namespace cli {
namespace {

constexpr const Command* kCommands[] = {
    &kWriteCommand,  &kReadCommand,    &kListCommand, &kImportCommand,
    &kExportCommand, &kDeleteCommand,  &kCopyCommand, &kRenameCommand,
    &kMkdirCommand,  &kExistsCommand,  &kInfoCommand, &kMountCommand,
    &kCheckCommand,  &kCompactCommand,
};

// The global flags: where the libraries and the module are, how much is
// said; help lists them ahead of the commands' flags.
constexpr Flag kSessionFlags[] = {
    {"--data", 0, "DIR",
     "data folder (else $VUVOROZO_DATA, else $XDG_DATA_HOME/vuvorozo, else "
     "~/.local/share/vuvorozo)",
     [](Settings& s, const std::string& v) { s.data_folder = v; }},
    {"--store", 0, "URL",
     "libraries on a PostgreSQL server, postgresql://USER@HOST/DATABASE "
     "(else $VUVOROZO_STORE, else the data folder)",
     [](Settings& s, const std::string& v) { s.store_url = v; }},
    {"--module", 0, "PATH",
     "the module to load (else $VUVOROZO_MODULE, else the one installed "
     "with the program)",
     [](Settings& s, const std::string& v) { s.module_path = v; }},
    {"--verbose", 'v', nullptr,
     "say more: every file or entry moved, exists' answer",
     [](Settings& s, const std::string&) {
       s.verbosity = Verbosity::kVerbose;
     }},
    {"--quiet", 'q', nullptr, "print nothing but errors",
     [](Settings& s, const std::string&) { s.verbosity = Verbosity::kQuiet; }},
};
// The global flags that ask about the program itself; help lists them
// last.
constexpr Flag kProgramFlags[] = {
    {"--version", 0, nullptr,
     "versions of the program, the module, SQLite, zstd, libpq and the "
     "server of --store",
     [](Settings&, const std::string&) {}},
    {"--help", 'h', nullptr, "this text; 'vuvorozo help COMMAND' for a command",
     [](Settings&, const std::string&) {}},
};

constexpr char kUsage[] =
    "Usage: vuvorozo [FLAGS] COMMAND ARGUMENTS... [OPTIONS...]\n";

constexpr char kProgramAbout[] =
    R"(
Keeps text and binary files as entries of catalogs in data libraries,
through the VUVOROZO access-method module, and gives them back byte for
byte. A name is LIBREF.CATALOG.ENTRY[.TYPE] for an entry (the type
defaults to CATAMS), LIBREF.CATALOG for a catalog, LIBREF for a library.
Names are not case-sensitive. In list, read, delete, copy, rename and the
members of export the entry (and type) of a name may be a pattern: * any
characters, ? one; a pattern without a type matches every type
('work.reports.jan*'). '-' stands for standard input or output where a
file or folder is named.

The data folder is the user's own, $XDG_DATA_HOME/vuvorozo, else
~/.local/share/vuvorozo, unless --data or $VUVOROZO_DATA names another.
The first command that writes makes it; the others say there is none.
)";

constexpr char kProgramTail[] =
    R"(
Options are the module's own, written after the names:
  lrecl=N          record length          recfm=V|F|P  record format
  desc='text'      description            mod          append to the entry
  blocksize=N, attr, catalog               (accepted, kept with the entry's options)
Quote a description with blanks for the shell: desc='Monthly report'.
Without lrecl= the record length holds the longest record: nothing is cut.
lrecl= at most 1048576; a description at most 256 bytes (a longer one is cut
after its last whole character, with a warning).

Environment:
  $VUVOROZO_DATA       the data folder (--data wins)
  $XDG_DATA_HOME       where the default data folder is, as vuvorozo/ in it
  $VUVOROZO_STORE      a server store's URL, used instead of the data folder
                       (--store and --data win); its password is never shown
  $VUVOROZO_MODULE     the module (--module wins)
  $VUVOROZO_DEBUG_LOG  a file the program appends notes on itself to

Exit codes:
  0  done (exists: the name exists)
  1  the operation was refused or failed (exists: the name does not exist;
     check: the library is damaged); import, export, copy, delete: some
     files or entries were skipped or failed, each named with the reason
  2  usage error: unknown command or flag, wrong arguments, an option the
     module does not accept or the program cannot keep (exists: also a
     name the module refuses)
  3  done, but records longer than the record length were cut
)";

bool Takes(const Command& command, const Flag* flag) {
  for (const Flag& own : command.flags) {
    if (std::strcmp(own.long_name, flag->long_name) == 0) return true;
  }
  return false;
}

bool IsGlobal(const Flag* flag) {
  for (const Flag& f : kSessionFlags) {
    if (&f == flag) return true;
  }
  for (const Flag& f : kProgramFlags) {
    if (&f == flag) return true;
  }
  return false;
}

// The help of a flag in the program's help: a command's flag is named with
// the commands that take it, those of one meaning together ("import,
// export: a library's catalogs as folders; delete: a catalog with its
// entries").
std::string ProgramHelpOf(const Flag* flag) {
  if (IsGlobal(flag)) return flag->help;
  std::vector<std::pair<std::string, std::string>> meanings;  // help, names
  for (const Command* command : kCommands) {
    for (const Flag& own : command->flags) {
      if (std::strcmp(own.long_name, flag->long_name) != 0) continue;
      auto same =
          std::find_if(meanings.begin(), meanings.end(),
                       [&](const auto& m) { return m.first == own.help; });
      if (same == meanings.end()) {
        meanings.emplace_back(own.help, command->name);
      } else {
        same->second += std::string(", ") + command->name;
      }
    }
  }
  std::string text;
  for (const auto& [help, names] : meanings) {
    if (!text.empty()) text += "; ";
    text += names + ": " + help;
  }
  return text;
}

std::vector<std::string> LongNames() {
  std::vector<std::string> names;
  for (const Flag* flag : AllFlags()) names.push_back(flag->long_name);
  return names;
}

std::string FlagList(const std::vector<const Flag*>& flags) {
  std::string text;
  for (const Flag* flag : flags) {
    if (!text.empty()) text += ", ";
    text += flag->long_name;
  }
  return text;
}

}  // namespace

std::span<const Command* const> Commands() { return kCommands; }

const Command* FindCommand(std::string_view name) {
  for (const Command* command : kCommands) {
    if (name == command->name) return command;
  }
  return nullptr;
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names = {"help"};
  for (const Command* command : kCommands) names.push_back(command->name);
  return names;
}

std::vector<const Flag*> AllFlags() {
  std::vector<const Flag*> flags;
  for (const Flag& flag : kSessionFlags) flags.push_back(&flag);
  for (const Command* command : kCommands) {
    for (const Flag& flag : command->flags) {
      if (FindFlag(flag.long_name) == &flag) flags.push_back(&flag);
    }
  }
  for (const Flag& flag : kProgramFlags) flags.push_back(&flag);
  return flags;
}

std::vector<const Flag*> FlagsOf(const Command& command) {
  std::vector<const Flag*> flags;
  for (const Flag& flag : kSessionFlags) flags.push_back(&flag);
  for (const Flag& flag : command.flags) flags.push_back(&flag);
  for (const Flag& flag : kProgramFlags) flags.push_back(&flag);
  return flags;
}

const Flag* FindFlag(std::string_view long_name) {
  for (const Flag& flag : kSessionFlags) {
    if (long_name == flag.long_name) return &flag;
  }
  for (const Flag& flag : kProgramFlags) {
    if (long_name == flag.long_name) return &flag;
  }
  for (const Command* command : kCommands) {
    for (const Flag& flag : command->flags) {
      if (long_name == flag.long_name) return &flag;
    }
  }
  return nullptr;
}

const Flag* FindShortFlag(char letter) {
  for (const Flag* flag : AllFlags()) {
    if (flag->short_name == letter) return flag;
  }
  return nullptr;
}

bool CommandLine::Given(std::string_view long_name) const {
  return std::any_of(given.begin(), given.end(), [&](const Flag* flag) {
    return long_name == flag->long_name;
  });
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine p;
  auto give = [&p](const Flag* flag, const std::string& value) {
    p.given.push_back(flag);
    flag->set(p.settings, value);
  };
  bool only_words = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (only_words || arg.size() < 2 || arg[0] != '-') {
      p.words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_words = true;
      continue;
    }
    if (arg[1] == '-') {
      size_t equals = arg.find('=');
      std::string name = arg.substr(0, equals);
      const Flag* flag = FindFlag(name);
      if (flag == nullptr) {
        if (p.error.empty()) {
          p.error =
              "'" + arg + "': unknown flag" + DidYouMean(name, LongNames());
        }
        continue;
      }
      std::string value;
      if (flag->value != nullptr) {
        if (equals != std::string::npos) {
          value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
          value = args[++i];
        } else {
          if (p.error.empty()) p.error = "'" + arg + "' needs a value";
          continue;
        }
      } else if (equals != std::string::npos) {
        if (p.error.empty()) p.error = "'" + arg + "': the flag takes no value";
        continue;
      }
      give(flag, value);
      continue;
    }
    // A run of one-letter flags: -ru, -lv; one that takes a value takes
    // the rest of the word or the next one (-o ro, -oro).
    for (size_t k = 1; k < arg.size(); ++k) {
      const Flag* flag = FindShortFlag(arg[k]);
      if (flag == nullptr) {
        if (p.error.empty()) {
          p.error = "'" + arg + "': unknown flag -" + arg.substr(k, 1);
        }
        break;
      }
      if (flag->value != nullptr) {
        if (k + 1 < arg.size()) {
          give(flag, arg.substr(k + 1));
        } else if (i + 1 < args.size()) {
          give(flag, args[++i]);
        } else if (p.error.empty()) {
          p.error = "'" + arg + "' needs a value";
        }
        break;
      }
      give(flag, "");
    }
  }
  return p;
}

std::string StrayFlags(const CommandLine& line, const Command& command) {
  std::vector<const Flag*> stray;
  for (const Flag* flag : AllFlags()) {
    if (line.Given(flag->long_name) && !IsGlobal(flag) &&
        !Takes(command, flag)) {
      stray.push_back(flag);
    }
  }
  return FlagList(stray);
}

void PrintProgramHelp(FILE* out) {
  std::string text = kUsage;
  text += kProgramAbout;
  text += "\nCommands:\n";
  for (const Command* command : kCommands) {
    std::string usage = command->usage;
    char line[256];
    if (usage.size() <= 38) {
      std::snprintf(line, sizeof line, "  %-38s  %s\n", usage.c_str(),
                    command->summary);
    } else {
      std::snprintf(line, sizeof line, "  %s\n  %-38s  %s\n", usage.c_str(), "",
                    command->summary);
    }
    text += line;
  }
  text +=
      "  help [COMMAND]                          this text, or a command's\n";
  text += "\nFlags:\n";
  for (const Flag* flag : AllFlags()) {
    std::string names = flag->short_name != 0
                            ? std::string("-") + flag->short_name + ", "
                            : std::string("    ");
    names += flag->long_name;
    if (flag->value != nullptr) names += std::string(" ") + flag->value;
    // The help in a column of its own, lines broken between words before
    // the 79th column.
    std::string line = "  " + names;
    line.resize(std::max<size_t>(line.size(), 20), ' ');
    std::string full = ProgramHelpOf(flag);
    std::string_view help = full;
    while (!help.empty()) {
      size_t room = line.size() < 22 ? 22 - line.size() : 1;
      line.append(room, ' ');
      size_t fits = 78 - line.size();
      size_t cut = help.size() <= fits ? help.size() : help.rfind(' ', fits);
      if (cut == std::string_view::npos || cut == 0) cut = help.find(' ');
      if (cut == std::string_view::npos) cut = help.size();
      line += help.substr(0, cut);
      text += line + "\n";
      help.remove_prefix(std::min(cut + 1, help.size()));
      line.clear();
    }
  }
  text += kProgramTail;
  std::fputs(text.c_str(), out);
}

void PrintCommandHelp(const Command& command) {
  std::string text = std::string("Usage: vuvorozo ") + command.usage + "\n";
  text += command.help;
  text += "\nFlags: " + FlagList(FlagsOf(command)) + " (see vuvorozo --help)\n";
  std::fputs(text.c_str(), stdout);
}

}  // namespace cli
