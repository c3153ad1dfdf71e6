// vuvorozo: the command-line program. It loads the access-method module
// into the reference host, over a catalog store kept in a data folder, and
// drives the module's routine vector the way a host does: it assigns
// filerefs, hands the user's options to the module's option parser, opens
// entries and catalogs, moves records, and deassigns and closes what it
// took. Records go to standard output, messages to standard error.

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "cli/session.h"

namespace cli {
namespace {

constexpr char kProgramHelp[] =
    R"(Usage: vuvorozo [--data DIR] [--module PATH] COMMAND ARGUMENTS...

Keeps text and binary files as entries of catalogs in data libraries,
through the VUVOROZO access-method module. A name is
LIBREF.CATALOG.ENTRY[.TYPE] for an entry (the type defaults to CATAMS) or
LIBREF.CATALOG for a catalog. Names are not case-sensitive.

Commands:
  write NAME [OPTIONS]      standard input becomes the entry's records
  read NAME [OPTIONS]       the entry's records on standard output
  list LIBREF.CATALOG       the catalog's entries (--json for scripts)
  import DIR LIBREF.CATALOG [OPTIONS]
                            each file of DIR becomes an entry
  export LIBREF.CATALOG DIR [OPTIONS]
                            each entry becomes a file in DIR
  delete NAME               deletes the entry
  exists NAME               exit 0 when the entry or catalog exists, 1 when not
  info NAME [OPTIONS]       path name, record format, record length, description

Options are the module's own, written after the name:
  lrecl=N          record length          recfm=V|F|P  record format
  desc='text'      description            mod          append to the entry
  blocksize=N, attr, catalog               (accepted, kept with the entry's options)
Quote a description with blanks for the shell: desc='Monthly report'.

Flags:
  --data DIR       data folder (else $VUVOROZO_DATA, else ./vuvorozo-data)
  --module PATH    the module to load (else $VUVOROZO_MODULE, else the one
                   installed with the program)
  --help           this text; 'vuvorozo COMMAND --help' for a command

Exit codes:
  0  done
  1  the operation was refused or failed (exists: the name does not exist)
  2  usage error: unknown command or flag, wrong arguments, an option the
     module does not accept (exists: also a name the module refuses)
  3  done, but records longer than the record length were cut
)";

struct Command {
  const char* name;
  int (*run)(Session& session, const Words& words, const Settings& settings);
  bool writes;       // may create the data folder
  bool takes_json;   // accepts --json
  const char* help;  // shown by 'vuvorozo NAME --help'
};

constexpr Command kCommands[] = {
    {"write",
     [](Session& s, const Words& w, const Settings&) { return RunWrite(s, w); },
     true, false,
     R"(Usage: vuvorozo write LIBREF.CATALOG.ENTRY[.TYPE] [OPTIONS...]

Reads standard input and stores it as the entry's records, replacing the
entry (with mod: appending to it). For text types each line is a record,
without its newline. For the binary types GIF, JPEG, PDF and JAR the input
is cut into records of the record length (lrecl=N, else 1024 bytes).
Types that can be written: CATAMS, SOURCE (also written KOR), LOG, OUTPUT,
HTML, GIF, JPEG, CSS, WML, XML, XSL, RTF, PDF, PS, CSV, JS, VBS, JAR.

Options: lrecl=N recfm=V|F|P desc='text' mod (and blocksize=N attr catalog).
Without lrecl the module decides the record length of a text entry (132
characters for a new one, less the prefix some types keep); a longer line
is cut, with a warning and exit code 3. An entry keeps no record length
of its own: with mod the records appended are held to the entry's longest
record unless lrecl= is given.

Example: vuvorozo write work.reports.jan lrecl=200 desc='Monthly report' < jan.txt
)"},
    {"read",
     [](Session& s, const Words& w, const Settings&) { return RunRead(s, w); },
     false, false,
     R"(Usage: vuvorozo read LIBREF.CATALOG.ENTRY[.TYPE] [OPTIONS...]

Writes the entry's records to standard output exactly as they were
written: each record of a text entry followed by a newline, the records of
a binary entry (GIF, JPEG, PDF, JAR) back to back. With lrecl=N records
longer than N are cut (a warning, exit code 3).
)"},
    {"list",
     [](Session& s, const Words& w, const Settings& f) {
       return RunList(s, w, f.json);
     },
     false, true,
     R"(Usage: vuvorozo list LIBREF.CATALOG [--json]

Lists the catalog's entries as a table of name, type and description, or
with --json as a JSON array of objects with the keys name, type and
description.
)"},
    {"import",
     [](Session& s, const Words& w, const Settings&) {
       return RunImport(s, w);
     },
     true, false,
     R"(Usage: vuvorozo import DIR LIBREF.CATALOG [OPTIONS...]

Stores each file of DIR as an entry of the catalog (created when absent),
replacing an entry of the same name and type. The entry name is the file
name without its extension, in upper case; the extension gives the type:
  .txt CATAMS  .kor SOURCE  .log LOG  .lst OUTPUT  .html/.htm HTML
  .gif GIF  .jpeg/.jpg JPEG  .css .wml .xml .xsl .rtf .pdf .ps .csv .js
  .vbs .jar  the type of that name; any other extension, or none: CATAMS
Options apply to every file. A file the module refuses (an entry name
longer than 32 characters, for one) is reported and skipped, and the
command exits with 1 once the others are imported.
)"},
    {"export",
     [](Session& s, const Words& w, const Settings&) {
       return RunExport(s, w);
     },
     false, false,
     R"(Usage: vuvorozo export LIBREF.CATALOG DIR [OPTIONS...]

Writes each entry of the catalog to DIR (created when absent) as the file
<entry name in lower case>.<extension>, with the extension that imports
back to the same type (CATAMS .txt, SOURCE .kor, OUTPUT .lst, LOG .log,
other types their name in lower case). Existing files are replaced. An
entry that cannot be exported is reported and skipped (exit code 1).
)"},
    {"delete",
     [](Session& s, const Words& w, const Settings&) {
       return RunDelete(s, w);
     },
     false, false,
     R"(Usage: vuvorozo delete LIBREF.CATALOG.ENTRY[.TYPE]

Deletes the entry. Exit code 1 when it does not exist.
)"},
    {"exists",
     [](Session& s, const Words& w, const Settings&) {
       return RunExists(s, w);
     },
     false, false,
     R"(Usage: vuvorozo exists NAME

Tests whether the entry (LIBREF.CATALOG.ENTRY[.TYPE]) or the catalog
(LIBREF.CATALOG) exists. Exit code 0 when it exists, 1 when it does not,
2 when the test cannot be made (a usage error, or a name the module
refuses).
)"},
    {"info",
     [](Session& s, const Words& w, const Settings&) { return RunInfo(s, w); },
     false, false,
     R"(Usage: vuvorozo info LIBREF.CATALOG.ENTRY[.TYPE] [OPTIONS...]

Opens the entry for input and prints its path name, record format (V
variable, F fixed, with or without carriage control), record length and,
when it has one, its description. An entry keeps its records and
description only: the record format and length are those the module
settles for this open, from the entry's longest record and the options
given (recfm=, lrecl=).
)"},
};

const Command* FindCommand(std::string_view name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// A flag with a value, given as "--flag VALUE" or "--flag=VALUE". Returns
// true when args[*i] is the flag; *missing when the value is not there.
bool TakeValue(const std::vector<std::string>& args, size_t* i,
               std::string_view flag, std::string* value, bool* missing) {
  const std::string& arg = args[*i];
  if (arg == flag) {
    if (*i + 1 >= args.size()) {
      *missing = true;
    } else {
      *value = args[++*i];
    }
    return true;
  }
  if (arg.size() > flag.size() && arg.compare(0, flag.size(), flag) == 0 &&
      arg[flag.size()] == '=') {
    *value = arg.substr(flag.size() + 1);
    return true;
  }
  return false;
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Settings settings;
  bool help = false;
  std::vector<std::string> words;
  std::string bad_flag;
  bool only_words = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool missing = false;
    if (only_words || arg.size() < 2 || arg[0] != '-' ||
        (arg[1] != '-' && arg != "-h")) {
      words.push_back(arg);
    } else if (arg == "--") {
      only_words = true;
    } else if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--json") {
      settings.json = true;
    } else if (TakeValue(args, &i, "--data", &settings.data_folder, &missing) ||
               TakeValue(args, &i, "--module", &settings.module_path,
                         &missing)) {
      if (missing) {
        std::fprintf(stderr, "vuvorozo: %s needs a value\n", arg.c_str());
        return kExitUsage;
      }
    } else if (bad_flag.empty()) {
      bad_flag = arg;
    }
  }

  if (words.empty()) {
    std::fputs(kProgramHelp, help ? stdout : stderr);
    return help ? kExitOk : kExitUsage;
  }
  if (words[0] == "help") {
    const Command* command = words.size() > 1 ? FindCommand(words[1]) : nullptr;
    std::fputs(command != nullptr ? command->help : kProgramHelp, stdout);
    return kExitOk;
  }
  const Command* command = FindCommand(words[0]);
  if (command == nullptr) {
    std::fprintf(stderr,
                 "vuvorozo: unknown command '%s'\nTry 'vuvorozo --help'.\n",
                 words[0].c_str());
    return kExitUsage;
  }
  if (help) {
    std::fputs(command->help, stdout);
    return kExitOk;
  }
  if (!bad_flag.empty()) {
    return UsageError(command->name, "unknown flag " + bad_flag);
  }
  if (settings.json && !command->takes_json) {
    return UsageError(command->name, "--json belongs to list");
  }

  std::string error;
  std::unique_ptr<Session> session =
      Session::Start(settings, command->writes, &error);
  if (session == nullptr) {
    PrintError(error);
    return kExitFailed;
  }
  words.erase(words.begin());
  int code = command->run(*session, words, settings);
  std::fflush(stdout);
  return code;
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) { return cli::Main(argc, argv); }
