// The module's view of its host, beyond the contract in include/vuvorozo/:
// the heap and request helpers every routine uses, the request group its
// records end in, and the message helpers. The host never sees these.

#ifndef VUVOROZO_HOST_HOST_H_
#define VUVOROZO_HOST_HOST_H_

#include <cstddef>
#include <cstdint>

#include "vuvorozo/vuvorozo.h"

// The request group that ends both the fileref_node and the file_handle.
struct request_group {
  lib_open_request lib_open;
  member_open_request member_open;
  record_request record;
  member_request member;
  int32_t option_flags_copy;  // option_flags of the block held, or 0
};
static_assert(sizeof(request_group) == 812, "request_group size");
static_assert(offsetof(request_group, member_open) == 340,
              "request_group.member_open");
static_assert(offsetof(request_group, record) == 724, "request_group.record");
static_assert(offsetof(request_group, member) == 752, "request_group.member");
static_assert(offsetof(request_group, option_flags_copy) == 808,
              "request_group.flags");

// The heap that yymheap returns is a host heap object.
inline host_heap* release_heap() { return (host_heap*)(uintptr_t)yymheap(); }

// The GCB anchor under a name that binds inside the module: the exported
// one is reached through the GOT on this target, this one directly.
extern gcb_record* gcb_anchor_in_module __attribute__((visibility("hidden")));

// The record services under names that bind inside the module, for the
// per-record path: a call of an exported forwarder on this target first
// loads the GOT register, these go straight to the same code.
int32_t ylmread_in_module(uint32_t member, record_request* request)
    __attribute__((visibility("hidden")));
int32_t ylmwrit_in_module(uint32_t member, record_request* request)
    __attribute__((visibility("hidden")));

// ---------------------------------------------------------------------------
// Module-side helpers over the services.

// A block of size bytes from the module heap, cleared or not; null on failure.
inline void* module_alloc(int32_t size, bool cleared) {
  return vmalloc_handler(v_global_gcb_anchor->module_heap, size,
                         cleared ? kAllocCleared : kAllocUncleared);
}
// Releases a module record to the heap that yymheap names.
inline void module_free(void* block) {
  vmfree_handler(release_heap(), block, 0, 4);
}

// Zeroes a request record before it is filled.
template <typename T>
inline T* clear_request(T* request) {
  __builtin_memset(request, 0, sizeof(T));
  return request;
}

// Characters of a name_part that count, kept within its 32 positions so a
// faulty length never sends a copy past the field.
inline int32_t name_length(const name_part& part) {
  if (part.length < 0) return 0;
  return part.length > kNameTextLength ? kNameTextLength : part.length;
}

// Zeroes and fills a lib_open_request for the library of libref (8
// characters) and catalog, in open mode, for the caller token.
inline lib_open_request* fill_lib_open(lib_open_request* request,
                                       const char* libref,
                                       const name_part& catalog, int32_t mode,
                                       int32_t token) {
  clear_request(request);
  __builtin_memcpy(request->libref, libref, 8);
  request->catalog = catalog;
  request->open_mode = mode;
  request->caller_token = token;
  return request;
}

// Zeroes and fills a member_request for the entry (name and 8-character
// type) of an open library.
inline member_request* fill_member_request(member_request* request,
                                           uint32_t library,
                                           const name_part& entry,
                                           const char* entry_type) {
  clear_request(request);
  request->library = library;
  request->entry = entry;
  __builtin_memcpy(request->entry_type, entry_type, 8);
  return request;
}

// Formats message number of group 566 and sets it as the substitution;
// with_nul selects whether a NUL follows the text (and is counted).
// Returns kStatusRefused for the caller to pass on.
int32_t refuse_with_message(int32_t number, int32_t capacity, bool with_nul);

// Reports the notice words of an open request when its open flags ask for
// it: host message 4157 for the second word, else 4156 for the first, with
// the substitutions integer 8 and "CATALOG", through yprrlog with token.
// Both words are cleared in every case.
void report_notices(open_request* request, int32_t token);

// Sets the substitutions integer 8 (length 4) and an 8-character text.
void substitute_eight_and(const char* text8);

#endif  // VUVOROZO_HOST_HOST_H_
