// vuvorozo: the command-line program. It loads the access-method module
// into the reference host, over a catalog store kept in a data folder, and
// drives the module's routine vector the way a host does: it assigns
// filerefs, hands the user's options to the module's option parser, opens
// entries and catalogs, moves records, and deassigns and closes what it
// took. Records go to standard output, messages to standard error.
//
// The command table below is the one place a command is declared: its
// name, synopsis, the flags it takes and its help. The flag table is the
// one place a flag is.

#include <sqlite3.h>
#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "cli/report.h"
#include "cli/session.h"

namespace cli {
namespace {

constexpr char kUsage[] =
    "Usage: vuvorozo [FLAGS] COMMAND ARGUMENTS... [OPTIONS...]\n";

constexpr char kProgramAbout[] =
    R"(
Keeps text and binary files as entries of catalogs in data libraries,
through the VUVOROZO access-method module, and gives them back byte for
byte. A name is LIBREF.CATALOG.ENTRY[.TYPE] for an entry (the type
defaults to CATAMS), LIBREF.CATALOG for a catalog, LIBREF for a library.
Names are not case-sensitive. In list, read, delete and export the entry
(and type) of a name may be a pattern: * any characters, ? one; a pattern
without a type matches every type ('work.reports.jan*'). '-' stands for
standard input or output where a file or folder is named.
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

// Flags. Global ones hold for every command; the others belong to the
// commands whose table line names them.
enum FlagBit : unsigned {
  kFlagJson = 1 << 0,
  kFlagRecursive = 1 << 1,
  kFlagUpdate = 1 << 2,
  kFlagRename = 1 << 3,
  kFlagLong = 1 << 4,
  kFlagVerbose = 1 << 5,
  kFlagQuiet = 1 << 6,
  kFlagHelp = 1 << 7,
  kFlagVersion = 1 << 8,
  kFlagData = 1 << 9,
  kFlagModule = 1 << 10,
  kFlagForeground = 1 << 11,
  kFlagMountOptions = 1 << 12,
  kFlagStore = 1 << 13,
};
constexpr unsigned kGlobalFlags = kFlagVerbose | kFlagQuiet | kFlagHelp |
                                  kFlagVersion | kFlagData | kFlagModule |
                                  kFlagStore;

struct Flag {
  const char* long_name;  // "--json"
  char short_name;        // 'r', or 0
  unsigned bit;
  const char* value;  // what the flag takes, as --help names it; or null
  const char* help;   // the line of --help, after the names
};

constexpr Flag kFlags[] = {
    {"--data", 0, kFlagData, "DIR",
     "data folder (else $VUVOROZO_DATA, else ./vuvorozo-data)"},
    {"--store", 0, kFlagStore, "URL",
     "libraries on a PostgreSQL server, postgresql://USER@HOST/DATABASE "
     "(else $VUVOROZO_STORE, else the data folder)"},
    {"--module", 0, kFlagModule, "PATH",
     "the module to load (else $VUVOROZO_MODULE, else the one installed "
     "with the program)"},
    {"--verbose", 'v', kFlagVerbose, nullptr,
     "say more: every file or entry moved, exists' answer"},
    {"--quiet", 'q', kFlagQuiet, nullptr, "print nothing but errors"},
    {"--json", 0, kFlagJson, nullptr,
     "list, info, exists, check, compact: JSON for scripts"},
    {"--long", 'l', kFlagLong, nullptr,
     "list: records, bytes and modification time of each entry"},
    {"--recursive", 'r', kFlagRecursive, nullptr,
     "import, export: a library's catalogs as folders; delete: a catalog "
     "with its entries"},
    {"--update", 'u', kFlagUpdate, nullptr,
     "import: only files changed since they were imported"},
    {"--rename", 0, kFlagRename, nullptr,
     "import: fit names a catalog cannot hold (lossy)"},
    {"--foreground", 'f', kFlagForeground, nullptr,
     "mount: stay in the foreground, the log on standard error"},
    {"--options", 'o', kFlagMountOptions, "OPTS",
     "mount: ro (read only), or options for libfuse, comma-separated"},
    {"--version", 0, kFlagVersion, nullptr,
     "versions of the program, the module, SQLite, zstd, libpq and the "
     "server of --store"},
    {"--help", 'h', kFlagHelp, nullptr,
     "this text; 'vuvorozo help COMMAND' for a command"},
};

BatchFlags BatchFlagsOf(const Settings& settings) {
  BatchFlags flags;
  flags.recursive = settings.recursive;
  flags.update = settings.update;
  flags.fit_names = settings.fit_names;
  return flags;
}

struct Command {
  const char* name;
  const char* synopsis;  // after "vuvorozo "
  const char* summary;   // the line of --help
  int (*run)(Session& session, const Words& words, const Settings& settings);
  bool writes;       // changes the store (and may create the data folder);
                     // the others open the libraries read-only
  unsigned flags;    // FlagBits it takes besides the global ones
  const char* help;  // shown by 'vuvorozo help NAME'
};

constexpr Command kCommands[] = {
    {"write", "write NAME [OPTIONS] [-]",
     "standard input becomes the entry's records",
     [](Session& s, const Words& w, const Settings&) { return RunWrite(s, w); },
     true, 0,
     R"(
Reads standard input ('-' may name it) and stores it as the entry,
replacing it (with mod: appending to it). For text types each line is a
record, without its newline; whether the last line had one is kept with
the entry, so read gives back exactly the bytes written. For the binary
types GIF, JPEG, PDF and JAR the input is cut into records of the record
length (lrecl=N, else 1024 bytes), and so is text with a line longer than
1048576 bytes. Types that can be written: CATAMS, SOURCE (also written
KOR), LOG, OUTPUT, HTML, GIF, JPEG, CSS, WML, XML, XSL, RTF, PDF, PS, CSV,
JS, VBS, JAR.

Options: lrecl=N recfm=V|F|P desc='text' mod (and blocksize=N attr catalog).
Without lrecl the record length holds the longest line, for a new entry and
an append alike: nothing is cut. With lrecl=N (at most 1048576) longer
lines are cut, with a warning and exit code 3. recfm=F pads the records of
SOURCE, LOG and OUTPUT entries with blanks, and attr hands their lead byte
to the reader: the bytes read back then differ from those written.

Example: vuvorozo write work.reports.jan desc='Monthly report' < jan.txt
)"},
    {"read", "read NAME... [OPTIONS] [-]",
     "the entries' bytes on standard output, one after another",
     [](Session& s, const Words& w, const Settings&) { return RunRead(s, w); },
     false, 0,
     R"(
Writes each entry named to standard output ('-' may name it), one after
the other as cat does, as the bytes it was written or imported from: the
lines of a text entry with their newlines (the last one only when the text
had it), the records of a binary entry back to back. A pattern reads every
entry it matches, in name order. With lrecl=N records longer than N are
cut (a warning, exit code 3). An entry that cannot be read is named with
the reason; the others are still read, and the exit code is 1.
)"},
    {"list", "list [LIBREF[.CATALOG[.PATTERN]]] [-l] [--json]",
     "the libraries, a library's catalogs, or a catalog's entries",
     [](Session& s, const Words& w, const Settings& f) {
       return RunList(s, w, f.json, f.long_listing);
     },
     false, kFlagJson | kFlagLong,
     R"(
Without a name: the libraries of the data folder. With a libref: its
catalogs and how many entries each holds. With LIBREF.CATALOG: its entries
by name, type and description; -l (--long) adds the records, the bytes
(of the file the entry gives back, '-' where the host does not know them)
and the time of the last change. LIBREF.CATALOG.PATTERN lists the entries
the pattern matches (* any characters, ? one; the type level may be a
pattern too).

Control characters and bytes that are not UTF-8 are shown as \xHH in the
table (a backslash as \\); columns are aligned by the width characters take
on the terminal.

--json prints one JSON array, one object a line:
  libraries  {"libref": "WORK", "catalogs": 2}
  catalogs   {"catalog": "REPORTS", "entries": 3}
  entries    {"name": "JAN", "type": "CATAMS", "description": "",
              "records": 3, "bytes": 31 (or null), "longest_record": 10,
              "created": "2024-01-31T09:00:00.000000Z", "modified": "..."}
Strings are exact (control characters as \u escapes; a byte that is not
UTF-8 as \ufffd); times are UTC.
)"},
    {"import", "import [-r] [-u] [--rename] DIR NAME [OPTIONS]",
     "each file of DIR becomes an entry of the catalog NAME",
     [](Session& s, const Words& w, const Settings& f) {
       return RunImport(s, w, BatchFlagsOf(f));
     },
     true, kFlagRecursive | kFlagUpdate | kFlagRename,
     R"(
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
here wins). Options apply to every file. Ends with one line: files,
entries written, bytes, seconds; -v names every file. DIR cannot be '-':
a stream is unpacked into a folder first (tar -x -C DIR).

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
    {"export", "export [-r] NAME DIR [MEMBER...] [OPTIONS]",
     "each entry becomes a file in DIR ('-': a tar stream)",
     [](Session& s, const Words& w, const Settings& f) {
       return RunExport(s, w, BatchFlagsOf(f));
     },
     false, kFlagRecursive,
     R"(
Writes each entry of the catalog NAME (LIBREF.CATALOG) to DIR (created
when absent), or only the members named (ENTRY or ENTRY.TYPE, patterns
allowed): under the file name it was imported from, with that file's
modification time and permissions; an entry that has none becomes <entry
name in lower case>.<extension>, with an extension that imports back to
the same type (CATAMS .txt, SOURCE .kor, OUTPUT .lst, LOG .log, other
types their name in lower case), and takes the entry's time. When an
entry has a description, a manifest .vuvorozo-manifest lists each file
with its entry and description. Ends with one line: entries, files
written, bytes, seconds; -v names every file.

DIR '-' writes the files, manifest included, as one tar stream (POSIX
ustar) to standard output instead: 'vuvorozo export work.reports - | tar
-x -C DIR' unpacks it.

  -r, --recursive  NAME is a libref: each catalog becomes a folder of DIR,
                   named as the folder it was imported from, else the
                   catalog name in lower case

Each file is written under a temporary name and renamed over the old one,
so a file is replaced whole or not at all; a link in DIR is replaced, never
followed. An entry whose name or type cannot be part of a file name ('/',
'.', control characters) is reported and skipped (exit code 1).
)"},
    {"delete", "delete [-r] NAME...", "deletes entries, or empty catalogs",
     [](Session& s, const Words& w, const Settings& f) {
       return RunDelete(s, w, f.recursive);
     },
     true, kFlagRecursive,
     R"(
Deletes each entry named (LIBREF.CATALOG.ENTRY[.TYPE], or a pattern that
matches entries) and each catalog named (LIBREF.CATALOG). A catalog that
still holds entries is refused unless -r (--recursive) is given, which
deletes it with its entries. Exit code 1 when a name does not exist or a
pattern matches nothing; the other names are still deleted.
)"},
    {"copy", "copy FROM TO", "copies entries, across catalogs and libraries",
     [](Session& s, const Words& w, const Settings&) {
       return RunCopy(s, w, false);
     },
     true, 0,
     R"(
Copies the entry FROM (LIBREF.CATALOG.ENTRY[.TYPE], or a pattern) to TO: a
catalog (LIBREF.CATALOG), where each entry keeps its name, or with one
entry an entry name (LIBREF.CATALOG.ENTRY), which keeps FROM's type. The
copy has the same records, type, description and host attributes (the
file name, time and mode export gives back). An entry TO names is
replaced; the catalog and library are made when absent. FROM and TO may be
in different libraries.
)"},
    {"rename", "rename FROM TO", "moves entries: a copy, then FROM deleted",
     [](Session& s, const Words& w, const Settings&) {
       return RunCopy(s, w, true);
     },
     true, 0,
     R"(
Moves the entry FROM to TO as copy does, then deletes FROM once the copy
is whole. An entry is never moved onto itself.
)"},
    {"mkdir", "mkdir LIBREF.CATALOG...", "creates empty catalogs",
     [](Session& s, const Words& w, const Settings&) { return RunMkdir(s, w); },
     true, 0,
     R"(
Creates each catalog named, empty, and its library when absent. A catalog
that exists already is reported (exit code 1).
)"},
    {"exists", "exists NAME [-v] [--json]",
     "exit 0 when the entry or catalog exists, 1 when not",
     [](Session& s, const Words& w, const Settings& f) {
       return RunExists(s, w, f.json);
     },
     false, kFlagJson,
     R"(
Tests whether the entry (LIBREF.CATALOG.ENTRY[.TYPE]) or the catalog
(LIBREF.CATALOG) exists, and says nothing: exit code 0 when it exists, 1
when it does not, 2 when the test cannot be made (a usage error, or a name
the module refuses). -v prints "NAME exists" or "NAME does not exist".
--json prints one object: {"name": "work.reports.jan", "exists": true}.
)"},
    {"info", "info NAME [OPTIONS] [--json]",
     "path name, record format, record length, description",
     [](Session& s, const Words& w, const Settings& f) {
       return RunInfo(s, w, f.json);
     },
     false, kFlagJson,
     R"(
Opens the entry for input and prints its path name, record format (V
variable, F fixed, with or without carriage control), record length and,
when it has one, its description. An entry keeps its records and
description only: the record format and length are those the module
settles for this open, from the entry's longest record and the options
given (recfm=, lrecl=).

--json prints one object: {"path": "WORK.REPORTS.JAN.CATAMS", "recfm":
"V", "carriage_control": false, "lrecl": 10, "description": ""}.
)"},
    {"mount", "mount MOUNTPOINT [-f] [-o ro]",
     "the catalogs as folders every tool can use, until unmounted",
     [](Session& s, const Words& w, const Settings& f) {
       return RunMount(s, w, f);
     },
     true, kFlagForeground | kFlagMountOptions,
     R"(
Shows the catalogs of the data folder as folders, MOUNTPOINT/LIBREF/CATALOG,
librefs and catalogs in lower case, until it is unmounted (fusermount3 -u
MOUNTPOINT, or SIGINT or SIGTERM). Each entry is a file under the name,
size, time and mode export gives it, so cp -a MOUNTPOINT/work/reports X
makes what vuvorozo export work.reports X makes. A catalog whose entries
have descriptions shows export's manifest .vuvorozo-manifest too.

A file written and closed becomes its entry's new version, whole: a reader
sees the old content or the new, never a mix, and the close reports a
failure. mkdir in a library's folder makes a catalog, rmdir removes an
empty one, rm deletes an entry, mv renames within and across catalogs.
What a catalog cannot hold is refused, and said in the log: a name over 32
bytes before its extension (ENAMETOOLONG), a second '.' or a control
character (EINVAL), a folder in a catalog or a file outside one (EPERM).
A name beginning with '.' is scratch: kept while mounted, and an entry once
renamed to a name a catalog holds (as rsync and editors do); one left at
unmount is gone. A manifest written into a catalog's folder gives its
entries their descriptions. Changes another process makes (vuvorozo write)
show at once.

  -f, --foreground     stay in the foreground, the log on standard error
                       (otherwise the program detaches and logs to syslog)
  -o ro                read only: every change is refused with EROFS
  -o OPTS              other options go to libfuse (allow_other, ...)
)"},
    {"check", "check LIBREF [--json]",
     "reads the whole library and says whether it is sound",
     [](Session& s, const Words& w, const Settings& f) {
       return RunCheck(s, w, f.json);
     },
     false, kFlagJson,
     R"(
Reads the whole library: the database's own integrity check, then every
record of every entry, each stored page checked against its checksum.
Prints the counts of catalogs, entries, records and pages read, the size
of the library file and how much of it is free, then "The library is
sound." or "The library is damaged.", each problem as an error before
it. Exit code 0 when the library is sound, 1 when it is damaged or cannot
be read.

--json prints one object: {"library": "WORK", "file": "...", "catalogs":
2, "entries": 14, "records": 2000, "pages": 14, "file_bytes": 61440,
"free_bytes": 0, "problems": []} (each problem a string).
)"},
    {"compact", "compact LIBREF [--json]",
     "gives the library's unused room back to the file system",
     [](Session& s, const Words& w, const Settings& f) {
       return RunCompact(s, w, f.json);
     },
     true, kFlagJson,
     R"(
Gives the library's unused room back to the file system: the room of
content that was replaced or deleted and what writers that died left
behind. The library is rewritten, which needs room for a copy of it while
it runs. Prints the size of the library file before and after.

--json prints one object: {"library": "WORK", "file": "...",
"bytes_before": 81920, "bytes_after": 61440}.
)"},
};

const Command* FindCommand(std::string_view name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names = {"help"};
  for (const Command& command : kCommands) names.push_back(command.name);
  return names;
}

std::vector<std::string> FlagNames() {
  std::vector<std::string> names;
  for (const Flag& flag : kFlags) names.push_back(flag.long_name);
  return names;
}

std::string FlagList(unsigned bits) {
  std::string text;
  for (const Flag& flag : kFlags) {
    if ((flag.bit & bits) == 0) continue;
    if (!text.empty()) text += ", ";
    text += flag.long_name;
  }
  return text;
}

void PrintProgramHelp(FILE* out) {
  std::string text = kUsage;
  text += kProgramAbout;
  text += "\nCommands:\n";
  for (const Command& command : kCommands) {
    std::string synopsis = command.synopsis;
    char line[256];
    if (synopsis.size() <= 38) {
      std::snprintf(line, sizeof line, "  %-38s  %s\n", synopsis.c_str(),
                    command.summary);
    } else {
      std::snprintf(line, sizeof line, "  %s\n  %-38s  %s\n", synopsis.c_str(),
                    "", command.summary);
    }
    text += line;
  }
  text +=
      "  help [COMMAND]                          this text, or a command's\n";
  text += "\nFlags:\n";
  for (const Flag& flag : kFlags) {
    std::string names = flag.short_name != 0
                            ? std::string("-") + flag.short_name + ", "
                            : std::string("    ");
    names += flag.long_name;
    if (flag.value != nullptr) names += std::string(" ") + flag.value;
    // The help in a column of its own, lines broken between words before
    // the 79th column.
    std::string line = "  " + names;
    line.resize(std::max<size_t>(line.size(), 20), ' ');
    std::string_view help = flag.help;
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
  std::string text = std::string("Usage: vuvorozo ") + command.synopsis + "\n";
  text += command.help;
  unsigned own = command.flags;
  text +=
      "\nFlags: " + FlagList(own | kGlobalFlags) + " (see vuvorozo --help)\n";
  std::fputs(text.c_str(), stdout);
}

// What the module, the program and its libraries are.
int PrintVersion(const Settings& settings) {
  std::printf("vuvorozo %s\n", VUVOROZO_VERSION);
  std::string release, build, error;
  int code = kExitOk;
  if (ModuleImage(settings, &release, &build, &error)) {
    std::printf("module %s, build %s (%s)\n", release.c_str(), build.c_str(),
                FindModule(settings).c_str());
  } else {
    std::fflush(stdout);
    PrintError(error);
    code = kExitFailed;
  }
  std::printf("SQLite %s\nzstd %s\n", sqlite3_libversion(),
              ZSTD_versionString());
  std::printf("libpq %s\n", refhost::ServerClientVersion().c_str());
  std::string url = FindStoreUrl(settings);
  if (!url.empty()) {
    std::string version;
    refhost::StoreStatus status = refhost::ServerVersion(url, &version);
    if (status.ok()) {
      std::printf("PostgreSQL server %s (%s)\n", version.c_str(),
                  refhost::MaskPassword(url).c_str());
    } else {
      std::fflush(stdout);
      PrintError(status.message());
      code = kExitFailed;
    }
  }
  return code;
}

// The command line, parsed.
struct Parsed {
  Settings settings;
  unsigned given = 0;  // FlagBits given
  std::vector<std::string> words;
  std::string error;  // a usage error, the whole word quoted
};

const Flag* LongFlag(std::string_view name) {
  for (const Flag& flag : kFlags) {
    if (name == flag.long_name) return &flag;
  }
  return nullptr;
}

const Flag* ShortFlag(char c) {
  for (const Flag& flag : kFlags) {
    if (flag.short_name == c) return &flag;
  }
  return nullptr;
}

void Give(const Flag& flag, const std::string& value, Parsed* p) {
  p->given |= flag.bit;
  Settings& s = p->settings;
  switch (flag.bit) {
    case kFlagJson:
      s.json = true;
      break;
    case kFlagRecursive:
      s.recursive = true;
      break;
    case kFlagUpdate:
      s.update = true;
      break;
    case kFlagRename:
      s.fit_names = true;
      break;
    case kFlagLong:
      s.long_listing = true;
      break;
    case kFlagVerbose:
      s.verbosity = Verbosity::kVerbose;
      break;
    case kFlagQuiet:
      s.verbosity = Verbosity::kQuiet;
      break;
    case kFlagData:
      s.data_folder = value;
      break;
    case kFlagStore:
      s.store_url = value;
      break;
    case kFlagModule:
      s.module_path = value;
      break;
    case kFlagForeground:
      s.foreground = true;
      break;
    case kFlagMountOptions:
      s.mount_options.push_back(value);
      break;
    default:
      break;
  }
}

// Flags may stand anywhere; "--" ends them, and "-" alone is a word
// (standard input or output).
Parsed Parse(const std::vector<std::string>& args) {
  Parsed p;
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
      const Flag* flag = LongFlag(name);
      if (flag == nullptr) {
        if (p.error.empty()) {
          p.error =
              "'" + arg + "': unknown flag" + DidYouMean(name, FlagNames());
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
      Give(*flag, value, &p);
      continue;
    }
    // A run of one-letter flags: -ru, -lv; one that takes a value takes
    // the rest of the word or the next one (-o ro, -oro).
    for (size_t k = 1; k < arg.size(); ++k) {
      const Flag* flag = ShortFlag(arg[k]);
      if (flag == nullptr) {
        if (p.error.empty()) {
          p.error = "'" + arg + "': unknown flag -" + arg.substr(k, 1);
        }
        break;
      }
      if (flag->value != nullptr) {
        if (k + 1 < arg.size()) {
          Give(*flag, arg.substr(k + 1), &p);
        } else if (i + 1 < args.size()) {
          Give(*flag, args[++i], &p);
        } else if (p.error.empty()) {
          p.error = "'" + arg + "' needs a value";
        }
        break;
      }
      Give(*flag, "", &p);
    }
  }
  return p;
}

int Main(int argc, char** argv) {
  // Every line reaches its reader as it is finished, even on a file or a
  // pipe: a run that is stopped leaves the lines it printed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Parsed parsed = Parse(std::vector<std::string>(argv + 1, argv + argc));
  Settings& settings = parsed.settings;
  SetVerbosity(settings.verbosity);
  std::vector<std::string>& words = parsed.words;

  if ((parsed.given & kFlagVersion) != 0 && parsed.error.empty()) {
    return PrintVersion(settings);
  }
  bool help = (parsed.given & kFlagHelp) != 0;
  if (words.empty()) {
    if (!parsed.error.empty()) {
      PrintError(parsed.error);
      return kExitUsage;
    }
    PrintProgramHelp(help ? stdout : stderr);
    return help ? kExitOk : kExitUsage;
  }
  if (words[0] == "help") {
    SetCommand("help");
    if (words.size() > 2) return UsageError("help takes one command");
    if (words.size() == 1) {
      PrintProgramHelp(stdout);
      return kExitOk;
    }
    const Command* command = FindCommand(words[1]);
    if (command == nullptr) {
      PrintError("'" + words[1] + "': no such command" +
                 DidYouMean(words[1], CommandNames()));
      return kExitUsage;
    }
    PrintCommandHelp(*command);
    return kExitOk;
  }
  const Command* command = FindCommand(words[0]);
  if (command == nullptr) {
    PrintError("'" + words[0] + "': unknown command" +
               DidYouMean(words[0], CommandNames()) +
               "\nTry 'vuvorozo --help'.");
    return kExitUsage;
  }
  SetCommand(command->name);
  if (help) {
    PrintCommandHelp(*command);
    return kExitOk;
  }
  if (!parsed.error.empty()) return UsageError(parsed.error);
  unsigned stray = parsed.given & ~(command->flags | kGlobalFlags);
  if (stray != 0) {
    return UsageError(FlagList(stray) + ": " + command->name +
                      " takes no such flag");
  }
  if ((parsed.given & kFlagQuiet) != 0 && (parsed.given & kFlagVerbose) != 0) {
    return UsageError("--verbose and --quiet: give one");
  }
  if ((parsed.given & kFlagStore) != 0 && (parsed.given & kFlagData) != 0) {
    return UsageError("--store and --data: give one");
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
  Progress::End();
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
    PrintError("out of memory; nothing that was being written was kept");
  } catch (const std::exception& e) {
    PrintError(std::string("internal error: ") + e.what());
  } catch (...) {
    PrintError("internal error");
  }
  return kExitFailed;
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) { return cli::Guarded(argc, argv); }
