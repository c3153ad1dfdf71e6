// The catalogs of a data folder as a tree of folders and files, for a
// mount: <libref>/<catalog>/<path>, librefs in lower case, each catalog
// under the folder export -r gives it, and in it the catalog's tree: files
// under the paths, sizes, times and modes export gives them, folders with
// the modes and times their entries keep. Each operation returns 0 (or a
// count) or a negative errno, as the mount's file-system calls do; the
// mount calls them one at a time.
//
// Every entry and catalog operation goes through the module's routine
// vector: a catalog is walked once for a listing (the sizes come from the
// host attributes, so a stat reads no entry), an entry is read through a
// member open, written as one new version at the close of the file that
// wrote it, deleted through slot 32; a folder is an entry of its own,
// written at mkdir. What is written is collected in a temporary file until
// then. Librefs and catalogs are listed from the host's own store. A
// listing is kept until the library's files change, so a change another
// process makes shows at once.
//
// Any file name is taken: the entry is chosen by the one rule of entry
// names (file_names.h), and the file keeps its name. A rename within a
// catalog changes the paths entries keep and no record. What a tree cannot
// hold is refused with an errno and a line in the log: a name over 255
// bytes or a path over 4,096 (ENAMETOOLONG), a file outside a catalog
// (EPERM), a file in a folder that is not there (ENOENT). Temporary files
// (IsScratchName: rsync's, editors', export's) live in a temporary file
// until renamed, when they become the entry of their new name, or
// removed; one left at unmount is kept under its own name. Each catalog
// folder shows the manifest export writes; a manifest written into it
// gives the entries their descriptions, as import does.
//
// The tree is made of parts: views.h (what the folders show), pending.h
// (files being written, and the changes made through the module),
// entry_reader.h (entries being read); operations.h hands the calls of
// libfuse to it. The tree itself needs no FUSE: the program's tests drive
// it over a memory store.

#ifndef VUVOROZO_CLI_MOUNT_TREE_H_
#define VUVOROZO_CLI_MOUNT_TREE_H_

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace cli {

class Session;

// One name of a folder with what a stat of it gives.
struct TreeItem {
  std::string name;
  struct stat attributes;
};

// The names of a folder being read (MountTree::OpenFolder), one at a time:
// a folder of any size is listed in little memory.
class FolderReader {
 public:
  virtual ~FolderReader() = default;
  // The next name with what a stat of it gives: 1, or 0 after the last.
  virtual int Next(TreeItem* item) = 0;
};

class MountTree {
 public:
  // Over the session's store. read_only: every change is refused (EROFS).
  MountTree(Session& session, bool read_only);
  ~MountTree();
  MountTree(const MountTree&) = delete;
  MountTree& operator=(const MountTree&) = delete;

  // handle is the one Open or Create gave, or 0 for a path alone.
  int GetAttributes(const std::string& path, uint64_t handle, struct stat* st);
  // The names of the folder at path, read as they come: they are those the
  // folder held when the reading began (changes since may show or not).
  int OpenFolder(const std::string& path,
                 std::unique_ptr<FolderReader>* reader);
  // Every name of the folder at once (OpenFolder, read to its end).
  int List(const std::string& path, std::vector<TreeItem>* items);
  int MakeFolder(const std::string& path, mode_t mode = 0755);
  int RemoveFolder(const std::string& path);
  int Remove(const std::string& path);
  // flags: RENAME_NOREPLACE is honoured; RENAME_EXCHANGE is refused.
  int Rename(const std::string& from, const std::string& to, unsigned flags);
  int ChangeMode(const std::string& path, uint64_t handle, mode_t mode);
  int ChangeOwner(const std::string& path, uid_t uid, gid_t gid);
  // What df shows: the size and room of the data folder's file system (for
  // a server store, of the temporary folder where written files wait).
  int Statistics(struct statvfs* st);
  int Truncate(const std::string& path, uint64_t handle, off_t size);
  // times[0] access (ignored), times[1] modification; UTIME_NOW and
  // UTIME_OMIT as utimensat takes them.
  int SetTimes(const std::string& path, uint64_t handle,
               const struct timespec times[2]);
  // open_flags as open(2) takes them. *handle receives the file handle.
  int Create(const std::string& path, mode_t mode, int open_flags,
             uint64_t* handle);
  int Open(const std::string& path, int open_flags, uint64_t* handle);
  // Bytes read or written, or a negative errno.
  int Read(uint64_t handle, char* data, size_t size, off_t offset);
  int Write(uint64_t handle, const char* data, size_t size, off_t offset);
  // The close of one descriptor of the file: what was written since the
  // last commit becomes the entry's new version, and a failure reaches the
  // closing program.
  int Flush(uint64_t handle);
  int Release(uint64_t handle);
  // At unmount: files still open for writing are not kept (they were never
  // closed), temporary files closed and never renamed are kept under their
  // own names; each is named in the log.
  void Shutdown();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cli

#endif  // VUVOROZO_CLI_MOUNT_TREE_H_
