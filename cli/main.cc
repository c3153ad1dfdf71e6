// vuvorozo: the command-line program. It loads the access-method module
// into the reference host, over a catalog store kept in a data folder, and
// drives the module's routine vector the way a host does: it assigns
// filerefs, hands the user's options to the module's option parser, opens
// entries and catalogs, moves records, and deassigns and closes what it
// took. Records go to standard output, messages to standard error.

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
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
through the VUVOROZO access-method module, and gives them back byte for
byte. A name is LIBREF.CATALOG.ENTRY[.TYPE] for an entry (the type
defaults to CATAMS) or LIBREF.CATALOG for a catalog. Names are not
case-sensitive.

Commands:
  write NAME [OPTIONS]      standard input becomes the entry's records
  read NAME [OPTIONS]       the entry's bytes on standard output
  list LIBREF.CATALOG       the catalog's entries (--json for scripts)
  import [-r] [-u] [--rename] DIR NAME [OPTIONS]
                            each file of DIR becomes an entry of the
                            catalog NAME (-r: each folder a catalog of the
                            library NAME)
  export [-r] NAME DIR [OPTIONS]
                            each entry becomes a file in DIR (-r: each
                            catalog of the library NAME a folder)
  delete NAME               deletes the entry
  exists NAME               exit 0 when the entry or catalog exists, 1 when not
  info NAME [OPTIONS]       path name, record format, record length, description

Options are the module's own, written after the name:
  lrecl=N          record length          recfm=V|F|P  record format
  desc='text'      description            mod          append to the entry
  blocksize=N, attr, catalog               (accepted, kept with the entry's options)
Quote a description with blanks for the shell: desc='Monthly report'.
Without lrecl= the record length holds the longest record: nothing is cut.
lrecl= at most 1048576; a description at most 256 bytes (a longer one is cut
after its last whole character, with a warning).

Flags:
  --data DIR       data folder (else $VUVOROZO_DATA, else ./vuvorozo-data)
  --module PATH    the module to load (else $VUVOROZO_MODULE, else the one
                   installed with the program)
  -r, --recursive  import, export: a library's catalogs as folders
  -u, --update     import: only files changed since they were imported
  --rename         import: fit names a catalog cannot hold (lossy)
  --help           this text; 'vuvorozo COMMAND --help' for a command

Exit codes:
  0  done
  1  the operation was refused or failed (exists: the name does not exist);
     import, export: some files or entries were skipped, each named with
     the reason
  2  usage error: unknown command or flag, wrong arguments, an option the
     module does not accept or the program cannot keep (exists: also a
     name the module refuses)
  3  done, but records longer than the record length were cut
)";

// Flags that belong to some commands only.
enum CommandFlag : unsigned {
  kFlagJson = 1,       // --json
  kFlagRecursive = 2,  // -r, --recursive
  kFlagUpdate = 4,     // -u, --update
  kFlagRename = 8,     // --rename
};

struct Command {
  const char* name;
  int (*run)(Session& session, const Words& words, const Settings& settings);
  bool writes;       // may create the data folder
  unsigned flags;    // CommandFlag bits it accepts
  const char* help;  // shown by 'vuvorozo NAME --help'
};

BatchFlags BatchFlagsOf(const Settings& settings) {
  BatchFlags flags;
  flags.recursive = settings.recursive;
  flags.update = settings.update;
  flags.fit_names = settings.fit_names;
  return flags;
}

constexpr Command kCommands[] = {
    {"write",
     [](Session& s, const Words& w, const Settings&) { return RunWrite(s, w); },
     true, 0,
     R"(Usage: vuvorozo write LIBREF.CATALOG.ENTRY[.TYPE] [OPTIONS...]

Reads standard input and stores it as the entry, replacing it (with mod:
appending to it). For text types each line is a record, without its
newline; whether the last line had one is kept with the entry, so read
gives back exactly the bytes written. For the binary types GIF, JPEG, PDF
and JAR the input is cut into records of the record length (lrecl=N, else
1024 bytes), and so is text with a line longer than 1048576 bytes.
Types that can be written: CATAMS, SOURCE (also written KOR), LOG, OUTPUT,
HTML, GIF, JPEG, CSS, WML, XML, XSL, RTF, PDF, PS, CSV, JS, VBS, JAR.

Options: lrecl=N recfm=V|F|P desc='text' mod (and blocksize=N attr catalog).
Without lrecl the record length holds the longest line, for a new entry and
an append alike: nothing is cut. With lrecl=N (at most 1048576) longer
lines are cut, with a warning and exit code 3. recfm=F pads the records of
SOURCE, LOG and OUTPUT entries with blanks, and attr hands their lead byte
to the reader: the bytes read back then differ from those written.

Example: vuvorozo write work.reports.jan desc='Monthly report' < jan.txt
)"},
    {"read",
     [](Session& s, const Words& w, const Settings&) { return RunRead(s, w); },
     false, 0,
     R"(Usage: vuvorozo read LIBREF.CATALOG.ENTRY[.TYPE] [OPTIONS...]

Writes the entry to standard output as the bytes it was written or imported
from: the lines of a text entry with their newlines (the last one only
when the text had it), the records of a binary entry back to back. With
lrecl=N records longer than N are cut (a warning, exit code 3).
)"},
    {"list",
     [](Session& s, const Words& w, const Settings& f) {
       return RunList(s, w, f.json);
     },
     false, kFlagJson,
     R"(Usage: vuvorozo list LIBREF.CATALOG [--json]

Lists the catalog's entries as a table of name, type and description, or
with --json as a JSON array of objects with the keys name, type and
description. Control characters and bytes that are not UTF-8 are shown as
\xHH in the table (a backslash as \\) and as escapes or U+FFFD in JSON.
)"},
    {"import",
     [](Session& s, const Words& w, const Settings& f) {
       return RunImport(s, w, BatchFlagsOf(f));
     },
     true, kFlagRecursive | kFlagUpdate | kFlagRename,
     R"(Usage: vuvorozo import [-r] [-u] [--rename] DIR NAME [OPTIONS...]

Stores each file of DIR as an entry of the catalog NAME (LIBREF.CATALOG,
created when absent), replacing an entry of the same name and type. The
entry name is the file name without its extension, in upper case; the
extension gives the type:
  .txt CATAMS  .kor SOURCE  .log LOG  .lst OUTPUT  .html/.htm HTML
  .gif GIF  .jpeg/.jpg JPEG  .css .wml .xml .xsl .rtf .pdf .ps .csv .js
  .vbs .jar  the type of that name; any other extension, or none: CATAMS
The entry keeps the file's name, modification time and mode, which export
gives back, and the bytes exactly. A manifest .vuvorozo-manifest that an
export left in DIR gives the entries their descriptions back (desc= given
here wins). Options apply to every file.

  -r, --recursive  NAME is a libref: each folder of DIR becomes a catalog
                   of that name in upper case; files beside the folders,
                   and folders inside them, have no catalog and are
                   reported
  -u, --update     write only files whose size, time, mode or content
                   changed since they were imported
  --rename         fit names a catalog cannot hold instead of refusing
                   them: characters no name holds become _, names are cut
                   to 32 bytes and made unique with ~2, ~3... (the file
                   name is kept, and export gives it back)

A file the catalog cannot take is reported with the reason and skipped:
its name (two files naming one entry, as A.txt and a.txt; a name longer
than 32 bytes, with a second '.', a control character or bytes that are
not UTF-8), a folder (without -r), a link to a folder, anything but a
regular file. The others are still imported, and the command exits with 1.
)"},
    {"export",
     [](Session& s, const Words& w, const Settings& f) {
       return RunExport(s, w, BatchFlagsOf(f));
     },
     false, kFlagRecursive,
     R"(Usage: vuvorozo export [-r] NAME DIR [OPTIONS...]

Writes each entry of the catalog NAME (LIBREF.CATALOG) to DIR (created
when absent): under the file name it was imported from, with that file's
modification time and permissions; an entry that has none becomes <entry
name in lower case>.<extension>, with an extension that imports back to
the same type (CATAMS .txt, SOURCE .kor, OUTPUT .lst, LOG .log, other
types their name in lower case), and takes the entry's time. A manifest
.vuvorozo-manifest lists each file with its entry and description.

  -r, --recursive  NAME is a libref: each catalog becomes a folder of DIR,
                   named as the folder it was imported from, else the
                   catalog name in lower case

Each file is written under a temporary name and renamed over the old one,
so a file is replaced whole or not at all; a link in DIR is replaced, never
followed. An entry whose name or type cannot be part of a file name ('/',
'.', control characters) is reported and skipped (exit code 1).
)"},
    {"delete",
     [](Session& s, const Words& w, const Settings&) {
       return RunDelete(s, w);
     },
     false, 0,
     R"(Usage: vuvorozo delete LIBREF.CATALOG.ENTRY[.TYPE]

Deletes the entry. Exit code 1 when it does not exist.
)"},
    {"exists",
     [](Session& s, const Words& w, const Settings&) {
       return RunExists(s, w);
     },
     false, 0,
     R"(Usage: vuvorozo exists NAME

Tests whether the entry (LIBREF.CATALOG.ENTRY[.TYPE]) or the catalog
(LIBREF.CATALOG) exists. Exit code 0 when it exists, 1 when it does not,
2 when the test cannot be made (a usage error, or a name the module
refuses).
)"},
    {"info",
     [](Session& s, const Words& w, const Settings&) { return RunInfo(s, w); },
     false, 0,
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

// True for a word of one-letter flags: -h, -r, -u and their runs (-ru).
bool IsShortFlags(std::string_view arg) {
  return arg.size() >= 2 && arg[0] == '-' &&
         arg.find_first_not_of("hru", 1) == std::string_view::npos;
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
    if (!only_words && IsShortFlags(arg)) {
      for (char c : arg.substr(1)) {
        if (c == 'h') help = true;
        if (c == 'r') settings.recursive = true;
        if (c == 'u') settings.update = true;
      }
    } else if (only_words || arg.size() < 2 || arg[0] != '-' || arg[1] != '-') {
      words.push_back(arg);
    } else if (arg == "--") {
      only_words = true;
    } else if (arg == "--help") {
      help = true;
    } else if (arg == "--json") {
      settings.json = true;
    } else if (arg == "--recursive") {
      settings.recursive = true;
    } else if (arg == "--update") {
      settings.update = true;
    } else if (arg == "--rename") {
      settings.fit_names = true;
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
  const struct {
    bool given;
    unsigned flag;
    const char* text;
  } kCommandFlags[] = {
      {settings.json, kFlagJson, "--json belongs to list"},
      {settings.recursive, kFlagRecursive, "-r belongs to import and export"},
      {settings.update, kFlagUpdate, "-u belongs to import"},
      {settings.fit_names, kFlagRename, "--rename belongs to import"},
  };
  for (const auto& f : kCommandFlags) {
    if (f.given && (command->flags & f.flag) == 0) {
      return UsageError(command->name, f.text);
    }
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

// Runs the program so that nothing escapes it: running out of memory, or
// any other exception, ends it with a message and the failure exit code.
// An entry open for writing when it happened is discarded as its owner
// goes, so the entry keeps its old content.
int Guarded(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs(
        "vuvorozo: out of memory; nothing that was being written was "
        "kept\n",
        stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vuvorozo: internal error: %s\n", e.what());
  } catch (...) {
    std::fputs("vuvorozo: internal error\n", stderr);
  }
  return kExitFailed;
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) { return cli::Guarded(argc, argv); }
