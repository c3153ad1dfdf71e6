// The catalogs mounted through libfuse 3's low-level calls: each call
// names its file by a node of the NodeTable, whose path goes to the
// MountTree; libfuse runs the calls one at a time in this thread, so the
// module is never entered twice at once. Without foreground the program
// detaches once the mount stands, as mount programs do, and its log goes to
// syslog; fusermount3 -u, SIGINT, SIGTERM and SIGHUP unmount it.

#define FUSE_USE_VERSION 34

#include "cli/mount/operations.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
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
#include "cli/mount/nodes.h"
#include "cli/reasons.h"
#include "cli/report.h"

namespace cli {
namespace {

// The largest read or write the kernel sends in one request.
constexpr unsigned kTransferBytes = 1 << 20;
// The answer for a node whose name is gone (removed, or replaced by a
// rename), or a name in a folder whose name is gone.
constexpr int kNameGone = ESTALE;
// The inode number a listing gives where it does not say.
constexpr ino_t kUnknownInode = 0xFFFFFFFF;

// What the calls share: the tree, the names the kernel holds, and the
// buffer reads go through.
struct Mount {
  MountTree& tree;
  NodeTable nodes;
  std::vector<char> buffer;
};

Mount& MountOf(fuse_req_t req) {
  return *static_cast<Mount*>(fuse_req_userdata(req));
}

// Runs one operation so that nothing thrown crosses into libfuse: its
// result, or a negative errno.
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

// Answers a call whose result is 0 or a negative errno.
void ReplyStatus(fuse_req_t req, int result) {
  fuse_reply_err(req, result < 0 ? -result : 0);
}

// Serves one call: work answers it and returns 0, or returns a negative
// errno (or throws) without answering, and the call fails with it.
template <typename Work>
void Serve(fuse_req_t req, Work work) {
  if (int error = Guard(work); error != 0) ReplyStatus(req, error);
}

uint64_t HandleOf(const fuse_file_info* fi) {
  return fi == nullptr ? 0 : fi->fh;
}

// Attributes are not cached by the kernel: another process may change a
// catalog at any time, and a stat or an open must show it. A name found
// stands for a second (its attributes are still asked for each time); a
// name not found is looked up again.
constexpr double kAttributesLast = 0;
constexpr double kNameLasts = 1;

fuse_entry_param EntryOf(uint64_t node, const struct stat& st) {
  fuse_entry_param e = {};
  e.ino = node;
  e.attr = st;
  e.attr.st_ino = node;
  e.attr_timeout = kAttributesLast;
  e.entry_timeout = kNameLasts;
  return e;
}

// The node of name in folder, now at path, with its attributes as the
// kernel is given it; handle, when not 0, is the file the name was opened
// as.
int FoundAt(Mount& m, fuse_ino_t folder, const char* name,
            const std::string& path, uint64_t handle, fuse_entry_param* e) {
  struct stat st;
  if (int error = m.tree.GetAttributes(path, handle, &st); error != 0) {
    return error;
  }
  uint64_t node = m.nodes.Remember(folder, name);
  if (node == 0) return -kNameGone;
  *e = EntryOf(node, st);
  return 0;
}

// Answers with the entry of name in folder, at path.
int ReplyFound(fuse_req_t req, fuse_ino_t folder, const char* name,
               const std::string& path) {
  Mount& m = MountOf(req);
  fuse_entry_param e;
  if (int error = FoundAt(m, folder, name, path, 0, &e); error != 0) {
    return error;
  }
  if (fuse_reply_entry(req, &e) == -ENOENT) {
    m.nodes.Forget(e.ino, 1);  // the call was interrupted: never given
  }
  return 0;
}

// The path of name in folder, or "" when the folder's name is gone.
std::string PathIn(fuse_req_t req, fuse_ino_t folder, const char* name) {
  return MountOf(req).nodes.PathIn(folder, name);
}

// The path of a node, which a call on an open file whose name is gone
// (removed, or replaced by a rename) does without: the handle then names
// it.
std::string PathOf(fuse_req_t req, fuse_ino_t node) {
  return MountOf(req).nodes.PathOf(node);
}

void Lookup(fuse_req_t req, fuse_ino_t folder, const char* name) {
  Serve(req, [&] {
    std::string path = PathIn(req, folder, name);
    if (path.empty()) return -kNameGone;
    return ReplyFound(req, folder, name, path);
  });
}

void Forget(fuse_req_t req, fuse_ino_t node, uint64_t count) {
  MountOf(req).nodes.Forget(node, count);
  fuse_reply_none(req);
}

void ForgetMany(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  NodeTable& nodes = MountOf(req).nodes;
  for (size_t i = 0; i < count; ++i) {
    nodes.Forget(forgets[i].ino, forgets[i].nlookup);
  }
  fuse_reply_none(req);
}

int ReplyAttributes(fuse_req_t req, fuse_ino_t node, const std::string& path,
                    uint64_t handle) {
  if (path.empty() && handle == 0) return -kNameGone;
  struct stat st;
  if (int error = MountOf(req).tree.GetAttributes(path, handle, &st);
      error != 0) {
    return error;
  }
  st.st_ino = node;
  fuse_reply_attr(req, &st, kAttributesLast);
  return 0;
}

void GetAttributes(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi) {
  Serve(req, [&] {
    return ReplyAttributes(req, node, PathOf(req, node), HandleOf(fi));
  });
}

// chmod, chown, truncate and utimens: what the kernel sends in one call,
// done in that order.
int ChangeAttributes(MountTree& tree, const std::string& path, uint64_t handle,
                     const struct stat& attr, int to_set) {
  auto set = [&](int which) { return (to_set & which) != 0; };
  if (set(FUSE_SET_ATTR_MODE)) {
    if (int e = tree.ChangeMode(path, handle, attr.st_mode); e != 0) {
      return e;
    }
  }
  if (set(FUSE_SET_ATTR_UID) || set(FUSE_SET_ATTR_GID)) {
    uid_t uid = set(FUSE_SET_ATTR_UID) ? attr.st_uid : static_cast<uid_t>(-1);
    gid_t gid = set(FUSE_SET_ATTR_GID) ? attr.st_gid : static_cast<gid_t>(-1);
    if (int e = tree.ChangeOwner(path, uid, gid); e != 0) return e;
  }
  if (set(FUSE_SET_ATTR_SIZE)) {
    if (int e = tree.Truncate(path, handle, attr.st_size); e != 0) return e;
  }
  if (set(FUSE_SET_ATTR_ATIME) || set(FUSE_SET_ATTR_MTIME)) {
    auto time_of = [&](int given, int now, const struct timespec& time) {
      if (set(now)) return timespec{0, UTIME_NOW};
      return set(given) ? time : timespec{0, UTIME_OMIT};
    };
    struct timespec times[2] = {
        time_of(FUSE_SET_ATTR_ATIME, FUSE_SET_ATTR_ATIME_NOW, attr.st_atim),
        time_of(FUSE_SET_ATTR_MTIME, FUSE_SET_ATTR_MTIME_NOW, attr.st_mtim)};
    if (int e = tree.SetTimes(path, handle, times); e != 0) return e;
  }
  return 0;
}

void SetAttributes(fuse_req_t req, fuse_ino_t node, struct stat* attr,
                   int to_set, fuse_file_info* fi) {
  Serve(req, [&] {
    std::string path = PathOf(req, node);
    uint64_t handle = HandleOf(fi);
    if (path.empty() && handle == 0) return -kNameGone;
    int error =
        ChangeAttributes(MountOf(req).tree, path, handle, *attr, to_set);
    return error != 0 ? error : ReplyAttributes(req, node, path, handle);
  });
}

// Nodes a catalog cannot keep.
void Refuse(fuse_req_t req, fuse_ino_t folder, const char* name) {
  Serve(req, [&] {
    std::string path = PathIn(req, folder, name);
    PrintError((path.empty() ? std::string(name) : path) + ": " +
               TextOf(Reason::kNotRegularFile));
    return -ErrnoOf(Reason::kNotRegularFile);
  });
}
void MakeNode(fuse_req_t req, fuse_ino_t folder, const char* name, mode_t,
              dev_t) {
  Refuse(req, folder, name);
}
void MakeSymbolicLink(fuse_req_t req, const char*, fuse_ino_t folder,
                      const char* name) {
  Refuse(req, folder, name);
}
void MakeLink(fuse_req_t req, fuse_ino_t, fuse_ino_t folder, const char* name) {
  Refuse(req, folder, name);
}

void MakeFolder(fuse_req_t req, fuse_ino_t folder, const char* name,
                mode_t mode) {
  Serve(req, [&] {
    std::string path = PathIn(req, folder, name);
    if (path.empty()) return -kNameGone;
    int error = MountOf(req).tree.MakeFolder(path, mode);
    return error != 0 ? error : ReplyFound(req, folder, name, path);
  });
}

// rm and rmdir: the node stays, without a name, until forgotten.
template <int (MountTree::*Removal)(const std::string&)>
void RemoveName(fuse_req_t req, fuse_ino_t folder, const char* name) {
  Serve(req, [&] {
    Mount& m = MountOf(req);
    std::string path = PathIn(req, folder, name);
    if (path.empty()) return -kNameGone;
    if (int error = (m.tree.*Removal)(path); error != 0) return error;
    m.nodes.Unname(folder, name);
    fuse_reply_err(req, 0);
    return 0;
  });
}

void Rename(fuse_req_t req, fuse_ino_t folder, const char* name,
            fuse_ino_t to_folder, const char* to_name, unsigned int flags) {
  Serve(req, [&] {
    Mount& m = MountOf(req);
    std::string from = PathIn(req, folder, name);
    std::string to = PathIn(req, to_folder, to_name);
    if (from.empty() || to.empty()) return -kNameGone;
    if (int error = m.tree.Rename(from, to, flags); error != 0) return error;
    // Done: what the table cannot keep (no memory for the new name) only
    // leaves the node without a name.
    Guard([&] {
      m.nodes.Rename(folder, name, to_folder, to_name);
      return 0;
    });
    fuse_reply_err(req, 0);
    return 0;
  });
}

void Create(fuse_req_t req, fuse_ino_t folder, const char* name, mode_t mode,
            fuse_file_info* fi) {
  Serve(req, [&] {
    Mount& m = MountOf(req);
    std::string path = PathIn(req, folder, name);
    if (path.empty()) return -kNameGone;
    if (int error = m.tree.Create(path, mode, fi->flags, &fi->fh); error != 0) {
      return error;
    }
    fuse_entry_param e;
    int error =
        Guard([&] { return FoundAt(m, folder, name, path, fi->fh, &e); });
    if (error != 0) {
      Guard([&] { return m.tree.Release(fi->fh); });
      return error;
    }
    if (fuse_reply_create(req, &e, fi) == -ENOENT) {
      // The open was interrupted: the file it made is closed again.
      Guard([&] { return m.tree.Release(fi->fh); });
      m.nodes.Forget(e.ino, 1);
    }
    return 0;
  });
}

void Open(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi) {
  Serve(req, [&] {
    Mount& m = MountOf(req);
    std::string path = PathOf(req, node);
    if (path.empty()) return -kNameGone;
    // The close of a file only read has nothing to commit.
    if ((fi->flags & O_ACCMODE) == O_RDONLY && (fi->flags & O_TRUNC) == 0) {
      fi->noflush = 1;
    }
    if (int error = m.tree.Open(path, fi->flags, &fi->fh); error != 0) {
      return error;
    }
    if (fuse_reply_open(req, fi) == -ENOENT) {
      Guard([&] { return m.tree.Release(fi->fh); });  // interrupted
    }
    return 0;
  });
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset,
          fuse_file_info* fi) {
  Serve(req, [&] {
    Mount& m = MountOf(req);
    if (m.buffer.size() < size) m.buffer.resize(size);
    int n = m.tree.Read(fi->fh, m.buffer.data(), size, offset);
    if (n < 0) return n;
    fuse_reply_buf(req, m.buffer.data(), static_cast<size_t>(n));
    return 0;
  });
}

void Write(fuse_req_t req, fuse_ino_t, const char* data, size_t size,
           off_t offset, fuse_file_info* fi) {
  Serve(req, [&] {
    int n = MountOf(req).tree.Write(fi->fh, data, size, offset);
    if (n < 0) return n;
    fuse_reply_write(req, static_cast<size_t>(n));
    return 0;
  });
}

void Flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  ReplyStatus(req, Guard([&] { return MountOf(req).tree.Flush(fi->fh); }));
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  ReplyStatus(req, Guard([&] { return MountOf(req).tree.Release(fi->fh); }));
}

// fsync commits what was written, as a close does.
void Sync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi) {
  ReplyStatus(req, Guard([&] { return MountOf(req).tree.Flush(fi->fh); }));
}

// An open folder: its path, taken at the open (the node's name may go
// while it is read), and its names, read from the tree as the kernel asks
// for them: the index of the name read next, and one read that did not
// fit in the last reply.
struct OpenedFolder {
  std::string path;
  std::unique_ptr<FolderReader> reader;
  size_t next = 0;
  std::optional<TreeItem> held;
};

OpenedFolder* FolderOf(fuse_file_info* fi) {
  return reinterpret_cast<OpenedFolder*>(static_cast<uintptr_t>(fi->fh));
}

void OpenFolder(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi) {
  Serve(req, [&] {
    std::string path = PathOf(req, node);
    if (path.empty()) return -kNameGone;
    auto folder = std::make_unique<OpenedFolder>();
    folder->path = std::move(path);
    fi->fh = reinterpret_cast<uintptr_t>(folder.get());
    // The folder is the kernel's until it releases it, unless the open
    // was interrupted.
    if (fuse_reply_open(req, fi) != -ENOENT) (void)folder.release();
    return 0;
  });
}

void ReleaseFolder(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  delete FolderOf(fi);
  fuse_reply_err(req, 0);
}

// Offsets: 1 and 2 for "." and "..", then 3 on for the names, in the order
// the reader gives them; an offset behind the one read next reads the
// folder again from its start. With plus (ls -l), the attributes go with
// each name, which the kernel then holds as a lookup of it: no lookup of
// each name follows.
void ReadFolder(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset,
                fuse_file_info* fi, bool plus) {
  Mount& m = MountOf(req);
  OpenedFolder& folder = *FolderOf(fi);
  std::vector<char>& out = m.buffer;
  size_t used = 0;
  // Adds one name if it fits: false when the reply is full.
  auto add = [&](const char* name, const struct stat* st, off_t next) {
    struct stat listed = {};
    listed.st_ino = kUnknownInode;
    if (!plus) {
      if (st != nullptr) listed.st_mode = st->st_mode;
      size_t need = fuse_add_direntry(req, nullptr, 0, name, nullptr, 0);
      if (used + need > size) return false;
      fuse_add_direntry(req, out.data() + used, size - used, name, &listed,
                        next);
      used += need;
      return true;
    }
    size_t need = fuse_add_direntry_plus(req, nullptr, 0, name, nullptr, 0);
    if (used + need > size) return false;
    fuse_entry_param e = {};
    e.attr = listed;
    if (st != nullptr) {
      // Not "." or "..": given as a lookup of the name.
      uint64_t given = m.nodes.Remember(node, name);
      if (given != 0) e = EntryOf(given, *st);
    }
    fuse_add_direntry_plus(req, out.data() + used, size - used, name, &e, next);
    used += need;
    return true;
  };
  int error = Guard([&] {
    if (out.size() < size) out.resize(size);
    size_t wanted = offset > 2 ? static_cast<size_t>(offset - 2) : 0;
    if (!folder.reader || offset == 0 || wanted < folder.next) {
      folder.reader.reset();
      folder.held.reset();
      folder.next = 0;
      int e = m.tree.OpenFolder(folder.path, &folder.reader);
      if (e != 0) return e;
    }
    if (offset < 1 && !add(".", nullptr, 1)) return 0;
    if (offset < 2 && !add("..", nullptr, 2)) return 0;
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
      if (!add(folder.held->name.c_str(), &folder.held->attributes,
               static_cast<off_t>(folder.next) + 3)) {
        return 0;  // the reply is full: the name goes first in the next
      }
      folder.held.reset();
      ++folder.next;
    }
  });
  // What was added goes even after a failure: its names are held as
  // lookups; the failure comes again at the next read.
  if (error != 0 && used == 0) return ReplyStatus(req, error);
  fuse_reply_buf(req, out.data(), used);
}

void ListFolder(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset,
                fuse_file_info* fi) {
  ReadFolder(req, node, size, offset, fi, false);
}

void ListFolderPlus(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset,
                    fuse_file_info* fi) {
  ReadFolder(req, node, size, offset, fi, true);
}

void FolderStatistics(fuse_req_t req, fuse_ino_t) {
  Serve(req, [&] {
    struct statvfs st;
    if (int error = MountOf(req).tree.Statistics(&st); error != 0) {
      return error;
    }
    fuse_reply_statfs(req, &st);
    return 0;
  });
}

void Start(void*, fuse_conn_info* connection) {
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
}

fuse_lowlevel_ops Operations() {
  fuse_lowlevel_ops o = {};
  o.init = Start;
  o.lookup = Lookup;
  o.forget = Forget;
  o.forget_multi = ForgetMany;
  o.getattr = GetAttributes;
  o.setattr = SetAttributes;
  o.mknod = MakeNode;
  o.mkdir = MakeFolder;
  o.unlink = RemoveName<&MountTree::Remove>;
  o.rmdir = RemoveName<&MountTree::RemoveFolder>;
  o.symlink = MakeSymbolicLink;
  o.rename = Rename;
  o.link = MakeLink;
  o.open = Open;
  o.read = Read;
  o.write = Write;
  o.flush = Flush;
  o.release = Release;
  o.fsync = Sync;
  o.opendir = OpenFolder;
  o.readdir = ListFolder;
  o.readdirplus = ListFolderPlus;
  o.releasedir = ReleaseFolder;
  o.statfs = FolderStatistics;
  o.create = Create;
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

  Mount mount{tree, {}, {}};
  fuse_lowlevel_ops operations = Operations();
  fuse_session* se =
      fuse_session_new(&args, &operations, sizeof operations, &mount);
  fuse_opt_free_args(&args);  // what libfuse added to them
  if (se == nullptr) {
    PrintError("the options were not taken (see above)");
    return kExitUsage;
  }
  if (fuse_session_mount(se, mountpoint.c_str()) != 0) {
    fuse_session_destroy(se);
    PrintError("cannot mount on " + mountpoint);
    return kExitFailed;
  }
  if (fuse_daemonize(foreground ? 1 : 0) != 0) {
    fuse_session_unmount(se);
    fuse_session_destroy(se);
    return kExitFailed;
  }
  if (!foreground) LogToSyslog();
  int status = fuse_set_signal_handlers(se);
  if (status == 0) {
    status = fuse_session_loop(se);
    fuse_remove_signal_handlers(se);
  }
  tree.Shutdown();
  fuse_session_unmount(se);
  fuse_session_destroy(se);
  // The loop answers the number of a signal that ended it: an unmount as
  // asked for.
  return status >= 0 ? kExitOk : kExitFailed;
}

}  // namespace cli
