// The program's commands. Each is one function over a started session and
// the words that followed the command name (flags removed); it returns the
// exit code. The table in main.cc gives each its synopsis and help text.

#ifndef VUVOROZO_CLI_COMMANDS_H_
#define VUVOROZO_CLI_COMMANDS_H_

#include <string>
#include <string_view>
#include <vector>

#include "cli/session.h"

namespace cli {

typedef std::vector<std::string> Words;

int RunWrite(Session& session, const Words& words);
int RunRead(Session& session, const Words& words);
int RunList(Session& session, const Words& words, bool json);
// What the flags of import and export ask for.
struct BatchFlags {
  bool recursive = false;  // -r: a library's catalogs as folders
  bool update = false;     // -u: import only files changed since imported
  bool fit_names = false;  // --rename: fit names a catalog cannot hold
};

int RunImport(Session& session, const Words& words, const BatchFlags& flags);
int RunExport(Session& session, const Words& words, const BatchFlags& flags);
int RunDelete(Session& session, const Words& words);
int RunExists(Session& session, const Words& words);
int RunInfo(Session& session, const Words& words);

// Prints "vuvorozo <command>: <text>" and the pointer to --help; returns the
// usage exit code.
int UsageError(const std::string& command, const std::string& text);

// Assigns fileref to name with the module, after the host's own check that
// the name splits into levels (at most four, of at most 32 characters).
// Reports a failure and returns false.
bool AssignName(Session& session, Fileref& fileref, const std::string& name,
                OptionBlock* options);

// Parses the option words into options; reports a refusal (the usage exit
// code) and returns false.
bool ParseOptionWords(Session& session, const std::string& command,
                      const Words& words, OptionBlock* options);

// The start of every command that names one entry: words[0] is the name,
// the words after it the options. Parses the options into *options,
// assigns *fileref to the name and asks for its path name. Returns kExitOk
// to go on, with *path the resolved path name (the name as given when it
// does not resolve; the open then reports why) and *path_status the status
// of that request; otherwise the exit code to end with, the reason already
// reported.
int StartEntryCommand(Session& session, const std::string& command,
                      const Words& words, OptionBlock* options,
                      Fileref* fileref, std::string* path,
                      int32_t* path_status);

// What became of one file or entry of a command that moves many.
enum class Outcome { kDone, kTruncated, kSkipped, kUnchanged };

// The outcomes of such a command, counted.
struct Tally {
  size_t total = 0;     // files or entries met
  int skipped = 0;      // reported and not moved
  int truncated = 0;    // moved with records cut
  bool failed = false;  // a step besides the files failed (reported)
  void Add(Outcome outcome) {
    ++total;
    if (outcome == Outcome::kSkipped) ++skipped;
    if (outcome == Outcome::kTruncated) ++truncated;
  }
};

// Ends a command that moved many files or entries: when some were skipped
// says "<command>: N of <total> <what>" (e.g. "files were not imported").
// Returns the exit code: failed when anything failed or was skipped,
// truncated when records were cut, else done.
int FinishBatch(const std::string& command, const Tally& tally,
                const std::string& what);

// Reports that what (a file or entry, as the user sees it) was skipped, and
// why: "vuvorozo: <what>: skipped: <reason>". Returns kSkipped.
Outcome Skipped(std::string_view what, std::string_view reason);

// Assigns fileref to name (with options, may be null) and opens it as a
// directory: an existing catalog only, for commands that only look. Reports
// a failure and returns false.
bool OpenExistingCatalog(Session& session, Fileref& fileref,
                         Directory& directory, const std::string& name,
                         OptionBlock* options);

}  // namespace cli

#endif  // VUVOROZO_CLI_COMMANDS_H_
