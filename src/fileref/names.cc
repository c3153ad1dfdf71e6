// Catalog name resolution: a fileref's level count and four name parts
// become the four names the catalog library services address an entry by
// (libref, catalog name, entry name, entry type), under the module's naming
// rules. The host asks for a fileref's full path name (slot 4) and whether
// its name resolves (slot 7); the entry open, the existence test and the
// deletion resolve through yxlznam as well. Nothing is allocated here.

#include <cstring>

#include "fileref/fileref.h"
#include "text/text.h"

namespace {

// Longest libref and entry type.
constexpr int32_t kShortNameLimit = 8;

// Message 5 of group 566, NUL included, as the substitution.
int32_t refuse_unresolved() {
  return refuse_with_message(kMsgNameUnresolved, 255, true);
}

// A length a name_part can hold: 0 to 32.
bool fits_part(const name_part* part) {
  return part->length >= 0 && part->length <= kNameTextLength;
}

}  // namespace

// Resolves levels and name parts 1-4 (form 1, the entry form) into libref,
// catalog name, entry name and entry type, all upper case. A three-level
// name takes the entry type CATAMS; the type KOR reads as SOURCE.
// 0; 0x80000805 with message 5 when the libref or entry type is longer than
// 8 characters (libref and entry type are then blank, catalog and entry name
// untouched), or when the catalog name is empty (all four written).
int32_t yxlznam(int32_t levels, int32_t form, const name_part* p1,
                const name_part* p2, const name_part* p3, const name_part* p4,
                char* libref, name_part* catalog, name_part* entry,
                char* entry_type) {
  (void)form;
  memset(libref, ' ', 8);
  memset(entry_type, ' ', 8);
  if (p4->length > kShortNameLimit || p1->length > kShortNameLimit) {
    return refuse_unresolved();
  }
  // A part whose length its 32 characters cannot hold did not come from a
  // sound split; it resolves to nothing rather than being read past.
  if (!fits_part(p1) || !fits_part(p2) || !fits_part(p3) || !fits_part(p4)) {
    return refuse_unresolved();
  }
  memcpy(libref, p1->text, (size_t)p1->length);
  *catalog = *p2;
  *entry = *p3;
  if (levels == 3) {
    memcpy(entry_type, kTypeCatams, 8);
  } else {
    memcpy(entry_type, p4->text, (size_t)p4->length);
  }
  upper_in_place(libref, 8);
  upper_in_place(catalog->text, catalog->length);
  upper_in_place(entry->text, entry->length);
  upper_in_place(entry_type, 8);
  // After the translation, so a type written kor is caught as well.
  resolve_type_alias(entry_type);
  if (catalog->length == 0) return refuse_unresolved();
  return kStatusOk;
}

// Slot 4: the full path name libref.catalog.entry.type of fileref, upper
// case, without trailing blanks inside a piece, NUL-terminated and followed
// by blanks to byte 1024 of buffer. 0; 0x80001004 (no substitution);
// 0x80000805 with message 5. On failure the buffer is untouched.
int32_t yxlpnam(const char* fileref, char* buffer) {
  fileref_node* node = nullptr;
  entry_names names;
  int32_t st = resolve_fileref(fileref, 0, &node, &names);
  if (st != kStatusOk) return st;
  int32_t n = wzstcat(
      buffer, kPathNameCapacity, '.', 4, names.libref, wzstrip(names.libref, 8),
      names.catalog.text, wzstrip(names.catalog.text, names.catalog.length),
      names.entry.text, wzstrip(names.entry.text, names.entry.length),
      names.entry_type, wzstrip(names.entry_type, 8));
  buffer[n] = '\0';
  return kStatusOk;
}

// Slot 7: 0 when fileref is assigned and its name resolves; 0x80001004;
// 0x80000805 with message 5.
int32_t yxlval(const char* fileref) {
  fileref_node* node = nullptr;
  entry_names names;
  return resolve_fileref(fileref, 0, &node, &names);
}

int32_t resolve_fileref(const char* fileref, int32_t token, fileref_node** node,
                        entry_names* names) {
  int32_t st = yxlzl2l(fileref, nullptr, node, token);
  if (st != kStatusOk) return st;
  return resolve_node(*node, names->libref, &names->catalog, &names->entry,
                      names->entry_type);
}

// The libref and catalog of a two-level fileref, from name parts 3 and 4,
// neither translated. 0; 0x80000805 with message 5 when the libref is
// longer than 8 characters (cut to 8 it would name another library) or a
// part length is one no name_part holds; then neither output is written.
int32_t two_level_names(const fileref_node* node, char* libref,
                        name_part* catalog) {
  const name_part& part = node->parts[2];
  if (part.length > kShortNameLimit || !fits_part(&part) ||
      !fits_part(&node->parts[3])) {
    return refuse_unresolved();
  }
  memset(libref, ' ', 8);
  memcpy(libref, part.text, (size_t)part.length);
  *catalog = node->parts[3];
  return kStatusOk;
}
