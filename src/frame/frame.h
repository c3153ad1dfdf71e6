// The module's boundary towards the host: the entry point mcn_main, the
// image information record vi_mcn, the program control list and record,
// the factory vuvorozo that builds the AMEC block and its routine vector,
// and the not-supported routine.

#ifndef VUVOROZO_FRAME_FRAME_H_
#define VUVOROZO_FRAME_FRAME_H_

#include <cstddef>
#include <cstdint>

#include "frame/amec.h"
#include "host/host.h"

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

inline constexpr int32_t kProgramControlSlots = 8;

VZ_EXPORT const image_record vi_mcn;
VZ_EXPORT const void* const mcn_pcns[kProgramControlSlots];
VZ_EXPORT const program_control_record pcn_VUVOROZO;
VZ_EXPORT uint32_t u_deve;
VZ_EXPORT uint32_t u_devp;

// Stores the two anchors and returns the image record. Cannot fail.
VZ_EXPORT const image_record* mcn_main(gcb_record* gcb, uint32_t pidb);
// Initialisation hook: does nothing.
VZ_EXPORT void himodcn(void);
// Builds the AMEC block and its routine vector. On success *block is the
// block and *status 0; on failure *block is null and *status 0x80000803.
VZ_EXPORT void vuvorozo(amec_block** block, int32_t* status);
// Any arguments: returns 0x8000080B.
VZ_EXPORT int32_t yxlnsup(void);

#endif  // VUVOROZO_FRAME_FRAME_H_
