// Steps the program's commands share: usage errors, naming a library and
// reporting the store's failures, assigning a name, parsing the user's
// options, opening a catalog that must exist, and the tally and summary of
// a command that moves many files or entries.

#ifndef VUVOROZO_CLI_COMMAND_SUPPORT_H_
#define VUVOROZO_CLI_COMMAND_SUPPORT_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command.h"
#include "cli/session.h"
#include "refhost/store/catalog_store.h"

namespace cli {

// Prints "vuvorozo: COMMAND: <text>" and the pointer to the command's help;
// returns the usage exit code.
int UsageError(const std::string& text);

// The start of a command over a whole library: words must be one libref.
// Returns kExitOk with *libref in upper case, else the usage exit code (the
// reason reported).
int LibraryArgument(const Words& words, std::string* libref);
// Reports the store's account of a failure about what (a libref, the data
// folder) in the message form, an absent library with the librefs near
// what; returns the exit code of the failure's reason.
int StoreFailure(Session& session, const std::string& what,
                 const refhost::StoreStatus& status);

// Assigns fileref to name with the module, after the host's own check that
// the name splits into levels (at most four, of at most 32 characters).
// Reports a failure and returns false.
bool AssignName(Session& session, Fileref& fileref, const std::string& name,
                OptionBlock* options);

// Parses the option words into options; reports a refusal (the usage exit
// code) and returns false.
bool ParseOptionWords(Session& session, const Words& words,
                      OptionBlock* options);

// The start of every command that names one entry: words[0] is the name,
// the words after it the options. Parses the options into *options,
// assigns *fileref to the name and asks for its path name. Returns kExitOk
// to go on, with *path the resolved path name (the name as given when it
// does not resolve; the open then reports why) and *path_status the status
// of that request; otherwise the exit code to end with, the reason already
// reported.
int StartEntryCommand(Session& session, const Words& words,
                      OptionBlock* options, Fileref* fileref, std::string* path,
                      int32_t* path_status);

// A catalog a command may make on its way (an open for output makes the
// catalog it names), noted before: a command that failed calls
// RemoveIfMade, which deletes the catalog again when the command made it
// and it is still empty, so that a failure leaves no empty catalog behind.
class MadeCatalog {
 public:
  // name: LIBREF.CATALOG[.ENTRY...]; one that does not split is left alone.
  MadeCatalog(Session& session, std::string_view name);
  void RemoveIfMade();

 private:
  Session& session_;
  std::string libref_;
  std::string catalog_;
  bool absent_ = false;
};

// What became of one file or entry of a command that moves many.
enum class Outcome { kDone, kTruncated, kSkipped, kUnchanged };

// The outcomes of such a command, counted.
struct Tally {
  size_t total = 0;       // files or entries met
  int skipped = 0;        // reported and not moved
  int truncated = 0;      // moved with records cut
  int64_t moved = 0;      // moved, cut or not
  int64_t unchanged = 0;  // found as they were, not moved
  int64_t deleted = 0;    // entries whose files are gone, deleted
  int64_t bytes = 0;      // bytes of the files moved
  bool failed = false;    // a step besides the files failed (reported)
  std::chrono::steady_clock::time_point start =
      std::chrono::steady_clock::now();
  // Counts an outcome; bytes are those of the file moved.
  void Add(Outcome outcome, int64_t moved_bytes = 0) {
    ++total;
    if (outcome == Outcome::kSkipped) ++skipped;
    if (outcome == Outcome::kTruncated) ++truncated;
    if (outcome == Outcome::kUnchanged) ++unchanged;
    if (outcome == Outcome::kDone || outcome == Outcome::kTruncated) {
      ++moved;
      bytes += moved_bytes;
    }
    Progress::ItemDone();
  }
};

// The entries a command that writes many (an import) commits in the
// store's batches (CatalogStore::BeginBatch): each is counted in the tally
// once the store says it is stored, and reported by name ("not stored")
// when it went with a batch that failed. The batch begins with the object
// and ends with End, or at the latest when it goes.
class GatheredCommits {
 public:
  GatheredCommits(Session& session, Tally& tally);
  ~GatheredCommits();
  GatheredCommits(const GatheredCommits&) = delete;
  GatheredCommits& operator=(const GatheredCommits&) = delete;

  // Before an entry is written: where the ledger stands.
  void Before();
  // The outcome of the file or entry what (as the user sees it) of bytes,
  // once its close succeeded (or it was skipped, or left as it was):
  // counted, and detail printed with -v, when its commit is stored.
  void Add(const std::string& what, Outcome outcome, int64_t bytes,
           const std::string& detail = "");
  // A folder written as an entry: not counted, its detail printed once it
  // is stored, and the command failed should it be lost.
  void AddFolder(const std::string& what, const std::string& detail);
  // Ends the batch: what it gathered is stored, or reported.
  void End();

 private:
  struct Waiting {
    int64_t commit;  // in the store's ledger
    std::string what;
    Outcome outcome;
    int64_t bytes;
    std::string detail;
    bool counted;  // false for a folder
  };
  // Counts or reports every commit the ledger has settled.
  void Settle();

  Session& session_;
  Tally& tally_;
  int64_t before_ = 0;  // the ledger's count before the entry
  std::deque<Waiting> waiting_;
  bool ended_ = false;
};

// A noun in its two numbers.
struct Noun {
  const char* one;    // "entry"
  const char* other;  // "entries"
};

// The one line a command that moves many ends with (unless quiet):
// "12 files: 12 entries written, 35210 bytes, 0.21 s", with the unchanged
// and the skipped counted where there are any. met names what was met
// (files), made what was written (entries).
void PrintSummary(const Tally& tally, Noun met, Noun made);

// Ends a command that moved many files or entries: when some were skipped
// says "N of <total> <what>" (e.g. "files were not imported").
// Returns the exit code: failed when anything failed or was skipped,
// truncated when records were cut, else done.
int FinishBatch(const Tally& tally, const std::string& what);

// Reports that what (a file or entry, as the user sees it) was skipped, and
// why: "vuvorozo: COMMAND: <what>: skipped: <reason>". Returns kSkipped.
Outcome Skipped(std::string_view what, std::string_view reason);

// Assigns fileref to name (with options, may be null) and opens it as a
// directory: an existing catalog only, for commands that only look. Reports
// a failure and returns false.
bool OpenExistingCatalog(Session& session, Fileref& fileref,
                         Directory& directory, const std::string& name,
                         OptionBlock* options);

}  // namespace cli

#endif  // VUVOROZO_CLI_COMMAND_SUPPORT_H_
