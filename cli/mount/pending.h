// The files of a mount that are being written, and its scratch files (the
// temporary files of rsync, editors and export, IsScratchName):
// each is pending, its bytes in a temporary file, shown over the catalog's
// view until a commit makes them the entry's new version, whole. Here too
// are the other changes the mount makes through the module: host
// attributes and descriptions committed without a copy, deletions, and the
// copy of an entry that a rename across names makes (one way to copy an
// entry, records.h's CopyEntry).

#ifndef VUVOROZO_CLI_MOUNT_PENDING_H_
#define VUVOROZO_CLI_MOUNT_PENDING_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "cli/files/content.h"
#include "cli/files/file_names.h"
#include "cli/files/spill.h"
#include "cli/mount/views.h"
#include "cli/reasons.h"

namespace cli {

// A file being written, or a scratch file, with its bytes in a temporary
// file of its own.
struct Pending {
  std::string libref;
  std::string catalog;
  std::string folder;  // the catalog's folder as the path named it
  std::string file;    // its path in the catalog's tree
  int spool = -1;
  int opens = 0;          // handles open on it
  int writers = 0;        // of them, open for writing
  bool dirty = false;     // written since it was committed
  bool touched = false;   // its mode or time set since
  bool scratch = false;   // a temporary file's name
  bool manifest = false;  // the catalog's manifest, being written
  bool gone = false;      // removed, or replaced by a rename: never committed
  uint32_t mode = 0644;
  std::optional<int64_t> modified_ns;  // set by the writer
  int64_t written_ns = 0;              // the last write
  std::string description;             // for the entry's commit
  // The entry it was opened on, while its bytes are not yet in the
  // temporary file (a file opened for writing and only touched or closed
  // is never copied), and where that entry is shown.
  std::optional<Shown> base;
  Place base_place;
  // The entry it was opened on (name, type): the name a commit writes,
  // whatever the file name would make (an import may have fitted it).
  std::optional<std::pair<std::string, std::string>> entry;

  // libref/folder/file, as the mount's log names it.
  std::string Path() const;
  ~Pending() {
    if (spool >= 0) close(spool);
  }
};

// Says why a change was refused, in the mount's log (the reason's own text
// unless message says more), and returns the reason's errno, negated.
int Refuse(const std::string& path, Reason reason,
           const std::string& message = "");

class PendingFiles {
 public:
  PendingFiles(Session& session, Views& views, Readers readers);
  PendingFiles(const PendingFiles&) = delete;
  PendingFiles& operator=(const PendingFiles&) = delete;

  // The pending file at the place; null when none.
  std::shared_ptr<Pending> At(const Place& place) const;
  // Makes pending the file at the place (replacing any there).
  void Put(const Place& place, std::shared_ptr<Pending> pending);
  // Forgets the pending file at where (Place::Where).
  void Drop(const std::string& where);
  // Every pending file, by Place::Where.
  const std::map<std::string, std::shared_ptr<Pending>>& all() const {
    return pending_;
  }
  // Forgets every pending file (at unmount).
  void Clear() { pending_.clear(); }
  // Whether a file of the catalog is pending.
  bool InCatalog(const std::string& libref, const std::string& catalog) const;

  // A pending file for the place, not yet put there. shown (may be null)
  // is the entry it starts from: its mode, description and name, and with
  // copy its bytes. A negative errno when no temporary file can be made.
  int New(const Place& place, bool copy, const Shown* shown,
          std::shared_ptr<Pending>* out);
  // Copies the bytes of the entry the pending file was opened on into its
  // temporary file, once, before they are read, written or committed.
  int Fill(Pending& pending);
  // Writes the pending file as the new content of its entry, with its
  // name, folder, mode and time (a manifest gives its descriptions
  // instead). A negative errno on failure (reported); the entry then keeps
  // what it had.
  int Commit(Pending& pending);
  // Ends what a pending file holds: written bytes become the entry's new
  // version; a mode or time set alone goes to the entry without a copy.
  int Finish(Pending& pending);
  // Forgets a pending file that no handle holds, once committed.
  void Settle(const std::shared_ptr<Pending>& pending);
  // A manifest written into a catalog's folder: each listed file's
  // description goes to its entry, now or when the file comes.
  int ApplyManifest(const Pending& pending);
  // What a stat gives of the pending file.
  int Attributes(const Pending& pending, struct stat* st);

  // Opens the entry shown at the place for update, writes no record, and
  // commits its host attributes as change leaves them (and a description,
  // when given): the content stays.
  int UpdateEntry(const Place& place, const Shown& shown,
                  const std::function<void(refhost::FileAttributes*)>& change,
                  const std::string& description);
  // Deletes the entry of the place's catalog through the module.
  int DeleteEntry(const Place& place, const std::string& name,
                  const std::string& type);
  // The entry a file or folder at the place becomes when written anew, by
  // the one rule of entry names (EntryChooser): the entry the view shows
  // there when it keeps that path, else the one its name gives when no
  // entry has it, else a fitted one.
  FileEntry EntryFor(const Place& place, bool folder);
  // Writes the entry of a folder of the place's tree (depth 2: the
  // catalog's own folder, keeping keep_folder as its name when not empty)
  // with its mode and time, or with the attributes change leaves of those
  // it has.
  int WriteFolder(const Place& place,
                  const std::function<void(refhost::FileAttributes*)>& change,
                  const std::string& keep_folder = "");
  // Copies the entry shown at from into the entry target of to's catalog,
  // as the file to names (its name and folder, the mode and time it
  // showed).
  int CopyEntryTo(const Place& from, const Shown& shown, const Place& to,
                  const FileEntry& target);

 private:
  Session& session_;
  Views& views_;
  Readers readers_;
  // The key of described_ for a file of a catalog.
  static std::string DescribedKey(const std::string& libref,
                                  const std::string& catalog,
                                  const std::string& file);

  std::map<std::string, std::shared_ptr<Pending>> pending_;  // by Where()
  // Descriptions a manifest gave for files not yet there, by catalog and
  // file name, set aside.
  SpillMap described_;
  Content content_;  // its buffer serves every commit
};

}  // namespace cli

#endif  // VUVOROZO_CLI_MOUNT_PENDING_H_
