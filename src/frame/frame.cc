// Module entry, image record, program control record and the factory.
// The routine vector is one table below, one line a slot; the factory
// copies it into a heap block the host keeps for the module's life.

#include "frame/frame.h"

#include <cstring>

#include "directory/directory.h"
#include "entry/entry.h"
#include "fileref/fileref.h"
#include "text/text.h"

gcb_record* v_global_gcb_anchor = nullptr;
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

// The one place where a typed routine becomes a slot word.
#define slot(routine) ((vector_routine)(void (*)(void))(routine))

// The routine vector, slots 0-37. Slots 38-44 stay zero.
const vector_routine kRoutineTable[kVectorRoutines] = {
    slot(yxlasgn),  //  0 assign a fileref
    slot(yxldasg),  //  1 deassign a fileref
    slot(yxlexl),   //  2 test that a fileref is assigned
    slot(yxlexp),   //  3 test that the named entry or catalog exists
    slot(yxlpnam),  //  4 full path name of a fileref
    slot(yxlnsup),  //  5 not supported
    slot(yxlnxt),   //  6 next fileref in the list
    slot(yxlval),   //  7 validate a fileref's name
    slot(yxlinfo),  //  8 attributes of an open entry or a fileref
    slot(yxlins),   //  9 build the information set of an open entry
    slot(yxlinf),   // 10 release the information set
    slot(yxlopn),   // 11 open the entry named by a fileref
    slot(yxlnote),  // 12 note the current record position
    slot(yxlpnt),   // 13 go to a noted position
    slot(yxlnsup),  // 14 not supported
    slot(yxlnsup),  // 15 not supported
    slot(yxlnsup),  // 16 not supported
    slot(yxlnsup),  // 17 not supported
    slot(yxlread),  // 18 read one record
    slot(yxlwrit),  // 19 write one record
    slot(yxlflsh),  // 20 flush
    slot(yxlcls),   // 21 close an entry opened by slot 11
    slot(yxldcls),  // 22 close a directory
    slot(yxldins),  // 23 directory information set
    slot(yxldinf),  // 24 release directory information
    slot(yxldnxt),  // 25 next entry of a directory
    slot(yxldopn),  // 26 open a catalog as a directory
    slot(yxlmcls),  // 27 close a member opened by slot 29
    slot(yxlmex),   // 28 test that a member exists in an open directory
    slot(yxlmopn),  // 29 open a member of an open directory
    slot(yxlpars),  // 30 parse one fileref option
    slot(yxlasl),   // 31 assign a fileref like another one
    slot(yxldel),   // 32 delete the named entry
    slot(yxlhh2p),  // 33 copy an option block out for the host
    slot(yxlhp2h),  // 34 copy an option block back from the host
    slot(yxlamvc),  // 35 hand out the io_vector of an open entry
    slot(yxlhbfr),  // 36 release an option block
    slot(yxlnsup),  // 37 not supported
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
