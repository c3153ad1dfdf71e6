// Record transfer: reading and writing the records of an open entry one at
// a time, noting and returning to positions, and the io_vector through
// which the host reaches the read and write routines directly.
//
// Every record is one call of the host's ylmread or ylmwrit with the
// handle's own record_request; records pass through the handle's record
// buffer, so a transfer allocates nothing. Entries of the types SOURCE, LOG
// and OUTPUT lead each record with a lead byte; their io_vector holds
// yxlrds and yxlwrt, which add and strip it. Slots 18 and 19 serve every
// type with the plain layout.
//
// The record buffer is sized by record_buffer_size (open.cc); the routines
// here keep every record, prefix and blank fill within it.

#include <cstdint>
#include <cstring>

#include "entry/entry.h"
#include "host/host.h"
#include "text/text.h"

namespace {

inline constexpr char kEmptyRecordMark = '1';  // the one byte of an empty one
inline constexpr char kLeadByte = 0;
inline constexpr int32_t kPointToPosition = 0;  // ylmpoin mode

// The record request is zeroed before every transfer by copying this
// zeroed one over it: on this target the copy becomes seven word stores,
// where a memset of the same size becomes a loop.
constexpr record_request kZeroRecordRequest = {};
inline record_request* fresh_record_request(file_handle* handle) {
  memcpy(&handle->requests.record, &kZeroRecordRequest,
         sizeof kZeroRecordRequest);
  return &handle->requests.record;
}

// A slot's routine as the routine type the io_vector holds for it.
template <typename Fn>
Fn slot_routine(const routine_slot* slots, int32_t slot) {
  return (Fn)(void (*)(void))slots[slot].routine;
}

// The most data bytes a caller moves per record. A data record length
// below 0 (a record length too short for its prefix bytes) moves none.
inline int32_t data_limit(const file_handle* handle) {
  return handle->data_length < 0 ? 0 : handle->data_length;
}

// One host read into the record buffer; the host's status, with the
// record's length and kind code in the handle's record request.
inline __attribute__((always_inline)) int32_t host_read(file_handle* handle) {
  record_request* request = fresh_record_request(handle);
  request->buffer = handle->record_buffer;
  return ylmread_in_module(handle->member, request);
}

// Takes the last record's length and kind code from the record request
// after a host read of status st, and returns st with end of data as
// kStatusEndOfFile. The length is kept within 0 and the buffer's size, so
// a host that reports more than it could have placed never sends the
// module past its buffer.
int32_t settle_read(file_handle* handle, int32_t st) {
  const record_request* request = &handle->requests.record;
  int32_t length = request->length;
  // A handle with a buffer has a positive stored record length, which the
  // buffer always holds: only lengths outside 0..stored need the exact size.
  if ((uint32_t)length > (uint32_t)handle->stored_length) {
    int32_t size = record_buffer_size(handle);
    if (length < 0) length = 0;
    if (length > size) length = size;
  }
  handle->last_length = length;
  handle->last_kind = request->kind;
  if (host_end_of_data(st)) st = kStatusEndOfFile;
  return st;
}

// Hands length bytes at send to the host as one record of kind, cut to the
// stored record length. A record that was cut, here or before, gives the
// truncation warning when the host took it with 0.
int32_t host_write(file_handle* handle, const char* send, int32_t length,
                   uint16_t kind, bool truncated) {
  if (length > handle->stored_length) {
    length = handle->stored_length;
    truncated = true;
  }
  record_request* request = fresh_record_request(handle);
  request->buffer = const_cast<char*>(send);
  request->length = length;
  request->kind = kind;
  int32_t st = ylmwrit_in_module(handle->member, request);
  if (st == 0 && truncated) return kStatusTruncated;
  return st;
}

// Places length data bytes at offset prefix of the record buffer and
// returns the record's length from byte 0. With the fixed-length flag the
// data is blank-filled to the data record length and the record takes the
// stored record length; the bytes between the fill and that length are
// blanks too, so no stale buffer bytes reach the host.
int32_t build_record(file_handle* handle, int32_t prefix, const char* data,
                     int32_t length) {
  char* buffer = handle->record_buffer;
  int32_t limit = data_limit(handle);
  if (handle->recfm & kRecfmFixed) {
    vzmp(data, length, buffer + prefix, limit);
    int32_t end = prefix + limit;
    if (handle->stored_length > end)
      memset(buffer + end, ' ', (size_t)(handle->stored_length - end));
    return handle->stored_length;
  }
  // The data may lie in this very buffer (a record just read and written
  // back), hence the overlap-safe move.
  if (length > 0) memmove(buffer + prefix, data, (size_t)length);
  return prefix + length;
}

// The part of a read shared by yxlread and yxlrds once the record's data
// is located: cuts it to the data record length, blank-fills it with the
// fixed-length flag, and hands it out. True when the record was cut.
bool deliver(file_handle* handle, char* data, int32_t record_length,
             char** data_out, int32_t* length_out) {
  int32_t limit = data_limit(handle);
  int32_t n = record_length < limit ? record_length : limit;
  if ((handle->recfm & kRecfmFixed) && n < limit)
    memset(data + n, ' ', (size_t)(limit - n));
  *data_out = data;
  *length_out = n;
  return record_length > limit;
}

// The start both writes share: refuses what cannot be written, then cuts
// the length to the data record length. 0 to go on, with *truncated set
// when the record was cut; otherwise the status to return.
inline int32_t start_write(const file_handle* handle, int32_t* length,
                           bool* truncated) {
  if (handle == nullptr) return kStatusNullHandle;
  if (*length < 0) return kStatusBadLength;
  if (handle->record_buffer == nullptr) return kStatusNoRecordBuffer;
  int32_t limit = data_limit(handle);
  *truncated = *length > limit;
  if (*truncated) *length = limit;
  return 0;
}

// The rest of yxlread once the host answered, for every record its plain
// path does not take.
__attribute__((noinline)) int32_t finish_read(file_handle* handle, int32_t st,
                                              char** data, int32_t* length,
                                              char* control) {
  *data = nullptr;
  *length = 0;
  char* buffer = handle->record_buffer;
  if (handle->last_kind == kKindEmptyCatams) {
    *data = buffer;
    return st;
  }
  if (st < 0) return st;

  int32_t last = handle->last_length;
  char* start = buffer;
  int32_t record_length = last;
  char control_char = ' ';
  if ((handle->recfm & kRecfmCarriage) && last > 0) {
    start = buffer + 1;
    record_length = last - 1;
    control_char = buffer[0];
  }
  if (control != nullptr) *control = control_char;
  if (deliver(handle, start, record_length, data, length))
    return kStatusTruncated;
  return st;
}

// The record kind of an entry type, by a walk of the type table: for the
// records the plain path of yxlwrit does not take.
__attribute__((noinline)) uint16_t kind_of_type(const char* entry_type) {
  const entry_type_info* type = find_entry_type(entry_type);
  return type != nullptr ? type->kind : kKindText;
}

// The plain path of yxlwrit finds a record's kind without the walk. A
// handle open for writing has a type of the table (the open refuses any
// other), and the table's rows have three kinds: text, binary and markup.
// The first four bytes of a type, times a multiplier, give in their top four
// bits a slot of 16, and two bits a slot of one word say the kind of the
// types that fall there (0 text, 1 binary, 2 markup). The multiplier is
// found when the module compiles: the first of a fixed sequence under
// which no two types of different kinds share a slot.
constexpr uint32_t kind_slot(uint32_t first_word, uint32_t multiplier) {
  return (first_word * multiplier) >> 28;
}

constexpr uint32_t kNoKindClasses = 0xFFFFFFFF;  // class 3 is no kind

// The word of kind classes under multiplier, or kNoKindClasses when two
// types of different kinds share a slot (or a kind is none of the three).
constexpr uint32_t kind_classes(uint32_t multiplier) {
  uint32_t classes = 0;
  uint32_t taken = 0;
  for (const entry_type_info& row : kEntryTypes) {
    uint32_t word = 0;
    for (int32_t i = 3; i >= 0; --i) word = word << 8 | (uint8_t)row.type[i];
    uint32_t slot = kind_slot(word, multiplier);
    uint32_t cls = row.kind == kKindText     ? 0
                   : row.kind == kKindBinary ? 1
                   : row.kind == kKindMarkup ? 2
                                             : 3;
    if (cls == 3 || ((taken >> slot & 1) && (classes >> 2 * slot & 3) != cls))
      return kNoKindClasses;
    taken |= 1u << slot;
    classes |= cls << 2 * slot;
  }
  return classes;
}

constexpr uint32_t find_kind_multiplier() {
  for (uint32_t i = 1; i < 4096; ++i) {
    uint32_t multiplier = (i * 0x9E3779B9u) | 1;
    if (kind_classes(multiplier) != kNoKindClasses) return multiplier;
  }
  return 0;
}

constexpr uint32_t kKindMultiplier = find_kind_multiplier();
static_assert(kKindMultiplier != 0, "no multiplier sets the kinds apart");
constexpr uint32_t kKindClasses = kind_classes(kKindMultiplier);
static_assert(kKindMarkup == kKindBinary + 1, "markup follows binary");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "first word's order");

constexpr int32_t kOpenWriting = kOpenOutput | kOpenAppend | kOpenUpdate;

// The kind of a type of the table: kind_of_type's answer for it.
inline uint16_t kind_of_writable_type(const char* entry_type) {
  uint32_t word;
  memcpy(&word, entry_type, 4);  // the order kind_classes reads them in
  uint32_t cls = kKindClasses >> kind_slot(word, kKindMultiplier) * 2 & 3;
  return cls == 0 ? kKindText : (uint16_t)(kKindBinary - 1 + cls);
}

// yxlwrit for every record the plain path below does not take.
__attribute__((noinline)) int32_t write_record(file_handle* handle,
                                               const char* data, int32_t length,
                                               int32_t control) {
  bool truncated = false;
  int32_t st = start_write(handle, &length, &truncated);
  if (st != 0) return st;
  const char* send = data;
  char* buffer = handle->record_buffer;
  if (handle->recfm & kRecfmCarriage) {
    length = build_record(handle, 1, data, length);
    buffer[0] = (char)control;
    send = buffer;
  }
  uint16_t kind = kKindText;
  if (same8(handle->entry_type, kTypeCatams)) {
    if (length == 0) {
      buffer[0] = kEmptyRecordMark;
      send = buffer;
      length = 1;
      kind = kKindEmptyCatams;
    }
  } else {
    kind = kind_of_type(handle->entry_type);
  }
  return host_write(handle, send, length, kind, truncated);
}

}  // namespace

// Reads the next record (slot 18). On return *data points into the record
// buffer (valid until the next transfer or the close) and *length counts the
// record's data bytes, at most the data record length; *control receives
// the carriage-control character (a blank without carriage control) when
// control is not null. Statuses: 0, 2049 at the end of the entry, 4105 when
// the record was cut to the data record length, 0x80001025 for a null
// handle, 0x8000080C when the handle has no record buffer, or the host's
// status. On a negative status *data is null and *length 0, except for a
// record of kind 270, which always comes back as an empty record.
int32_t yxlread(file_handle* handle, char** data, int32_t* length,
                char* control) {
  if (handle == nullptr) return kStatusNullHandle;
  char* buffer = handle->record_buffer;
  *data = buffer;
  if (buffer == nullptr) {
    *length = 0;
    return kStatusNoRecordBuffer;
  }

  int32_t st = host_read(handle);
  // Most records are read here: a record the host gave with 0 that fits
  // the data record length, of an entry without carriage control or fixed
  // length, goes to the caller as it is.
  const record_request* request = &handle->requests.record;
  int32_t last = request->length;
  uint32_t kind = request->kind;
  if (st == 0 && last >= 0 && last <= handle->data_length &&
      (handle->recfm & (kRecfmCarriage | kRecfmFixed)) == 0 &&
      kind != kKindEmptyCatams) {
    handle->last_length = last;
    handle->last_kind = kind;
    *length = last;
    if (control != nullptr) *control = ' ';
    return 0;
  }
  return finish_read(handle, settle_read(handle, st), data, length, control);
}

// Writes one record (slot 19) of length bytes at data; control's low byte
// leads the record when the entry has carriage control. A record longer
// than the data record length is cut to it. An empty record of a CATAMS
// entry without carriage control is stored as the one byte "1", kind 270;
// other records take the kind of their entry type. Without carriage control
// the caller's bytes go to the host as they are.
// Statuses: the host's status; 4105 when the record was cut and the host
// returned 0; 0x80001025 for a null handle; 0x8000080C when the handle has
// no record buffer; 0x80001019 for a negative length.
int32_t yxlwrit(file_handle* handle, const char* data, int32_t length,
                int32_t control) {
  // Most records are written here: a record that is not empty, needs no
  // cut and has no carriage control, of an entry open for writing, goes to
  // the host as it is, and the host's status is the answer.
  if (handle != nullptr && length > 0 && length <= handle->data_length &&
      length <= handle->stored_length && handle->record_buffer != nullptr &&
      (handle->recfm & kRecfmCarriage) == 0 &&
      (handle->open_flags & kOpenWriting) != 0) {
    uint16_t kind = kind_of_writable_type(handle->entry_type);
    record_request* request = fresh_record_request(handle);
    request->buffer = const_cast<char*>(data);
    request->length = length;
    request->kind = kind;
    return ylmwrit_in_module(handle->member, request);
  }
  return write_record(handle, data, length, control);
}

// Reads the next record of a SOURCE, LOG or OUTPUT entry (io_vector only).
// Arguments and outputs as yxlread. The record's length is adjusted by its
// kind code: kind 145 is a lead byte plus data; 186 and 187 come from other
// writers; the lead byte is handed to the caller only with ATTR. Statuses
// as yxlread; a record of length 0 always comes back as an empty record
// with the data pointer at the record buffer and control left untouched.
int32_t yxlrds(file_handle* handle, char** data, int32_t* length,
               char* control) {
  if (handle == nullptr) return kStatusNullHandle;
  *data = nullptr;
  *length = 0;
  if (handle->record_buffer == nullptr) return kStatusNoRecordBuffer;

  int32_t st = settle_read(handle, host_read(handle));
  char* buffer = handle->record_buffer;
  int32_t last = handle->last_length;
  if (last == 0) {
    *data = buffer;
    return st;
  }

  bool attr = handle->attr != 0;
  bool saved = false;
  char saved_byte = 0;
  int32_t adjusted;
  switch (handle->last_kind) {
    case kKindText:
      adjusted = attr ? last : last - 1;
      break;
    case kKind186:
      // A record shorter than its two leading bytes holds no data.
      adjusted = attr ? last : last - 2;
      break;
    case kKind187:
      adjusted = attr ? last / 2 - 1 : (last - 1) / 2 - 1;
      saved = attr;
      break;
    default:
      adjusted = last / 2 - 1;
      saved = attr;
      break;
  }
  if (adjusted < 0) adjusted = 0;
  if (saved) saved_byte = buffer[last - 1];
  handle->last_length = adjusted;
  int32_t skip = attr ? 0 : 1;
  if (st < 0) return st;

  char* start = buffer + skip;
  int32_t record_length = adjusted;
  char control_char = ' ';
  if ((handle->recfm & kRecfmCarriage) && adjusted > 0) {
    start = buffer + skip + 1;
    record_length = adjusted - 1;
    control_char = buffer[1];
  }
  if (control != nullptr) *control = control_char;
  if (deliver(handle, start, record_length, data, length))
    return kStatusTruncated;
  if (saved) {
    // Within the buffer: saved bytes only come with ATTR (no lead byte
    // skipped), so the byte lands at most at data record length + 1.
    start[*length] = saved_byte;
    *length += 1;
  }
  return st;
}

// Writes one record of a SOURCE, LOG or OUTPUT entry (io_vector only):
// the lead byte 0, then the control character when the entry has carriage
// control, then the data (blank-filled with the fixed-length flag); always
// kind 145. Arguments and statuses as yxlwrit. A record whose prefix and
// data do not fit in the stored record length is cut and gives 4105 too.
int32_t yxlwrt(file_handle* handle, const char* data, int32_t length,
               int32_t control) {
  bool truncated = false;
  int32_t st = start_write(handle, &length, &truncated);
  if (st != 0) return st;
  char* buffer = handle->record_buffer;
  bool carriage = (handle->recfm & kRecfmCarriage) != 0;
  int32_t prefix = carriage ? 2 : 1;
  // Data that would not fit in the stored record length behind its prefix
  // is cut by the host write; say so instead of losing it quietly.
  if (prefix + length > handle->stored_length) truncated = true;
  int32_t record_length = build_record(handle, prefix, data, length);
  buffer[0] = kLeadByte;
  if (carriage) buffer[1] = (char)control;
  return host_write(handle, buffer, record_length, kKindText, truncated);
}

// Notes the current position (slot 12) through ylmnote; position is the
// host's own form, passed on unchanged. Returns the host's status, or
// 0x80001025 for a null handle.
int32_t yxlnote(file_handle* handle, void* position) {
  if (handle == nullptr) return kStatusNullHandle;
  return ylmnote(handle->member, position);
}

// Returns to a noted position (slot 13) through ylmpoin, mode 0. Returns
// the host's status, or 0x80001025 for a null handle.
int32_t yxlpnt(file_handle* handle, void* position) {
  if (handle == nullptr) return kStatusNullHandle;
  return ylmpoin(handle->member, position, kPointToPosition);
}

// Flush (slot 20): every record reached the host at its write, so there is
// nothing to do. 0, or 0x80001025 for a null handle.
int32_t yxlflsh(file_handle* handle) {
  if (handle == nullptr) return kStatusNullHandle;
  return 0;
}

// Hands out the io_vector of an open entry (slot 35) in *vector: the read
// and write routines for its entry type, and the note, point and two
// further routines of the routine vector. The handle keeps it and the close
// releases it. Statuses: 0; 0x80000803 (then neither *vector nor the handle
// changes); 0x80001025 for a null handle.
int32_t yxlamvc(file_handle* handle, io_vector** vector) {
  if (handle == nullptr) return kStatusNullHandle;
  // A handle keeps one io_vector: a second request refreshes and hands out
  // the same one, so an earlier copy the host holds stays valid and none is
  // lost until the close.
  io_vector* v = handle->vector;
  if (v == nullptr) {
    v = (io_vector*)module_alloc(sizeof(io_vector), false);
    if (v == nullptr) return kStatusNoMemory;
  }
  const routine_slot* slots = handle->head.amec->vector;
  v->owner = handle;
  const entry_type_info* type = find_entry_type(handle->entry_type);
  if (type != nullptr && type->lead_byte) {
    v->read = &yxlrds;
    v->write = &yxlwrt;
  } else {
    v->read = slot_routine<read_routine>(slots, kSlotRead);
    v->write = slot_routine<write_routine>(slots, kSlotWrite);
  }
  v->note = slot_routine<note_routine>(slots, kSlotNote);
  v->point = slot_routine<point_routine>(slots, kSlotPoint);
  v->slot15 = slots[kSlotUnsupported15].routine;
  v->slot17 = slots[kSlotUnsupported17].routine;
  handle->vector = v;
  *vector = v;
  return 0;
}
