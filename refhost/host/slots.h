// Typed calls into the module's routine vector, as a host makes them: each
// reads the routine from word 1 of its slot at the time of the call and casts
// it once to the type the contract gives the slot. Tests, the program and the
// benchmarks drive the module only through these.

#ifndef VUVOROZO_REFHOST_HOST_SLOTS_H_
#define VUVOROZO_REFHOST_HOST_SLOTS_H_

#include <cstdint>

#include "vuvorozo/module.h"

namespace refhost {

class Slots {
 public:
  explicit Slots(amec_block* amec) : amec_(amec) {}

  amec_block* amec() const { return amec_; }
  vector_routine routine(int slot) const { return amec_->vector[slot].routine; }

  int32_t Assign(const char* fileref, int32_t token, const char* am_name,
                 const char* physical, int32_t length, option_block* options) {
    return Call<assign_routine>(kSlotAssign)(fileref, token, am_name, physical,
                                             length, options);
  }
  int32_t Deassign(const char* fileref, int32_t token) {
    return Call<deassign_routine>(kSlotDeassign)(fileref, token);
  }
  int32_t FilerefExists(const char* fileref, int32_t token) {
    return Call<fileref_exists_routine>(kSlotExistsFileref)(fileref, token);
  }
  int32_t EntryExists(const char* fileref, int32_t token) {
    return Call<entry_exists_routine>(kSlotExistsEntry)(fileref, token);
  }
  int32_t PathName(const char* fileref, char* buffer1024) {
    return Call<path_name_routine>(kSlotPathName)(fileref, buffer1024);
  }
  int32_t Unsupported(int slot) { return Call<unsupported_routine>(slot)(); }
  int32_t NextFileref(fileref_node** cursor, char* fileref_out, int32_t token,
                      const char** display, int32_t* display_length) {
    return Call<next_fileref_routine>(kSlotNextFileref)(
        cursor, fileref_out, token, display, display_length);
  }
  int32_t Validate(const char* fileref) {
    return Call<validate_routine>(kSlotValidate)(fileref);
  }
  int32_t Info(file_handle* handle, const char* fileref, int32_t token,
               int32_t mask, info_reply* reply) {
    return Call<info_routine>(kSlotInfo)(handle, fileref, token, mask, 0,
                                         reply);
  }
  int32_t InfoSet(file_handle* handle, info_item** item) {
    return Call<info_set_routine>(kSlotInfoSet)(handle, item);
  }
  int32_t InfoRelease(file_handle* handle, info_item* item) {
    return Call<info_release_routine>(kSlotInfoRelease)(handle, item);
  }
  int32_t Open(file_handle** handle, const char* fileref, int32_t token,
               open_request* request) {
    return Call<open_routine>(kSlotOpen)(handle, fileref, token, request);
  }
  int32_t Note(file_handle* handle, void* position) {
    return Call<note_routine>(kSlotNote)(handle, position);
  }
  int32_t Point(file_handle* handle, void* position) {
    return Call<point_routine>(kSlotPoint)(handle, position);
  }
  int32_t Read(file_handle* handle, char** data, int32_t* length,
               char* control) {
    return Call<read_routine>(kSlotRead)(handle, data, length, control);
  }
  int32_t Write(file_handle* handle, const char* data, int32_t length,
                int32_t control) {
    return Call<write_routine>(kSlotWrite)(handle, data, length, control);
  }
  int32_t Flush(file_handle* handle) {
    return Call<flush_routine>(kSlotFlush)(handle);
  }
  int32_t Close(file_handle* handle) {
    return Call<close_routine>(kSlotClose)(handle);
  }
  int32_t DirClose(dir_handle* handle) {
    return Call<dir_close_routine>(kSlotDirClose)(handle);
  }
  int32_t DirInfoSet(dir_handle* handle) {
    return Call<dir_info_set_routine>(kSlotDirInfoSet)(handle);
  }
  int32_t DirInfoRelease(dir_handle* handle) {
    return Call<dir_info_release_routine>(kSlotDirInfoRelease)(handle);
  }
  int32_t DirNext(uint32_t* stream, dir_handle* handle, char* name32,
                  int32_t* name_length, char* type8) {
    return Call<dir_next_routine>(kSlotDirNext)(stream, handle, name32,
                                                name_length, type8);
  }
  int32_t DirOpen(dir_handle** handle, const char* fileref, int32_t token) {
    return Call<dir_open_routine>(kSlotDirOpen)(handle, fileref, token);
  }
  int32_t MemberClose(file_handle* handle) {
    return Call<member_close_routine>(kSlotMemberClose)(handle);
  }
  int32_t MemberExists(dir_handle* handle, const char* text, int32_t length,
                       const char* default_type8) {
    return Call<member_exists_routine>(kSlotMemberExists)(handle, text, length,
                                                          default_type8);
  }
  int32_t MemberOpen(file_handle** handle, dir_handle* directory,
                     const char* text, int32_t length, const char* hint,
                     open_request* request) {
    return Call<member_open_routine>(kSlotMemberOpen)(handle, directory, text,
                                                      length, hint, request);
  }
  int32_t Parse(int32_t control, int32_t source, int32_t* count,
                option_block** block) {
    return Call<parse_routine>(kSlotParse)(0, 0, 0, control, source, count,
                                           block);
  }
  int32_t AssignLike(const char* fileref, int32_t token, const char* am_name,
                     const char* like, int32_t like_length, const char* member,
                     int32_t member_length, option_block* options) {
    return Call<assign_like_routine>(kSlotAssignLike)(
        fileref, token, am_name, like, like_length, member, member_length, 0,
        options);
  }
  int32_t Delete(const char* fileref, int32_t token) {
    return Call<delete_routine>(kSlotDelete)(fileref, token);
  }
  int32_t HoldCopy(const option_block* block, option_block** copy,
                   int32_t* size) {
    return Call<hold_copy_routine>(kSlotHoldCopy)(0, 0, block, copy, size);
  }
  int32_t FromCopy(const void* copy, int32_t size, option_block** block) {
    return Call<from_copy_routine>(kSlotFromCopy)(0, 0, copy, size, block);
  }
  int32_t IoVector(file_handle* handle, io_vector** vector) {
    return Call<io_vector_routine>(kSlotIoVector)(handle, vector);
  }
  int32_t ReleaseOptions(const char* fileref, int32_t token,
                         option_block* block) {
    return Call<release_options_routine>(kSlotReleaseOptions)(fileref, token,
                                                              block);
  }

 private:
  template <typename Fn>
  Fn Call(int slot) const {
    return reinterpret_cast<Fn>(
        reinterpret_cast<void (*)(void)>(amec_->vector[slot].routine));
  }

  amec_block* amec_;
};

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_HOST_SLOTS_H_
