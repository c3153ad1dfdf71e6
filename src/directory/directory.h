// Catalog directory: a two-level fileref's catalog opened as a directory
// (dir_handle), its walk and member existence test, the member open, and
// the existence test and deletion of what a fileref names.

#ifndef VUVOROZO_DIRECTORY_DIRECTORY_H_
#define VUVOROZO_DIRECTORY_DIRECTORY_H_

#include <cstddef>
#include <cstdint>

#include "entry/entry.h"

struct dir_handle {
  handle_head head;           // fileref name (upper case), AMEC block
  char libref[8];             // blank-padded, from name part 3
  name_part catalog;          // name part 4, copied whole
  uint16_t open_members;      // members opened through it, not yet closed
  uint32_t library;           // library handle from ylopen
  fileref_node* node;         // the fileref; its open count includes this
  lib_open_request lib_open;  // scratch of the directory open
  member_request member;      // scratch of the member existence test
};
static_assert(offsetof(dir_handle, libref) == 12, "dir_handle.libref");
static_assert(offsetof(dir_handle, catalog) == 20, "dir_handle.catalog");
static_assert(offsetof(dir_handle, open_members) == 54,
              "dir_handle.open_members");
static_assert(offsetof(dir_handle, library) == 56, "dir_handle.library");
static_assert(offsetof(dir_handle, node) == 60, "dir_handle.node");
static_assert(offsetof(dir_handle, lib_open) == 64, "dir_handle.lib_open");
static_assert(offsetof(dir_handle, member) == 404, "dir_handle.member");
static_assert(sizeof(dir_handle) == 460, "dir_handle size");

// Directory handles (slots 22-26, 28).
int32_t yxldopn(dir_handle** handle, const char* fileref, int32_t token);
int32_t yxldnxt(uint32_t* stream, dir_handle* handle, char* name,
                int32_t* name_length, char* entry_type);
int32_t yxldcls(dir_handle* handle);
int32_t yxldins(dir_handle* handle);
int32_t yxldinf(dir_handle* handle);
int32_t yxlmex(dir_handle* handle, const char* text, int32_t length,
               const char* default_type);

// Member open (slot 29) and close (slot 27).
int32_t yxlmopn(file_handle** handle, dir_handle* directory, const char* text,
                int32_t length, const char* hint, open_request* request);
int32_t yxlmcls(file_handle* handle);

// Existence and deletion (slots 3, 32).
int32_t yxlexp(const char* fileref, int32_t token);
int32_t yxldel(const char* fileref, int32_t token);

#endif  // VUVOROZO_DIRECTORY_DIRECTORY_H_
