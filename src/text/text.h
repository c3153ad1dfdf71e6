// Blank-padded text routines: the nine the module exports (declared with
// their contracts in the contract's text.h) and the module's own shorthands
// over them.

#ifndef VUVOROZO_TEXT_TEXT_H_
#define VUVOROZO_TEXT_TEXT_H_

#include <cstdint>

#include "host/host.h"
#include "vuvorozo/text.h"

// Upper-cases length bytes in place through table 2.
inline void upper_in_place(char* text, int32_t length) {
  wztxxlt(kTableUpper, text, text, length);
}

// Compares two 8-character fields exactly.
inline bool same8(const char* a, const char* b) {
  return __builtin_memcmp(a, b, 8) == 0;
}

#endif  // VUVOROZO_TEXT_TEXT_H_
