// Module entry, image record, program control record and the factory.
// The routine vector is one table below, one line a slot; the factory
// copies it into a heap block the host keeps for the module's life.

#include <cstring>

#include "directory/directory.h"
#include "entry/entry.h"
#include "fileref/fileref.h"
#include "text/text.h"

gcb_record* v_global_gcb_anchor = nullptr;
extern gcb_record* gcb_anchor_in_module
    __attribute__((alias("v_global_gcb_anchor")));
uint32_t v_global_pidb_anchor = 0;
uint32_t u_deve = 0;
uint32_t u_devp = 0;

namespace {

const char kNotice[] =
    "VUVOROZO catalog access method. Stores filerefs in catalog entries.";

}  // namespace

// clang-format off
VZ_EXPORT const program_control_record pcn_VUVOROZO = {
    0, -1, 1024, 1024, {'v', 'u', 'v', 'o', 'r', 'o', 'z', 'o'},
    &vuvorozo, 2, 9683, 1149857, 15};
// clang-format on

VZ_EXPORT const void* const mcn_pcns[kProgramControlSlots] = {&pcn_VUVOROZO};

VZ_EXPORT const image_record vi_mcn = {
    "KOR_Image_Information=",
    kImageMagic,
    8,
    "1.00",
    "VUVOROZO.100.001",
    "Dec  8 2026",
    mcn_pcns,
    kNotice,
    "001",
};

VZ_EXPORT const image_record* mcn_main(gcb_record* gcb, uint32_t pidb) {
  v_global_gcb_anchor = gcb;
  v_global_pidb_anchor = pidb;
  himodcn();
  return &vi_mcn;
}

VZ_EXPORT void himodcn(void) {}

VZ_EXPORT int32_t yxlnsup(void) { return kStatusNotSupported; }

namespace {

// The one place where a typed routine becomes a slot word. The routine
// must have exactly the type the contract gives its slot.
#define slot(routine, type) \
  ((vector_routine)(void (*)(void)) static_cast<type>(&routine))

// The routine vector, slots 0-37. Slots 38-44 stay zero.
const vector_routine kRoutineTable[kVectorRoutines] = {
    slot(yxlasgn, assign_routine),            //  0
    slot(yxldasg, deassign_routine),          //  1
    slot(yxlexl, fileref_exists_routine),     //  2
    slot(yxlexp, entry_exists_routine),       //  3
    slot(yxlpnam, path_name_routine),         //  4
    slot(yxlnsup, unsupported_routine),       //  5
    slot(yxlnxt, next_fileref_routine),       //  6
    slot(yxlval, validate_routine),           //  7
    slot(yxlinfo, info_routine),              //  8
    slot(yxlins, info_set_routine),           //  9
    slot(yxlinf, info_release_routine),       // 10
    slot(yxlopn, open_routine),               // 11
    slot(yxlnote, note_routine),              // 12
    slot(yxlpnt, point_routine),              // 13
    slot(yxlnsup, unsupported_routine),       // 14
    slot(yxlnsup, unsupported_routine),       // 15
    slot(yxlnsup, unsupported_routine),       // 16
    slot(yxlnsup, unsupported_routine),       // 17
    slot(yxlread, read_routine),              // 18
    slot(yxlwrit, write_routine),             // 19
    slot(yxlflsh, flush_routine),             // 20
    slot(yxlcls, close_routine),              // 21
    slot(yxldcls, dir_close_routine),         // 22
    slot(yxldins, dir_info_set_routine),      // 23
    slot(yxldinf, dir_info_release_routine),  // 24
    slot(yxldnxt, dir_next_routine),          // 25
    slot(yxldopn, dir_open_routine),          // 26
    slot(yxlmcls, member_close_routine),      // 27
    slot(yxlmex, member_exists_routine),      // 28
    slot(yxlmopn, member_open_routine),       // 29
    slot(yxlpars, parse_routine),             // 30
    slot(yxlasl, assign_like_routine),        // 31
    slot(yxldel, delete_routine),             // 32
    slot(yxlhh2p, hold_copy_routine),         // 33
    slot(yxlhp2h, from_copy_routine),         // 34
    slot(yxlamvc, io_vector_routine),         // 35
    slot(yxlhbfr, release_options_routine),   // 36
    slot(yxlnsup, unsupported_routine),       // 37
};

#undef slot

}  // namespace

VZ_EXPORT void vuvorozo(amec_block** block, int32_t* status) {
  *block = nullptr;
  amec_block* amec = (amec_block*)module_alloc(sizeof(amec_block), true);
  if (amec == nullptr) {
    *status = kStatusNoMemory;
    return;
  }
  memcpy(amec->eye_catcher, "AMEC", 4);
  memcpy(amec->am_name, kAccessMethodName, 8);
  routine_slot* vector =
      (routine_slot*)module_alloc(kVectorSlots * sizeof(routine_slot), true);
  if (vector == nullptr) {
    module_free(amec);
    *status = kStatusNoMemory;
    return;
  }
  amec->vector = vector;
  for (int32_t i = 0; i < kVectorRoutines; ++i) {
    vector[i].zero = 0;
    vector[i].routine = kRoutineTable[i];
  }
  *block = amec;
  *status = kStatusOk;
}
