// Opening a library file: the file must be a regular file of the data
// folder (a link is refused, never followed), a library that this process
// may not change is opened for reading and its changes refused saying why,
// and a library is closed with its free space given back.

#include "refhost/store/sqlite/library_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace refhost {
namespace sqlite {
namespace {

bool FileExists(const std::string& path, struct stat* info) {
  return lstat(path.c_str(), info) == 0;
}

}  // namespace

int64_t FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? (int64_t)info.st_size : 0;
}

LibraryFile::LibraryFile(std::string path, std::string libref,
                         const StoreOptions& options)
    : path_(std::move(path)), libref_(std::move(libref)), options_(options) {
  mode_.read_only = options.read_only;
  codec_.set_level(options.compression_level);
  ChooseStatements(kFormat, true);
}

// Connections close after their statements; the last connection of the
// last process to close folds the journal into the file and removes it.
LibraryFile::~LibraryFile() {
  if (main_ != nullptr) {
    // A batch left open by a store that went without ending it is stored;
    // what writers that never committed handed over goes.
    FlushBatch();
    DropPending(StoreStatus::Ok());
    TrimFreeSpace();
  }
  shared_.reset();
  idle_.clear();
  main_.reset();
}

StoreStatus LibraryFile::Open(const std::string& path,
                              const std::string& libref,
                              const StoreOptions& options, bool create,
                              std::shared_ptr<LibraryFile>* library) {
  // The library is the regular file the name gives, in the data folder: a
  // link planted there is refused, never followed elsewhere.
  struct stat info;
  if (FileExists(path, &info)) {
    if (S_ISLNK(info.st_mode)) {
      return StoreStatus::NotLibrary(
          path +
          ": a symbolic link; a library file must be a regular file in the "
          "data folder");
    }
    if (!S_ISREG(info.st_mode)) {
      return StoreStatus::NotLibrary(path + ": not a regular file");
    }
  } else if (errno != ENOENT) {
    // A folder the user may not search hides the library; it is not absent.
    return SystemFailure(path, errno);
  } else if (!create || options.read_only) {
    return StoreStatus::NotFound("no such library");
  }
  for (const char* suffix : {"-wal", "-shm"}) {
    if (FileExists(path + suffix, &info) && !S_ISREG(info.st_mode)) {
      return StoreStatus::NotLibrary(path + suffix +
                                     ": not a regular file; a library's "
                                     "journal must be one");
    }
  }
  std::shared_ptr<LibraryFile> made(new LibraryFile(path, libref, options));
  // A library that cannot be written here is still read; its changes are
  // refused saying why.
  if (!options.read_only) {
    StoreStatus why = made->WhyNotWritable();
    if (!why.ok() && !FileExists(path, &info)) return why;
    made->mode_.read_only = !why.ok();
    made->read_only_refusal_ = why;
  }
  StoreStatus status =
      made->mode_.read_only ? made->OpenReadOnly() : made->OpenFile(create);
  if (!status.ok()) return status;
  *library = std::move(made);
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::ReadOnlyRefusal() const {
  if (!read_only_refusal_.ok()) return read_only_refusal_;
  return StoreStatus::ReadOnly(path_ + ": opened for reading only");
}

// Why this process cannot change the library: its file, or the folder
// where the journal goes, may not be written, for want of permission or
// on read-only media.
StoreStatus LibraryFile::WhyNotWritable() const {
  size_t slash = path_.rfind('/');
  std::string folder = slash == std::string::npos ? std::string(".")
                       : slash == 0               ? std::string("/")
                                                  : path_.substr(0, slash);
  auto why = [this](const char* what) {
    if (errno == EROFS) {
      return StoreStatus::ReadOnly(path_ +
                                   ": the library is on read-only media");
    }
    return StoreStatus::NoPermission(path_ + ": this user may not write " +
                                     what);
  };
  if (access(path_.c_str(), W_OK) != 0 && errno != ENOENT) {
    return why("the library file");
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return why("the data folder, where a library keeps its journal");
  }
  return StoreStatus::Ok();
}

std::string LibraryFile::Describe(const EntryName& entry) const {
  std::string text =
      "entry " + libref_ + "." + entry.catalog + "." + entry.name;
  if (!entry.type.empty()) text += "." + entry.type;
  return text;
}

StoreStatus LibraryFile::Damaged(const std::string& what) const {
  return StoreStatus::Corrupt(path_ + ": the library file is damaged (" + what +
                              ")");
}

}  // namespace sqlite
}  // namespace refhost
