// The access-method descriptor (AMEC block) and its routine vector: the
// records the factory builds once and the host keeps for the module's life.
// The registry hangs its fileref list off the block; the io_vector copies
// routine addresses out of the vector.

#ifndef VUVOROZO_FRAME_AMEC_H_
#define VUVOROZO_FRAME_AMEC_H_

#include <cstddef>
#include <cstdint>

#include "host/host.h"

struct fileref_node;

// A routine as the vector holds it; each slot's own type is cast once.
typedef int32_t (*vector_routine)(void);

// One slot of the routine vector: two 32-bit words.
struct routine_slot {
  uint32_t zero;           // word 0: always 0
  vector_routine routine;  // word 1: the routine, or null (slots 38-44)
};
static_assert(sizeof(routine_slot) == 8, "routine_slot size");

inline constexpr int32_t kVectorSlots = 45;
inline constexpr int32_t kVectorRoutines = 38;  // slots 0-37 hold routines

// Slot numbers that other code names.
enum vector_slot : int32_t {
  kSlotAssign = 0,
  kSlotDeassign = 1,
  kSlotExistsFileref = 2,
  kSlotExistsEntry = 3,
  kSlotPathName = 4,
  kSlotNextFileref = 6,
  kSlotValidate = 7,
  kSlotInfo = 8,
  kSlotInfoSet = 9,
  kSlotInfoRelease = 10,
  kSlotOpen = 11,
  kSlotNote = 12,
  kSlotPoint = 13,
  kSlotUnsupported15 = 15,
  kSlotUnsupported17 = 17,
  kSlotRead = 18,
  kSlotWrite = 19,
  kSlotFlush = 20,
  kSlotClose = 21,
  kSlotDirClose = 22,
  kSlotDirInfoSet = 23,
  kSlotDirInfoRelease = 24,
  kSlotDirNext = 25,
  kSlotDirOpen = 26,
  kSlotMemberClose = 27,
  kSlotMemberExists = 28,
  kSlotMemberOpen = 29,
  kSlotParse = 30,
  kSlotAssignLike = 31,
  kSlotDelete = 32,
  kSlotHoldCopy = 33,
  kSlotFromCopy = 34,
  kSlotIoVector = 35,
  kSlotReleaseOptions = 36,
};

// 40 bytes, cleared at allocation; found again by name through yxam2am.
struct amec_block {
  uint32_t zero_0[2];
  char eye_catcher[4];  // "AMEC", no terminator
  uint32_t zero_12;
  char am_name[8];       // "VUVOROZO", no terminator
  routine_slot* vector;  // the 45-slot routine vector
  uint32_t zero_28[2];
  fileref_node* fileref_list;  // head of the fileref list; null at creation
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

#endif  // VUVOROZO_FRAME_AMEC_H_
