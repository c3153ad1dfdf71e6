// Why something failed, as a code the program passes up instead of words
// to search: the rules of file names give one, the store's statuses
// (StoreStatus::Code) and the statuses the module and the host answer map
// to one, and the mount's own refusals are one each. One table
// (reasons.cc) gives every reason the exit code a command ends with, the
// text of its message (where the host or the store has no fuller account
// to give), and the errno the mount answers; commands and the mount read
// them only there.

#ifndef VUVOROZO_CLI_REASONS_H_
#define VUVOROZO_CLI_REASONS_H_

#include <cstdint>

#include "refhost/store/catalog_store.h"

namespace cli {

// What a libref is made of, as messages say it.
inline constexpr char kLibrefRule[] = "1 to 8 letters, digits or _ $ # @";

// Exit codes of the program.
inline constexpr int kExitOk = 0;         // done
inline constexpr int kExitFailed = 1;     // refused or failed; exists: absent
inline constexpr int kExitUsage = 2;      // usage error
inline constexpr int kExitTruncated = 3;  // done, but records were cut

enum class Reason : unsigned char {
  kNone,  // nothing failed

  // What a catalog cannot hold as an entry, catalog or library name.
  kNameEmpty,         // nothing before the extension
  kNameTooLong,       // over 32 bytes
  kNameHoldsDot,      // a '.' an entry name cannot hold
  kNameEndsInBlank,   // a trailing blank
  kNameNotText,       // bytes that are not UTF-8
  kNameHoldsControl,  // a control character
  kNameTaken,         // another file is that entry already
  kLibrefTooLong,     // a libref over 8 characters
  kNotLibref,         // a character a libref cannot hold

  // What cannot be (part of) a file name.
  kFileNameNotPlain,   // empty, "." or "..", or holding '/' or NUL
  kFileNameTooLong,    // a name of a path over 255 bytes
  kFileNameReserved,   // the program's own (manifest, temporary files)
  kPathTooLong,        // a path over 4,096 bytes
  kPathAbsolute,       // a path from the root, not inside the folder
  kPathUpward,         // a path with a '..' step
  kNamePartEmpty,      // an entry name or type that is empty
  kNamePartSeparator,  // an entry name or type holding '/' or '.'

  // What a folder or an archive holds that a catalog does not keep, and
  // archives a catalog will not take.
  kSymlinkNotKept,   // a symbolic link
  kHardLinkNotKept,  // a hard link to another member
  kDeviceNotKept,    // a device
  kFifoNotKept,      // a FIFO
  kOtherNotKept,     // a socket or a kind of member not known
  kPathTwice,        // a member of a path given before
  kUnderLink,        // a member whose path passes through a link
  kUnderFile,        // a member whose path passes through a file
  kFolderOverFile,   // a folder where a file is, or a file where a folder
  kSizeMismatch,     // a member whose data is not its stated size
  kArchiveDamaged,   // the archive cannot be read on

  // What the store, the host or the module answered.
  kNotFound,       // no such entry, catalog or library
  kInvalid,        // a name or value the store or the host cannot take
  kBusy,           // in use: another writer, members still open
  kNotEmpty,       // a catalog that still holds entries
  kDiskFull,       // no room left for the change
  kReadOnly,       // the library may only be read (media, a reading store)
  kPermission,     // the user may not read or change it
  kNotLibrary,     // a file that is no library of this program
  kCorrupt,        // a damaged library
  kNoMemory,       // the module ran out of memory
  kOptionRefused,  // an option the module does not take
  kTruncated,      // records cut to the record length (a warning)
  kIoError,        // the store's storage failed, or anything else

  // What a catalog mounted as folders does not do.
  kReadOnlyMount,       // a change on a read-only mount
  kFileOutsideCatalog,  // a file beside the catalogs
  kNotRegularFile,      // a device, FIFO or link
  kLibraryRemoval,      // rmdir of a library's folder
  kManifestIsMade,      // the manifest renamed away
  kManifestFromFile,    // an entry renamed to the manifest
  kScratchName,         // an entry renamed to a scratch name
  kModeNotKept,         // chmod of a bit a file does not keep (setuid...)
  kNoOwner,             // chown to another user
};

// The exit code a command that fails for reason ends with.
int ExitCodeOf(Reason reason);
// The errno the mount answers for reason (positive; 0 for kNone).
int ErrnoOf(Reason reason);
// What reason says, as a message's reason part ("the name is longer than
// 32 bytes").
const char* TextOf(Reason reason);

// The reason of a store's status.
Reason ReasonOf(const refhost::StoreStatus& status);
// The reason of a status the module or the host answered; store_failure is
// the store's account of the last failure, which a status of a failed store
// (kLibStoreFailed) carries.
Reason ReasonOf(int32_t status, const refhost::StoreStatus& store_failure);

}  // namespace cli

#endif  // VUVOROZO_CLI_REASONS_H_
