// The catalogs mounted through libfuse 3: the operations hand each call
// to the MountTree; libfuse runs them one at a time in this thread, so the
// module is never entered twice at once. Without foreground the program
// detaches once the mount stands, as mount programs do, and its log goes to
// syslog; fusermount3 -u, SIGINT, SIGTERM and SIGHUP unmount it.

#define FUSE_USE_VERSION 31

#include "cli/mount/operations.h"

#include <fuse.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>

#include "cli/files/spill.h"
#include "cli/reasons.h"
#include "cli/report.h"

namespace cli {
namespace {

// The largest read or write the kernel sends in one request.
constexpr unsigned kTransferBytes = 1 << 20;

MountTree& Tree() {
  return *static_cast<MountTree*>(fuse_get_context()->private_data);
}

// The path of a call; empty for a call on an open file whose name is gone
// (removed, or replaced by a rename), which the handle then names.
std::string PathOf(const char* path) { return path != nullptr ? path : ""; }

uint64_t HandleOf(const fuse_file_info* fi) {
  return fi == nullptr ? 0 : fi->fh;
}

// Runs one operation so that nothing thrown crosses into libfuse.
template <typename Operation>
int Guard(Operation operation) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  } catch (const SpillError& e) {
    // What a view sets aside did not fit in the temporary folder: said as
    // it is, and the call fails.
    PrintError(e.what());
  } catch (const std::exception& e) {
    PrintError(std::string("internal error: ") + e.what());
  } catch (...) {
    PrintError("internal error");
  }
  return -EIO;
}

int GetAttributes(const char* path, struct stat* st, fuse_file_info* fi) {
  return Guard(
      [&] { return Tree().GetAttributes(PathOf(path), HandleOf(fi), st); });
}

// An open folder: its path (the listing's own calls may come without one)
// and its names, read from the tree as the kernel asks for them: the
// index of the name read next, and one read that did not fit in the last
// reply.
struct OpenedFolder {
  std::string path;
  std::unique_ptr<FolderReader> reader;
  size_t next = 0;
  std::optional<TreeItem> held;
};

OpenedFolder* FolderOf(fuse_file_info* fi) {
  return reinterpret_cast<OpenedFolder*>(static_cast<uintptr_t>(fi->fh));
}

int OpenFolder(const char* path, fuse_file_info* fi) {
  return Guard([&] {
    auto folder = std::make_unique<OpenedFolder>();
    folder->path = path;
    fi->fh = reinterpret_cast<uintptr_t>(folder.release());
    return 0;
  });
}

int ReleaseFolder(const char*, fuse_file_info* fi) {
  delete FolderOf(fi);
  return 0;
}

// Offsets: 1 and 2 for "." and "..", then 3 on for the names, in the order
// the reader gives them; an offset behind the one read next reads the
// folder again from its start. The attributes go with each name, so that a
// listing with sizes (ls -l) needs no lookup of each name.
int ReadFolder(const char*, void* buffer, fuse_fill_dir_t fill, off_t offset,
               fuse_file_info* fi, fuse_readdir_flags) {
  return Guard([&] {
    OpenedFolder& folder = *FolderOf(fi);
    size_t wanted = offset > 2 ? static_cast<size_t>(offset - 2) : 0;
    if (!folder.reader || offset == 0 || wanted < folder.next) {
      folder.reader.reset();
      folder.held.reset();
      folder.next = 0;
      int error = Tree().OpenFolder(folder.path, &folder.reader);
      if (error != 0) return error;
    }
    auto plain = static_cast<fuse_fill_dir_flags>(0);
    if (offset < 1 && fill(buffer, ".", nullptr, 1, plain) != 0) return 0;
    if (offset < 2 && fill(buffer, "..", nullptr, 2, plain) != 0) return 0;
    while (true) {
      if (!folder.held) {
        TreeItem item;
        int got = folder.reader->Next(&item);
        if (got < 0) return got;
        if (got == 0) return 0;
        folder.held = std::move(item);
      }
      if (folder.next < wanted) {
        // Behind the offset asked for: given in an earlier reply.
        folder.held.reset();
        ++folder.next;
        continue;
      }
      if (fill(buffer, folder.held->name.c_str(), &folder.held->attributes,
               static_cast<off_t>(folder.next) + 3, FUSE_FILL_DIR_PLUS) != 0) {
        return 0;  // the reply is full: the name goes first in the next
      }
      folder.held.reset();
      ++folder.next;
    }
  });
}

int MakeFolder(const char* path, mode_t mode) {
  return Guard([&] { return Tree().MakeFolder(path, mode); });
}

int RemoveFolder(const char* path) {
  return Guard([&] { return Tree().RemoveFolder(path); });
}

int Remove(const char* path) {
  return Guard([&] { return Tree().Remove(path); });
}

int Rename(const char* from, const char* to, unsigned int flags) {
  return Guard([&] { return Tree().Rename(from, to, flags); });
}

int ChangeMode(const char* path, mode_t mode, fuse_file_info* fi) {
  return Guard(
      [&] { return Tree().ChangeMode(PathOf(path), HandleOf(fi), mode); });
}

int ChangeOwner(const char* path, uid_t uid, gid_t gid, fuse_file_info*) {
  return Guard([&] { return Tree().ChangeOwner(PathOf(path), uid, gid); });
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  return Guard(
      [&] { return Tree().Truncate(PathOf(path), HandleOf(fi), size); });
}

int SetTimes(const char* path, const struct timespec times[2],
             fuse_file_info* fi) {
  return Guard(
      [&] { return Tree().SetTimes(PathOf(path), HandleOf(fi), times); });
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  return Guard([&] { return Tree().Create(path, mode, fi->flags, &fi->fh); });
}

int Open(const char* path, fuse_file_info* fi) {
  // The close of a file only read has nothing to commit.
  if ((fi->flags & O_ACCMODE) == O_RDONLY && (fi->flags & O_TRUNC) == 0) {
    fi->noflush = 1;
  }
  return Guard([&] { return Tree().Open(path, fi->flags, &fi->fh); });
}

int Read(const char*, char* data, size_t size, off_t offset,
         fuse_file_info* fi) {
  return Guard([&] { return Tree().Read(fi->fh, data, size, offset); });
}

int Write(const char*, const char* data, size_t size, off_t offset,
          fuse_file_info* fi) {
  return Guard([&] { return Tree().Write(fi->fh, data, size, offset); });
}

int Flush(const char*, fuse_file_info* fi) {
  return Guard([&] { return Tree().Flush(fi->fh); });
}

int Release(const char*, fuse_file_info* fi) {
  return Guard([&] { return Tree().Release(fi->fh); });
}

// fsync commits what was written, as a close does.
int Sync(const char*, int, fuse_file_info* fi) {
  return Guard([&] { return Tree().Flush(fi->fh); });
}

int FolderStatistics(const char*, struct statvfs* st) {
  return Guard([&] { return Tree().Statistics(st); });
}

// Nodes a catalog cannot keep.
int MakeNode(const char* path, mode_t, dev_t) {
  PrintError(std::string(path) + ": " + TextOf(Reason::kNotRegularFile));
  return -ErrnoOf(Reason::kNotRegularFile);
}
int MakeLink(const char*, const char* path) { return MakeNode(path, 0, 0); }

void* Start(fuse_conn_info* connection, fuse_config* config) {
  // Attributes are not cached by the kernel: another process may change a
  // catalog at any time, and a stat or an open must show it. A name found
  // stands for a second (its attributes are still asked for each time); a
  // name not found is looked up again.
  config->attr_timeout = 0;
  config->entry_timeout = 1;
  config->negative_timeout = 0;
  config->use_ino = 0;
  // A file removed or renamed over while open goes at once; the calls on
  // its open handles still come, without a path.
  config->hard_remove = 1;
  config->nullpath_ok = 1;
  // An open that truncates comes as one call, so the old content stays
  // until the new is committed.
  if ((connection->capable & FUSE_CAP_ATOMIC_O_TRUNC) != 0) {
    connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
  }
  // An open reads the version it found to its end, and the kernel drops
  // what it cached of a file at each open: no stat before every read.
  connection->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
  // Large transfers: fewer round trips for a copy in or out.
  connection->max_write = kTransferBytes;
  connection->max_readahead = kTransferBytes;
  return fuse_get_context()->private_data;
}

fuse_operations Operations() {
  fuse_operations o = {};
  o.getattr = GetAttributes;
  o.mknod = MakeNode;
  o.mkdir = MakeFolder;
  o.unlink = Remove;
  o.rmdir = RemoveFolder;
  o.symlink = MakeLink;
  o.rename = Rename;
  o.link = MakeLink;
  o.chmod = ChangeMode;
  o.chown = ChangeOwner;
  o.truncate = Truncate;
  o.open = Open;
  o.read = Read;
  o.write = Write;
  o.statfs = FolderStatistics;
  o.flush = Flush;
  o.release = Release;
  o.fsync = Sync;
  o.opendir = OpenFolder;
  o.readdir = ReadFolder;
  o.releasedir = ReleaseFolder;
  o.init = Start;
  o.create = Create;
  o.utimens = SetTimes;
  return o;
}

// Standard error of a detached mount: each line to syslog.
ssize_t LogWrite(void*, const char* data, size_t size) {
  size_t length = size;
  while (length > 0 && data[length - 1] == '\n') --length;
  if (length > 0) {
    syslog(LOG_ERR, "%.*s", static_cast<int>(length), data);
  }
  return static_cast<ssize_t>(size);
}

void LogToSyslog() {
  openlog("vuvorozo", LOG_PID, LOG_DAEMON);
  cookie_io_functions_t functions = {nullptr, LogWrite, nullptr, nullptr};
  FILE* log = fopencookie(nullptr, "w", functions);
  if (log == nullptr) return;
  setvbuf(log, nullptr, _IOLBF, 0);
  stderr = log;
}

}  // namespace

int ServeMount(MountTree& tree, const std::string& mountpoint,
               const std::vector<std::string>& fuse_options, bool read_only,
               bool foreground) {
  std::vector<std::string> arguments = {"vuvorozo", "-o",
                                        "fsname=vuvorozo,subtype=vuvorozo"};
  if (read_only) arguments.insert(arguments.end(), {"-o", "ro"});
  for (const std::string& option : fuse_options) {
    arguments.insert(arguments.end(), {"-o", option});
  }
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());

  fuse_operations operations = Operations();
  fuse* fs = fuse_new(&args, &operations, sizeof operations, &tree);
  fuse_opt_free_args(&args);  // what libfuse added to them
  if (fs == nullptr) {
    PrintError("the options were not taken (see above)");
    return kExitUsage;
  }
  if (fuse_mount(fs, mountpoint.c_str()) != 0) {
    fuse_destroy(fs);
    PrintError("cannot mount on " + mountpoint);
    return kExitFailed;
  }
  if (fuse_daemonize(foreground ? 1 : 0) != 0) {
    fuse_unmount(fs);
    fuse_destroy(fs);
    return kExitFailed;
  }
  if (!foreground) LogToSyslog();
  fuse_session* se = fuse_get_session(fs);
  int status = fuse_set_signal_handlers(se);
  if (status == 0) {
    status = fuse_loop(fs);
    fuse_remove_signal_handlers(se);
  }
  tree.Shutdown();
  fuse_unmount(fs);
  fuse_destroy(fs);
  // The loop answers the number of a signal that ended it: an unmount as
  // asked for.
  return status >= 0 ? kExitOk : kExitFailed;
}

}  // namespace cli
