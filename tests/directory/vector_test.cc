// The routine vector is complete: every slot from 0 to 37 answers with its
// own routine, except the not-supported slots 5, 14-17 and 37, which share
// one routine answering 0x8000080B.

#include <functional>
#include <string>

#include "directory/directory_fixture.h"

namespace {

class VectorTest : public DirectoryTest {};

TEST_F(VectorTest, EverySlotButTheNotSupportedOnesHasItsRoutine) {
  const std::string none = Name8("NONE");
  const char* name = none.data();
  char buffer[1024];
  char type[8];
  int32_t length = 0;
  uint32_t stream = 0;
  info_reply reply{};
  option_block* block = Options("LRECL=80");
  ASSERT_NE(block, nullptr);
  option_block* copy = nullptr;
  int32_t size = 0;
  fileref_node* cursor = nullptr;
  const char* display = nullptr;
  file_handle* handle = nullptr;
  dir_handle* dir = nullptr;
  open_request request{};
  io_vector* vector = nullptr;
  char* data = nullptr;
  option_block* made = nullptr;

  // One call a slot that makes the routine answer without side effects
  // (an unassigned fileref, a null handle, an empty list).
  const std::function<int32_t()> calls[kVectorRoutines] = {
      /* 0 */ [&] {
        return slots().Assign(name, 0, "NOSUCHAM", "A.B", 3, nullptr);
      },
      /* 1 */ [&] { return slots().Deassign(name, 0); },
      /* 2 */ [&] { return slots().FilerefExists(name, 0); },
      /* 3 */ [&] { return slots().EntryExists(name, 0); },
      /* 4 */ [&] { return slots().PathName(name, buffer); },
      /* 5 */ nullptr,
      /* 6 */
      [&] {
        return slots().NextFileref(&cursor, buffer, 0, &display, &length);
      },
      /* 7 */ [&] { return slots().Validate(name); },
      /* 8 */ [&] { return slots().Info(nullptr, name, 0, 0, &reply); },
      /* 9 */ [&] { return slots().InfoSet(nullptr, nullptr); },
      /* 10 */ [&] { return slots().InfoRelease(nullptr, nullptr); },
      /* 11 */ [&] { return slots().Open(&handle, name, 0, &request); },
      /* 12 */ [&] { return slots().Note(nullptr, buffer); },
      /* 13 */ [&] { return slots().Point(nullptr, buffer); },
      /* 14 */ nullptr,
      /* 15 */ nullptr,
      /* 16 */ nullptr,
      /* 17 */ nullptr,
      /* 18 */ [&] { return slots().Read(nullptr, &data, &length, nullptr); },
      /* 19 */ [&] { return slots().Write(nullptr, buffer, 1, ' '); },
      /* 20 */ [&] { return slots().Flush(nullptr); },
      /* 21 */ [&] { return slots().Close(nullptr); },
      /* 22 */ [&] { return slots().DirClose(nullptr); },
      /* 23 */ [&] { return slots().DirInfoSet(nullptr); },
      /* 24 */ [&] { return slots().DirInfoRelease(nullptr); },
      /* 25 */
      [&] { return slots().DirNext(&stream, nullptr, buffer, &length, type); },
      /* 26 */ [&] { return slots().DirOpen(&dir, name, 0); },
      /* 27 */ [&] { return slots().MemberClose(nullptr); },
      /* 28 */ [&] { return slots().MemberExists(nullptr, "A", 1, type); },
      /* 29 */
      [&] {
        return slots().MemberOpen(&handle, nullptr, "A", 1, "LOG", &request);
      },
      /* 30 */
      [&] { return slots().ReleaseOptions(name, 0, Options("RECFM=V")); },
      /* 31 */
      [&] {
        return slots().AssignLike(name, 0, "VUVOROZO", "OTHER", 5, nullptr, 0,
                                  nullptr);
      },
      /* 32 */ [&] { return slots().Delete(name, 0); },
      /* 33 */ [&] { return slots().HoldCopy(block, &copy, &size); },
      /* 34 */ [&] { return slots().FromCopy(buffer, 5, &made); },
      /* 35 */ [&] { return slots().IoVector(nullptr, &vector); },
      /* 36 */ [&] { return slots().ReleaseOptions(name, 0, block); },
      /* 37 */ nullptr,
  };

  const vector_routine not_supported = slots().routine(5);
  for (int slot = 0; slot < kVectorRoutines; ++slot) {
    SCOPED_TRACE(slot);
    ASSERT_NE(slots().routine(slot), nullptr);
    if (!calls[slot]) {
      EXPECT_EQ(slots().routine(slot), not_supported);
      EXPECT_EQ(slots().Unsupported(slot), kStatusNotSupported);
      continue;
    }
    EXPECT_NE(slots().routine(slot), not_supported);
    EXPECT_NE(calls[slot](), kStatusNotSupported);
  }
  for (int slot = kVectorRoutines; slot < kVectorSlots; ++slot) {
    EXPECT_EQ(slots().routine(slot), nullptr) << slot;
  }

  // Slot 33 made a held copy; slot 36 released the first block.
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(slots().ReleaseOptions(name, 0, copy), 0);
  EXPECT_EQ(made, nullptr);
}

}  // namespace
