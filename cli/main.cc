// vuvorozo: the command-line program. It loads the access-method module
// into the reference host, over a catalog store kept in a data folder, and
// drives the module's routine vector the way a host does: it assigns
// filerefs, hands the user's options to the module's option parser, opens
// entries and catalogs, moves records, and deassigns and closes what it
// took. Records go to standard output, messages to standard error.
//
// Each command is declared once, in its file of commands/, and listed in
// the table (command_table.h) that help, flag parsing and completion read.

#include <sqlite3.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_support.h"
#include "cli/command_table.h"
#include "cli/completion.h"
#include "cli/files/spill.h"
#include "cli/option_text.h"
#include "cli/report.h"
#include "cli/session.h"

namespace cli {
namespace {

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

// Overwrites text in place with its masked form, cut to its length, the
// rest NUL: what another user's ps reads of the process no longer holds the
// password. Returns whether there was one.
bool Hide(char* text) {
  std::string masked = refhost::MaskPassword(text);
  size_t length = std::strlen(text);
  if (masked == text) return false;
  std::memset(text, 0, length);
  std::memcpy(text, masked.data(), std::min(length, masked.size()));
  return true;
}

// A password in the store's URL, given by --store or $VUVOROZO_STORE, is
// taken from the arguments and the environment the process shows, as
// database clients do; the program keeps its own copy (the arguments are
// copied before, the variable set again). Said once, as the window before
// this and the shell's history remain.
void HidePasswords(int argc, char** argv) {
  bool hidden = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    bool store = word == "--store" || word.starts_with("--store=");
    bool value = i > 1 && std::string_view(argv[i - 1]) == "--store";
    if (store || value) hidden = Hide(argv[i]) || hidden;
  }
  if (char* shown = std::getenv("VUVOROZO_STORE")) {
    std::string url = shown;
    if (refhost::MaskPassword(url) != url &&
        setenv("VUVOROZO_STORE", url.c_str(), 1) == 0) {
      hidden = Hide(shown) || hidden;
    }
  }
  if (hidden) {
    PrintWarning(
        "a password in the store's URL can be seen by others (in the "
        "process list as the program starts, in the shell's history); "
        "~/.pgpass or $PGPASSWORD keep it private");
  }
}

int Main(int argc, char** argv) {
  // The shell's completion asks the program (completion.h); the word is
  // not in help, as it is no flag of a user's.
  if (argc > 1 && std::string_view(argv[1]) == "--complete") {
    return Complete(std::vector<std::string>(argv + 2, argv + argc));
  }
  CommandLine parsed =
      ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  Settings& settings = parsed.settings;
  SetVerbosity(settings.verbosity);
  HidePasswords(argc, argv);
  std::vector<std::string>& words = parsed.words;

  if (parsed.Given("--version") && parsed.error.empty()) {
    return PrintVersion(settings);
  }
  bool help = parsed.Given("--help");
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
  std::string stray = StrayFlags(parsed, *command);
  if (!stray.empty()) {
    return UsageError(stray + ": " + command->name + " takes no such flag");
  }
  if (parsed.Given("--quiet") && parsed.Given("--verbose")) {
    return UsageError("--verbose and --quiet: give one");
  }
  if (parsed.Given("--store") && parsed.Given("--data")) {
    return UsageError("--store and --data: give one");
  }
  if (parsed.Given("--level")) {
    const std::string& n = settings.level;
    if (n.empty() || n.size() > 2 ||
        n.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(n) < 1 || std::stoi(n) > 19) {
      return UsageError(
          "--level takes a number from 1 (fastest) to 19 "
          "(smallest), not " +
          Printable(n));
    }
    settings.compression_level = std::stoi(n);
  }

  std::string error;
  std::unique_ptr<Session> session =
      Session::Start(settings, command->use, &error);
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
  } catch (const SpillError& e) {
    PrintError(std::string(e.what()) +
               "; nothing that was being written was kept");
  } catch (const std::exception& e) {
    PrintError(std::string("internal error: ") + e.what());
  } catch (...) {
    PrintError("internal error");
  }
  return kExitFailed;
}

// Runs the program and then closes its standard output: whatever did not
// reach it (a full disk, a pipe closed early, a failed close) fails the
// run, whatever the command said of itself.
int Run(int argc, char** argv) {
  CaptureStandardOutput();
  int code = Guarded(argc, argv);
  std::string reason;
  if (!CloseStandardOutput(&reason)) {
    PrintError("standard output: " + reason);
    if (code == kExitOk || code == kExitTruncated) code = kExitFailed;
  }
  return code;
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) { return cli::Run(argc, argv); }
