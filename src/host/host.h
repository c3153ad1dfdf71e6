// The module's view of its host: the global control block (GCB) and its
// heaps, the statuses, the host services reached through the GCB's service
// vectors, and the fixed-layout request records handed to the catalog
// library services.
//
// Everything here is a binary contract with the host. Records are plain
// structs whose offsets are checked where they are declared; the host (ours
// included) shares these declarations and never declares a record again.
// All words crossing the boundary are 32-bit, cdecl.

#ifndef VUVOROZO_HOST_HOST_H_
#define VUVOROZO_HOST_HOST_H_

#include <cstddef>
#include <cstdint>

static_assert(sizeof(void*) == 4, "the module and its host are 32-bit");

// Names the host reaches by symbol carry this mark; everything else stays
// hidden inside the shared object.
#define VZ_EXPORT extern "C" __attribute__((visibility("default")))

// ---------------------------------------------------------------------------
// Statuses. 0 is success, bit 31 set is an error, positive is a condition.

inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusEndOfFile = 0x801;   // read past end
inline constexpr int32_t kStatusEndOfList = 0x802;   // walk finished
inline constexpr int32_t kStatusTruncated = 0x1009;  // record cut
inline constexpr int32_t kStatusNoMemory = (int32_t)0x80000803;
inline constexpr int32_t kStatusRefused = (int32_t)0x80000805;  // message 566
inline constexpr int32_t kStatusNotSupported = (int32_t)0x8000080B;
// A transfer on a handle that has no record buffer (its record lengths are
// 0 or less): refused instead of handing the host a null buffer.
inline constexpr int32_t kStatusNoRecordBuffer = (int32_t)0x8000080C;
inline constexpr int32_t kStatusNotAssigned = (int32_t)0x80001004;
inline constexpr int32_t kStatusNoSuchEntry = (int32_t)0x80001006;
inline constexpr int32_t kStatusBadCopySize = (int32_t)0x8000100D;
inline constexpr int32_t kStatusUnknownOption = (int32_t)0x80001017;
inline constexpr int32_t kStatusMalformedOption = (int32_t)0x80001018;
// A length that cannot be a record length (negative where a count is meant,
// or one whose buffer would not fit in 32 bits).
inline constexpr int32_t kStatusBadLength = (int32_t)0x80001019;
inline constexpr int32_t kStatusNullHandle = (int32_t)0x80001025;
inline constexpr int32_t kStatusBadTable = (int32_t)0x8000200A;

// Host statuses the module interprets, after the mask below.
inline constexpr uint32_t kHostStatusMask = 0x803FFFFF;
inline constexpr uint32_t kHostEndOfData = 0x1C00A;
inline constexpr uint32_t kHostNoMoreEntries = 0x1C00F;
inline constexpr int32_t kHostNoSuchEntry = (int32_t)0x8001C006;

inline bool host_end_of_data(int32_t st) {
  return ((uint32_t)st & kHostStatusMask) == kHostEndOfData;
}
inline bool host_no_more_entries(int32_t st) {
  return ((uint32_t)st & kHostStatusMask) == kHostNoMoreEntries;
}
inline bool host_no_such_entry(int32_t st) {
  return ((uint32_t)st & kHostStatusMask) ==
         ((uint32_t)kHostNoSuchEntry & kHostStatusMask);
}

// Message group of the module and the messages it formats.
inline constexpr int32_t kMessageGroup = 566;
inline constexpr int32_t kMsgTypeNotWritable = 1;
inline constexpr int32_t kMsgNotTwoLevel = 2;
inline constexpr int32_t kMsgNotAnEntry = 4;
inline constexpr int32_t kMsgNameUnresolved = 5;
inline constexpr int32_t kMsgMemberNotTwoLevel = 48;
// Host messages issued for the notice words of an open request.
inline constexpr int32_t kMsgNotice1 = 4156;
inline constexpr int32_t kMsgNotice2 = 4157;

// ---------------------------------------------------------------------------
// Heaps. A heap is a host object whose first two words are its routines.

struct host_heap;
typedef void* (*heap_allocate_fn)(host_heap* heap, int32_t size,
                                  int32_t option);
typedef int32_t (*heap_release_fn)(host_heap* heap, void* block, int32_t a,
                                   int32_t b);

struct host_heap {
  heap_allocate_fn allocate;  // word 0: (heap, size, option) -> block or null
  heap_release_fn release;    // word 1: (heap, block, 0, 4)
  // The host's own fields follow.
};
static_assert(offsetof(host_heap, allocate) == 0, "host_heap.allocate");
static_assert(offsetof(host_heap, release) == 4, "host_heap.release");

inline constexpr int32_t kAllocCleared = 6;    // block comes back zeroed
inline constexpr int32_t kAllocUncleared = 4;  // block may hold any bytes

// A routine in a host service vector. Each service forwarder casts it to the
// service's own type.
typedef void (*host_routine)(void);

// Translation-table set: word 3 + index is the address of a 256-byte table.
struct translation_set {
  uint32_t words_0[3];       // host's own words
  const uint8_t* tables[5];  // word 3 + index: tables 0 to 4
};
static_assert(offsetof(translation_set, tables) == 12,
              "translation_set.tables");
inline constexpr int32_t kTableUpper = 2;  // upper case; all module callers

// The global control block. Only the named words are the module's business.
struct gcb_record {
  host_routine** service_vectors;  // word 0: vector V is service_vectors[V]
  uint8_t* tssvec;                 // word 1: byte V set to 1 before vector V
  uint32_t words_2[3];
  host_heap* temporary_heap;  // word 5: the option parser's scratch
  uint32_t words_6[4];
  host_heap* module_heap;  // word 10: every module record
  uint32_t words_11[16];
  translation_set* translation;  // word 27
};
static_assert(offsetof(gcb_record, service_vectors) == 0, "gcb word 0");
static_assert(offsetof(gcb_record, tssvec) == 4, "gcb word 1 (GCB_TSSVEC)");
static_assert(offsetof(gcb_record, temporary_heap) == 20, "gcb word 5");
static_assert(offsetof(gcb_record, module_heap) == 40, "gcb word 10");
static_assert(offsetof(gcb_record, translation) == 108, "gcb word 27");
// The GCB a host supplies has at least this many words.
inline constexpr int32_t kGcbWords = 28;

// The host's GCB and a second anchor, stored by mcn_main.
VZ_EXPORT gcb_record* v_global_gcb_anchor;
VZ_EXPORT uint32_t v_global_pidb_anchor;

// ---------------------------------------------------------------------------
// Shared field forms.

inline constexpr int32_t kNameTextLength = 32;
inline constexpr int32_t kDescriptionTextLength = 256;

// A counted name: only the first length characters are meaningful.
struct name_part {
  int16_t length;              // 0..32
  char text[kNameTextLength];  // not terminated
};
static_assert(sizeof(name_part) == 34, "name_part size");
static_assert(offsetof(name_part, text) == 2, "name_part.text");

// A description: length, then 256 blank-filled characters.
struct description_field {
  int16_t length;                     // 0..256; 0 means none
  char text[kDescriptionTextLength];  // blank-filled
};
static_assert(sizeof(description_field) == 258, "description size");
static_assert(offsetof(description_field, text) == 2, "description.text");

// ---------------------------------------------------------------------------
// Request records of the catalog library services. Each is zeroed over its
// whole length immediately before it is filled.

inline constexpr int32_t kLibModeNone = 0;
inline constexpr int32_t kLibModeRead = 1;
inline constexpr int32_t kLibModeUpdate = 8;

// 340 bytes: argument of ylopen.
struct lib_open_request {
  char libref[8];     // upper case, blank-padded
  name_part catalog;  // catalog name
  uint8_t zero_42[270];
  int32_t open_mode;  // 1 read, 8 update, 0 neither
  int32_t caller_token;
  uint8_t zero_320[20];
};
static_assert(sizeof(lib_open_request) == 340, "lib_open_request size");
static_assert(offsetof(lib_open_request, catalog) == 8,
              "lib_open_request.catalog");
static_assert(offsetof(lib_open_request, zero_42) == 42,
              "lib_open_request.zero_42");
static_assert(offsetof(lib_open_request, open_mode) == 312,
              "lib_open_request.open_mode");
static_assert(offsetof(lib_open_request, caller_token) == 316,
              "lib_open_request.caller_token");
static_assert(offsetof(lib_open_request, zero_320) == 320,
              "lib_open_request.zero_320");

// 56 bytes: argument of ylmfind, ylminfo and ylmdel.
struct member_request {
  uint32_t library;    // library handle
  name_part entry;     // entry name
  char entry_type[8];  // upper case, blank-padded
  uint8_t zero_46[10];
};
static_assert(sizeof(member_request) == 56, "member_request size");
static_assert(offsetof(member_request, entry) == 4, "member_request.entry");
static_assert(offsetof(member_request, entry_type) == 38,
              "member_request.entry_type");
static_assert(offsetof(member_request, zero_46) == 46,
              "member_request.zero_46");

inline constexpr int32_t kMemberOpenOptionBits = 4;
inline constexpr uint16_t kMemberOpenValue512 = 512;
inline constexpr int32_t kAccessRead = 1;
inline constexpr int32_t kAccessWrite = 2;
inline constexpr int32_t kAccessUpdate = 8;

// 384 bytes: argument of ylmopen.
struct member_open_request {
  uint32_t library;  // library handle
  name_part entry;   // entry name
  char entry_type[8];
  uint8_t zero_46[26];
  int32_t option_bits;  // the module sets 4
  uint8_t zero_76[12];
  uint16_t value_512;  // 512
  uint8_t zero_90[22];
  int32_t access_kind;  // 1 read, 2 write, 8 update
  description_field description;
  uint8_t zero_374[10];
};
static_assert(sizeof(member_open_request) == 384, "member_open_request size");
static_assert(offsetof(member_open_request, entry) == 4,
              "member_open_request.entry");
static_assert(offsetof(member_open_request, entry_type) == 38,
              "member_open_request.entry_type");
static_assert(offsetof(member_open_request, zero_46) == 46,
              "member_open_request.zero_46");
static_assert(offsetof(member_open_request, option_bits) == 72,
              "member_open_request.option_bits");
static_assert(offsetof(member_open_request, zero_76) == 76,
              "member_open_request.zero_76");
static_assert(offsetof(member_open_request, value_512) == 88,
              "member_open_request.value_512");
static_assert(offsetof(member_open_request, zero_90) == 90,
              "member_open_request.zero_90");
static_assert(offsetof(member_open_request, access_kind) == 112,
              "member_open_request.access_kind");
static_assert(offsetof(member_open_request, description) == 116,
              "member_open_request.description");
static_assert(offsetof(member_open_request, zero_374) == 374,
              "member_open_request.zero_374");

// 28 bytes: argument of ylmread and ylmwrit.
struct record_request {
  char* buffer;    // record buffer
  int32_t length;  // set by the module on a write, by the host on a read
  uint16_t kind;   // record kind code
  uint8_t zero_10[18];
};
static_assert(sizeof(record_request) == 28, "record_request size");
static_assert(offsetof(record_request, length) == 4, "record_request.length");
static_assert(offsetof(record_request, kind) == 8, "record_request.kind");
static_assert(offsetof(record_request, zero_10) == 10,
              "record_request.zero_10");

// 64 bytes, filled by yldread.
struct directory_entry_record {
  uint32_t host_word;  // not used by the module
  int16_t name_length;
  char name[kNameTextLength];
  char entry_type[8];
  uint8_t host_46[18];  // not used by the module
};
static_assert(sizeof(directory_entry_record) == 64,
              "directory_entry_record size");
static_assert(offsetof(directory_entry_record, name_length) == 4,
              "dir entry.name_length");
static_assert(offsetof(directory_entry_record, name) == 6, "dir entry.name");
static_assert(offsetof(directory_entry_record, entry_type) == 38,
              "dir entry.entry_type");

// 36 bytes, allocated cleared: argument of ylinfsy.
struct info_item {
  uint32_t host_word;  // zero when built; passed to ylinfsr at release
  uint8_t zero_4[8];
  int32_t item_count;  // 1
  uint32_t zero_16;
  const char* label;     // "Catalog Name"
  int32_t label_length;  // 12
  const char* value;     // the handle's display name
  int32_t value_length;
};
static_assert(sizeof(info_item) == 36, "info_item size");
static_assert(offsetof(info_item, item_count) == 12, "info_item.item_count");
static_assert(offsetof(info_item, label) == 20, "info_item.label");
static_assert(offsetof(info_item, label_length) == 24,
              "info_item.label_length");
static_assert(offsetof(info_item, value) == 28, "info_item.value");
static_assert(offsetof(info_item, value_length) == 32,
              "info_item.value_length");

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

// ---------------------------------------------------------------------------
// Option tokens. The module provides the storage of the token record and
// reads four of its fields; the rest belongs to the host.

inline constexpr uint16_t kTokenName = 2;
inline constexpr uint16_t kTokenQuoted = 3;
inline constexpr uint16_t kTokenNumber = 4;
inline constexpr int32_t kTokenRecordSize = 256;  // storage the module gives

struct token_record {
  uint16_t kind;  // 2 name, 3 quoted string, 4 number
  uint16_t host_2;
  const char* text;  // not terminated
  int16_t length;
  uint16_t host_10;
  uint8_t* context;  // tokenizer's context record
  uint8_t host_16[kTokenRecordSize - 16];
};
static_assert(sizeof(token_record) == kTokenRecordSize, "token_record size");
static_assert(offsetof(token_record, text) == 4, "token_record.text");
static_assert(offsetof(token_record, length) == 8, "token_record.length");
static_assert(offsetof(token_record, context) == 12, "token_record.context");
inline constexpr int32_t kTokenContextErrorWord = 48;  // bit 0: error mark

// ---------------------------------------------------------------------------
// Host services. One line a service: name, vector, slot, typed parameters
// and the arguments passed on. The forwarders and their _name_V_S aliases
// are generated from this list in services.cc. wrmksub, which takes a count
// and that many (address, length) pairs, is declared by hand below.

#define VZ_HOST_SERVICES(X)                                                    \
  X(wzrlchr, 0, 320,                                                           \
    (const char* text, int32_t length, int32_t zero, void* work,               \
     int32_t* result),                                                         \
    (text, length, zero, work, result))                                        \
  X(yymheap, 30, 33, (void), ())                                               \
  X(ypmstr, 30, 74,                                                            \
    (char* buffer, int32_t capacity, int32_t group, int32_t number),           \
    (buffer, capacity, group, number))                                         \
  X(yprrlog, 30, 130, (int32_t token, int32_t number), (token, number))        \
  X(znamdiv, 30, 182,                                                          \
    (int32_t zero, const char* text, int32_t length, int32_t* levels,          \
     int32_t four, name_part* p1, name_part* p2, name_part* p3,                \
     name_part* p4),                                                           \
    (zero, text, length, levels, four, p1, p2, p3, p4))                        \
  X(yxam2am, 30, 226, (const char* am_name, void** amec, int32_t token),       \
    (am_name, amec, token))                                                    \
  X(yxaunql, 30, 247, (char* fileref, int32_t token), (fileref, token))        \
  X(yxatoki, 30, 248, (token_record * tokens), (tokens))                       \
  X(yxatokt, 30, 249, (token_record * tokens), (tokens))                       \
  X(yxatok, 30, 250, (int32_t control, int32_t source, token_record * tokens), \
    (control, source, tokens))                                                 \
  X(yldopen, 39, 120,                                                          \
    (uint32_t library, const char* selector, int32_t zero, uint32_t* stream),  \
    (library, selector, zero, stream))                                         \
  X(yldread, 39, 122,                                                          \
    (uint32_t stream, directory_entry_record * entry, int32_t zero),           \
    (stream, entry, zero))                                                     \
  X(yldclos, 39, 36, (uint32_t stream), (stream))                              \
  X(ylmdel, 39, 127, (member_request * request, int32_t zero),                 \
    (request, zero))                                                           \
  X(ylmfind, 39, 128, (member_request * request), (request))                   \
  X(ylminfo, 39, 129,                                                          \
    (member_request * request, int32_t zero, int32_t two, int32_t * result),   \
    (request, zero, two, result))                                              \
  X(ylmnote, 39, 131, (uint32_t member, void* position), (member, position))   \
  X(ylmopen, 39, 132, (member_open_request * request, uint32_t * member),      \
    (request, member))                                                         \
  X(ylmpoin, 39, 133, (uint32_t member, void* position, int32_t mode),         \
    (member, position, mode))                                                  \
  X(ylmread, 39, 134, (uint32_t member, record_request * request),             \
    (member, request))                                                         \
  X(ylmwrit, 39, 139, (uint32_t member, record_request * request),             \
    (member, request))                                                         \
  X(ylmclos, 39, 37, (uint32_t member, int32_t zero), (member, zero))          \
  X(ylclose, 39, 35, (uint32_t library, int32_t zero), (library, zero))        \
  X(ylopen, 39, 142, (lib_open_request * request, uint32_t * library),         \
    (request, library))                                                        \
  X(ylinfsr, 39, 153, (uint32_t library, uint32_t item_word),                  \
    (library, item_word))                                                      \
  X(ylinfsy, 39, 154, (uint32_t library, info_item * item), (library, item))

#define VZ_DECLARE_SERVICE(name, vector, slot, params, args) \
  VZ_EXPORT int32_t name params;
VZ_HOST_SERVICES(VZ_DECLARE_SERVICE)
#undef VZ_DECLARE_SERVICE

// Sets the substitution values of the next message: count, then count pairs
// (address, length). At most kMaxSubstitutions pairs are passed on.
inline constexpr int32_t kMaxSubstitutions = 8;
VZ_EXPORT int32_t wrmksub(int32_t count, ...);
inline constexpr int32_t kWrmksubVector = 0;
inline constexpr int32_t kWrmksubSlot = 144;

// Heap forwarders: word 0 (allocate) and word 1 (release) of the heap.
VZ_EXPORT void* vmalloc_handler(host_heap* heap, int32_t size, int32_t option);
VZ_EXPORT void* vmalcp_handler(host_heap* heap, int32_t size, int32_t option);
VZ_EXPORT int32_t vmfree_handler(host_heap* heap, void* block, int32_t a,
                                 int32_t b);

// The heap that yymheap returns is a host heap object.
inline host_heap* release_heap() { return (host_heap*)(uintptr_t)yymheap(); }

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

// Formats message number of group 566 and sets it as the substitution;
// with_nul selects whether a NUL follows the text (and is counted).
// Returns kStatusRefused for the caller to pass on.
int32_t refuse_with_message(int32_t number, int32_t capacity, bool with_nul);

// Sets the notice substitutions (integer 8 and "CATALOG") and issues
// message number through yprrlog with token.
void issue_notice(int32_t token, int32_t number);

// Sets the substitutions integer 8 (length 4) and an 8-character text.
void substitute_eight_and(const char* text8);

#endif  // VUVOROZO_HOST_HOST_H_
