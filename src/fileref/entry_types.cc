// The entry-type table's lookups by member open hint, and the one alias of
// the module's names (KOR for SOURCE). The table and its lookup by type are
// in fileref.h; the rules below check the table when the module compiles.

#include "fileref/fileref.h"
#include "text/text.h"

namespace {

constexpr char kSourceAlias[8] = {'K', 'O', 'R', ' ', ' ', ' ', ' ', ' '};
constexpr char kTypeSource[8] = {'S', 'O', 'U', 'R', 'C', 'E', ' ', ' '};

// True when text begins with prefix (a NUL-terminated text). Bytes are
// compared one at a time and the test stops at the first difference, so a
// terminated text shorter than the prefix is never read past its end.
constexpr bool begins_with(const char* text, const char* prefix) {
  for (int32_t i = 0; prefix[i] != '\0'; ++i) {
    if (text[i] != prefix[i]) return false;
  }
  return true;
}

// The rows are tried in order for a hint, so no hint prefix may begin with
// another: then the order of the rows never decides a member's type.
constexpr bool hints_apart() {
  for (const entry_type_info& a : kEntryTypes) {
    for (const entry_type_info& b : kEntryTypes) {
      if (&a != &b && a.hint != nullptr && b.hint != nullptr &&
          begins_with(a.hint, b.hint))
        return false;
    }
  }
  return true;
}
static_assert(hints_apart(), "a type hint prefix begins with another");

constexpr bool catams_in_table() {
  for (const entry_type_info& row : kEntryTypes) {
    bool same = true;
    for (int32_t i = 0; i < 8; ++i)
      same = same && row.type[i] == kTypeCatams[i];
    if (same) return row.hint == nullptr;
  }
  return false;
}
static_assert(catams_in_table(), "CATAMS is a row, selected by no hint");

}  // namespace

const char* type_for_hint(const char* hint) {
  if (hint != nullptr) {
    for (const entry_type_info& row : kEntryTypes) {
      if (row.hint != nullptr && begins_with(hint, row.hint)) return row.type;
    }
  }
  return kTypeCatams;
}

void resolve_type_alias(char* type) {
  if (same8(type, kSourceAlias)) __builtin_memcpy(type, kTypeSource, 8);
}
