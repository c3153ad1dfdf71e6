// The nine blank-padded text routines. They rely on nothing but memcpy,
// memmove and memset, and on the host's translation tables (GCB word 27)
// for wztxxlt.

#include "text/text.h"

#include <cstdarg>
#include <cstring>

VZ_EXPORT int32_t vzatl(int32_t c, const char* text, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    if ((int32_t)(signed char)text[i] != c) return 0;
  }
  return 1;
}

VZ_EXPORT int32_t vzmp(const char* source, int32_t source_length,
                       char* destination, int32_t destination_length) {
  if (destination_length <= 0) return 0;
  if (source_length <= 0) {
    memset(destination, ' ', (size_t)destination_length);
    return 0;
  }
  int32_t n =
      source_length < destination_length ? source_length : destination_length;
  int32_t remainder = destination_length - n;
  // Source and destination may overlap in either direction.
  if (source != destination) memmove(destination, source, (size_t)n);
  if (remainder > 0) memset(destination + n, ' ', (size_t)remainder);
  return 0;
}

VZ_EXPORT int32_t vzsetl(const char* text, int32_t n, int32_t c) {
  for (int32_t i = 0; i < n; ++i) {
    if ((int32_t)(signed char)text[i] == c) return i;
  }
  return -1;
}

VZ_EXPORT int32_t wzstcat(char* destination, int32_t capacity,
                          int32_t separator, int32_t count, ...) {
  bool terminated = capacity < 0;
  int32_t room = terminated ? ~capacity : capacity;
  int32_t placed = 0;
  va_list ap;
  va_start(ap, count);
  for (int32_t i = 0; i < count && placed < room; ++i) {
    const char* text = va_arg(ap, const char*);
    int32_t length = va_arg(ap, int32_t);
    if (length > 0) {
      int32_t n = length < room - placed ? length : room - placed;
      memcpy(destination + placed, text, (size_t)n);
      placed += n;
    }
    if (separator >= 0 && i + 1 < count && placed < room) {
      destination[placed++] = (char)separator;
    }
  }
  va_end(ap);
  if (terminated) {
    destination[placed] = '\0';
  } else if (room > placed) {
    memset(destination + placed, ' ', (size_t)(room - placed));
  }
  return placed;
}

VZ_EXPORT int32_t wzstcom(const char* a, int32_t a_length, const char* b,
                          int32_t b_length) {
  if (a == nullptr || a_length < 0) a_length = 0;
  if (b == nullptr || b_length < 0) b_length = 0;
  int32_t common = a_length < b_length ? a_length : b_length;
  for (int32_t i = 0; i < common; ++i) {
    unsigned char x = (unsigned char)a[i];
    unsigned char y = (unsigned char)b[i];
    if (x != y) return x > y ? i + 1 : -(i + 1);
  }
  // Trailing blanks never make two texts differ.
  for (int32_t i = common; i < b_length; ++i) {
    unsigned char y = (unsigned char)b[i];
    if (y != ' ') return y < 0x20 ? i + 1 : -(i + 1);
  }
  for (int32_t i = common; i < a_length; ++i) {
    unsigned char x = (unsigned char)a[i];
    if (x != ' ') return x > 0x1F ? i + 1 : -(i + 1);
  }
  return 0;
}

VZ_EXPORT int32_t wzstlen(const char* text) {
  if (text == nullptr) return 0;
  // Kept out of the compiler's idiom recognition, which would import strlen.
  const volatile char* p = text;
  int32_t n = 0;
  while (p[n] != '\0') ++n;
  return n;
}

VZ_EXPORT int32_t wzstrip(const char* text, int32_t length) {
  while (length > 0 && text[length - 1] == ' ') --length;
  return length < 0 ? 0 : length;
}

VZ_EXPORT int32_t wzstrpq(char* text, int32_t length) {
  if (length < 2) {
    // Not a quoted token: nothing between quotes.
    if (length >= 1) text[0] = '\0';
    return 0;
  }
  text[length - 1] = '\0';
  char quote = text[0];
  int32_t out = 0;
  for (int32_t i = 1; i < length - 1; ++i) {
    text[out++] = text[i];
    if (text[i] == quote && i + 1 < length - 1 && text[i + 1] == quote) ++i;
  }
  text[out] = '\0';
  return out;
}

VZ_EXPORT int32_t wztxxlt(int32_t index, const char* source, char* destination,
                          int32_t length) {
  if ((uint32_t)index > 4) return kStatusBadTable;
  const uint8_t* table = v_global_gcb_anchor->translation->tables[index];
  for (int32_t i = 0; i < length; ++i) {
    destination[i] = (char)table[(unsigned char)source[i]];
  }
  return 0;
}

const char _B_ten[10] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
const char _Z_twenty[20] = {};
