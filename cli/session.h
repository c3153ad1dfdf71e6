// The program's host session: the reference host over the data folder's
// catalog store, the module loaded into it, and small owners for what a
// command takes from the module (an assigned fileref, an option block, an
// open entry or member, an open directory). Each owner gives back what it
// holds when it goes, so every path of a command deassigns what it assigned
// and closes what it opened. The commands reach the store only through the
// module's routine vector.

#ifndef VUVOROZO_CLI_SESSION_H_
#define VUVOROZO_CLI_SESSION_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/data_folder.h"
#include "cli/reasons.h"
#include "cli/report.h"
#include "refhost/host/host.h"
#include "refhost/host/loader.h"
#include "refhost/host/slots.h"
#include "refhost/store/catalog_store.h"
#include "vuvorozo/vuvorozo.h"

namespace cli {

// Where the module and the data come from, as the command line and the
// environment say.
struct Settings {
  std::string module_path;    // --module, or empty
  std::string data_folder;    // --data, or empty
  std::string store_url;      // --store, or empty
  bool json = false;          // --json (list, info, exists)
  bool recursive = false;     // -r, --recursive (import, export, delete)
  bool update = false;        // -u, --update (import)
  bool delete_gone = false;   // --delete (import)
  bool exact_names = false;   // --exact-names (import)
  std::string format;         // --format (export)
  std::string level;          // --level, as given (commands that write)
  int compression_level = 0;  // --level's number; 0: the store's choice
  bool long_listing = false;  // -l, --long (list)
  bool foreground = false;    // -f, --foreground (mount)
  std::vector<std::string> mount_options;    // -o, --options (mount)
  Verbosity verbosity = Verbosity::kNormal;  // -q, -v
};

// What a command does with the libraries.
enum class StoreUse : unsigned char {
  kRead,    // reads only: the libraries are opened for reading
  kChange,  // changes what is there (deletes, copies, compacts)
  kCreate,  // may make the first library, and the data folder with it
};

// The module path the program loads: --module, $VUVOROZO_MODULE, next to
// the program, the installed layout, then the install and build paths.
std::string FindModule(const Settings& settings);
// The data folder: --data, $VUVOROZO_DATA, else the user's own
// (DefaultDataFolder: $XDG_DATA_HOME/vuvorozo, ~/.local/share/vuvorozo);
// empty when none of them gives one.
std::string FindDataFolder(const Settings& settings);
// The server store's URL (postgresql://...): --store, else $VUVOROZO_STORE
// unless --data names a folder; empty for the data folder.
std::string FindStoreUrl(const Settings& settings);
// Loads the module into a host of its own and reads its image record:
// release and build identifier. false with *error when it cannot be
// loaded.
bool ModuleImage(const Settings& settings, std::string* release,
                 std::string* build_id, std::string* error);

class Session {
 public:
  // Loads the module into a new host over the libraries of the server
  // store or the data folder, opened for reading unless use changes them.
  // A data folder that is not there is made by the first change of a
  // command that creates (StoreUse::kCreate); for any other command
  // nothing is found in it and each failure says "no data folder X", so
  // that a mistyped folder never looks like an empty one (and a usage
  // error is still one). Null on failure with *error saying why.
  static std::unique_ptr<Session> Start(const Settings& settings, StoreUse use,
                                        std::string* error);
  // Loads the module at module_path into a new host over store, which the
  // session keeps; place names the store in messages (the program's own
  // tests start one over a memory store). Null on failure with *error.
  static std::unique_ptr<Session> StartOver(
      std::unique_ptr<refhost::CatalogStore> store,
      const std::string& module_path, const std::string& place,
      std::string* error);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  refhost::Host& host() { return *host_; }
  refhost::Slots& slots() { return *slots_; }
  // Where the libraries are, as messages name it: the data folder, or the
  // server store's URL with its password masked.
  const std::string& place() const { return place_; }
  // Whether the libraries are on a server store (place() its URL).
  bool on_server() const { return on_server_; }
  // The data folder's path from the root, as it was when the session
  // started; empty for a server store.
  const std::string& data_path() const { return data_path_; }
  // Whether the data folder is not there (nothing made it yet), and what a
  // message says of it then: "no data folder X (...)".
  bool folder_absent() const;
  std::string AbsentFolder() const;

  // Clears the message substitutions before a call, so that a status is
  // explained with what that call set, and prints host messages issued
  // since the last call.
  void Prepare();
  // A sentence for a status the module or the host returned.
  std::string Explain(int32_t status) const;
  // A sentence for a status the store returned to the host's own request
  // about a library: NotFound is a library absent from the data folder.
  std::string Explain(const refhost::StoreStatus& status) const;
  // Why a status the module or the host returned failed (a status of a
  // failed store carries the store's reason).
  Reason ReasonOf(int32_t status) const;
  // Prints "vuvorozo: COMMAND: <what>: <sentence>" on standard error, then
  // any host messages issued with it; returns the exit code of the
  // status's reason. typed is the name as the user gave it, when there is
  // one: a status that says it is absent is followed by the store's names
  // near it ("Did you mean 'work.site.index.html'?"). Where the data folder
  // is not there, that is what is said: "no data folder X".
  int Fail(std::string_view what, int32_t status, std::string_view typed = {});
  // " Did you mean ...?" for a name the user gave that was not found; empty
  // when nothing is near.
  std::string NearMiss(std::string_view typed);
  // Prints host messages issued and not yet printed.
  void FlushIssued();

 private:
  Session() = default;
  // The store of the data folder place_: a SQLite store when it is there
  // (or cannot be reached, which its calls then say), a FolderToMake when
  // it is not. false with *error when there is none to open: no folder
  // named at all, a file in its place, or (for a command that creates) the
  // earlier releases' folder here while the default is not made.
  bool OpenFolder(const Settings& settings, StoreUse use,
                  const refhost::StoreOptions& options,
                  std::unique_ptr<refhost::CatalogStore>* store,
                  std::string* error);
  // Makes the host over store and loads the module into it. false with
  // *error when the module cannot be loaded.
  bool Load(std::unique_ptr<refhost::CatalogStore> store,
            const std::string& module_path, std::string* error);
  // Notes module blocks or host handles that outlived the commands in the
  // debug log: the owners below should have given back everything.
  void CheckBalance();

  std::unique_ptr<refhost::Host> host_;
  std::unique_ptr<refhost::LoadedModule> module_;
  std::unique_ptr<refhost::Slots> slots_;
  // "the data folder F" or "the store URL", for messages.
  std::string PlaceInWords() const;

  std::string place_;
  bool on_server_ = false;                // the libraries are on a server store
  std::string data_path_;                 // the data folder from the root
  const FolderToMake* absent_ = nullptr;  // the store, while it may be absent
  std::string absent_note_;  // EarlierDataFolderNote of an absent folder
  size_t issued_printed_ = 0;
};

// Makes the folder and its parents; true when it exists afterwards.
bool MakeFolder(const std::string& path);

// An option block the module made from the user's options, until an
// assignment or an open takes it over. Released through slot 36 when no one
// took it.
class OptionBlock {
 public:
  explicit OptionBlock(Session& session) : session_(session) {}
  ~OptionBlock();
  OptionBlock(const OptionBlock&) = delete;
  OptionBlock& operator=(const OptionBlock&) = delete;

  // Parses the user's option words with the module (slot 30, one call an
  // option). Returns the status; on failure *offending holds the token the
  // module refused. No words: 0 and no block. *description_cut tells that
  // a description was cut to the bytes a description holds.
  int32_t Parse(const std::vector<std::string>& words, std::string* offending,
                bool* description_cut);
  // Parses the option desc='description' (none for an empty description):
  // the status, as Parse gives it.
  int32_t ParseDescription(const std::string& description,
                           bool* description_cut);
  option_block* get() const { return block_; }
  // The block now belongs to whoever the caller handed it to.
  void HandOver() { block_ = nullptr; }

 private:
  Session& session_;
  option_block* block_ = nullptr;
};

// A fileref assigned for one command, deassigned when it goes.
class Fileref {
 public:
  explicit Fileref(Session& session);
  ~Fileref();
  Fileref(const Fileref&) = delete;
  Fileref& operator=(const Fileref&) = delete;

  // Assigns a fileref to the physical name (slot 0). The name is left blank
  // so that the host names the fileref. options (may be null) go to the
  // fileref on success. Returns the status.
  int32_t Assign(std::string_view physical, OptionBlock* options);
  const char* name() const { return name_; }
  // Whether the entry, or for libref.catalog the catalog, exists (slot 3).
  int32_t Exists();
  // Deletes the entry (slot 32).
  int32_t Delete();
  // The resolved path name, libref.catalog.entry.type (slot 4); empty when
  // the module refuses, with *status set.
  std::string PathName(int32_t* status);

 private:
  Session& session_;
  char name_[9] = "        ";
  bool assigned_ = false;
};

// An open catalog directory (slot 26), closed when it goes.
class Directory {
 public:
  explicit Directory(Session& session) : session_(session) {}
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  int32_t Open(const Fileref& fileref);
  // One walk over the entries: 0 with the next name and type (no trailing
  // blanks), 2050 at the end, else the status. *info (may be null)
  // receives what the host knows of the entry it delivered: description,
  // times, host attributes.
  int32_t Next(std::string* name, std::string* type, refhost::EntryInfo* info);
  dir_handle* handle() const { return handle_; }
  int32_t Close();

 private:
  Session& session_;
  dir_handle* handle_ = nullptr;
  uint32_t stream_ = 0;
};

// The names of an entry as the host keys it: libref, catalog, entry name
// and type, upper case without trailing blanks.
struct EntryKey {
  std::string libref;
  std::string catalog;
  std::string name;
  std::string type;
  // LIBREF.CATALOG.NAME.TYPE
  std::string Path() const;
};
// The key of a path name LIBREF.CATALOG.NAME.TYPE as slot 4 gives it.
EntryKey KeyOfPath(std::string_view path);

// An entry open for record transfer, through a fileref (slot 11) or as a
// member of an open directory (slot 29). Close commits what was written;
// an entry opened for writing that goes without Close (an error, an
// exception) is discarded: the entry keeps the content it had.
class EntryStream {
 public:
  explicit EntryStream(Session& session) : session_(session) {}
  ~EntryStream();
  EntryStream(const EntryStream&) = delete;
  EntryStream& operator=(const EntryStream&) = delete;

  // Open flags as the open_request takes them (0x1 input, 0x2 output).
  // record_length is the requested length (0: none). options (may be null)
  // goes to the open and is the handle's once the open succeeds. key names
  // the entry for the host's own records of it (attributes, discard).
  int32_t Open(const Fileref& fileref, const EntryKey& key, int32_t flags,
               int32_t record_length, OptionBlock* options);
  int32_t OpenMember(const Directory& directory, const EntryKey& key,
                     std::string_view member, const char* hint, int32_t flags,
                     int32_t record_length, OptionBlock* options);
  // The record format the opens that follow take where no option block
  // gives one (RECFM bits; 0 none): the one the entry was written with.
  void UseRecordFormat(int32_t recfm) { record_format_ = recfm; }
  // After a successful open: the data record length and the io_vector.
  int32_t record_length() const { return record_length_; }
  file_handle* handle() const { return handle_; }
  io_vector* vector() const { return vector_; }
  // Attributes through slot 8.
  int32_t Info(int32_t mask, info_reply* reply);
  // The host attributes the close commits with the content (an entry
  // opened for writing).
  void SetAttributes(std::string encoded);
  // Closes the entry (slot 21 or 27) and returns the status; the records
  // written reach the catalog here.
  int32_t Close();
  // Closes the entry, leaving it as it was before the open: nothing
  // written since reaches the catalog.
  int32_t Discard();

 private:
  int32_t Finish(int32_t status, open_request* request, OptionBlock* options,
                 const EntryKey& key);

  Session& session_;
  file_handle* handle_ = nullptr;
  io_vector* vector_ = nullptr;
  bool member_ = false;
  bool writer_ = false;
  int32_t record_format_ = 0;
  EntryKey key_;
  int32_t record_length_ = 0;
};

}  // namespace cli

#endif  // VUVOROZO_CLI_SESSION_H_
