// How the program speaks to its user. Results go to standard output, line
// by line, so that a run that is killed leaves every line it finished.
// Errors and warnings go to standard error in one form,
//
//   vuvorozo: COMMAND: NAME: reason
//
// (the command left out before one is known). How much is said is the
// user's choice: -q says nothing but errors, the default says each
// command's result, -v adds a line for each file or entry a command moves.
// A progress line is drawn on standard error only when it is a terminal.
// What the program notes about itself (module blocks or host handles left
// behind) goes to the debug log named by $VUVOROZO_DEBUG_LOG, never to the
// user.

#ifndef VUVOROZO_CLI_REPORT_H_
#define VUVOROZO_CLI_REPORT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

enum class Verbosity { kQuiet, kNormal, kVerbose };

// The command the messages that follow belong to ("" before one is known).
void SetCommand(std::string_view command);
const std::string& CurrentCommand();
void SetVerbosity(Verbosity verbosity);
Verbosity CurrentVerbosity();

// Prints "vuvorozo: COMMAND: <text>" on standard error.
void PrintError(std::string_view text);
// Prints "vuvorozo: COMMAND: warning: <text>" on standard error, unless
// quiet.
void PrintWarning(std::string_view text);
// Prints a result line on standard output, unless quiet.
void PrintResult(std::string_view line);
// Prints a line on standard output with -v only.
void PrintDetail(std::string_view line);
// From now on results and details go to standard error: standard output
// carries data (a tar stream).
void ResultsToStandardError();

// Standard output becomes a stream that keeps the reason its first write
// failed: called once, before anything is printed.
void CaptureStandardOutput();
// Flushes and closes standard output. false with *reason when anything
// written to it since CaptureStandardOutput was lost (a full disk, a closed
// pipe, a failed close), so that such a run is never reported as success.
bool CloseStandardOutput(std::string* reason);

// Appends a line to the debug log ($VUVOROZO_DEBUG_LOG), when one is named.
void DebugLog(std::string_view line);

// The text of errno, as strerror gives it.
std::string SystemError();
std::string SystemError(int error);

// Columns a text takes on a terminal: UTF-8 characters by their display
// width (two for wide characters, none for combining ones), anything else
// one column a byte.
size_t DisplayWidth(std::string_view text);

// A table of cells printed with each column padded to its widest cell by
// display width. Cells are printed as given: callers pass them through
// Printable.
class Table {
 public:
  explicit Table(std::vector<std::string> headings);
  // right: the columns (by index) aligned to the right, as numbers are.
  void AlignRight(size_t column) { right_.push_back(column); }
  void Add(std::vector<std::string> row);
  // Prints the headings and rows, trailing blanks removed.
  void Print() const;

  // A table too long to hold, in two passes: every row measured, then
  // the headings printed and each row printed as it comes again.
  void Measure(const std::vector<std::string>& row);
  void PrintHeadings() const { PrintRow(rows_.front()); }
  void PrintRow(const std::vector<std::string>& row) const;

 private:
  std::vector<std::vector<std::string>> rows_;
  std::vector<size_t> right_;
  std::vector<size_t> widths_;  // of every row added or measured
};

// A JSON string: UTF-8 characters as they are, quotes, backslashes and
// control characters escaped, a byte that is not UTF-8 as U+FFFD, so that
// the output is always valid JSON.
std::string JsonString(std::string_view text);

// A time in microseconds since the epoch as local "YYYY-MM-DD HH:MM" for
// tables, and as UTF "YYYY-MM-DDTHH:MM:SS.ffffffZ" for JSON.
std::string TableTime(int64_t micros);
std::string JsonTime(int64_t micros);

// Progress of a command that moves files or entries, drawn on standard
// error when it is a terminal and the user did not ask for quiet: files
// done of the total, bytes moved and the rate, redrawn at most ten times a
// second and while one large entry moves. Nothing at all otherwise.
class Progress {
 public:
  // Starts a display for what (e.g. "import") of total_items (0: unknown).
  static void Begin(std::string_view what, int64_t total_items);
  static void ItemDone();
  // More items to come than Begin said.
  static void AddTotal(int64_t items);
  static void AddBytes(int64_t bytes);
  // Clears the line; the display is over.
  static void End();
  // Clears the line for a message; the next update draws it again.
  static void Clear();
  // The display is drawn at all (standard error is a terminal, not quiet).
  static bool Shown();
};

// Near misses: the candidate closest to word (by edits, a swap of two
// neighbours counting one), when it is close enough to be a likely typing
// slip; empty otherwise. Compared without regard to case.
std::string Closest(std::string_view word,
                    const std::vector<std::string>& candidates);
// " (did you mean 'X'?)" for the closest candidate, or "".
std::string DidYouMean(std::string_view word,
                       const std::vector<std::string>& candidates);

}  // namespace cli

#endif  // VUVOROZO_CLI_REPORT_H_
