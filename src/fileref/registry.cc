// The fileref registry: one fileref_node per fileref assigned to this access
// method, on a singly linked list whose head is the last word of the AMEC
// block. Assignment splits the physical name through the host's znamdiv and
// keeps the parts; every other fileref operation starts with the lookup
// yxlzl2l. The registry never touches a catalog library.
//
// The module finds its AMEC block again through yxam2am on every call. The
// list order is newest first; re-assignment keeps a node's place.
//
// Option blocks: a node owns the block it was assigned with unless the keep
// flag (0x10) of its option flags copy says the host owns it. yxlasl without
// a block of its own makes two nodes refer to one block; such a block is
// released only when the last node on the list lets go of it.

#include <cstring>

#include "fileref/fileref.h"
#include "text/text.h"

namespace {

// Result of a lookup of the module's own AMEC block: null when the host
// cannot find it or reports a failure.
amec_block* own_amec(int32_t token) {
  void* found = nullptr;
  int32_t st = yxam2am(kAccessMethodName, &found, token);
  if (st != kStatusOk) return nullptr;
  return (amec_block*)found;
}

// The search key of a fileref name: its 8 characters, upper case.
void make_key(const char* fileref, char key[8]) {
  memcpy(key, fileref, 8);
  upper_in_place(key, 8);
}

// First node on amec's list whose stored name equals key, or null.
fileref_node* find_node(amec_block* amec, const char key[8]) {
  if (amec == nullptr) return nullptr;
  for (fileref_node* n = amec->fileref_list; n != nullptr; n = n->next) {
    if (same8(n->fileref, key)) return n;
  }
  return nullptr;
}

// True when a node on the list other than self still refers to block.
bool held_elsewhere(amec_block* amec, const fileref_node* self,
                    const option_block* block) {
  for (fileref_node* n = amec->fileref_list; n != nullptr; n = n->next) {
    if (n != self && n->options == block) return true;
  }
  return false;
}

// Lets go of the node's option block before the node takes another one or
// leaves the list. `incoming` is the block the node is about to hold (null
// at deassignment).
void drop_options(amec_block* amec, fileref_node* node, const char* fileref,
                  int32_t token, const option_block* incoming) {
  option_block* block = node->options;
  if (block == nullptr) return;
  if (node->requests.option_flags_copy & kOptionKeep) return;
  // Re-assigned with the very block it holds: releasing it first would
  // leave the node pointing at released memory.
  if (block == incoming) return;
  // Another fileref assigned like this one shares the block; the last node
  // to let go releases it.
  if (held_elsewhere(amec, node, block)) {
    node->options = nullptr;
    return;
  }
  yxlhbfr(fileref, token, block);
  node->options = nullptr;
}

// Splits the physical name into levels and name parts and rebuilds the
// display name: the four parts as znamdiv left them, joined by '.', a
// separator after every part but the last, blank-filled to 90.
void split_and_display(fileref_node* node, const char* text, int32_t length) {
  znamdiv(0, text, length, &node->levels, 4, &node->parts[0], &node->parts[1],
          &node->parts[2], &node->parts[3]);
  node->display_name_length =
      wzstcat(node->display_name, kDisplayNameLength, '.', 4,
              node->parts[0].text, name_length(node->parts[0]),
              node->parts[1].text, name_length(node->parts[1]),
              node->parts[2].text, name_length(node->parts[2]),
              node->parts[3].text, name_length(node->parts[3]));
}

// Takes a block for the node and its option flags copy.
void hold_options(fileref_node* node, option_block* block) {
  node->options = block;
  node->requests.option_flags_copy = block ? block->option_flags : 0;
}

// Finds or makes the node of fileref on amec's list. A new node is cleared,
// passes the host's name check when its name is all blanks, takes the
// caller's 8 characters as they then stand and goes to the head of the list.
// An existing node lets go of its option block (see drop_options).
// 0; 0x80000803; the status of yxaunql (the new node is released).
int32_t find_or_make(amec_block* amec, const char* fileref, int32_t token,
                     const option_block* incoming, fileref_node** out) {
  char key[8];
  make_key(fileref, key);
  fileref_node* node = find_node(amec, key);
  if (node != nullptr) {
    drop_options(amec, node, fileref, token, incoming);
    *out = node;
    return kStatusOk;
  }
  node = (fileref_node*)module_alloc(sizeof(fileref_node), true);
  if (node == nullptr) return kStatusNoMemory;
  if (vzatl(' ', fileref, 8)) {
    // The host may write a name of its own into the caller's buffer.
    int32_t st = yxaunql(const_cast<char*>(fileref), token);
    if (st != kStatusOk) {
      module_free(node);
      return st;
    }
  }
  memcpy(node->fileref, fileref, 8);
  node->next = amec->fileref_list;
  amec->fileref_list = node;
  *out = node;
  return kStatusOk;
}

// The AMEC block of the access method the host names in an assignment.
// 0 with the block; the status of yxam2am; 0x80001004 when the host reports
// success but hands over no block.
int32_t named_amec(const char* am_name, int32_t token, amec_block** amec) {
  void* found = nullptr;
  int32_t st = yxam2am(am_name, &found, token);
  if (st != kStatusOk) return st;
  if (found == nullptr) return kStatusNotAssigned;
  *amec = (amec_block*)found;
  return kStatusOk;
}

void release_node(fileref_node* node) { module_free(node); }

}  // namespace

// Lookup. On success stores the node in *node (when given) and returns 0;
// 0x80001004 when no node has the upper-cased name, or when the host cannot
// find the module's AMEC block. When amec is given, the block found (null
// when none) is stored there.
int32_t yxlzl2l(const char* fileref, amec_block** amec, fileref_node** node,
                int32_t token) {
  char key[8];
  if (fileref != nullptr) make_key(fileref, key);
  amec_block* block = own_amec(token);
  if (amec != nullptr) *amec = block;
  if (fileref == nullptr) return kStatusNotAssigned;
  fileref_node* found = find_node(block, key);
  if (found == nullptr) return kStatusNotAssigned;
  if (node != nullptr) *node = found;
  return kStatusOk;
}

// Slot 0: assigns fileref to the physical name, with the option block (or
// null) that came with the statement. A name already assigned is
// re-assigned in place. 0; the status of yxam2am or yxaunql; 0x80000803;
// 0x80001004 when the host hands over no AMEC block; 0x80001025 for a null
// fileref name. On failure nothing has changed and the block stays the
// caller's.
int32_t yxlasgn(const char* fileref, int32_t token, const char* am_name,
                const char* physical, int32_t physical_length,
                option_block* options) {
  if (fileref == nullptr) return kStatusNullHandle;
  // A negative length or a missing text names nothing.
  if (physical_length < 0 || physical == nullptr) physical_length = 0;
  amec_block* amec = nullptr;
  int32_t st = named_amec(am_name, token, &amec);
  if (st != kStatusOk) return st;
  fileref_node* node = nullptr;
  st = find_or_make(amec, fileref, token, options, &node);
  if (st != kStatusOk) return st;
  // The split covers the whole text, however long; the node keeps 40.
  split_and_display(node, physical, physical_length);
  int32_t n = physical_length < kPhysicalNameLength ? physical_length
                                                    : kPhysicalNameLength;
  node->physical_name_length = n;
  if (n > 0) memcpy(node->physical_name, physical, (size_t)n);
  node->amec = amec;
  hold_options(node, options);
  return kStatusOk;
}

// Slot 31: assigns fileref like the fileref named by like (its first 8
// characters count), optionally naming one member of a two-level like
// fileref: the member text is appended after a '.' to the physical name and
// the result split again. Without an option block of its own the node shares
// the like fileref's block.
// 0; 0x80001004 (like fileref not assigned; its name is the substitution);
// 0x80000805 (member for a like fileref that is not two-level; message 48);
// 0x80000803; the status of yxam2am or yxaunql.
int32_t yxlasl(const char* fileref, int32_t token, const char* am_name,
               const char* like, int32_t like_length, const char* member,
               int32_t member_length, int32_t ignored, option_block* options) {
  (void)ignored;
  if (fileref == nullptr) return kStatusNullHandle;
  if (like == nullptr || like_length < 0) like_length = 0;
  if (member_length < 0) member_length = 0;
  char like_key[8];
  vzmp(like, like_length, like_key, 8);
  upper_in_place(like_key, 8);
  amec_block* amec = nullptr;
  int32_t st = named_amec(am_name, token, &amec);
  if (st != kStatusOk) return st;
  fileref_node* source = find_node(amec, like_key);
  if (source == nullptr) {
    wrmksub(1, like, like_length);
    return kStatusNotAssigned;
  }
  option_block* incoming = options != nullptr ? options : source->options;
  fileref_node* node = nullptr;
  st = find_or_make(amec, fileref, token, incoming, &node);
  if (st != kStatusOk) return st;
  if (node != source) {
    memcpy(node->display_name, source->display_name, kDisplayNameLength);
    node->display_name_length = source->display_name_length;
    memcpy(node->physical_name, source->physical_name, kPhysicalNameLength);
    node->physical_name_length = source->physical_name_length;
  }
  if (member != nullptr) {
    // What was done so far stays: the node has the like fileref's names.
    if (source->levels != 2) {
      return refuse_with_message(kMsgMemberNotTwoLevel, 255, true);
    }
    int32_t length = node->physical_name_length;
    if (length < 0) length = 0;
    if (length < kPhysicalNameLength) {
      node->physical_name[length++] = '.';
      int32_t room = kPhysicalNameLength - length;
      int32_t n = member_length < room ? member_length : room;
      if (n > 0) memcpy(node->physical_name + length, member, (size_t)n);
      node->physical_name_length = length + n;
    }
  }
  // Split again from the node's own copy, so a name cut at 40 passes on cut.
  split_and_display(node, node->physical_name, node->physical_name_length);
  node->amec = amec;
  hold_options(node, incoming);
  return kStatusOk;
}

// Slot 1: deassigns fileref. Its option block is released unless kept or
// still shared. 0; 0x80001004 when not assigned (nothing changes).
int32_t yxldasg(const char* fileref, int32_t token) {
  amec_block* amec = nullptr;
  fileref_node* node = nullptr;
  int32_t st = yxlzl2l(fileref, &amec, &node, token);
  if (st != kStatusOk) return st;
  drop_options(amec, node, fileref, token, nullptr);
  node->options = nullptr;
  if (amec->fileref_list == node) {
    amec->fileref_list = node->next;
  } else {
    fileref_node* prev = amec->fileref_list;
    while (prev->next != node) prev = prev->next;
    prev->next = node->next;
  }
  node->next = nullptr;
  // Handles opened through the fileref keep the node's address: the node
  // leaves the list now, marked detached, and the last close releases it.
  if (node->open_count > 0) {
    node->amec = nullptr;
    return kStatusOk;
  }
  release_node(node);
  return kStatusOk;
}

// Slot 2: 0 when fileref is assigned; 0x80001004 when not.
int32_t yxlexl(const char* fileref, int32_t token) {
  return yxlzl2l(fileref, nullptr, nullptr, token);
}

// Slot 6: the next fileref of a walk. A null cursor starts at the head of
// the list; otherwise the cursor moves past the node it holds. On success
// the cursor holds the node, its 8-character name is copied out and the
// node's own display name and its length are handed out; 0. At the end of
// the list (or when the host cannot find the module's AMEC block) the
// cursor is null, the outputs are not written and the status is 2050.
int32_t yxlnxt(fileref_node** cursor, char* fileref_out, int32_t token,
               const char** display_name, int32_t* display_name_length) {
  if (cursor == nullptr) return kStatusEndOfList;
  if (*cursor == nullptr) {
    amec_block* amec = own_amec(token);
    *cursor = amec != nullptr ? amec->fileref_list : nullptr;
  } else {
    *cursor = (*cursor)->next;
  }
  fileref_node* node = *cursor;
  if (node == nullptr) return kStatusEndOfList;
  if (fileref_out != nullptr) memcpy(fileref_out, node->fileref, 8);
  if (display_name != nullptr) *display_name = node->display_name;
  if (display_name_length != nullptr) {
    *display_name_length = node->display_name_length;
  }
  return kStatusOk;
}

// Slot 36 (also the registry's own release path and that of the closes):
// releases an option block to the host heap. No node is left pointing at
// it: every node on the list that holds it loses it. A null block releases
// nothing. Always 0.
int32_t yxlhbfr(const char* fileref, int32_t token, option_block* block) {
  amec_block* amec = nullptr;
  yxlzl2l(fileref, &amec, nullptr, token);
  if (block == nullptr) return kStatusOk;
  // Every holder lets go, not only the node of this name: a block shared by
  // filerefs assigned alike must leave none of them pointing at it.
  if (amec != nullptr) {
    for (fileref_node* n = amec->fileref_list; n != nullptr; n = n->next) {
      if (n->options == block) n->options = nullptr;
    }
  }
  module_free(block);
  return kStatusOk;
}

// Counts one more handle opened through node.
void fileref_opened(fileref_node* node) {
  if (node != nullptr) ++node->open_count;
}

// Counts one handle fewer; a node deassigned while handles were open (its
// amec field is null) is released when its last handle closes.
void fileref_closed(fileref_node* node) {
  if (node == nullptr) return;
  if (node->open_count > 0) --node->open_count;
  if (node->amec == nullptr && node->open_count == 0) release_node(node);
}
