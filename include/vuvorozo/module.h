// The module's side of the contract: the records a host reads to start it
// (the image information record and the program control record), the AMEC
// block with its routine vector and the type of every slot's routine, and
// the records the routines exchange with the host: option_block,
// open_request, io_vector and info_reply. The handles the opens return
// (file_handle, dir_handle) and the fileref cursor of slot 6 are the
// module's own records; a host holds them only as addresses.

#ifndef VUVOROZO_MODULE_H_
#define VUVOROZO_MODULE_H_

#include <cstddef>
#include <cstdint>

#include "vuvorozo/host.h"

// Opaque to a host: made, read and released by the module only.
struct fileref_node;  // one assigned fileref; a slot 6 cursor
struct file_handle;   // an open entry or member (slots 11 and 29)
struct dir_handle;    // a catalog open as a directory (slot 26)

// ---------------------------------------------------------------------------
// option_block: 288 bytes, made by slot 30; also the byte form that slots
// 33 and 34 copy.

inline constexpr int32_t kOptionBlockSize = 288;
inline constexpr int32_t kOptionBlockTag = 7;
inline constexpr int32_t kRecfmVariable = 0x20;  // RECFM=V
inline constexpr int32_t kRecfmFixed = 0x08;     // RECFM=F: fixed, blank-padded
inline constexpr int32_t kRecfmPrint = 0x11;     // RECFM=P
inline constexpr int32_t kRecfmCarriage = 0x10;  // carriage-control byte leads
inline constexpr int32_t kOpenOptionMod = 4;     // MOD: append
inline constexpr int32_t kOptionKeep = 0x10;     // keep flag: host owns it

struct option_block {
  int32_t block_tag;              // 7, set when made; never read
  int32_t recfm;                  // RECFM bits ORed in; 0 when none
  int32_t open_options;           // bit 4: MOD
  int32_t lrecl;                  // LRECL; 0 when not given
  int32_t blocksize;              // BLOCKSIZE; kept, never acted on
  description_field description;  // DESC/DESCRIPTION; length 0 = none
  uint8_t reserved_278[2];
  int32_t option_flags;  // bit 0x10: keep flag
  int32_t attr;          // 1 when ATTR appeared
};
static_assert(sizeof(option_block) == kOptionBlockSize, "option_block size");
static_assert(offsetof(option_block, recfm) == 4, "option_block.recfm");
static_assert(offsetof(option_block, open_options) == 8,
              "option_block.open_options");
static_assert(offsetof(option_block, lrecl) == 12, "option_block.lrecl");
static_assert(offsetof(option_block, blocksize) == 16,
              "option_block.blocksize");
static_assert(offsetof(option_block, description) == 20,
              "option_block.description");
static_assert(offsetof(option_block, reserved_278) == 278,
              "option_block.reserved_278");
static_assert(offsetof(option_block, option_flags) == 280,
              "option_block.option_flags");
static_assert(offsetof(option_block, attr) == 284, "option_block.attr");

// ---------------------------------------------------------------------------
// open_request: the host's record, passed to the entry and member opens.

inline constexpr int32_t kOpenInput = 0x1;
inline constexpr int32_t kOpenOutput = 0x2;
inline constexpr int32_t kOpenAppend = 0x4;
inline constexpr int32_t kOpenUpdate = 0x8;  // output to an existing entry
inline constexpr int32_t kOpenNotices = 0x800000;

struct open_request {
  int32_t open_flags;     // bit set above
  int32_t recfm;          // used when no option block gives one
  int32_t record_length;  // in: requested (signed); out: data length
  option_block* options;  // this open's option block, or null
  uint32_t host_16;       // not read or written by the module
  int32_t notice1;        // nonzero selects message 4156; out: 0
  int32_t notice2;        // nonzero selects message 4157; out: 0
};
static_assert(sizeof(open_request) == 28, "open_request size");
static_assert(offsetof(open_request, recfm) == 4, "open_request.recfm");
static_assert(offsetof(open_request, record_length) == 8,
              "open_request.record_length");
static_assert(offsetof(open_request, options) == 12, "open_request.options");
static_assert(offsetof(open_request, notice1) == 20, "open_request.notice1");
static_assert(offsetof(open_request, notice2) == 24, "open_request.notice2");

// ---------------------------------------------------------------------------
// info_reply: at least 40 bytes, supplied by the host and filled by slot 8
// as the request mask says.

inline constexpr int32_t kInfoPath = 0x1;
inline constexpr int32_t kInfoRecfm = 0x2;
inline constexpr int32_t kInfoLrecl = 0x4;
inline constexpr int32_t kInfoKind = 0x8;
inline constexpr int32_t kInfoZeros = 0x10;
inline constexpr int32_t kInfoTwelve = 0x20;
inline constexpr int32_t kInfoAll = 0x3F;  // every field

struct info_reply {
  const char* path;  // the display name, not copied
  int32_t path_length;
  int32_t recfm;  // 8 or 32, plus 0x10 with carriage control
  int32_t data_length;
  char kind[8];  // "CATALOG "
  int32_t zero_24;
  int32_t zero_28;
  int32_t twelve;  // 12
  int32_t four;    // 4, every call
};
static_assert(sizeof(info_reply) == 40, "info_reply size");
static_assert(offsetof(info_reply, path_length) == 4, "info_reply.path_length");
static_assert(offsetof(info_reply, recfm) == 8, "info_reply.recfm");
static_assert(offsetof(info_reply, data_length) == 12,
              "info_reply.data_length");
static_assert(offsetof(info_reply, kind) == 16, "info_reply.kind");
static_assert(offsetof(info_reply, zero_24) == 24, "info_reply.zero_24");
static_assert(offsetof(info_reply, twelve) == 32, "info_reply.twelve");
static_assert(offsetof(info_reply, four) == 36, "info_reply.four");

// Record kind codes carried with every stored record.
inline constexpr uint16_t kKindText = 145;
inline constexpr uint16_t kKind186 = 186;
inline constexpr uint16_t kKind187 = 187;
inline constexpr uint16_t kKindEmptyCatams = 270;
inline constexpr uint16_t kKindBinary = 321;
inline constexpr uint16_t kKindMarkup = 322;

// The buffer of a full path name (slot 4) holds this many characters.
inline constexpr int32_t kPathNameCapacity = 1024;

// ---------------------------------------------------------------------------
// The routine vector: 45 slots of two words, word 1 the routine. Each slot
// number comes with the type of its routine; a host reads word 1 at the
// time of the call and casts it once to that type.

// A routine as the vector holds it.
typedef int32_t (*vector_routine)(void);

// One slot of the routine vector: two 32-bit words.
struct routine_slot {
  uint32_t zero;           // word 0: always 0
  vector_routine routine;  // word 1: the routine, or null (slots 38-44)
};
static_assert(sizeof(routine_slot) == 8, "routine_slot size");

inline constexpr int32_t kVectorSlots = 45;
inline constexpr int32_t kVectorRoutines = 38;  // slots 0-37 hold routines

// Slots 5, 14, 15, 16, 17 and 37: not supported; any arguments, 0x8000080B.
typedef int32_t (*unsupported_routine)(void);
inline constexpr int32_t kSlotUnsupported15 = 15;
inline constexpr int32_t kSlotUnsupported17 = 17;

// Filerefs.
// Slot 0: assign a fileref.
inline constexpr int32_t kSlotAssign = 0;
typedef int32_t (*assign_routine)(const char* fileref, int32_t token,
                                  const char* am_name, const char* physical,
                                  int32_t physical_length,
                                  option_block* options);
// Slot 1: deassign a fileref.
inline constexpr int32_t kSlotDeassign = 1;
typedef int32_t (*deassign_routine)(const char* fileref, int32_t token);
// Slot 2: test that a fileref is assigned.
inline constexpr int32_t kSlotExistsFileref = 2;
typedef int32_t (*fileref_exists_routine)(const char* fileref, int32_t token);
// Slot 6: next fileref in the list.
inline constexpr int32_t kSlotNextFileref = 6;
typedef int32_t (*next_fileref_routine)(fileref_node** cursor,
                                        char* fileref_out, int32_t token,
                                        const char** display_name,
                                        int32_t* display_name_length);
// Slot 31: assign a fileref like another one.
inline constexpr int32_t kSlotAssignLike = 31;
typedef int32_t (*assign_like_routine)(const char* fileref, int32_t token,
                                       const char* am_name, const char* like,
                                       int32_t like_length, const char* member,
                                       int32_t member_length, int32_t ignored,
                                       option_block* options);
// Slot 36: release an option block.
inline constexpr int32_t kSlotReleaseOptions = 36;
typedef int32_t (*release_options_routine)(const char* fileref, int32_t token,
                                           option_block* block);

// Names.
// Slot 4: full path name of a fileref.
inline constexpr int32_t kSlotPathName = 4;
typedef int32_t (*path_name_routine)(const char* fileref, char* buffer);
// Slot 7: validate a fileref's name.
inline constexpr int32_t kSlotValidate = 7;
typedef int32_t (*validate_routine)(const char* fileref);

// Options.
// Slot 30: parse one fileref option.
inline constexpr int32_t kSlotParse = 30;
typedef int32_t (*parse_routine)(int32_t unused1, int32_t unused2,
                                 int32_t unused3, int32_t control,
                                 int32_t source, int32_t* count,
                                 option_block** block);
// Slot 33: copy an option block out for the host.
inline constexpr int32_t kSlotHoldCopy = 33;
typedef int32_t (*hold_copy_routine)(int32_t unused1, int32_t unused2,
                                     const option_block* block,
                                     option_block** copy, int32_t* size);
// Slot 34: copy an option block back from the host.
inline constexpr int32_t kSlotFromCopy = 34;
typedef int32_t (*from_copy_routine)(int32_t unused1, int32_t unused2,
                                     const void* copy, int32_t size,
                                     option_block** block);

// Entries.
struct io_vector;
// Slot 11: open the entry named by a fileref.
inline constexpr int32_t kSlotOpen = 11;
typedef int32_t (*open_routine)(file_handle** handle, const char* fileref,
                                int32_t token, open_request* request);
// Slot 12: note the current record position.
inline constexpr int32_t kSlotNote = 12;
typedef int32_t (*note_routine)(file_handle* handle, void* position);
// Slot 13: go to a noted position.
inline constexpr int32_t kSlotPoint = 13;
typedef int32_t (*point_routine)(file_handle* handle, void* position);
// Slot 18: read one record.
inline constexpr int32_t kSlotRead = 18;
typedef int32_t (*read_routine)(file_handle* handle, char** data,
                                int32_t* length, char* control);
// Slot 19: write one record.
inline constexpr int32_t kSlotWrite = 19;
typedef int32_t (*write_routine)(file_handle* handle, const char* data,
                                 int32_t length, int32_t control);
// Slot 20: flush.
inline constexpr int32_t kSlotFlush = 20;
typedef int32_t (*flush_routine)(file_handle* handle);
// Slot 21: close an entry opened by slot 11.
inline constexpr int32_t kSlotClose = 21;
typedef int32_t (*close_routine)(file_handle* handle);
// Slot 35: hand out the io_vector of an open entry.
inline constexpr int32_t kSlotIoVector = 35;
typedef int32_t (*io_vector_routine)(file_handle* handle, io_vector** vector);
// Slot 8: attributes of an open entry or a fileref.
inline constexpr int32_t kSlotInfo = 8;
typedef int32_t (*info_routine)(file_handle* handle, const char* fileref,
                                int32_t token, int32_t mask, int32_t unused,
                                info_reply* reply);
// Slot 9: build the information set of an open entry.
inline constexpr int32_t kSlotInfoSet = 9;
typedef int32_t (*info_set_routine)(file_handle* handle, info_item** item);
// Slot 10: release the information set.
inline constexpr int32_t kSlotInfoRelease = 10;
typedef int32_t (*info_release_routine)(file_handle* handle, info_item* item);

// Catalogs as directories, existence and deletion.
// Slot 26: open a catalog as a directory.
inline constexpr int32_t kSlotDirOpen = 26;
typedef int32_t (*dir_open_routine)(dir_handle** handle, const char* fileref,
                                    int32_t token);
// Slot 25: next entry of a directory.
inline constexpr int32_t kSlotDirNext = 25;
typedef int32_t (*dir_next_routine)(uint32_t* stream, dir_handle* handle,
                                    char* name, int32_t* name_length,
                                    char* entry_type);
// Slot 22: close a directory.
inline constexpr int32_t kSlotDirClose = 22;
typedef int32_t (*dir_close_routine)(dir_handle* handle);
// Slot 23: directory information set.
inline constexpr int32_t kSlotDirInfoSet = 23;
typedef int32_t (*dir_info_set_routine)(dir_handle* handle);
// Slot 24: release directory information.
inline constexpr int32_t kSlotDirInfoRelease = 24;
typedef int32_t (*dir_info_release_routine)(dir_handle* handle);
// Slot 28: test that a member exists in an open directory.
inline constexpr int32_t kSlotMemberExists = 28;
typedef int32_t (*member_exists_routine)(dir_handle* handle, const char* text,
                                         int32_t length,
                                         const char* default_type);
// Slot 29: open a member of an open directory.
inline constexpr int32_t kSlotMemberOpen = 29;
typedef int32_t (*member_open_routine)(file_handle** handle,
                                       dir_handle* directory, const char* text,
                                       int32_t length, const char* hint,
                                       open_request* request);
// Slot 27: close a member opened by slot 29.
inline constexpr int32_t kSlotMemberClose = 27;
typedef int32_t (*member_close_routine)(file_handle* handle);
// Slot 3: test that the named entry or catalog exists.
inline constexpr int32_t kSlotExistsEntry = 3;
typedef int32_t (*entry_exists_routine)(const char* fileref, int32_t token);
// Slot 32: delete the named entry.
inline constexpr int32_t kSlotDelete = 32;
typedef int32_t (*delete_routine)(const char* fileref, int32_t token);

// ---------------------------------------------------------------------------
// io_vector: 76 bytes handed to the host (slot 35) for fast record I/O.

struct io_vector {
  file_handle* owner;     // the handle
  read_routine read;      // the entry type's read routine, or slot 18
  write_routine write;    // the entry type's write routine, or slot 19
  note_routine note;      // slot 12
  point_routine point;    // slot 13
  vector_routine slot15;  // slot 15
  vector_routine slot17;  // slot 17
  uint8_t host_28[48];    // never written by the module
};
static_assert(sizeof(io_vector) == 76, "io_vector size");
static_assert(offsetof(io_vector, read) == 4, "io_vector.read");
static_assert(offsetof(io_vector, write) == 8, "io_vector.write");
static_assert(offsetof(io_vector, note) == 12, "io_vector.note");
static_assert(offsetof(io_vector, point) == 16, "io_vector.point");
static_assert(offsetof(io_vector, slot15) == 20, "io_vector.slot15");
static_assert(offsetof(io_vector, slot17) == 24, "io_vector.slot17");
static_assert(offsetof(io_vector, host_28) == 28, "io_vector.host_28");

// ---------------------------------------------------------------------------
// The AMEC block: 40 bytes, built by the factory, kept by the host for the
// module's life under its access-method name, found again by the module
// through yxam2am.

struct amec_block {
  uint32_t zero_0[2];
  char eye_catcher[4];  // "AMEC", no terminator
  uint32_t zero_12;
  char am_name[8];       // "VUVOROZO", no terminator
  routine_slot* vector;  // the 45-slot routine vector
  uint32_t zero_28[2];
  fileref_node* fileref_list;  // the module's own; walk it through slot 6
};
static_assert(sizeof(amec_block) == 40, "amec_block size");
static_assert(offsetof(amec_block, eye_catcher) == 8, "amec_block.eye_catcher");
static_assert(offsetof(amec_block, am_name) == 16, "amec_block.am_name");
static_assert(offsetof(amec_block, vector) == 24, "amec_block.vector");
static_assert(offsetof(amec_block, fileref_list) == 36,
              "amec_block.fileref_list");

// The access-method name, as the module looks itself up.
inline constexpr char kAccessMethodName[8] = {'V', 'U', 'V', 'O',
                                              'R', 'O', 'Z', 'O'};

// ---------------------------------------------------------------------------
// Starting the module: mcn_main returns the image record, whose program
// control list leads to the factory.

// 96 bytes, read by the host; a fixed format.
struct image_record {
  char key[24];             // "KOR_Image_Information=", zero-filled
  uint32_t magic;           // 0xB0BDEBED
  uint32_t eight;           // 8
  char release[6];          // "d.dd", NUL-terminated
  char build_id[20];        // 16 characters, NUL-terminated
  char build_date[26];      // "Mmm dd yyyy", NUL-terminated
  const void* const* pcns;  // the program control list
  const char* notice;       // NUL-terminated notice text
  char version[4];          // "001"
};
static_assert(sizeof(image_record) == 96, "image_record size");
static_assert(offsetof(image_record, magic) == 24, "image_record.magic");
static_assert(offsetof(image_record, eight) == 28, "image_record.eight");
static_assert(offsetof(image_record, release) == 32, "image_record.release");
static_assert(offsetof(image_record, build_id) == 38, "image_record.build_id");
static_assert(offsetof(image_record, build_date) == 58,
              "image_record.build_date");
static_assert(offsetof(image_record, pcns) == 84, "image_record.pcns");
static_assert(offsetof(image_record, notice) == 88, "image_record.notice");
static_assert(offsetof(image_record, version) == 92, "image_record.version");
inline constexpr uint32_t kImageMagic = 0xB0BDEBED;

// The factory: on success *block is the AMEC block and *status 0; on
// failure *block is null and *status 0x80000803.
typedef void (*factory_routine)(amec_block** block, int32_t* status);

// 44 bytes, read by the host; the module never reads its numbers.
struct program_control_record {
  int16_t zero;             // 0
  int16_t minus_one;        // -1
  uint32_t size_4;          // 1024
  uint32_t size_8;          // 1024
  char name[12];            // "vuvorozo", NUL, zero-filled
  factory_routine factory;  // vuvorozo
  uint32_t value_28;        // 2
  uint32_t value_32;        // 9683
  uint32_t value_36;        // 1149857
  uint32_t value_40;        // 15
};
static_assert(sizeof(program_control_record) == 44, "pcn size");
static_assert(offsetof(program_control_record, minus_one) == 2,
              "pcn.minus_one");
static_assert(offsetof(program_control_record, size_4) == 4, "pcn.size_4");
static_assert(offsetof(program_control_record, name) == 12, "pcn.name");
static_assert(offsetof(program_control_record, factory) == 24, "pcn.factory");
static_assert(offsetof(program_control_record, value_28) == 28, "pcn.value_28");
static_assert(offsetof(program_control_record, value_40) == 40, "pcn.value_40");

// Pointer slots of the program control list, which ends at its first null.
inline constexpr int32_t kProgramControlSlots = 8;

// The entry point: stores the host's GCB and second anchor and returns the
// image record. Cannot fail.
typedef const image_record* (*entry_point_routine)(gcb_record* gcb,
                                                   uint32_t pidb);

// ---------------------------------------------------------------------------
// Names the module exports besides the routine vector.

VZ_EXPORT const image_record* mcn_main(gcb_record* gcb, uint32_t pidb);
VZ_EXPORT const image_record vi_mcn;
VZ_EXPORT const void* const mcn_pcns[kProgramControlSlots];
VZ_EXPORT const program_control_record pcn_VUVOROZO;
VZ_EXPORT void vuvorozo(amec_block** block, int32_t* status);
// Initialisation hook, called by mcn_main: does nothing.
VZ_EXPORT void himodcn(void);
// The routine of the not-supported slots.
VZ_EXPORT int32_t yxlnsup(void);
// The two anchors mcn_main stored.
VZ_EXPORT gcb_record* v_global_gcb_anchor;
VZ_EXPORT uint32_t v_global_pidb_anchor;
// Two zero words, never read or written.
VZ_EXPORT uint32_t u_deve;
VZ_EXPORT uint32_t u_devp;

#endif  // VUVOROZO_MODULE_H_
