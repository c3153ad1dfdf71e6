// Existence test and deletion of what a fileref names, without opening it
// for records. Each call opens the catalog's library on the host for this
// one request (input mode, the deletion included), asks its question and
// closes the library again before it returns. The requests are built in the
// scratch areas of the fileref's node.
//
// Relies on the fileref registry (yxlzl2l), the name resolution (yxlznam)
// and the catalog library services ylopen, ylmfind, ylmdel and ylclose.

#include <cstring>

#include "directory/directory.h"
#include "text/text.h"

namespace {

// Opens the catalog's library for input with the node's lib_open_request.
// Returns the status of ylopen. Any status but 0 fails the caller's request;
// a positive one still leaves the library open on the host, so it is closed
// here and the caller only passes the status on.
int32_t open_library(fileref_node* node, const entry_names& names,
                     int32_t token, uint32_t* library) {
  int32_t status = ylopen(fill_lib_open(&node->requests.lib_open, names.libref,
                                        names.catalog, kLibModeRead, token),
                          library);
  if (status > 0) ylclose(*library, 0);
  return status;
}

// The node's member_request, filled for the entry the names give.
member_request* fill_member(fileref_node* node, const entry_names& names,
                            uint32_t library) {
  return fill_member_request(&node->requests.member, library, names.entry,
                             names.entry_type);
}

}  // namespace

// Tests that what a fileref names exists. For a two-level fileref
// (libref.catalog) the test is that the catalog's library opens; for any
// other, that the named entry exists in it.
// Returns 0 when it exists (the status of the library close), 0x80001006
// when the entry does not (substitutions: the integer 8 and the entry
// type), 0x80001004 (not assigned), the refusal of the name resolution
// (0x80000805, message 5; for a two-level fileref, a libref over 8
// characters), the status of ylopen when it is not 0, or any other status
// of ylmfind as it came.
int32_t yxlexp(const char* fileref, int32_t token) {
  fileref_node* node = nullptr;
  int32_t status = yxlzl2l(fileref, nullptr, &node, token);
  if (status != kStatusOk) return status;

  entry_names names;
  memset(&names, 0, sizeof(names));
  if (node->levels == 2) {
    // The catalog itself: its levels stand in name parts 3 and 4 and go to
    // the host untranslated; no entry is looked for.
    status = two_level_names(node, names.libref, &names.catalog);
    if (status != kStatusOk) return status;
    memset(names.entry.text, ' ', kNameTextLength);
    memset(names.entry_type, ' ', 8);
  } else {
    status = resolve_node(node, names.libref, &names.catalog, &names.entry,
                          names.entry_type);
    if (status != kStatusOk) return status;
  }

  uint32_t library = 0;
  status = open_library(node, names, token, &library);
  if (status != kStatusOk) return status;

  if (names.entry.text[0] != ' ') {
    status = ylmfind(fill_member(node, names, library));
    if (host_no_such_entry(status)) {
      substitute_eight_and(names.entry_type);
      status = kStatusNoSuchEntry;
    }
  }

  int32_t close_status = ylclose(library, 0);
  return status == kStatusOk ? close_status : status;
}

// Deletes the catalog entry a fileref names. The fileref is looked up with
// caller token 0; the library is opened with the caller's token, for input.
// Returns 0 when the entry was deleted (the status of the library close),
// 0x80001004 (not assigned), the refusal of the name resolution (0x80000805
// with message 5; every two-level fileref, whose catalog part is empty), the
// status of ylopen when it is not 0, or the status of ylmdel unchanged (an
// absent entry included).
int32_t yxldel(const char* fileref, int32_t token) {
  fileref_node* node = nullptr;
  entry_names names;
  memset(&names, 0, sizeof(names));
  int32_t status = resolve_fileref(fileref, 0, &node, &names);
  if (status != kStatusOk) return status;

  uint32_t library = 0;
  status = open_library(node, names, token, &library);
  if (status != kStatusOk) return status;

  status = ylmdel(fill_member(node, names, library), 0);
  int32_t close_status = ylclose(library, 0);
  return status == kStatusOk ? close_status : status;
}
