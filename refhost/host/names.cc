// Name services of the host: znamdiv's splitting of dotted physical names,
// the unique names of yxaunql, and the number conversion of wzrlchr.

#include <cstring>
#include <string_view>

#include "refhost/host/host.h"

namespace refhost {

void SplitName(std::string_view text, int32_t* levels, name_part* parts[4]) {
  for (int i = 0; i < 4; ++i) {
    if (parts[i] != nullptr) {
      parts[i]->length = 0;
      std::memset(parts[i]->text, ' ', kNameTextLength);
    }
  }
  *levels = 0;
  if (text.empty()) return;
  std::string_view level[5];
  int count = 0;
  size_t start = 0;
  while (true) {
    size_t dot = text.find('.', start);
    std::string_view piece = text.substr(
        start, dot == std::string_view::npos ? text.npos : dot - start);
    if (count == 4 || piece.size() > static_cast<size_t>(kNameTextLength)) {
      return;  // more than four levels, or a level too long: refused
    }
    level[count++] = piece;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  // Where the module reads each level count.
  static constexpr int kPlacement[5][4] = {
      {0, 0, 0, 0}, {0, 0, 0, 0}, {2, 3, 0, 0}, {0, 1, 2, 0}, {0, 1, 2, 3}};
  for (int i = 0; i < count; ++i) {
    name_part* part = parts[kPlacement[count][i]];
    if (part == nullptr) continue;
    part->length = static_cast<int16_t>(level[i].size());
    std::memcpy(part->text, level[i].data(), level[i].size());
  }
  *levels = count;
}

bool ParseNumber(std::string_view text, int32_t* value) {
  if (text.empty()) return false;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return false;
  int64_t n = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
    if (n > static_cast<int64_t>(INT32_MAX) + 1) return false;
  }
  if (negative) n = -n;
  if (n < INT32_MIN || n > INT32_MAX) return false;
  *value = static_cast<int32_t>(n);
  return true;
}

}  // namespace refhost
