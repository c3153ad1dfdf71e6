// Close and information: the end of a file_handle's life and the answers to
// the host's questions about an open entry or an assigned fileref.
//
// yxlcls closes an entry that yxlopn opened, library included. The member
// close of the directory releases a member's handle through the same
// helpers: the record buffer, the io_vector, the open's option block
// (unless the host keeps it) and the handle, counting the close on the
// fileref.

#include <cstdint>
#include <cstring>

#include "entry/entry.h"
#include "fileref/fileref.h"
#include "host/host.h"
#include "text/text.h"

namespace {

constexpr char kCatalogKind[8] = {'C', 'A', 'T', 'A', 'L', 'O', 'G', ' '};
constexpr char kCatalogLabel[] = "Catalog Name";

inline constexpr int32_t kReplyFour = 4;
inline constexpr int32_t kReplyTwelve = 12;

// Releases the open's option block unless the keep flag says the host owns
// it. The handle's first field is its fileref name, so the handle stands in
// for the name: a fileref of that name that refers to the block lets go of
// it. A member handle carries no name, so only the block is released.
void release_open_options(file_handle* handle) {
  if (handle->open_options == nullptr) return;
  if (handle->requests.option_flags_copy & kOptionKeep) return;
  yxlhbfr(handle->head.fileref, 0, handle->open_options);
  handle->open_options = nullptr;
}

void release_vector(file_handle* handle) {
  if (handle->vector == nullptr) return;
  module_free(handle->vector);
  handle->vector = nullptr;
}

void count_close(file_handle* handle) {
  if (handle->node == nullptr) return;
  fileref_closed(handle->node);
  handle->node = nullptr;
}

// The result of a close that made two host calls: the first failure (a
// negative status) of the two; when neither failed, the first status that
// is not 0 (a warning); else 0.
int32_t first_failure(int32_t first, int32_t second) {
  if (first < 0) return first;
  if (second < 0) return second;
  return first != 0 ? first : second;
}

}  // namespace

void release_record_buffer(file_handle* handle) {
  if (handle->record_buffer == nullptr) return;
  module_free(handle->record_buffer);
  handle->record_buffer = nullptr;
}

void release_handle(file_handle* handle) {
  release_open_options(handle);
  release_vector(handle);
  count_close(handle);
  module_free(handle);
}

// Closes an entry opened by the entry open (slot 21): the entry, then the
// library that open opened, whatever the entry close answered. The library
// is this handle's alone and nothing else closes it: inside ylmclos the
// host cannot tell this member from one of a directory, whose library stays
// open, so it cannot close the library itself. Everything the handle owns
// is released whatever the host answered. Returns the first failure of
// ylmclos and ylclose, else the first warning, else 0; 0x80001025 for a
// null handle.
int32_t yxlcls(file_handle* handle) {
  if (handle == nullptr) return kStatusNullHandle;
  release_record_buffer(handle);
  int32_t member_status = ylmclos(handle->member, 0);
  int32_t library_status = ylclose(handle->library, 0);
  release_handle(handle);
  return first_failure(member_status, library_status);
}

// Fills the host's info_reply (slot 8). The word at offset 36 is set to 4 on
// every call. With a handle, the fields that mask names are written: 0x1
// path name (the display name, by address) and length, 0x2 record format
// (8 fixed or 32, plus 0x10 with carriage control), 0x4 data record length,
// 0x8 "CATALOG ", 0x10 the two zero words, 0x20 the value 12. Without a
// handle, the assigned fileref named by fileref is described by its display
// name, its length and "CATALOG ", whatever the mask. Fields not written
// keep what the host put there. Returns 0, or the lookup's 0x80001004.
int32_t yxlinfo(file_handle* handle, const char* fileref, int32_t token,
                int32_t mask, int32_t unused, info_reply* reply) {
  (void)unused;
  reply->four = kReplyFour;
  if (handle == nullptr) {
    fileref_node* node = nullptr;
    int32_t st = yxlzl2l(fileref, nullptr, &node, token);
    if (st != 0) return st;
    reply->path = node->display_name;
    reply->path_length = node->display_name_length;
    memcpy(reply->kind, kCatalogKind, 8);
    return 0;
  }
  if (mask & kInfoPath) {
    reply->path = handle->display_name;
    reply->path_length = handle->display_name_length;
  }
  if (mask & kInfoRecfm) {
    int32_t recfm =
        (handle->recfm & kRecfmFixed) ? kRecfmFixed : kRecfmVariable;
    reply->recfm = recfm | (handle->recfm & kRecfmCarriage);
  }
  if (mask & kInfoLrecl) reply->data_length = handle->data_length;
  if (mask & kInfoKind) memcpy(reply->kind, kCatalogKind, 8);
  if (mask & kInfoZeros) {
    reply->zero_24 = 0;
    reply->zero_28 = 0;
  }
  if (mask & kInfoTwelve) reply->twelve = kReplyTwelve;
  return 0;
}

// Builds the information set of an open entry (slot 9): an info_item with
// the label "Catalog Name" and the handle's display name as value, both by
// address, registered with the host through ylinfsy. On a status of
// ylinfsy that is not negative *item holds the item, which lives until
// yxlinf; on a negative one the item is released and *item is null.
// Returns the status of ylinfsy, 0x80000803 (*item unchanged) or
// 0x80001025 for a null handle.
int32_t yxlins(file_handle* handle, info_item** item) {
  if (handle == nullptr) return kStatusNullHandle;
  info_item* it = (info_item*)module_alloc(sizeof(info_item), true);
  if (it == nullptr) return kStatusNoMemory;
  it->item_count = 1;
  it->label = kCatalogLabel;
  it->label_length = wzstlen(kCatalogLabel);
  it->value = handle->display_name;
  it->value_length = handle->display_name_length;
  int32_t st = ylinfsy(handle->library, it);
  if (st < 0) {
    module_free(it);
    *item = nullptr;
  } else {
    *item = it;
  }
  return st;
}

// Withdraws and releases an information set (slot 10): ylinfsr gets the
// item's first word, whatever the host left there, and the item is
// released whatever it answers. Returns the status of ylinfsr; 0 without a
// call for a null item; 0x80001025 for a null handle.
int32_t yxlinf(file_handle* handle, info_item* item) {
  if (handle == nullptr) return kStatusNullHandle;
  if (item == nullptr) return 0;
  int32_t st = ylinfsr(handle->library, item->host_word);
  module_free(item);
  return st;
}
