// Member open: one entry (a member) of a catalog opened as a directory,
// opened for record transfer. The member gets a file_handle like an entry
// open's and goes through the same steps from the attribute settlement on
// (finish_open), but opens no library of its own: it borrows the directory's
// library handle. Its type comes from the member text (name.type) or else
// from the host's type hint.
//
// A member borrows its directory's library, so the directory counts its open
// members (dir_handle open_members) and refuses to close while any is open;
// the member close, here too, counts it down.

#include <cstring>

#include "directory/directory.h"
#include "text/text.h"

namespace {

// A member handle opens no library, so its lib_open_request stays unused;
// its first word remembers the directory the member was opened through.
void set_member_directory(file_handle* member, dir_handle* directory) {
  memcpy(member->requests.lib_open.libref, &directory, sizeof(directory));
}

dir_handle* member_directory(const file_handle* member) {
  dir_handle* directory;
  memcpy(&directory, member->requests.lib_open.libref, sizeof(directory));
  return directory;
}

}  // namespace

// Opens a member of an open directory. text is name or name.type (length
// characters); hint names the kind of output when text carries no type.
// The request's notice words are reported (host message 4157 or 4156, with
// caller token 0) when its open flags ask for it, and cleared in every case
// once the directory handle is known.
// On success *handle is the new file_handle, the request's record length
// word holds the data record length, the fileref's open count and the
// directory's open-member count are one higher; returns 0. On failure
// *handle is null (untouched for a null directory) and nothing stays
// allocated or open on the host; the request's option block stays with the
// host. Statuses: 0x80001025 (null directory or request), 0x80000803,
// 0x80000805 (member name longer than 32 characters, message 5; or an entry
// type that may not be written, message 1), 0x80001019 (record lengths out
// of range), or the status of the attribute settlement, ylmopen or the
// append positioning.
int32_t yxlmopn(file_handle** handle, dir_handle* directory, const char* text,
                int32_t length, const char* hint, open_request* request) {
  if (directory == nullptr) return kStatusNullHandle;
  *handle = nullptr;
  // Without a request there is nothing to open by; refused like a missing
  // handle, as the entry open does.
  if (request == nullptr) return kStatusNullHandle;
  // The count of open members is 16 bits wide; one more would wrap it and
  // let the directory close under its members.
  if (directory->open_members == UINT16_MAX) return kStatusNoMemory;
  file_handle* member = (file_handle*)module_alloc(sizeof(file_handle), true);
  if (member == nullptr) return kStatusNoMemory;

  member->head.amec = directory->head.amec;
  member->fileref_options = directory->node->options;
  member->open_flags = request->open_flags;

  report_notices(request, 0);

  member->recfm = request->recfm;
  member->data_length = request->record_length;
  memcpy(member->libref, directory->libref, 8);
  member->catalog = directory->catalog;

  memcpy(member->entry_type, type_for_hint(hint), 8);
  int32_t status = yxlzdme(text, &member->entry, member->entry_type, length);
  if (status != kStatusOk) {
    module_free(member);
    return status;
  }

  member->library = directory->library;
  status = finish_open(member, request->options);
  if (status != kStatusOk) {
    module_free(member);
    return status;
  }

  // Unlike the entry open, the record length word is written even when the
  // member needed no record buffer.
  request->record_length = member->data_length;
  set_member_directory(member, directory);
  ++directory->open_members;
  member->node = directory->node;
  fileref_opened(directory->node);
  *handle = member;
  return kStatusOk;
}

// Closes a member opened through a directory (slot 27). The library is the
// directory's and is never closed here. When ylmclos answers anything but 0
// its status is returned at once: the record buffer is gone, but the handle
// with its io_vector and option block stays, still counted on the fileref
// and on its directory, so the host may close it again. Otherwise
// everything is released, the directory counts one open member less, and 0
// is returned. 0x80001025 for a null handle.
int32_t yxlmcls(file_handle* handle) {
  if (handle == nullptr) return kStatusNullHandle;
  release_record_buffer(handle);
  int32_t st = ylmclos(handle->member, 0);
  if (st != 0) return st;
  dir_handle* directory = member_directory(handle);
  if (directory != nullptr && directory->open_members != 0) {
    --directory->open_members;
  }
  release_handle(handle);
  return 0;
}
