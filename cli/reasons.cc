// The table of reasons, and the statuses that map to them.

#include "cli/reasons.h"

#include <cerrno>
#include <iterator>
#include <string_view>

#include "refhost/host/library_services.h"
#include "vuvorozo/vuvorozo.h"

namespace cli {
namespace {

struct ReasonRow {
  Reason reason;
  int exit_code;  // of a command that fails for it
  int error;      // the mount's errno
  const char* text;
};

// A libref's own rule, said of a library's folder.
constexpr char kLibrefText[] =
    "a library's folder is its libref: 1 to 8 letters, digits or _ $ # @";
static_assert(std::string_view(kLibrefText).ends_with(kLibrefRule));

// One row a reason, in the order of the enum (checked below).
constexpr ReasonRow kReasons[] = {
    {Reason::kNone, kExitOk, 0, ""},

    {Reason::kNameEmpty, kExitFailed, EINVAL,
     "there is no name before the extension"},
    {Reason::kNameTooLong, kExitFailed, ENAMETOOLONG,
     "the name is longer than 32 bytes"},
    {Reason::kNameHoldsDot, kExitFailed, EINVAL,
     "the name holds a '.' (an entry name cannot)"},
    {Reason::kNameEndsInBlank, kExitFailed, EINVAL, "the name ends in a blank"},
    {Reason::kNameNotText, kExitFailed, EINVAL, "the name is not UTF-8 text"},
    {Reason::kNameHoldsControl, kExitFailed, EINVAL,
     "the name holds a control character"},
    {Reason::kNameTaken, kExitFailed, EEXIST, "another file is that entry"},
    {Reason::kLibrefTooLong, kExitFailed, ENAMETOOLONG, kLibrefText},
    {Reason::kNotLibref, kExitFailed, EINVAL, kLibrefText},

    {Reason::kFileNameNotPlain, kExitFailed, EINVAL,
     "it is not a plain file name"},
    {Reason::kFileNameTooLong, kExitFailed, ENAMETOOLONG,
     "a name of the path is longer than 255 bytes"},
    {Reason::kFileNameReserved, kExitFailed, EINVAL,
     "the program keeps that name for its own files"},
    {Reason::kPathTooLong, kExitFailed, ENAMETOOLONG,
     "the path is longer than 4096 bytes"},
    {Reason::kPathAbsolute, kExitFailed, EINVAL,
     "an absolute path: it would be written outside the folder"},
    {Reason::kPathUpward, kExitFailed, EINVAL,
     "a '..' step: it would be written outside the folder"},
    {Reason::kNamePartEmpty, kExitFailed, EINVAL, "it is empty"},
    {Reason::kNamePartSeparator, kExitFailed, EINVAL, "it holds '/' or '.'"},

    {Reason::kSymlinkNotKept, kExitFailed, EPERM,
     "a symbolic link: not kept (a catalog keeps files and folders)"},
    {Reason::kHardLinkNotKept, kExitFailed, EPERM,
     "a hard link: not kept (a catalog keeps files and folders)"},
    {Reason::kDeviceNotKept, kExitFailed, EPERM,
     "a device: not kept (a catalog keeps files and folders)"},
    {Reason::kFifoNotKept, kExitFailed, EPERM,
     "a FIFO: not kept (a catalog keeps files and folders)"},
    {Reason::kOtherNotKept, kExitFailed, EPERM,
     "neither a file nor a folder: not kept"},
    {Reason::kPathTwice, kExitFailed, EEXIST,
     "the path was given before in the archive"},
    {Reason::kUnderLink, kExitFailed, EPERM,
     "the path passes through a link: refused"},
    {Reason::kUnderFile, kExitFailed, ENOTDIR,
     "the path passes through a file, not a folder"},
    {Reason::kFolderOverFile, kExitFailed, EEXIST,
     "a file and a folder of one path"},
    {Reason::kSizeMismatch, kExitFailed, EIO,
     "its data is not the size the archive gives"},
    {Reason::kArchiveDamaged, kExitFailed, EIO,
     "the archive cannot be read on"},

    {Reason::kNotFound, kExitFailed, ENOENT, "it does not exist"},
    {Reason::kInvalid, kExitFailed, EINVAL,
     "the host cannot take the name or value"},
    {Reason::kBusy, kExitFailed, EBUSY, "it is in use"},
    {Reason::kNotEmpty, kExitFailed, ENOTEMPTY, "the catalog holds entries"},
    {Reason::kDiskFull, kExitFailed, ENOSPC, "there is no room left"},
    {Reason::kReadOnly, kExitFailed, EROFS, "the library may only be read"},
    {Reason::kPermission, kExitFailed, EACCES,
     "this user may not read or change the library"},
    {Reason::kNotLibrary, kExitFailed, EIO,
     "the file is not a library of this program"},
    {Reason::kCorrupt, kExitFailed, EIO, "the library is damaged"},
    {Reason::kNoMemory, kExitFailed, ENOMEM, "out of memory"},
    {Reason::kOptionRefused, kExitUsage, EINVAL,
     "the module does not take the option"},
    {Reason::kTruncated, kExitTruncated, EIO,
     "records longer than the record length were cut"},
    {Reason::kIoError, kExitFailed, EIO,
     "the library could not be read or written"},

    {Reason::kReadOnlyMount, kExitFailed, EROFS, "the mount is read only"},
    {Reason::kFileOutsideCatalog, kExitFailed, EPERM,
     "files are kept in catalogs: <libref>/<catalog>/<file>"},
    {Reason::kNotRegularFile, kExitFailed, EPERM,
     "a catalog keeps regular files only"},
    {Reason::kLibraryRemoval, kExitFailed, EPERM,
     "a library is removed by deleting its file in the data folder, not "
     "through the mount"},
    {Reason::kManifestIsMade, kExitFailed, EPERM,
     "the manifest is made from the catalog"},
    {Reason::kManifestFromFile, kExitFailed, EPERM,
     "only a written file can become the manifest"},
    {Reason::kScratchName, kExitFailed, EPERM,
     "a stored file is not renamed to a temporary file's name"},
    {Reason::kModeNotKept, kExitFailed, EPERM,
     "a catalog keeps a file's permission bits (0777) only: no set-user-ID, "
     "set-group-ID or sticky bit"},
    {Reason::kNoOwner, kExitFailed, EPERM,
     "a catalog keeps no owner: its files belong to the user who mounted "
     "it"},
};

constexpr bool InOrder() {
  for (size_t i = 0; i < std::size(kReasons); ++i) {
    if (static_cast<size_t>(kReasons[i].reason) != i) return false;
  }
  return static_cast<size_t>(Reason::kNoOwner) + 1 == std::size(kReasons);
}
static_assert(InOrder(), "kReasons: one row a reason, in the enum's order");

const ReasonRow& RowOf(Reason reason) {
  return kReasons[static_cast<size_t>(reason)];
}

}  // namespace

int ExitCodeOf(Reason reason) { return RowOf(reason).exit_code; }
int ErrnoOf(Reason reason) { return RowOf(reason).error; }
const char* TextOf(Reason reason) { return RowOf(reason).text; }

Reason ReasonOf(const refhost::StoreStatus& status) {
  switch (status.code()) {
    case refhost::StoreStatus::kOk:
      return Reason::kNone;
    case refhost::StoreStatus::kNotFound:
      return Reason::kNotFound;
    case refhost::StoreStatus::kInvalidArgument:
      return Reason::kInvalid;
    case refhost::StoreStatus::kIoError:
      return Reason::kIoError;
    case refhost::StoreStatus::kBusy:
      return Reason::kBusy;
    case refhost::StoreStatus::kNotEmpty:
      return Reason::kNotEmpty;
    case refhost::StoreStatus::kDiskFull:
      return Reason::kDiskFull;
    case refhost::StoreStatus::kReadOnly:
      return Reason::kReadOnly;
    case refhost::StoreStatus::kNotLibrary:
      return Reason::kNotLibrary;
    case refhost::StoreStatus::kCorrupt:
      return Reason::kCorrupt;
    case refhost::StoreStatus::kNoPermission:
      return Reason::kPermission;
  }
  return Reason::kIoError;
}

Reason ReasonOf(int32_t status, const refhost::StoreStatus& store_failure) {
  switch (status) {
    case 0:
      return Reason::kNone;
    case kStatusNoSuchEntry:
    case refhost::kLibNoSuchLibrary:
    case refhost::kLibNoSuchCatalog:
      return Reason::kNotFound;
    case refhost::kLibBadRequest:
    case kStatusRefused:
      return Reason::kInvalid;
    case kStatusNoMemory:
      return Reason::kNoMemory;
    case refhost::kLibMembersOpen:
    case kStatusMembersOpen:
      return Reason::kBusy;
    case kStatusUnknownOption:
    case kStatusMalformedOption:
      return Reason::kOptionRefused;
    case kStatusTruncated:
      return Reason::kTruncated;
    case refhost::kLibStoreFailed:
      // The store's own account says what happened to it.
      return store_failure.ok() ? Reason::kIoError : ReasonOf(store_failure);
    default:
      break;
  }
  return host_no_such_entry(status) ? Reason::kNotFound : Reason::kIoError;
}

}  // namespace cli
