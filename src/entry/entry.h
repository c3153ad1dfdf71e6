// Entry I/O: the open of one catalog entry (file_handle, open_request), the
// settlement of its record attributes, record transfer (io_vector), close
// and information (info_reply).

#ifndef VUVOROZO_ENTRY_ENTRY_H_
#define VUVOROZO_ENTRY_ENTRY_H_

#include <climits>
#include <cstddef>
#include <cstdint>

#include "fileref/fileref.h"
#include "host/host.h"

// The head shared by file_handle and dir_handle.
struct handle_head {
  char fileref[8];   // upper case; zero for a member handle
  amec_block* amec;  // the module's AMEC block
};
static_assert(sizeof(handle_head) == 12, "handle_head size");

// file_handle: one open entry, from its open to its close.
struct file_handle {
  handle_head head;
  char libref[8];         // upper case, blank-padded
  name_part catalog;      // upper case
  name_part entry;        // upper case
  char entry_type[8];     // upper case, blank-padded
  int32_t open_flags;     // from the request; MOD may apply
  int32_t recfm;          // settled record format flags
  int32_t stored_length;  // longest record written to the host
  int32_t buffer_length;  // sizes the record buffer with data_length
  int32_t data_length;    // longest data part a caller moves
  uint32_t library;       // library handle (a member's is borrowed)
  int32_t access_kind;    // 1, 2 or 8
  uint32_t member;        // member handle from ylmopen
  char* record_buffer;    // uncleared heap block, or null
  int32_t last_length;    // length of the last record read
  uint32_t last_kind;     // kind code of the last record read
  description_field description;
  char display_name[kDisplayNameLength];  // libref.catalog.entry.type
  int32_t display_name_length;
  option_block* open_options;     // the request's block; owned unless kept
  option_block* fileref_options;  // the fileref's block; borrowed
  io_vector* vector;              // latest io_vector, or null
  fileref_node* node;             // the fileref whose open count this raised
  int32_t attr;                   // ATTR flag, 0 or 1
  request_group requests;
};
static_assert(offsetof(file_handle, head) == 0, "file_handle.head");
static_assert(offsetof(file_handle, libref) == 12, "file_handle.libref");
static_assert(offsetof(file_handle, catalog) == 20, "file_handle.catalog");
static_assert(offsetof(file_handle, entry) == 54, "file_handle.entry");
static_assert(offsetof(file_handle, entry_type) == 88,
              "file_handle.entry_type");
static_assert(offsetof(file_handle, open_flags) == 96,
              "file_handle.open_flags");
static_assert(offsetof(file_handle, recfm) == 100, "file_handle.recfm");
static_assert(offsetof(file_handle, stored_length) == 104,
              "file_handle.stored_length");
static_assert(offsetof(file_handle, buffer_length) == 108,
              "file_handle.buffer_length");
static_assert(offsetof(file_handle, data_length) == 112,
              "file_handle.data_length");
static_assert(offsetof(file_handle, library) == 116, "file_handle.library");
static_assert(offsetof(file_handle, access_kind) == 120,
              "file_handle.access_kind");
static_assert(offsetof(file_handle, member) == 124, "file_handle.member");
static_assert(offsetof(file_handle, record_buffer) == 128,
              "file_handle.record_buffer");
static_assert(offsetof(file_handle, last_length) == 132,
              "file_handle.last_length");
static_assert(offsetof(file_handle, last_kind) == 136, "file_handle.last_kind");
static_assert(offsetof(file_handle, description) == 140,
              "file_handle.description");
static_assert(offsetof(file_handle, display_name) == 398,
              "file_handle.display_name");
static_assert(offsetof(file_handle, display_name_length) == 488,
              "file_handle.display_name_length");
static_assert(offsetof(file_handle, open_options) == 492,
              "file_handle.open_options");
static_assert(offsetof(file_handle, fileref_options) == 496,
              "file_handle.fileref_options");
static_assert(offsetof(file_handle, vector) == 500, "file_handle.vector");
static_assert(offsetof(file_handle, node) == 504, "file_handle.node");
static_assert(offsetof(file_handle, attr) == 508, "file_handle.attr");
static_assert(offsetof(file_handle, requests) == 512, "file_handle.requests");
static_assert(sizeof(file_handle) == 1324, "file_handle size");

// ---------------------------------------------------------------------------
// Routines: open (slot 11), transfer (12, 13, 18-20, 35), close and
// information (8-10, 21, 27), and the helpers the directory shares.

int32_t yxlopn(file_handle** handle, const char* fileref, int32_t token,
               open_request* request);
int32_t yxlzdme(const char* text, name_part* entry, char* entry_type,
                int32_t length);
int32_t yxlzdfa(file_handle* handle, option_block* open_options);

// Steps shared by the entry open and the member open, from the attribute
// settlement to the record buffer. On failure the entry is no longer open on
// the host and the caller releases handle (and what it opened itself).
int32_t finish_open(file_handle* handle, option_block* open_options);

// Size of the record buffer an open handle has (0: none), from its three
// record lengths; -1 when it would not fit in 32 bits. A handle gets a
// buffer when any of the three is positive, and the buffer then holds the
// stored record length and the data record length plus the two bytes (lead
// byte, control character) that a transfer places ahead of the data. The
// transfers never let a record reach past it. Inline: every read asks.
inline int32_t record_buffer_size(const file_handle* handle) {
  int32_t need = handle->buffer_length;
  if (handle->data_length > need) need = handle->data_length;
  if (handle->stored_length > need) need = handle->stored_length;
  if (need <= 0) return 0;
  int32_t data = handle->data_length < 0 ? 0 : handle->data_length;
  if (data > INT32_MAX - 2) return -1;
  return data + 2 > need ? data + 2 : need;
}

int32_t yxlread(file_handle* handle, char** data, int32_t* length,
                char* control);
int32_t yxlwrit(file_handle* handle, const char* data, int32_t length,
                int32_t control);
int32_t yxlrds(file_handle* handle, char** data, int32_t* length,
               char* control);
int32_t yxlwrt(file_handle* handle, const char* data, int32_t length,
               int32_t control);
int32_t yxlnote(file_handle* handle, void* position);
int32_t yxlpnt(file_handle* handle, void* position);
int32_t yxlflsh(file_handle* handle);
int32_t yxlamvc(file_handle* handle, io_vector** vector);

int32_t yxlcls(file_handle* handle);

// Release helpers shared by the closes (and, for the buffer, a failed
// open). release_record_buffer releases
// the record buffer (the handle no longer refers to it); release_handle
// releases the open's option block unless kept, the io_vector and the
// handle itself, and counts the close on the fileref.
void release_record_buffer(file_handle* handle);
void release_handle(file_handle* handle);
int32_t yxlinfo(file_handle* handle, const char* fileref, int32_t token,
                int32_t mask, int32_t unused, info_reply* reply);
int32_t yxlins(file_handle* handle, info_item** item);
int32_t yxlinf(file_handle* handle, info_item* item);

#endif  // VUVOROZO_ENTRY_ENTRY_H_
