// Statuses and messages. Every routine of the module returns a signed
// 32-bit status: 0 is success, bit 31 set an error, a positive value a
// condition. The host's statuses that the module interprets are read
// through the predicates below, which apply the host's status mask.

#ifndef VUVOROZO_STATUS_H_
#define VUVOROZO_STATUS_H_

#include <cstdint>

// ---------------------------------------------------------------------------
// Statuses of the module.

inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusEndOfFile = 0x801;   // read past end
inline constexpr int32_t kStatusEndOfList = 0x802;   // walk finished
inline constexpr int32_t kStatusTruncated = 0x1009;  // record cut
inline constexpr int32_t kStatusNoMemory = (int32_t)0x80000803;
inline constexpr int32_t kStatusRefused = (int32_t)0x80000805;  // message 566
inline constexpr int32_t kStatusNotSupported = (int32_t)0x8000080B;
// A transfer on a handle that has no record buffer (its record lengths are
// 0 or less): refused instead of handing the host a null buffer.
inline constexpr int32_t kStatusNoRecordBuffer = (int32_t)0x8000080C;
// A directory close refused because members opened through the directory
// are still open: they borrow its library handle, so it stays open.
inline constexpr int32_t kStatusMembersOpen = (int32_t)0x8000080D;
inline constexpr int32_t kStatusNotAssigned = (int32_t)0x80001004;
inline constexpr int32_t kStatusNoSuchEntry = (int32_t)0x80001006;
inline constexpr int32_t kStatusBadCopySize = (int32_t)0x8000100D;
inline constexpr int32_t kStatusUnknownOption = (int32_t)0x80001017;
inline constexpr int32_t kStatusMalformedOption = (int32_t)0x80001018;
// A length that cannot be a record length (negative where a count is meant,
// or one whose buffer would not fit in 32 bits).
inline constexpr int32_t kStatusBadLength = (int32_t)0x80001019;
inline constexpr int32_t kStatusNullHandle = (int32_t)0x80001025;
inline constexpr int32_t kStatusBadTable = (int32_t)0x8000200A;

// ---------------------------------------------------------------------------
// Host statuses the module interprets, after the mask below.

inline constexpr uint32_t kHostStatusMask = 0x803FFFFF;
inline constexpr uint32_t kHostEndOfData = 0x1C00A;
inline constexpr uint32_t kHostNoMoreEntries = 0x1C00F;
inline constexpr int32_t kHostNoSuchEntry = (int32_t)0x8001C006;

// True when st, masked, is the host status wanted (masked as well).
inline bool host_status_is(int32_t st, uint32_t wanted) {
  return ((uint32_t)st & kHostStatusMask) == (wanted & kHostStatusMask);
}
inline bool host_end_of_data(int32_t st) {
  return host_status_is(st, kHostEndOfData);
}
inline bool host_no_more_entries(int32_t st) {
  return host_status_is(st, kHostNoMoreEntries);
}
inline bool host_no_such_entry(int32_t st) {
  return host_status_is(st, (uint32_t)kHostNoSuchEntry);
}

// ---------------------------------------------------------------------------
// Messages: the module's message group and the numbers it formats, and the
// host messages it issues for the notice words of an open request.

inline constexpr int32_t kMessageGroup = 566;
inline constexpr int32_t kMsgTypeNotWritable = 1;
inline constexpr int32_t kMsgNotTwoLevel = 2;
inline constexpr int32_t kMsgNotAnEntry = 4;
inline constexpr int32_t kMsgNameUnresolved = 5;
inline constexpr int32_t kMsgMemberNotTwoLevel = 48;
inline constexpr int32_t kMsgNotice1 = 4156;
inline constexpr int32_t kMsgNotice2 = 4157;

#endif  // VUVOROZO_STATUS_H_
