// Directory handles: a two-level fileref (libref.catalog) opened as a
// directory. The open takes the catalog's library on the host (for update
// when the host allows it, else for input) and keeps it in a dir_handle until
// the close; the walk hands out one entry per call through the caller's
// stream word; the member existence test asks the host about one member.
//
// Relies on the fileref registry (yxlzl2l, the open count of the node), the
// member text split of the entry open (yxlzdme) and the catalog library
// services ylopen, ylclose, yldopen, yldread, yldclos and ylmfind.

#include <cstring>

#include "directory/directory.h"
#include "text/text.h"

namespace {

// The selector that asks the host for every entry of the catalog.
constexpr char kSelectAll[8] = {'A', 'L', 'L', ' ', ' ', ' ', ' ', ' '};

// Opens the handle's library on the host in mode, with its own request.
int32_t open_library(dir_handle* handle, int32_t mode, int32_t token) {
  return ylopen(fill_lib_open(&handle->lib_open, handle->libref,
                              handle->catalog, mode, token),
                &handle->library);
}

}  // namespace

// Opens the catalog of a two-level fileref as a directory. The libref and
// catalog go to the host untranslated, as the fileref's name parts 3 and 4
// hold them.
// On success *handle is the new dir_handle, the library is open on the host
// and the fileref's open count is one higher; returns 0. On failure *handle
// keeps what it held and nothing stays allocated or open: 0x80001004 (not
// assigned), 0x80000803, 0x80000805 (not two-level, message 2 of group 566
// substituted without a terminator; a libref over 8 characters, message
// 5), or the negative status of the input ylopen.
int32_t yxldopn(dir_handle** handle, const char* fileref, int32_t token) {
  amec_block* amec = nullptr;
  fileref_node* node = nullptr;
  int32_t status = yxlzl2l(fileref, &amec, &node, token);
  if (status != kStatusOk) return status;

  dir_handle* dir = (dir_handle*)module_alloc(sizeof(dir_handle), true);
  if (dir == nullptr) return kStatusNoMemory;
  memcpy(dir->head.fileref, fileref, 8);
  upper_in_place(dir->head.fileref, 8);
  dir->head.amec = amec;
  dir->node = node;

  if (node->levels != 2) {
    status = refuse_with_message(kMsgNotTwoLevel, 256, false);
    module_free(dir);
    return status;
  }

  status = two_level_names(node, dir->libref, &dir->catalog);
  if (status != kStatusOk) {
    module_free(dir);
    return status;
  }

  // Update first, so members can be written; a catalog the host will only
  // give for input still makes a directory that can be walked and read.
  status = open_library(dir, kLibModeUpdate, token);
  if (status < 0) status = open_library(dir, kLibModeRead, token);
  if (status < 0) {
    module_free(dir);
    return status;
  }

  fileref_opened(node);
  *handle = dir;
  return kStatusOk;
}

// Hands out the next entry of a directory walk. stream is the caller's word:
// 0 starts a walk (the host's stream is written into it); the walk's stream
// is ended by the call that returns anything but 0, after which the caller
// sets the word to 0 again before a new walk.
// On 0, name (32 characters, not terminated) holds the entry name as the
// host delivered it, *name_length its length and entry_type its 8-character
// type, neither translated. 2050 at the end of the entries, 0x80001025 for a
// null handle or stream word address, or the failure status of yldopen or
// yldread; then nothing is written.
int32_t yxldnxt(uint32_t* stream, dir_handle* handle, char* name,
                int32_t* name_length, char* entry_type) {
  if (handle == nullptr || stream == nullptr) return kStatusNullHandle;
  if (*stream == 0) {
    int32_t status = yldopen(handle->library, kSelectAll, 0, stream);
    if (status != kStatusOk) return status;
  }

  directory_entry_record entry;
  memset(&entry, 0, sizeof(entry));
  int32_t status = yldread(*stream, &entry, 0);
  if (status != kStatusOk) {
    yldclos(*stream);
    return host_no_more_entries(status) ? kStatusEndOfList : status;
  }

  // The caller's name buffer holds 32 characters: a length the host reports
  // outside 0..32 is held to it, so the count handed out is what was copied.
  int32_t length = entry.name_length;
  if (length < 0) length = 0;
  if (length > kNameTextLength) length = kNameTextLength;
  *name_length = length;
  memcpy(name, entry.name, length);
  memcpy(entry_type, entry.entry_type, 8);
  return kStatusOk;
}

// Closes a directory: the library goes back to the host, the fileref's open
// count drops by one and the handle is released. A walk given up before its
// end left its stream open; closing the library ends the library's streams
// on the host, so the module does not close them here.
// Members opened through the directory borrow its library handle; while any
// is still open the close is refused with 0x8000080D and the directory stays
// open (close the members first). Otherwise returns the status of ylclose,
// the handle released whatever it is. 0x80001025 for a null handle.
int32_t yxldcls(dir_handle* handle) {
  if (handle == nullptr) return kStatusNullHandle;
  if (handle->open_members != 0) return kStatusMembersOpen;
  int32_t status = ylclose(handle->library, 0);
  fileref_closed(handle->node);
  module_free(handle);
  return status;
}

// A directory has no information set: nothing to build. 0, or 0x80001025.
int32_t yxldins(dir_handle* handle) {
  return handle == nullptr ? kStatusNullHandle : kStatusOk;
}

// Nothing to release. 0, or 0x80001025.
int32_t yxldinf(dir_handle* handle) {
  return handle == nullptr ? kStatusNullHandle : kStatusOk;
}

// Tests that a member exists in the directory. text is name or name.type;
// without a type, default_type (8 characters, left unchanged) is looked for.
// Name and type are upper-cased and the type KOR reads SOURCE.
// Returns the status of ylmfind unchanged (0 when the member exists,
// 0x8001C006 when it does not), the status of the member text split
// (0x80000805 with message 5 for a name longer than 32 characters), or
// 0x80001025 for a null handle. No message substitution is set for an
// absent member.
int32_t yxlmex(dir_handle* handle, const char* text, int32_t length,
               const char* default_type) {
  if (handle == nullptr) return kStatusNullHandle;
  char entry_type[8];
  memcpy(entry_type, default_type, 8);
  name_part entry;
  memset(&entry, 0, sizeof(entry));
  int32_t status = yxlzdme(text, &entry, entry_type, length);
  if (status != kStatusOk) return status;

  return ylmfind(
      fill_member_request(&handle->member, handle->library, entry, entry_type));
}
