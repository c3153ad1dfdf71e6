// Record attributes: between the library open and the entry open on the
// host, both opens settle here how the entry's records look. Two option
// blocks take part, the open's own (O) and the fileref's (F); where both
// give a value, the open's wins. The result is the description, record
// format, ATTR flag, append conversion, access kind, the check that the
// entry type may be written, and the three record lengths: stored (the
// longest record sent to the host), buffer (sizes the record buffer) and
// data (the longest data part a caller moves).

#include <climits>
#include <cstdint>
#include <cstring>

#include "entry/entry.h"
#include "fileref/fileref.h"
#include "host/host.h"
#include "text/text.h"

namespace {

inline constexpr int32_t kDefaultRecordLength = 132;
inline constexpr int32_t kLengthAbsent = -1;
inline constexpr int32_t kInfoRecordLength = 2;  // ylminfo: stored length

}  // namespace

// Settles the record attributes of handle from its open option block
// (open_options, may be null) and its fileref option block. Returns 0 with
// the handle's description, record format flags, ATTR flag, open flags,
// access kind, three record lengths, open option block and option flags
// copy set. Statuses: 0x80000805 with message 1 when a writing open names
// a type that may not be written; the negative status of ylminfo when the
// entry must exist and does not; 0x80001019 when the requested record
// length is INT_MIN (it has no absolute value). Nothing is allocated.
// The record fuzz target checks these rules against a model of its own
// (Settle in fuzz/records_fuzz.cc): a change here is a change there too.
int32_t yxlzdfa(file_handle* handle, option_block* open_options) {
  const option_block* o = open_options;
  const option_block* f = handle->fileref_options;

  handle->description.length = 0;
  if (o != nullptr && o->description.length != 0) {
    handle->description = o->description;
  } else if (f != nullptr) {
    handle->description = f->description;
  }

  if (o != nullptr && o->recfm != 0) {
    handle->recfm = o->recfm;
  } else if (f != nullptr && f->recfm != 0) {
    handle->recfm = f->recfm;
  }

  if ((o != nullptr && o->attr != 0) || (f != nullptr && f->attr != 0))
    handle->attr = 1;

  int32_t flags = handle->open_flags;
  if (!(flags & kOpenInput) &&
      ((o != nullptr && (o->open_options & kOpenOptionMod)) ||
       (f != nullptr && (f->open_options & kOpenOptionMod)))) {
    flags = (flags | kOpenAppend) & ~kOpenOutput;
    handle->open_flags = flags;
  }

  if (flags & kOpenInput) {
    handle->access_kind = kAccessRead;
  } else if (flags & kOpenOutput) {
    handle->access_kind = kAccessWrite;
  } else {
    handle->access_kind = kAccessUpdate;
  }

  const entry_type_info* type = find_entry_type(handle->entry_type);
  if ((flags & (kOpenOutput | kOpenAppend | kOpenUpdate)) && type == nullptr) {
    return refuse_with_message(kMsgTypeNotWritable, 255, true);
  }

  int32_t lrecl = kLengthAbsent;
  if (o != nullptr && o->lrecl > 0) {
    lrecl = o->lrecl;
  } else if (f != nullptr && f->lrecl > 0) {
    lrecl = f->lrecl;
  }
  bool have_lrecl = lrecl != kLengthAbsent;

  int32_t stored = 0;
  int32_t st =
      ylminfo(fill_member_request(&handle->requests.member, handle->library,
                                  handle->entry, handle->entry_type),
              0, kInfoRecordLength, &stored);
  // A negative stored length from the host is no length at all.
  if (stored < 0) stored = 0;

  // The request counts a negative record length by its absolute value;
  // INT_MIN has none in 32 bits and is refused.
  int32_t requested = handle->data_length;
  if (requested == INT_MIN) return kStatusBadLength;
  int32_t magnitude = requested < 0 ? -requested : requested;

  bool existing = (flags & (kOpenInput | kOpenUpdate)) ||
                  ((flags & kOpenAppend) && st >= 0);
  int32_t stored_length, buffer_length, data_length;
  if (existing) {
    if (st < 0) return st;
    if (have_lrecl) {
      stored_length = lrecl;
      buffer_length = stored;
      data_length = lrecl;
    } else if (requested == 0) {
      stored_length = buffer_length = data_length = stored;
    } else {
      int32_t n = magnitude > stored ? magnitude : stored;
      stored_length = buffer_length = data_length = n;
    }
  } else if (!(flags & (kOpenOutput | kOpenAppend))) {
    // An open with no direction updates the entry as it stands, so a read
    // can bring back any of its records: when a buffer is made at all
    // (LRECL given), it holds the entry's longest record too.
    stored_length = lrecl;
    buffer_length = (have_lrecl && st >= 0) ? stored : 0;
    data_length = lrecl;
  } else if (have_lrecl) {
    stored_length = buffer_length = data_length = lrecl;
  } else if (requested == 0) {
    stored_length = buffer_length = data_length = kDefaultRecordLength;
  } else {
    stored_length = buffer_length = data_length = magnitude;
  }

  // Every length here is at least -1, so the adjustments cannot overflow.
  if (handle->recfm & kRecfmCarriage) data_length = stored_length - 1;
  if (type != nullptr && type->lead_byte) {
    if (handle->attr == 0) data_length -= 1;
    if ((handle->recfm & kRecfmCarriage) &&
        (flags & (kOpenOutput | kOpenAppend)))
      data_length -= 1;
  }
  handle->stored_length = stored_length;
  handle->buffer_length = buffer_length;
  handle->data_length = data_length;

  handle->open_options = open_options;
  handle->requests.option_flags_copy = o != nullptr ? o->option_flags : 0;
  return 0;
}
