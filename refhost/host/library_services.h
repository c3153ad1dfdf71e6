// The catalog library services of host vector 39, written once over a
// CatalogStore: library open and close, entry (member) open, record read and
// write, note and point, entry find, information and deletion, directory
// streams and information items.
//
// The routines placed in the vector are plain C routines without context;
// each reaches the current LibraryServices through Host::Current() and
// answers an error status when there is none. No exception crosses into the
// module: each routine is a noexcept trampoline that turns anything thrown
// into kLibStoreFailed.
//
// Handles (library, member, directory stream) are small integers from this
// object's tables, tagged by kind in their top byte; an unknown, stale or
// mistyped handle gets kLibBadHandle. Like a strict host, the services
// scribble (0xEE) over the request bytes the module may not rely on after a
// call.
//
// Choices of ours, each tested:
// - The library open mode decides only whether an absent library and
//   catalog are created (mode 8) or refused (1 and 0); it does not limit
//   what the handle may do afterwards (deletion runs on a mode-1 library).
// - ylclose refuses (kLibMembersOpen) a library with members still open and
//   leaves it open; it ends the directory streams left on it and withdraws
//   its information items.
// - Positions are record numbers: the number of records before the
//   position. A write after a point into the middle of an entry replaces
//   the rest of the entry from there.
// - A member opened for write or update shows its new content, whole, when
//   it is closed; a handle given up without ylmclos (library services
//   destroyed), or one the host marked with DiscardAtClose, leaves the entry
//   as it was.
// - ylmclos that cannot commit ends the handle all the same (the entry
//   keeps its content) and answers kLibStoreFailed; one more ylmclos of
//   that handle answers 0, so that a host can close a member the module
//   kept after the failure.
// - Catalogs made and entries written get names of UTF-8 text without
//   control characters (CheckNewName: the store's CreateCatalog holds it
//   for catalogs, ylmopen for entries written); an existing entry or
//   catalog whose name breaks that rule still opens, reads and deletes.

#ifndef VUVOROZO_REFHOST_HOST_LIBRARY_SERVICES_H_
#define VUVOROZO_REFHOST_HOST_LIBRARY_SERVICES_H_

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "refhost/host/host.h"
#include "refhost/store/catalog_store.h"
#include "vuvorozo/vuvorozo.h"

namespace refhost {

// Statuses of the library services besides the ones the module interprets
// (kHostNoSuchEntry, end of data 0x0001C00A, no more entries 0x0001C00F).
inline constexpr int32_t kLibBadHandle = (int32_t)0x8001C001;
inline constexpr int32_t kLibNoSuchLibrary = (int32_t)0x8001C002;
inline constexpr int32_t kLibNoSuchCatalog = (int32_t)0x8001C003;
inline constexpr int32_t kLibBadRequest = (int32_t)0x8001C004;  // field value
inline constexpr int32_t kLibNotWritable = (int32_t)0x8001C005;
inline constexpr int32_t kLibBadPosition = (int32_t)0x8001C007;
inline constexpr int32_t kLibMembersOpen = (int32_t)0x8001C008;
inline constexpr int32_t kLibStoreFailed = (int32_t)0x8001C009;
inline constexpr int32_t kLibUnknownItem = (int32_t)0x8001C00B;
inline constexpr int32_t kLibNoServices = (int32_t)0x8001C00C;
// A stored record longer than any the module's buffer was sized for.
inline constexpr int32_t kLibRecordTooLong = (int32_t)0x8001C00D;
inline constexpr int32_t kLibEndOfData = 0x0001C00A;
inline constexpr int32_t kLibNoMoreEntries = 0x0001C00F;

// An information item as registered by ylinfsy.
struct RegisteredItem {
  uint32_t id;       // the word stored in the item's host_word
  uint32_t library;  // library handle it was registered on
  int32_t item_count;
  std::string label;
  std::string value;
};

class LibraryServices {
 public:
  explicit LibraryServices(CatalogStore* store);
  ~LibraryServices();
  LibraryServices(const LibraryServices&) = delete;
  LibraryServices& operator=(const LibraryServices&) = delete;

  // The routines of vector 39, one a service of the list.
  static std::vector<ServiceRoutine> Services();

  int open_libraries() const { return (int)libraries_.size(); }
  int open_members() const { return (int)members_.size(); }
  int open_streams() const { return (int)streams_.size(); }
  // Calls made to one service since construction or ResetCalls.
  int64_t calls(service_slot service) const;
  void ResetCalls();
  // Items registered now, in registration order.
  std::vector<RegisteredItem> items() const;
  // What the store knows of the entry that yldread delivered last (empty
  // before any): the walk gives the module only names and types, and a host
  // that lists or exports a catalog uses what it knows besides (the
  // description, times, host attributes).
  const EntryInfo& last_entry() const { return last_entry_; }
  const std::string& last_description() const {
    return last_entry_.description;
  }
  // The host's own look at an entry's committed state, outside any member
  // open (libref and catalog in any case, name and type as the module sends
  // them). NotFound when absent.
  StoreStatus FindEntry(std::string_view libref, std::string_view catalog,
                        std::string_view name, std::string_view type,
                        EntryInfo* info);
  // The catalogs of a library, for a host that walks a whole library.
  StoreStatus ListCatalogs(std::string_view libref,
                           std::vector<CatalogInfo>* catalogs);

  // Host attributes of an entry (the host's own record of it; see
  // EntryCursor::SetHostAttributes): the next ylmclos of a member open for
  // write or update on that entry commits them with its content, in the
  // same step. Libref and catalog are taken in any case, name and type as
  // the module sends them (upper case).
  void SetAttributesAtClose(std::string_view libref, std::string_view catalog,
                            std::string_view name, std::string_view type,
                            std::string attributes);
  // The next ylmclos of a member open for write or update on that entry
  // leaves the entry as it was instead of committing: for a host whose
  // records could not all be written (input failed, memory ran out), so that
  // the module's close, which always ends in ylmclos, does not make half the
  // content the entry's. The close itself answers 0.
  void DiscardAtClose(std::string_view libref, std::string_view catalog,
                      std::string_view name, std::string_view type);
  // The store's account of the latest failure a service answered with a
  // store status (kLibStoreFailed and the like), for a host that explains
  // it; Ok before any.
  const StoreStatus& last_store_failure() const { return last_failure_; }

  // The services, as the vector's routines call them. Each counts its call.
  int32_t Open(lib_open_request* request, uint32_t* library);
  int32_t Close(uint32_t library);
  int32_t MemberOpen(member_open_request* request, uint32_t* member);
  int32_t MemberRead(uint32_t member, record_request* request);
  int32_t MemberWrite(uint32_t member, record_request* request);
  int32_t MemberNote(uint32_t member, void* position);
  int32_t MemberPoint(uint32_t member, void* position, int32_t mode);
  int32_t MemberClose(uint32_t member);
  int32_t MemberFind(member_request* request);
  int32_t MemberInfo(member_request* request, int32_t* result);
  int32_t MemberDelete(member_request* request);
  int32_t DirectoryOpen(uint32_t library, const char* selector,
                        uint32_t* stream);
  int32_t DirectoryRead(uint32_t stream, directory_entry_record* entry);
  int32_t DirectoryClose(uint32_t stream);
  int32_t InfoRegister(uint32_t library, info_item* item);
  int32_t InfoRelease(uint32_t library, uint32_t word);

  // Calls are counted by slot; every slot of vector 39 is below this.
  static constexpr int kCountedSlots = 160;
  void CountCall(int32_t slot) {
    if (slot >= 0 && slot < kCountedSlots) ++calls_[slot];
  }

 private:
  // What a library handle stands for: the catalog ylopen opened.
  struct OpenLibrary {
    std::string libref;   // upper case
    std::string catalog;  // upper case, no trailing blanks
    int32_t mode;         // the open mode it was asked for
  };
  // What a member handle stands for: a cursor over one entry.
  struct OpenMember {
    uint32_t library;  // the library handle it was opened on
    std::string key;   // the entry, as AttributeKey gives it
    std::unique_ptr<EntryCursor> cursor;
    int32_t access_kind;
    uint32_t delivery_limit;  // longest record the module's buffer holds
  };
  // What a directory stream handle stands for.
  struct DirectoryStream {
    uint32_t library;  // the library handle it was opened on
    // The catalog as it stood at open, one entry at a time.
    std::unique_ptr<EntryListing> listing;
  };

  OpenLibrary* FindOpenLibrary(uint32_t handle);
  OpenMember* FindOpenMember(uint32_t handle);
  // Forgets an open member; its cursor goes with it.
  void EraseMember(std::map<uint32_t, OpenMember>::iterator member);
  int32_t RequestedEntry(member_request* request, OpenLibrary** library,
                         std::string* name, std::string* type);
  // The host status for a store status, noting a failure's account.
  int32_t StatusOf(const StoreStatus& status, int32_t not_found);

  CatalogStore* store_;
  std::map<uint32_t, OpenLibrary> libraries_;
  std::map<uint32_t, OpenMember> members_;
  // The member FindOpenMember found last (null: none), and its handle.
  OpenMember* found_member_ = nullptr;
  uint32_t found_handle_ = 0;
  std::set<uint32_t> failed_closes_;  // ended by a close that failed
  std::map<uint32_t, DirectoryStream> streams_;
  std::map<uint32_t, RegisteredItem> items_;
  uint32_t next_library_ = 0;
  uint32_t next_member_ = 0;
  uint32_t next_stream_ = 0;
  uint32_t next_item_ = 0;
  std::array<int64_t, kCountedSlots> calls_{};  // by slot
  EntryInfo last_entry_;
  std::map<std::string, std::string> attributes_at_close_;
  std::set<std::string> discard_at_close_;
  StoreStatus last_failure_;
};

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_HOST_LIBRARY_SERVICES_H_
