// UTF-8 as the host reads names and descriptions: the length of the well
// formed character at the start of a text, so that a name can be checked, a
// description cut between characters and stored bytes shown safely.

#ifndef VUVOROZO_REFHOST_UTIL_UTF8_H_
#define VUVOROZO_REFHOST_UTIL_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace refhost {

// The bytes of the well-formed UTF-8 character that text starts with (1 to
// 4), or 0 when it starts with a byte that begins none: a stray
// continuation byte, an overlong form, a surrogate, a code point above
// U+10FFFF or a sequence cut short. 0 for an empty text.
inline size_t Utf8CharacterLength(std::string_view text) {
  if (text.empty()) return 0;
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length;
  uint8_t low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// The code point of a character Utf8CharacterLength measured.
inline uint32_t Utf8CodePoint(std::string_view text, size_t length) {
  static constexpr uint8_t kLeadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  uint32_t point = static_cast<uint8_t>(text[0]) & kLeadMask[length];
  for (size_t i = 1; i < length; ++i) {
    point = (point << 6) | (static_cast<uint8_t>(text[i]) & 0x3F);
  }
  return point;
}

// True for the control characters no name holds: C0, DEL and C1.
inline bool IsControlCharacter(uint32_t point) {
  return point < 0x20 || (point >= 0x7F && point <= 0x9F);
}

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_UTIL_UTF8_H_
