// The time the stores stamp an entry's creation and changes with.

#ifndef VUVOROZO_REFHOST_UTIL_CLOCK_H_
#define VUVOROZO_REFHOST_UTIL_CLOCK_H_

#include <chrono>
#include <cstdint>

namespace refhost {

// Microseconds since the epoch, by the system's clock.
inline int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_UTIL_CLOCK_H_
