// The blank-padded text routines the module exports: comparison, trimming,
// joining, moving and translation of fixed-width names. Lengths are signed
// 32-bit byte counts; the blank is 0x20. A host may call them as the module
// does.

#ifndef VUVOROZO_TEXT_H_
#define VUVOROZO_TEXT_H_

#include <cstdint>

#include "vuvorozo/host.h"

// 1 when all n bytes of text equal c (n <= 0 gives 1), else 0. Bytes are
// compared as signed characters with the integer c.
VZ_EXPORT int32_t vzatl(int32_t c, const char* text, int32_t n);

// Moves source into destination, blank-filling the rest; a longer source is
// cut at the destination length. Overlapping ranges are handled.
VZ_EXPORT int32_t vzmp(const char* source, int32_t source_length,
                       char* destination, int32_t destination_length);

// 0-based index of the first byte of text equal to c, or -1.
VZ_EXPORT int32_t vzsetl(const char* text, int32_t n, int32_t c);

// Joins count (text, length) pieces into destination, separated by the
// separator character (none when it is negative). A negative capacity c
// selects terminated mode with capacity ~c; otherwise the rest of the
// capacity is blank-filled. Returns the characters placed, separators
// included.
VZ_EXPORT int32_t wzstcat(char* destination, int32_t capacity,
                          int32_t separator, int32_t count, ...);

// 0 when the two blank-padded texts are equal, else +i or -i, where i is
// the 1-based position of the first difference.
VZ_EXPORT int32_t wzstcom(const char* a, int32_t a_length, const char* b,
                          int32_t b_length);

// Length of a NUL-terminated text; 0 for a null address.
VZ_EXPORT int32_t wzstlen(const char* text);

// Length of text without its trailing blanks.
VZ_EXPORT int32_t wzstrip(const char* text, int32_t length);

// Removes the quotes of a quoted token in place, collapsing doubled quote
// characters; NUL-terminates the result and returns its length.
VZ_EXPORT int32_t wzstrpq(char* text, int32_t length);

// Translates length bytes of source through host table index (0..4) into
// destination (which may be the source). 0, or 0x8000200A for index > 4.
VZ_EXPORT int32_t wztxxlt(int32_t index, const char* source, char* destination,
                          int32_t length);

// Ten blanks and twenty zero bytes, exported constants.
VZ_EXPORT const char _B_ten[10];
VZ_EXPORT const char _Z_twenty[20];

#endif  // VUVOROZO_TEXT_H_
