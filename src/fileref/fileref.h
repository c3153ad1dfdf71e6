// Fileref management: the registry of assigned filerefs hanging off the
// AMEC block, the resolution of their names into libref, catalog, entry
// name and entry type, and the fileref options.

#ifndef VUVOROZO_FILEREF_FILEREF_H_
#define VUVOROZO_FILEREF_FILEREF_H_

#include <cstddef>
#include <cstdint>

#include "host/host.h"
#include "text/text.h"

// ---------------------------------------------------------------------------
// fileref_node: one per assigned fileref, on the AMEC block's list.

inline constexpr int32_t kDisplayNameLength = 90;
inline constexpr int32_t kPhysicalNameLength = 40;

struct fileref_node {
  fileref_node* next;  // next node; null in the last
  char fileref[8];     // as the assigning caller's buffer held it
  amec_block* amec;    // the block whose list holds the node
  int32_t levels;      // level count from znamdiv
  name_part parts[4];  // name parts 1 to 4, placed by znamdiv
  char display_name[kDisplayNameLength];  // parts joined by '.', blank-filled
  uint8_t pad_246[2];
  int32_t display_name_length;
  char physical_name[kPhysicalNameLength];  // first 40 characters; not padded
  int32_t physical_name_length;             // 0..40
  option_block* options;   // the assignment's option block, or null
  int32_t open_count;      // handles opened through this fileref
  request_group requests;  // scratch areas of existence and deletion
};
static_assert(offsetof(fileref_node, fileref) == 4, "fileref_node.fileref");
static_assert(offsetof(fileref_node, amec) == 12, "fileref_node.amec");
static_assert(offsetof(fileref_node, levels) == 16, "fileref_node.levels");
static_assert(offsetof(fileref_node, parts) == 20, "fileref_node.parts");
static_assert(offsetof(fileref_node, display_name) == 156,
              "fileref_node.display_name");
static_assert(offsetof(fileref_node, display_name_length) == 248,
              "fileref_node.display_name_length");
static_assert(offsetof(fileref_node, physical_name) == 252,
              "fileref_node.physical_name");
static_assert(offsetof(fileref_node, physical_name_length) == 292,
              "fileref_node.physical_name_length");
static_assert(offsetof(fileref_node, options) == 296, "fileref_node.options");
static_assert(offsetof(fileref_node, open_count) == 300,
              "fileref_node.open_count");
static_assert(offsetof(fileref_node, requests) == 304, "fileref_node.requests");
static_assert(sizeof(fileref_node) == 1116, "fileref_node size");

// ---------------------------------------------------------------------------
// Registry routines (routine vector slots 0, 1, 2, 6, 31, 36) and lookup.

int32_t yxlasgn(const char* fileref, int32_t token, const char* am_name,
                const char* physical, int32_t physical_length,
                option_block* options);
int32_t yxldasg(const char* fileref, int32_t token);
int32_t yxlexl(const char* fileref, int32_t token);
int32_t yxlnxt(fileref_node** cursor, char* fileref_out, int32_t token,
               const char** display_name, int32_t* display_name_length);
int32_t yxlasl(const char* fileref, int32_t token, const char* am_name,
               const char* like, int32_t like_length, const char* member,
               int32_t member_length, int32_t ignored, option_block* options);
int32_t yxlhbfr(const char* fileref, int32_t token, option_block* block);

// Finds the node of fileref. When amec is given (pointing at null) the
// module's AMEC block is stored there; node is stored only on success.
// 0, or 0x80001004.
int32_t yxlzl2l(const char* fileref, amec_block** amec, fileref_node** node,
                int32_t token);

// A handle opened through node counts once in its open count. A node that
// was deassigned while handles were open is off the list (its amec field is
// null) and is released when its last handle closes.
void fileref_opened(fileref_node* node);
void fileref_closed(fileref_node* node);

// ---------------------------------------------------------------------------
// Name resolution (slots 4, 7) and its helper.

inline constexpr int32_t kFormEntry = 1;

int32_t yxlznam(int32_t levels, int32_t form, const name_part* p1,
                const name_part* p2, const name_part* p3, const name_part* p4,
                char* libref, name_part* catalog, name_part* entry,
                char* entry_type);
int32_t yxlpnam(const char* fileref, char* buffer);

// Resolves a node's own levels and name parts 1 to 4 in the entry form, as
// every caller of yxlznam does.
inline int32_t resolve_node(const fileref_node* node, char* libref,
                            name_part* catalog, name_part* entry,
                            char* entry_type) {
  return yxlznam(node->levels, kFormEntry, &node->parts[0], &node->parts[1],
                 &node->parts[2], &node->parts[3], libref, catalog, entry,
                 entry_type);
}

// The four names the catalog library services address an entry by.
struct entry_names {
  char libref[8];      // upper case, blank-padded
  name_part catalog;   // upper case
  name_part entry;     // upper case
  char entry_type[8];  // upper case, blank-padded
};

// Looks fileref up with token and resolves its node's names. 0 with *node
// and *names set; otherwise the status of the lookup (0x80001004) or of the
// resolution (0x80000805, message 5).
int32_t resolve_fileref(const char* fileref, int32_t token, fileref_node** node,
                        entry_names* names);

// The libref and catalog of a two-level (catalog) fileref: name part 3
// laid over 8 blanks and name part 4 copied whole, neither translated.
// 0; 0x80000805 with message 5 for a libref over 8 characters or a part
// length outside 0..32 (nothing written).
int32_t two_level_names(const fileref_node* node, char* libref,
                        name_part* catalog);
int32_t yxlval(const char* fileref);

// ---------------------------------------------------------------------------
// Entry types. This one table is all the module knows of entry types: a
// type in it may be written (opened for output, append or update), any
// other may not. A row says whether the type's records lead with a lead
// byte (its io_vector adds and strips it, and its data record length
// leaves room for it), the record kind code slot 19 gives its records, and
// the type hint prefix that selects it in a member open.

struct entry_type_info {
  char type[8];      // upper case, blank-padded
  bool lead_byte;    // records lead with a lead byte
  uint16_t kind;     // record kind code of a slot 19 write
  const char* hint;  // hint prefix, compared as it stands; null: none
};

// The order of the rows decides nothing: no hint prefix begins with
// another (entry_types.cc), and the plain path of slot 19 finds a record's
// kind by the type's first four bytes (transfer.cc).
inline constexpr entry_type_info kEntryTypes[] = {
    {{'H', 'T', 'M', 'L', ' ', ' ', ' ', ' '}, false, kKindMarkup, "HTML"},
    {{'C', 'S', 'S', ' ', ' ', ' ', ' ', ' '}, false, kKindMarkup, "CSS"},
    {{'W', 'M', 'L', ' ', ' ', ' ', ' ', ' '}, false, kKindMarkup, "WML"},
    {{'X', 'M', 'L', ' ', ' ', ' ', ' ', ' '}, false, kKindMarkup, "XML"},
    {{'X', 'S', 'L', ' ', ' ', ' ', ' ', ' '}, false, kKindMarkup, "XSL"},
    {{'R', 'T', 'F', ' ', ' ', ' ', ' ', ' '}, false, kKindMarkup, "RTF"},
    {{'C', 'S', 'V', ' ', ' ', ' ', ' ', ' '}, false, kKindMarkup, "CSV"},
    {{'J', 'S', ' ', ' ', ' ', ' ', ' ', ' '}, false, kKindMarkup, "JS"},
    {{'V', 'B', 'S', ' ', ' ', ' ', ' ', ' '}, false, kKindMarkup, "VBS"},
    {{'P', 'S', ' ', ' ', ' ', ' ', ' ', ' '}, false, kKindMarkup, "PS"},
    {{'J', 'P', 'E', 'G', ' ', ' ', ' ', ' '}, false, kKindBinary, "JPEG"},
    {{'G', 'I', 'F', ' ', ' ', ' ', ' ', ' '}, false, kKindBinary, "GIF"},
    {{'P', 'D', 'F', ' ', ' ', ' ', ' ', ' '}, false, kKindBinary, "PDF"},
    {{'J', 'A', 'R', ' ', ' ', ' ', ' ', ' '}, false, kKindBinary, "JAR"},
    {{'S', 'O', 'U', 'R', 'C', 'E', ' ', ' '}, true, kKindText, "KOR"},
    {{'L', 'O', 'G', ' ', ' ', ' ', ' ', ' '}, true, kKindText, "LOG"},
    {{'O', 'U', 'T', 'P', 'U', 'T', ' ', ' '}, true, kKindText, "LISTING"},
    {{'C', 'A', 'T', 'A', 'M', 'S', ' ', ' '}, false, kKindText, nullptr},
};

// The type of every three-level name and of a member without a hint.
inline constexpr char kTypeCatams[8] = {'C', 'A', 'T', 'A', 'M', 'S', ' ', ' '};

// The row of an 8-character entry type, or null when the type is not one
// the module writes. Inline: slot 19 asks for every record.
inline const entry_type_info* find_entry_type(const char* type) {
  for (const entry_type_info& row : kEntryTypes) {
    if (same8(row.type, type)) return &row;
  }
  return nullptr;
}

// The 8-character entry type a member open's hint selects: the first row
// whose hint prefix the hint begins with, else CATAMS (a null hint too).
const char* type_for_hint(const char* hint);

// The type KOR, in an 8-character upper-case entry type, reads SOURCE.
void resolve_type_alias(char* type);

// ---------------------------------------------------------------------------
// Options (slots 30, 33, 34).

int32_t yxlpars(int32_t unused1, int32_t unused2, int32_t unused3,
                int32_t control, int32_t source, int32_t* count,
                option_block** block);
int32_t yxlhh2p(int32_t unused1, int32_t unused2, const option_block* block,
                option_block** copy, int32_t* size);
int32_t yxlhp2h(int32_t unused1, int32_t unused2, const void* copy,
                int32_t size, option_block** block);

#endif  // VUVOROZO_FILEREF_FILEREF_H_
