// The entry open: the host asks for one catalog entry, named by a fileref
// with three or four levels, and receives a file_handle that serves record
// transfer until the close. The open resolves the fileref's names, opens the
// catalog's library on the host, settles the record attributes, opens the
// entry, builds the display name and the record buffer, and counts itself
// on the fileref.
//
// The steps from the attribute settlement to the record buffer are shared
// with the member open of the directory (finish_open), as is the split of
// member text into entry name and type (yxlzdme).

#include <climits>
#include <cstdint>
#include <cstring>

#include "entry/entry.h"
#include "fileref/fileref.h"
#include "host/host.h"
#include "text/text.h"

namespace {

// Library open mode for the open flags: read wins over any writing bit.
int32_t library_mode(int32_t open_flags) {
  if (open_flags & kOpenInput) return kLibModeRead;
  if (open_flags & (kOpenOutput | kOpenAppend | kOpenUpdate))
    return kLibModeUpdate;
  return kLibModeNone;
}

// Closes the entry on the host after a failed step that followed ylmopen.
void close_member_after_failure(file_handle* handle) {
  ylmclos(handle->member, 0);
  handle->member = 0;
}

}  // namespace

// Runs the open from the attribute settlement on, for the entry open and
// the member open: yxlzdfa, the record buffer, the entry open on the host
// (ylmopen), the move to the end of the entry for an append and the
// display name. The handle must hold the library handle, the names, the
// open flags, the record format flags, the request's record length (as the
// data record length) and the fileref's option block.
// On success returns 0; the entry is open on the host and the buffer (if
// any) allocated. On failure returns the status; the buffer is released,
// an entry opened on the host is closed again, and the caller releases the
// handle and whatever it opened itself. The open option block is not
// released.
int32_t finish_open(file_handle* handle, option_block* open_options) {
  int32_t st = yxlzdfa(handle, open_options);
  if (st != 0) return st;

  // The buffer comes before the entry opens on the host: the close of a
  // member opened for output gives the entry what was written, so an open
  // that failed after ylmopen would empty the entry it was to replace.
  int32_t size = record_buffer_size(handle);
  if (size < 0) return kStatusBadLength;
  if (size > 0) {
    handle->record_buffer = (char*)module_alloc(size, false);
    if (handle->record_buffer == nullptr) return kStatusNoMemory;
  }

  member_open_request* mo = clear_request(&handle->requests.member_open);
  mo->library = handle->library;
  mo->entry = handle->entry;
  memcpy(mo->entry_type, handle->entry_type, 8);
  mo->option_bits = kMemberOpenOptionBits;
  mo->value_512 = kMemberOpenValue512;
  mo->access_kind = handle->access_kind;
  mo->description = handle->description;
  st = ylmopen(mo, &handle->member);
  if (st < 0) {
    release_record_buffer(handle);
    return st;
  }

  if (handle->open_flags & kOpenAppend) {
    // Any answer but 0 fails the open, a warning included: records must not
    // land anywhere but at the end of the entry. An append that wrote
    // nothing leaves the entry as it was.
    st = ylmpoin(handle->member, nullptr, 2);
    if (st != 0) {
      close_member_after_failure(handle);
      release_record_buffer(handle);
      return st;
    }
  }

  handle->display_name_length =
      wzstcat(handle->display_name, kDisplayNameLength, '.', 4, handle->libref,
              wzstrip(handle->libref, 8), handle->catalog.text,
              wzstrip(handle->catalog.text, name_length(handle->catalog)),
              handle->entry.text,
              wzstrip(handle->entry.text, name_length(handle->entry)),
              handle->entry_type, wzstrip(handle->entry_type, 8));
  return 0;
}

// Entry open (slot 11). fileref is the 8-character name of an assigned
// fileref with three or four levels; request is the host's open_request.
// On success returns 0 with the new file_handle in *handle_out; the
// request's record length word holds the data record length when a record
// buffer was made, and both notice words are 0. On failure *handle_out is
// null, nothing stays open on the host, the request is unchanged and its
// option block stays with the host. Statuses: 0x80001004 (not assigned),
// 0x80000803, 0x80000805 (message 4: not an entry; message 1: type may not
// be written), 0x80001019 (record lengths out of range), 0x80001025 (no
// request), or the negative status of name resolution, ylopen, ylminfo,
// ylmopen, or any non-zero one of the append positioning.
int32_t yxlopn(file_handle** handle_out, const char* fileref, int32_t token,
               open_request* request) {
  if (handle_out == nullptr) return kStatusNullHandle;
  *handle_out = nullptr;
  if (request == nullptr) return kStatusNullHandle;

  amec_block* amec = nullptr;
  fileref_node* node = nullptr;
  int32_t st = yxlzl2l(fileref, &amec, &node, token);
  if (st != 0) return st;

  file_handle* handle = (file_handle*)module_alloc(sizeof(file_handle), true);
  if (handle == nullptr) return kStatusNoMemory;

  memcpy(handle->head.fileref, fileref, 8);
  upper_in_place(handle->head.fileref, 8);
  handle->head.amec = amec;
  handle->fileref_options = node->options;
  handle->open_flags = request->open_flags;
  handle->recfm = request->recfm;
  handle->data_length = request->record_length;
  option_block* open_options = request->options;

  bool library_open = false;
  if (node->levels <= 2) {
    st = refuse_with_message(kMsgNotAnEntry, 255, true);
    goto fail;
  }

  st = resolve_node(node, handle->libref, &handle->catalog, &handle->entry,
                    handle->entry_type);
  if (st < 0) goto fail;

  st = ylopen(
      fill_lib_open(&handle->requests.lib_open, handle->libref, handle->catalog,
                    library_mode(handle->open_flags), token),
      &handle->library);
  if (st < 0) goto fail;
  library_open = true;

  st = finish_open(handle, open_options);
  if (st != 0) goto fail;

  if (handle->record_buffer != nullptr)
    request->record_length = handle->data_length;

  fileref_opened(node);
  handle->node = node;
  *handle_out = handle;

  report_notices(request, token);
  return 0;

fail:
  // A failed open leaves nothing open on the host: finish_open has closed
  // the entry it opened, and the library this open opened is closed here.
  if (library_open) ylclose(handle->library, 0);
  module_free(handle);
  return st;
}

// Splits member text of length bytes, name or name.type, into the entry
// name (upper case) and, when the text has a '.', the 8-character entry type
// (upper case, blank-filled, cut at 8; "KOR" becomes "SOURCE"). Without a
// '.' the entry type keeps what it held, upper-cased.
// Returns 0, or 0x80000805 with message 5 when the name part is longer than
// 32 characters; then neither output is changed.
int32_t yxlzdme(const char* text, name_part* entry, char* entry_type,
                int32_t length) {
  if (length < 0) length = 0;
  int32_t dot = vzsetl(text, length, '.');
  int32_t name_length = dot < 0 ? length : dot;
  // A name longer than an entry name can hold is refused rather than cut,
  // so that two long names never open the same entry.
  if (name_length > kNameTextLength)
    return refuse_with_message(kMsgNameUnresolved, 255, true);

  if (name_length > 0) memcpy(entry->text, text, (size_t)name_length);
  entry->length = (int16_t)name_length;
  if (dot >= 0) vzmp(text + dot + 1, length - dot - 1, entry_type, 8);

  upper_in_place(entry->text, name_length);
  upper_in_place(entry_type, 8);
  resolve_type_alias(entry_type);
  return 0;
}
