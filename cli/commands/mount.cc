// vuvorozo mount MOUNTPOINT [-f] [-o OPTIONS]: the catalogs of the data
// folder as folders that every tool can use (cli/mount/), until unmounted.
// ro is the program's own option; the others go to libfuse.

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/mount/operations.h"
#include "cli/mount/tree.h"
#include "cli/option_text.h"
#include "cli/report.h"

namespace cli {
namespace {

// A mount point as /proc/self/mountinfo writes it: blank, tab, newline and
// backslash as three octal digits after a backslash.
std::string Unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() &&
        text.find_first_not_of("01234567", i + 1) > i + 3) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Whether something is mounted on path (a path from the root): a second
// mount there would hide the first, which would go on serving no one.
bool IsMountPoint(const std::string& path) {
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    if (fields >> id >> parent >> device >> root >> point &&
        Unescaped(point) == path) {
      return true;
    }
  }
  return false;
}

int RunMount(Session& session, const Words& words, const Settings& settings) {
  if (words.size() != 1) {
    return UsageError(words.empty()
                          ? "a mount point is needed"
                          : "one mount point is needed, not " + words[1]);
  }
  std::string mountpoint = words[0];
  bool foreground = settings.foreground;
  bool read_only = false;
  // ro is the program's own; any other option goes to libfuse.
  std::vector<std::string> options;
  for (const std::string& list : settings.mount_options) {
    size_t start = 0;
    while (start <= list.size()) {
      size_t comma = list.find(',', start);
      if (comma == std::string::npos) comma = list.size();
      std::string option = list.substr(start, comma - start);
      if (option == "ro") {
        read_only = true;
      } else if (option != "rw" && !option.empty()) {
        options.push_back(option);
      }
      start = comma + 1;
    }
  }
  // From the root: the mount leaves its working folder when it starts,
  // and unmounts by this path.
  char* real = realpath(mountpoint.c_str(), nullptr);
  struct stat st;
  if (real == nullptr || stat(real, &st) != 0) {
    int error = errno;
    std::free(real);
    // A mount whose program ended without an unmount answers so.
    PrintError(Printable(mountpoint) + ": " + SystemError(error) +
               (error == ENOTCONN ? " (a mount that ended without being "
                                    "unmounted: fusermount3 -u it)"
                                  : ""));
    return kExitFailed;
  }
  mountpoint = real;
  std::free(real);
  if (!S_ISDIR(st.st_mode)) {
    PrintError(Printable(mountpoint) + ": not a folder");
    return kExitFailed;
  }
  if (IsMountPoint(mountpoint)) {
    PrintError(Printable(mountpoint) +
               ": already a mount point; unmount it first (fusermount3 -u "
               "or umount)");
    return kExitFailed;
  }

  MountTree tree(session, read_only);
  return ServeMount(tree, mountpoint, options, read_only, foreground);
}

constexpr Flag kMountFlags[] = {
    LevelFlag(),
    {"--foreground", 'f', nullptr,
     "stay in the foreground, the log on standard error",
     [](Settings& s, const std::string&) { s.foreground = true; }},
    {"--options", 'o', "OPTS",
     "ro (read only), or options for libfuse, comma-separated",
     [](Settings& s, const std::string& v) { s.mount_options.push_back(v); }},
};

}  // namespace

const Command kMountCommand = {
    .name = "mount",
    .usage = "mount MOUNTPOINT [-f] [-o ro] [--level N]",
    .summary = "the catalogs as folders every tool can use, until unmounted",
    .flags = kMountFlags,
    .arguments = {.words = {Word::kFolder}},
    .use = StoreUse::kCreate,
    .help = R"(
Shows the catalogs of the data folder as folders, MOUNTPOINT/LIBREF/CATALOG,
librefs and catalogs in lower case, until it is unmounted (fusermount3 -u
MOUNTPOINT, or SIGINT, SIGTERM or SIGHUP). Each entry is a file under the name,
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
  -o OPTS              libfuse's mount options (allow_other,
                       default_permissions, auto_unmount, ...)
)",
    .run = RunMount,
};

}  // namespace cli
