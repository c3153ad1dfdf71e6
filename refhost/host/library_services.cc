// The catalog library services of vector 39 over a CatalogStore. The
// routines placed in the vector are noexcept trampolines that count the
// call, find the current host's LibraryServices and run the service; the
// services read the module's request records, keep handles in tables and
// answer host statuses. What the choices are is written in
// library_services.h.

#include "refhost/host/library_services.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "refhost/host/host.h"

namespace refhost {
namespace {

// Handles carry their kind in the top byte, so a member handle passed as a
// library handle is refused instead of meeting another table's entry.
constexpr uint32_t kLibraryTag = 0x01000000;
constexpr uint32_t kMemberTag = 0x02000000;
constexpr uint32_t kStreamTag = 0x03000000;
constexpr uint32_t kItemTag = 0x04000000;
constexpr uint32_t kSerialMask = 0x00FFFFFF;

// Label and value texts of an information item are copied; longer lengths
// than this are taken for garbage, not read.
constexpr int32_t kMaxItemText = 4096;

uint32_t NextHandle(uint32_t tag, uint32_t* serial) {
  *serial = (*serial + 1) & kSerialMask;
  if (*serial == 0) *serial = 1;
  return tag | *serial;
}

template <typename T>
void Scribble(T* request) {
  memset(request, kScribbleFill, sizeof(T));
}

// A counted name's text, after checking its length is 1..32.
bool NameText(const name_part& part, std::string* text) {
  if (part.length < 1 || part.length > kNameTextLength) return false;
  text->assign(part.text, (size_t)part.length);
  return true;
}

std::string Field(const char* text, size_t width) {
  return std::string(TrimKey(std::string_view(text, width)));
}

std::string UpperText(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

// The key under which attributes wait for an entry's close: libref and
// catalog in upper case (the host's names do not depend on case), then
// name and type without trailing blanks.
std::string AttributeKey(std::string_view libref, std::string_view catalog,
                         std::string_view name, std::string_view type) {
  std::string key = LibrefKey(libref) + '\0';
  key += UpperText(TrimKey(catalog));
  key += '\0';
  key += TrimKey(name);
  key += '\0';
  key += TrimKey(type);
  return key;
}

// The trampolines: one a slot, each with the service's C signature.

template <int32_t kSlot, typename Fn>
int32_t Run(Fn&& fn) noexcept {
  static_assert(kSlot >= 0 && kSlot < LibraryServices::kCountedSlots);
  Host* host = Host::Current();
  LibraryServices* services = host ? host->library_services() : nullptr;
  if (services == nullptr) return kLibNoServices;
  try {
    services->CountCall(kSlot);
    return fn(services);
  } catch (...) {
    return kLibStoreFailed;
  }
}

int32_t ServiceOpen(lib_open_request* request, uint32_t* library) noexcept {
  return Run<ylopen_service.slot>(
      [&](LibraryServices* s) { return s->Open(request, library); });
}
int32_t ServiceClose(uint32_t library, int32_t) noexcept {
  return Run<ylclose_service.slot>(
      [&](LibraryServices* s) { return s->Close(library); });
}
int32_t ServiceMemberOpen(member_open_request* request,
                          uint32_t* member) noexcept {
  return Run<ylmopen_service.slot>(
      [&](LibraryServices* s) { return s->MemberOpen(request, member); });
}
int32_t ServiceMemberRead(uint32_t member, record_request* request) noexcept {
  return Run<ylmread_service.slot>(
      [&](LibraryServices* s) { return s->MemberRead(member, request); });
}
int32_t ServiceMemberWrite(uint32_t member, record_request* request) noexcept {
  return Run<ylmwrit_service.slot>(
      [&](LibraryServices* s) { return s->MemberWrite(member, request); });
}
int32_t ServiceMemberNote(uint32_t member, void* position) noexcept {
  return Run<ylmnote_service.slot>(
      [&](LibraryServices* s) { return s->MemberNote(member, position); });
}
int32_t ServiceMemberPoint(uint32_t member, void* position,
                           int32_t mode) noexcept {
  return Run<ylmpoin_service.slot>([&](LibraryServices* s) {
    return s->MemberPoint(member, position, mode);
  });
}
int32_t ServiceMemberClose(uint32_t member, int32_t) noexcept {
  return Run<ylmclos_service.slot>(
      [&](LibraryServices* s) { return s->MemberClose(member); });
}
int32_t ServiceMemberFind(member_request* request) noexcept {
  return Run<ylmfind_service.slot>(
      [&](LibraryServices* s) { return s->MemberFind(request); });
}
int32_t ServiceMemberInfo(member_request* request, int32_t, int32_t,
                          int32_t* result) noexcept {
  return Run<ylminfo_service.slot>(
      [&](LibraryServices* s) { return s->MemberInfo(request, result); });
}
int32_t ServiceMemberDelete(member_request* request, int32_t) noexcept {
  return Run<ylmdel_service.slot>(
      [&](LibraryServices* s) { return s->MemberDelete(request); });
}
int32_t ServiceDirectoryOpen(uint32_t library, const char* selector, int32_t,
                             uint32_t* stream) noexcept {
  return Run<yldopen_service.slot>([&](LibraryServices* s) {
    return s->DirectoryOpen(library, selector, stream);
  });
}
int32_t ServiceDirectoryRead(uint32_t stream, directory_entry_record* entry,
                             int32_t) noexcept {
  return Run<yldread_service.slot>(
      [&](LibraryServices* s) { return s->DirectoryRead(stream, entry); });
}
int32_t ServiceDirectoryClose(uint32_t stream) noexcept {
  return Run<yldclos_service.slot>(
      [&](LibraryServices* s) { return s->DirectoryClose(stream); });
}
int32_t ServiceInfoRegister(uint32_t library, info_item* item) noexcept {
  return Run<ylinfsy_service.slot>(
      [&](LibraryServices* s) { return s->InfoRegister(library, item); });
}
int32_t ServiceInfoRelease(uint32_t library, uint32_t word) noexcept {
  return Run<ylinfsr_service.slot>(
      [&](LibraryServices* s) { return s->InfoRelease(library, word); });
}

}  // namespace

LibraryServices::LibraryServices(CatalogStore* store) : store_(store) {}

// Members still open are given up without commit: their entries keep the
// content they had.
LibraryServices::~LibraryServices() = default;

std::vector<ServiceRoutine> LibraryServices::Services() {
  return {
      Place(ylclose_service, &ServiceClose),
      Place(yldclos_service, &ServiceDirectoryClose),
      Place(ylmclos_service, &ServiceMemberClose),
      Place(yldopen_service, &ServiceDirectoryOpen),
      Place(yldread_service, &ServiceDirectoryRead),
      Place(ylmdel_service, &ServiceMemberDelete),
      Place(ylmfind_service, &ServiceMemberFind),
      Place(ylminfo_service, &ServiceMemberInfo),
      Place(ylmnote_service, &ServiceMemberNote),
      Place(ylmopen_service, &ServiceMemberOpen),
      Place(ylmpoin_service, &ServiceMemberPoint),
      Place(ylmread_service, &ServiceMemberRead),
      Place(ylmwrit_service, &ServiceMemberWrite),
      Place(ylopen_service, &ServiceOpen),
      Place(ylinfsr_service, &ServiceInfoRelease),
      Place(ylinfsy_service, &ServiceInfoRegister),
  };
}

int64_t LibraryServices::calls(service_slot service) const {
  return service.slot >= 0 && service.slot < kCountedSlots
             ? calls_[service.slot]
             : 0;
}

void LibraryServices::ResetCalls() { calls_.fill(0); }

std::vector<RegisteredItem> LibraryServices::items() const {
  std::vector<RegisteredItem> out;
  for (const auto& [id, item] : items_) out.push_back(item);
  return out;
}

// Host status for a store status whose NotFound means not_found.
int32_t LibraryServices::StatusOf(const StoreStatus& status,
                                  int32_t not_found) {
  switch (status.code()) {
    case StoreStatus::kOk:
      return 0;
    case StoreStatus::kNotFound:
      return not_found;
    case StoreStatus::kInvalidArgument:
      return kLibBadRequest;
    default:
      last_failure_ = status;
      return kLibStoreFailed;
  }
}

void LibraryServices::DiscardAtClose(std::string_view libref,
                                     std::string_view catalog,
                                     std::string_view name,
                                     std::string_view type) {
  discard_at_close_.insert(AttributeKey(libref, catalog, name, type));
}

StoreStatus LibraryServices::FindEntry(std::string_view libref,
                                       std::string_view catalog,
                                       std::string_view name,
                                       std::string_view type, EntryInfo* info) {
  return store_->FindEntry(LibrefKey(libref), UpperText(TrimKey(catalog)), name,
                           type, info);
}

StoreStatus LibraryServices::ListCatalogs(std::string_view libref,
                                          std::vector<CatalogInfo>* catalogs) {
  return store_->ListCatalogs(LibrefKey(libref), catalogs);
}

void LibraryServices::SetAttributesAtClose(std::string_view libref,
                                           std::string_view catalog,
                                           std::string_view name,
                                           std::string_view type,
                                           std::string attributes) {
  attributes_at_close_[AttributeKey(libref, catalog, name, type)] =
      std::move(attributes);
}

LibraryServices::OpenLibrary* LibraryServices::FindOpenLibrary(
    uint32_t handle) {
  auto it = libraries_.find(handle);
  return it == libraries_.end() ? nullptr : &it->second;
}

LibraryServices::OpenMember* LibraryServices::FindOpenMember(uint32_t handle) {
  // Each record read or written asks for its member: the last one found
  // is kept until it closes.
  if (found_member_ != nullptr && found_handle_ == handle) return found_member_;
  auto it = members_.find(handle);
  if (it == members_.end()) return nullptr;
  found_handle_ = handle;
  found_member_ = &it->second;
  return found_member_;
}

void LibraryServices::EraseMember(
    std::map<uint32_t, OpenMember>::iterator member) {
  if (found_member_ == &member->second) found_member_ = nullptr;
  members_.erase(member);
}

// ylopen: opens the catalog named by libref and catalog in the request.
// Mode 8 creates an absent library and catalog; modes 1 and 0 refuse them
// with kLibNoSuchLibrary or kLibNoSuchCatalog. On success *library holds the
// handle; on failure *library is untouched. The request is scribbled over.
int32_t LibraryServices::Open(lib_open_request* request, uint32_t* library) {
  if (request == nullptr || library == nullptr) return kLibBadRequest;
  std::string libref = Field(request->libref, sizeof request->libref);
  std::string catalog;
  bool named = NameText(request->catalog, &catalog);
  // Library and catalog names are the host's and do not depend on case:
  // the directory open sends them as the user wrote them, the entry open
  // upper case, and both must reach the same catalog.
  libref = UpperText(libref);
  catalog = UpperText(catalog);
  int32_t mode = request->open_mode;
  Scribble(request);
  if (!named || !CheckLibref(libref).ok() || !CheckCatalogName(catalog).ok()) {
    return kLibBadRequest;
  }
  if (mode == kLibModeUpdate) {
    // A user writing the first entry of a catalog needs no separate step.
    // The store holds the rule of a catalog made: a name fit to show
    // (kLibBadRequest otherwise, through StatusOf).
    int32_t st =
        StatusOf(store_->CreateCatalog(libref, catalog), kLibNoSuchCatalog);
    if (st != 0) return st;
  } else if (mode == kLibModeRead || mode == kLibModeNone) {
    int32_t st = StatusOf(store_->FindLibrary(libref), kLibNoSuchLibrary);
    if (st != 0) return st;
    st = StatusOf(store_->FindCatalog(libref, catalog), kLibNoSuchCatalog);
    if (st != 0) return st;
  } else {
    return kLibBadRequest;
  }
  uint32_t handle = NextHandle(kLibraryTag, &next_library_);
  libraries_[handle] = OpenLibrary{libref, std::string(TrimKey(catalog)), mode};
  *library = handle;
  return 0;
}

// ylclose: closes the library, ending the directory streams still open on
// it and withdrawing its information items. A library with members still
// open is refused with kLibMembersOpen and stays open: closing it would
// strand handles the module still holds.
int32_t LibraryServices::Close(uint32_t library) {
  if (FindOpenLibrary(library) == nullptr) return kLibBadHandle;
  for (const auto& [handle, member] : members_) {
    if (member.library == library) return kLibMembersOpen;
  }
  std::erase_if(streams_,
                [&](const auto& s) { return s.second.library == library; });
  std::erase_if(items_,
                [&](const auto& i) { return i.second.library == library; });
  libraries_.erase(library);
  return 0;
}

// ylmopen: opens an entry of the library's catalog. Access kind 1 reads an
// existing entry (kHostNoSuchEntry when absent); 2 writes new content that
// replaces the old at close; 8 updates the existing content (an absent
// entry starts empty). A description of non-zero length is stored with the
// entry at close of a write or update. On success *member holds the handle;
// on failure it is untouched. The request is scribbled over.
int32_t LibraryServices::MemberOpen(member_open_request* request,
                                    uint32_t* member) {
  if (request == nullptr || member == nullptr) return kLibBadRequest;
  uint32_t library_handle = request->library;
  std::string name;
  bool named = NameText(request->entry, &name);
  std::string type = Field(request->entry_type, sizeof request->entry_type);
  int32_t access = request->access_kind;
  int16_t description_length = request->description.length;
  std::string description;
  if (description_length > 0 && description_length <= kDescriptionTextLength) {
    description.assign(request->description.text, description_length);
  }
  Scribble(request);

  OpenLibrary* library = FindOpenLibrary(library_handle);
  if (library == nullptr) return kLibBadHandle;
  if (!named || !CheckEntryKey(name, type).ok() || description_length < 0 ||
      description_length > kDescriptionTextLength) {
    return kLibBadRequest;
  }
  OpenIntent intent;
  switch (access) {
    case kAccessRead:
      intent = OpenIntent::kRead;
      description.clear();
      break;
    case kAccessWrite:
      intent = OpenIntent::kReplace;
      break;
    case kAccessUpdate:
      intent = OpenIntent::kUpdate;
      break;
    default:
      return kLibBadRequest;
  }
  if (intent != OpenIntent::kRead && !CheckNewName(name).ok() &&
      !store_->FindEntry(library->libref, library->catalog, name, type, nullptr)
           .ok()) {
    return kLibBadRequest;  // a new entry gets a name fit to show
  }
  std::unique_ptr<EntryCursor> cursor;
  StoreStatus status =
      store_->OpenEntry(library->libref, library->catalog, name, type, intent,
                        description, &cursor);
  if (!status.ok()) return StatusOf(status, kHostNoSuchEntry);
  uint32_t handle = NextHandle(kMemberTag, &next_member_);
  uint32_t limit = cursor->longest_record();
  members_[handle] =
      OpenMember{library_handle,
                 AttributeKey(library->libref, library->catalog, name, type),
                 std::move(cursor), access, limit};
  *member = handle;
  return 0;
}

// ylmread: copies the next record into request->buffer and sets length and
// kind. At the end: kLibEndOfData with length and kind 0. Request bytes
// 10..27 are scribbled over afterwards.
int32_t LibraryServices::MemberRead(uint32_t member, record_request* request) {
  if (request == nullptr) return kLibBadRequest;
  OpenMember* m = FindOpenMember(member);
  int32_t st = 0;
  request->length = 0;
  request->kind = 0;
  if (m == nullptr) {
    st = kLibBadHandle;
  } else if (request->buffer == nullptr) {
    st = kLibBadRequest;
  } else {
    RecordView view;
    StoreStatus status = m->cursor->Read(&view);
    if (status.IsNotFound()) {
      st = kLibEndOfData;
    } else if (!status.ok()) {
      st = StatusOf(status, kLibStoreFailed);
    } else {
      // The module sized its buffer for the longest record the entry held
      // at open (or that it wrote since); never write past that.
      uint32_t length = view.length;
      if (length > m->delivery_limit) {
        length = m->delivery_limit;
        st = kLibRecordTooLong;
      }
      if (length > 0) memcpy(request->buffer, view.data, length);
      request->length = (int32_t)length;
      request->kind = view.kind;
    }
  }
  memset(request->zero_10, kScribbleFill, sizeof request->zero_10);
  return st;
}

// ylmwrit: writes one record of request->length bytes (0 allowed) and
// request->kind at the position. kLibBadRequest for a negative length or a
// missing buffer, kLibNotWritable on a handle opened for reading. The whole
// request is scribbled over afterwards.
int32_t LibraryServices::MemberWrite(uint32_t member, record_request* request) {
  if (request == nullptr) return kLibBadRequest;
  const char* buffer = request->buffer;
  int32_t length = request->length;
  uint16_t kind = request->kind;
  Scribble(request);
  OpenMember* m = FindOpenMember(member);
  if (m == nullptr) return kLibBadHandle;
  if (length < 0 || (length > 0 && buffer == nullptr)) return kLibBadRequest;
  if (!m->cursor->writable()) return kLibNotWritable;
  StoreStatus status = m->cursor->Write(buffer, (uint32_t)length, kind);
  if (!status.ok()) return StatusOf(status, kLibStoreFailed);
  m->delivery_limit = std::max(m->delivery_limit, (uint32_t)length);
  return 0;
}

// ylmnote: stores the position (the number of records before it) in the
// 32-bit cell at position.
int32_t LibraryServices::MemberNote(uint32_t member, void* position) {
  OpenMember* m = FindOpenMember(member);
  if (m == nullptr) return kLibBadHandle;
  if (position == nullptr) return kLibBadPosition;
  uint64_t at = m->cursor->position();
  if (at > UINT32_MAX) return kLibBadPosition;
  uint32_t cell = (uint32_t)at;
  memcpy(position, &cell, sizeof cell);
  return 0;
}

// ylmpoin: mode 0 moves to the position held in the 32-bit cell at
// position; mode 2 with position 0 moves to the end. kLibBadPosition for a
// missing cell or a position beyond the end (the position is unchanged),
// kLibBadRequest for another mode.
int32_t LibraryServices::MemberPoint(uint32_t member, void* position,
                                     int32_t mode) {
  OpenMember* m = FindOpenMember(member);
  if (m == nullptr) return kLibBadHandle;
  uint64_t target;
  if (mode == 0) {
    if (position == nullptr) return kLibBadPosition;
    uint32_t cell;
    memcpy(&cell, position, sizeof cell);
    target = cell;
  } else if (mode == 2) {
    if (position != nullptr) return kLibBadPosition;
    target = m->cursor->record_count();
  } else {
    return kLibBadRequest;
  }
  StoreStatus status = m->cursor->Seek(target);
  if (status.IsInvalidArgument()) return kLibBadPosition;
  return StatusOf(status, kLibBadPosition);
}

// ylmclos: makes the content of a write or update handle the entry's, whole,
// and closes the handle. When the store cannot commit, the handle is closed
// all the same, the entry keeps its previous content and the status is
// kLibStoreFailed: an entry close never closes it again. A member close
// keeps its file_handle after that status, so that the host can close it
// once more: the second ylmclos of such a handle answers 0, there being
// nothing left to close, and lets the module release what it holds.
int32_t LibraryServices::MemberClose(uint32_t member) {
  auto it = members_.find(member);
  if (it == members_.end()) {
    return failed_closes_.erase(member) != 0 ? 0 : kLibBadHandle;
  }
  EntryCursor& cursor = *it->second.cursor;
  if (cursor.writable() && discard_at_close_.erase(it->second.key) != 0) {
    attributes_at_close_.erase(it->second.key);
    EraseMember(it);  // the cursor goes without a commit
    return 0;
  }
  if (cursor.writable()) {
    auto attributes = attributes_at_close_.find(it->second.key);
    if (attributes != attributes_at_close_.end()) {
      cursor.SetHostAttributes(std::move(attributes->second));
      attributes_at_close_.erase(attributes);
    }
  }
  StoreStatus status = cursor.Commit();
  EraseMember(it);
  if (status.ok()) return 0;
  last_failure_ = status;
  failed_closes_.insert(member);
  return kLibStoreFailed;
}

// The library and entry key a member_request names. The request is read
// once and scribbled over, whatever the answer.
int32_t LibraryServices::RequestedEntry(member_request* request,
                                        OpenLibrary** library,
                                        std::string* name, std::string* type) {
  *library = FindOpenLibrary(request->library);
  *type = Field(request->entry_type, sizeof request->entry_type);
  bool named = NameText(request->entry, name);
  Scribble(request);
  if (*library == nullptr) return kLibBadHandle;
  if (!named || !CheckEntryKey(*name, *type).ok()) return kLibBadRequest;
  return 0;
}

// ylmfind: 0 when the entry exists, kHostNoSuchEntry when not. The request
// is scribbled over.
int32_t LibraryServices::MemberFind(member_request* request) {
  if (request == nullptr) return kLibBadRequest;
  OpenLibrary* library;
  std::string name, type;
  int32_t st = RequestedEntry(request, &library, &name, &type);
  if (st != 0) return st;
  return StatusOf(
      store_->FindEntry(library->libref, library->catalog, name, type, nullptr),
      kHostNoSuchEntry);
}

// ylminfo: *result receives the stored record length of the entry, the
// length of its longest record (0 when empty). kHostNoSuchEntry when absent;
// *result is untouched on failure. The request is scribbled over.
int32_t LibraryServices::MemberInfo(member_request* request, int32_t* result) {
  if (request == nullptr) return kLibBadRequest;
  OpenLibrary* library;
  std::string name, type;
  int32_t st = RequestedEntry(request, &library, &name, &type);
  if (st != 0) return st;
  if (result == nullptr) return kLibBadRequest;
  EntryInfo info;
  st = StatusOf(
      store_->FindEntry(library->libref, library->catalog, name, type, &info),
      kHostNoSuchEntry);
  if (st == 0) *result = info.longest_record;
  return st;
}

// ylmdel: deletes the entry; kHostNoSuchEntry when absent. Members open on
// it keep what they see; a writer's close makes the entry again. The
// request is scribbled over.
int32_t LibraryServices::MemberDelete(member_request* request) {
  if (request == nullptr) return kLibBadRequest;
  OpenLibrary* library;
  std::string name, type;
  int32_t st = RequestedEntry(request, &library, &name, &type);
  if (st != 0) return st;
  return StatusOf(
      store_->DeleteEntry(library->libref, library->catalog, name, type),
      kHostNoSuchEntry);
}

// yldopen: a stream over the catalog's entries as they stand now, ordered
// by name then type. The selector must be "ALL" blank-padded to 8. On
// success *stream holds the handle; on failure it is untouched.
int32_t LibraryServices::DirectoryOpen(uint32_t library, const char* selector,
                                       uint32_t* stream) {
  OpenLibrary* lib = FindOpenLibrary(library);
  if (lib == nullptr) return kLibBadHandle;
  if (selector == nullptr || stream == nullptr ||
      memcmp(selector, "ALL     ", 8) != 0) {
    return kLibBadRequest;
  }
  DirectoryStream s{library, nullptr};
  int32_t st =
      StatusOf(store_->OpenListing(lib->libref, lib->catalog, &s.listing),
               kLibNoSuchCatalog);
  if (st != 0) return st;
  uint32_t handle = NextHandle(kStreamTag, &next_stream_);
  streams_[handle] = std::move(s);
  *stream = handle;
  return 0;
}

// yldread: fills the record with the next entry's name (blank-filled to 32)
// and type (blank-padded to 8); returns kLibNoMoreEntries, record untouched,
// when none remain. The words the module does not read are scribbled over.
int32_t LibraryServices::DirectoryRead(uint32_t stream,
                                       directory_entry_record* entry) {
  auto it = streams_.find(stream);
  if (it == streams_.end()) return kLibBadHandle;
  if (entry == nullptr) return kLibBadRequest;
  DirectoryStream& s = it->second;
  EntryInfo next;
  StoreStatus got = s.listing->Next(&next);
  if (got.IsNotFound()) return kLibNoMoreEntries;
  if (!got.ok()) return StatusOf(got, kLibNoMoreEntries);
  last_entry_ = std::move(next);
  const EntryInfo& info = last_entry_;
  Scribble(entry);
  entry->name_length = (int16_t)info.name.size();
  memset(entry->name, ' ', sizeof entry->name);
  memcpy(entry->name, info.name.data(), info.name.size());
  memset(entry->entry_type, ' ', sizeof entry->entry_type);
  memcpy(entry->entry_type, info.type.data(), info.type.size());
  return 0;
}

// yldclos: ends the stream.
int32_t LibraryServices::DirectoryClose(uint32_t stream) {
  return streams_.erase(stream) ? 0 : kLibBadHandle;
}

// ylinfsy: registers the item on the library, copying its label and value,
// and stores the item's id (non-zero) in item->host_word.
int32_t LibraryServices::InfoRegister(uint32_t library, info_item* item) {
  if (FindOpenLibrary(library) == nullptr) return kLibBadHandle;
  if (item == nullptr) return kLibBadRequest;
  auto bad_text = [](const char* text, int32_t length) {
    return length < 0 || length > kMaxItemText ||
           (length > 0 && text == nullptr);
  };
  if (bad_text(item->label, item->label_length) ||
      bad_text(item->value, item->value_length)) {
    return kLibBadRequest;
  }
  uint32_t id = NextHandle(kItemTag, &next_item_);
  items_[id] = RegisteredItem{
      id, library, item->item_count,
      std::string(item->label ? item->label : "", (size_t)item->label_length),
      std::string(item->value ? item->value : "", (size_t)item->value_length)};
  item->host_word = id;
  return 0;
}

// ylinfsr: withdraws the item registered on the library under word.
// kLibUnknownItem for a word that names no item of that library.
int32_t LibraryServices::InfoRelease(uint32_t library, uint32_t word) {
  if (FindOpenLibrary(library) == nullptr) return kLibBadHandle;
  auto it = items_.find(word);
  if (it == items_.end() || it->second.library != library) {
    return kLibUnknownItem;
  }
  items_.erase(it);
  return 0;
}

}  // namespace refhost
