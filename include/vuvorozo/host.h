// What a host gives the VUVOROZO module and what passes between them in
// memory: the global control block (GCB) with its heaps and translation
// tables, the counted name and description forms, the request records the
// module hands to the host's catalog library services, and the token record
// of the option tokenizer.
//
// This header and the others of include/vuvorozo/ are the whole binary
// contract between the module and its host; a host includes nothing else.
// Records are plain structs whose offsets are checked where they are
// declared, so a compiler that lays one out differently fails the build.
// Every word crossing the boundary is 32-bit, cdecl.

#ifndef VUVOROZO_HOST_H_
#define VUVOROZO_HOST_H_

#include <cstddef>
#include <cstdint>

static_assert(sizeof(void*) == 4, "the module and its host are 32-bit");

// The names the module exports carry this mark.
#define VZ_EXPORT extern "C" __attribute__((visibility("default")))

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

// A routine in a host service vector, as the vector holds it; services.h
// gives each service its own type.
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
// Request records of the catalog library services. The module zeroes each
// over its whole length immediately before it fills it, so a host may
// leave anything in a request after a call.

inline constexpr int32_t kLibModeNone = 0;
inline constexpr int32_t kLibModeRead = 1;
inline constexpr int32_t kLibModeUpdate = 8;

// 340 bytes: argument of ylopen.
struct lib_open_request {
  char libref[8];     // blank-padded; upper case, or as written (two levels)
  name_part catalog;  // catalog name, in the libref's case
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
  name_part entry;     // entry name, upper case
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
  uint32_t library;    // library handle
  name_part entry;     // entry name, upper case
  char entry_type[8];  // upper case, blank-padded
  uint8_t zero_46[26];
  int32_t option_bits;  // the module sets 4
  uint8_t zero_76[12];
  uint16_t value_512;  // 512
  uint8_t zero_90[22];
  int32_t access_kind;  // 1 read, 2 write (replace), 8 update or append
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
  int32_t length;  // set by the module on a write; on a read 0, set by host
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

#endif  // VUVOROZO_HOST_H_
