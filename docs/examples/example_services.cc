// The example host: the GCB the module is started with, its two heaps, and
// every service the module calls, one routine a service, the catalog
// library services over a small in-memory store included.
//
// The store holds libraries (by libref), catalogs in them and entries in
// the catalogs, each entry an ordered list of records with their kind
// codes. Names are kept in upper case: a catalog a user writes work.notes
// is the catalog WORK.NOTES, whichever slot names it.
//
// Choices this host makes where the contract leaves them to the host:
//  - A library opened for update (mode 8) may name a catalog that does not
//    exist yet: the catalog is made when the first writer's content is
//    committed, at ylmclos. So a write makes its catalog, while a listing
//    of a catalog that does not exist fails at yldopen and makes nothing.
//    Opens for input (mode 1) and with no direction (mode 0) need the
//    catalog.
//  - A writer's content becomes the entry's at ylmclos; a reader sees the
//    entry as it was at open. An update (access kind 8) that wrote nothing
//    changes nothing and makes no entry.
//  - When that commit fails, ylmclos ends the member all the same and
//    answers the failure; a second ylmclos of the same handle (the member
//    close of a directory makes one) answers 0.

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "example_host.h"

namespace example {
namespace {

// ---------------------------------------------------------------------------
// Small helpers for blank-padded and counted names.

std::string Trim(const char* text, size_t length) {
  while (length > 0 && text[length - 1] == ' ') --length;
  return std::string(text, length);
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The text of a name_part, upper case; false for a length no name has.
bool NameOf(const name_part& part, std::string* name) {
  if (part.length <= 0 || part.length > kNameTextLength) return false;
  *name = Upper(Trim(part.text, static_cast<size_t>(part.length)));
  return !name->empty();
}

// ---------------------------------------------------------------------------
// Heaps. Every block is counted, so the session can check at its end that
// the module gave back what it took. A block asked for without clearing
// (option 4) is filled with a pattern: the module must not rely on zeros.

struct HeapCounts {
  std::set<void*> live;
  int bad_releases = 0;
};

host_heap g_module_heap;     // GCB word 10, and what yymheap returns
host_heap g_temporary_heap;  // GCB word 5
HeapCounts g_module_counts, g_temporary_counts;

HeapCounts& CountsOf(host_heap* heap) {
  return heap == &g_temporary_heap ? g_temporary_counts : g_module_counts;
}

void* HeapAllocate(host_heap* heap, int32_t size, int32_t option) {
  if (size < 0) return nullptr;
  void* block = std::malloc(size > 0 ? static_cast<size_t>(size) : 1);
  if (block == nullptr) return nullptr;
  std::memset(block, option == kAllocCleared ? 0 : 0xA5,
              static_cast<size_t>(size));
  CountsOf(heap).live.insert(block);
  return block;
}

int32_t HeapRelease(host_heap* heap, void* block, int32_t, int32_t) {
  HeapCounts& counts = CountsOf(heap);
  if (counts.live.erase(block) == 0) {
    ++counts.bad_releases;
    return kBadRequest;
  }
  std::free(block);
  return 0;
}

// ---------------------------------------------------------------------------
// The GCB, its service vectors and its translation tables.

constexpr int kVectors = 40;          // the module calls vectors 0, 30 and 39
constexpr int kSlotsPerVector = 330;  // its highest slot is 320

host_routine g_vectors[kVectors][kSlotsPerVector];
host_routine* g_vector_table[kVectors];
uint8_t g_tssvec[kVectors];
uint8_t g_upper_table[256];
translation_set g_translation;
gcb_record g_gcb;
amec_block* g_amec = nullptr;
int g_unexpected_calls = 0;

// Sits in every slot the module has no business calling.
int32_t Unexpected() {
  ++g_unexpected_calls;
  return kUnexpectedCall;
}

// Places a routine in the service's slot; its type must be the service's.
template <typename Routine>
void Provide(typed_service_slot<Routine> service, Routine routine) {
  g_vectors[service.vector][service.slot] =
      reinterpret_cast<host_routine>(routine);
}

// ---------------------------------------------------------------------------
// Kernel services: messages.

std::vector<std::string> g_substitutions;
std::vector<int32_t> g_issued;  // message numbers issued through yprrlog

// wrmksub: count, then count pairs (address, length): the values the next
// message substitutes.
int32_t SetSubstitutions(int32_t count, ...) {
  if (count < 0 || count > kMaxSubstitutions) return kBadRequest;
  g_substitutions.clear();
  va_list pairs;
  va_start(pairs, count);
  for (int32_t i = 0; i < count; ++i) {
    const char* address = va_arg(pairs, const char*);
    int32_t length = va_arg(pairs, int32_t);
    if (address == nullptr || length < 0) length = 0;
    g_substitutions.emplace_back(address, static_cast<size_t>(length));
  }
  va_end(pairs);
  return 0;
}

const char* ModuleMessage(int32_t number) {
  switch (number) {
    case kMsgTypeNotWritable:
      return "This entry type cannot be written.";
    case kMsgNotTwoLevel:
      return "The fileref does not name a catalog (libref.catalog).";
    case kMsgNotAnEntry:
      return "The fileref does not name a catalog entry.";
    case kMsgNameUnresolved:
      return "The name does not resolve to a catalog entry.";
    case kMsgMemberNotTwoLevel:
      return "A member name needs a fileref that names a catalog.";
    default:
      return "The access method refused the request.";
  }
}

// ypmstr: the text of a message of group 566 into the buffer; its length.
int32_t MessageText(char* buffer, int32_t capacity, int32_t group,
                    int32_t number) {
  const char* text =
      group == kMessageGroup ? ModuleMessage(number) : "Unknown message.";
  int32_t length = static_cast<int32_t>(std::strlen(text));
  if (capacity < 0) capacity = 0;
  if (length > capacity) length = capacity;
  std::memcpy(buffer, text, static_cast<size_t>(length));
  return length;
}

// yprrlog: issues a host message (the module's notices 4156 and 4157).
int32_t IssueMessage(int32_t, int32_t number) {
  g_issued.push_back(number);
  return 0;
}

// ---------------------------------------------------------------------------
// Kernel services: numbers, heaps, names, access methods.

// wzrlchr: the decimal number a text holds, for LRECL and BLOCKSIZE.
int32_t ReadNumber(const char* text, int32_t length, int32_t, void*,
                   int32_t* result) {
  if (text == nullptr || length <= 0 || result == nullptr) return kBadRequest;
  int64_t value = 0;
  int32_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == length) return kBadRequest;
  for (; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return kBadRequest;
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) return kBadRequest;
  }
  *result = static_cast<int32_t>(text[0] == '-' ? -value : value);
  return 0;
}

// yymheap: the heap module blocks are released to.
int32_t ReleaseHeap() {
  return static_cast<int32_t>(reinterpret_cast<uintptr_t>(&g_module_heap));
}

// znamdiv: splits a physical name at its dots. Each part keeps the case it
// was written in. Two levels go to parts 3 and 4, three to parts 1 to 3,
// four to parts 1 to 4, one to part 1; every other part has length 0. A
// name of more than four levels, or with a level over 32 characters, gives
// level count 0 and no parts (the module refuses every use of it).
int32_t SplitName(int32_t, const char* text, int32_t length, int32_t* levels,
                  int32_t, name_part* p1, name_part* p2, name_part* p3,
                  name_part* p4) {
  name_part* parts[4] = {p1, p2, p3, p4};
  for (name_part* part : parts) {
    part->length = 0;
    std::memset(part->text, ' ', kNameTextLength);
  }
  *levels = 0;
  if (text == nullptr || length <= 0) return kBadName;
  std::vector<std::string> pieces(1);
  for (int32_t i = 0; i < length; ++i) {
    if (text[i] == '.') {
      pieces.emplace_back();
    } else {
      pieces.back() += text[i];
    }
  }
  if (pieces.size() > 4) return kBadName;
  for (const std::string& piece : pieces) {
    if (piece.size() > static_cast<size_t>(kNameTextLength)) return kBadName;
  }
  static const int kPlacement[5][4] = {
      {0, 0, 0, 0}, {0, 0, 0, 0}, {2, 3, 0, 0}, {0, 1, 2, 0}, {0, 1, 2, 3}};
  int count = static_cast<int>(pieces.size());
  for (int i = 0; i < count; ++i) {
    name_part* part = parts[kPlacement[count][i]];
    part->length = static_cast<int16_t>(pieces[i].size());
    std::memcpy(part->text, pieces[i].data(), pieces[i].size());
  }
  *levels = count;
  return 0;
}

// yxam2am: the AMEC block registered under an access-method name.
int32_t FindAccessMethod(const char* name, void** amec, int32_t) {
  if (g_amec == nullptr || name == nullptr || amec == nullptr ||
      std::memcmp(name, g_amec->am_name, 8) != 0) {
    return kNoAccessMethod;
  }
  *amec = g_amec;
  return 0;
}

// True when a fileref of that name is assigned: a walk through slot 6,
// which the module allows from inside yxaunql.
bool FilerefAssigned(const char* name, int32_t token) {
  auto next = reinterpret_cast<next_fileref_routine>(
      reinterpret_cast<void (*)()>(g_amec->vector[kSlotNextFileref].routine));
  fileref_node* cursor = nullptr;
  char assigned[8];
  const char* display = nullptr;
  int32_t display_length = 0;
  while (next(&cursor, assigned, token, &display, &display_length) == 0) {
    if (std::memcmp(assigned, name, 8) == 0) return true;
  }
  return false;
}

// yxaunql: a fileref of 8 blanks gets a name no assigned fileref has.
int32_t UniqueName(char* fileref, int32_t token) {
  static unsigned counter = 0;
  char name[16];
  do {
    counter = (counter + 1) % 100000;
    std::snprintf(name, sizeof name, "#EX%05u", counter);
  } while (FilerefAssigned(name, token));
  std::memcpy(fileref, name, 8);
  return 0;
}

// ---------------------------------------------------------------------------
// Kernel services: the option tokenizer. A source word names one option
// text, split once into tokens: names (upper case, as the module compares
// keywords and RECFM letters in upper case), numbers, quoted strings (their
// quotes and doubled quotes kept) and single characters such as '='.

struct Token {
  uint16_t kind;  // 0: a quoted string without its closing quote
  std::string text;
};

struct OptionSource {
  std::vector<Token> tokens;
  size_t next = 0;
  alignas(4) uint8_t context[64] = {};  // word 48, bit 0: the error mark
};

std::vector<std::unique_ptr<OptionSource>> g_sources;  // word = index + 1
constexpr uint16_t kTokenSingle = 1;  // any kind will do: only its text counts

bool NameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool Digit(char c) { return c >= '0' && c <= '9'; }

std::vector<Token> Tokenize(const std::string& text) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    size_t start = i;
    if (c == ' ' || c == '\t') {
      ++i;
    } else if (NameStart(c)) {
      while (i < text.size() && (NameStart(text[i]) || Digit(text[i]))) ++i;
      tokens.push_back({kTokenName, Upper(text.substr(start, i - start))});
    } else if (Digit(c) || ((c == '-' || c == '+') && i + 1 < text.size() &&
                            Digit(text[i + 1]))) {
      ++i;
      while (i < text.size() && Digit(text[i])) ++i;
      tokens.push_back({kTokenNumber, text.substr(start, i - start)});
    } else if (c == '\'' || c == '"') {
      bool closed = false;
      for (++i; i < text.size() && !closed; ++i) {
        if (text[i] != c) continue;
        if (i + 1 < text.size() && text[i + 1] == c) {
          ++i;  // a doubled quote stands for one
        } else {
          closed = true;
        }
      }
      tokens.push_back(
          {closed ? kTokenQuoted : uint16_t{0}, text.substr(start, i - start)});
    } else {
      tokens.push_back({kTokenSingle, std::string(1, c)});
      ++i;
    }
  }
  return tokens;
}

OptionSource* FindSource(int32_t word) {
  if (word <= 0 || static_cast<size_t>(word) > g_sources.size()) return nullptr;
  return g_sources[static_cast<size_t>(word) - 1].get();
}

// yxatoki: starts a scan. The source is known only at yxatok.
int32_t TokensStart(token_record*) { return 0; }

// yxatok: the next token of the source. The context record is set on every
// call: the module marks a rejected option through the token record as the
// last yxatok left it. When the tokens run out the answer is
// kNoMoreTokens, which slot 30 returns as it is.
int32_t TokensNext(int32_t, int32_t source, token_record* tokens) {
  OptionSource* s = FindSource(source);
  if (s == nullptr || tokens == nullptr) return kBadRequest;
  tokens->context = s->context;
  if (s->next >= s->tokens.size()) return kNoMoreTokens;
  const Token& token = s->tokens[s->next++];
  if (token.kind == 0) return kBadToken;
  tokens->kind = token.kind;
  tokens->text = token.text.data();
  tokens->length = static_cast<int16_t>(token.text.size());
  return 0;
}

// yxatokt: ends the scan of an accepted option.
int32_t TokensEnd(token_record*) { return 0; }

// ---------------------------------------------------------------------------
// The store and the handles of the catalog library services.

struct Record {
  std::string bytes;
  uint16_t kind;
};
struct Entry {
  std::string description;
  std::vector<Record> records;
};
typedef std::pair<std::string, std::string> NameAndType;
struct Catalog {
  std::map<NameAndType, Entry> entries;  // in name order
};
typedef std::pair<std::string, std::string> LibrefAndCatalog;

std::set<std::string> g_librefs;
std::map<LibrefAndCatalog, Catalog> g_catalogs;

struct Library {
  std::string libref, catalog;
  int32_t mode;
};
struct Member {
  uint32_t library;
  LibrefAndCatalog where;
  NameAndType key;
  int32_t access;
  std::string description;
  std::vector<Record> content;  // what this member reads and writes
  size_t position = 0;
  size_t longest = 0;  // longest record of content: what a read may need
  bool wrote = false;
};
struct Stream {
  uint32_t library;
  std::vector<NameAndType> entries;
  size_t next = 0;
};
struct Item {
  uint32_t library;
  std::string label, value;
};

// Each kind of handle counts from its own base, so one passed for another
// is recognised as unknown.
std::map<uint32_t, Library> g_libraries;  // from 0x1000
std::map<uint32_t, Member> g_members;     // from 0x2000
std::map<uint32_t, uint32_t> g_ended;     // member -> its library
std::map<uint32_t, Stream> g_streams;     // from 0x3000
std::map<uint32_t, Item> g_items;         // from 0x4000
uint32_t g_next_library = 0x1000, g_next_member = 0x2000,
         g_next_stream = 0x3000, g_next_item = 0x4000;
bool g_fail_next_commit = false;

Library* FindLibrary(uint32_t handle) {
  auto it = g_libraries.find(handle);
  return it == g_libraries.end() ? nullptr : &it->second;
}
Member* FindMember(uint32_t handle) {
  auto it = g_members.find(handle);
  return it == g_members.end() ? nullptr : &it->second;
}
Entry* FindEntry(const LibrefAndCatalog& where, const NameAndType& key) {
  auto catalog = g_catalogs.find(where);
  if (catalog == g_catalogs.end()) return nullptr;
  auto entry = catalog->second.entries.find(key);
  return entry == catalog->second.entries.end() ? nullptr : &entry->second;
}

// The library and entry a member_request names. 0, or the failure.
int32_t EntryOf(const member_request* request, Library** library,
                NameAndType* key) {
  if (request == nullptr) return kBadRequest;
  *library = FindLibrary(request->library);
  if (*library == nullptr) return kBadHandle;
  if (!NameOf(request->entry, &key->first)) return kBadRequest;
  key->second = Upper(Trim(request->entry_type, 8));
  return 0;
}

// ---------------------------------------------------------------------------
// Catalog library services: libraries.

// ylopen: opens the catalog's library. Mode 1 (read) and 0 (no direction)
// need the catalog; mode 8 (update) needs only the library, the catalog
// being made at the first commit of a writer.
int32_t LibraryOpen(lib_open_request* request, uint32_t* library) {
  if (request == nullptr || library == nullptr) return kBadRequest;
  Library opened;
  opened.libref = Upper(Trim(request->libref, 8));
  opened.mode = request->open_mode;
  if (!NameOf(request->catalog, &opened.catalog)) return kBadRequest;
  if (g_librefs.count(opened.libref) == 0) return kNoSuchLibrary;
  bool exists = g_catalogs.count({opened.libref, opened.catalog}) != 0;
  if (opened.mode == kLibModeRead || opened.mode == kLibModeNone) {
    if (!exists) return kNoSuchCatalog;
  } else if (opened.mode != kLibModeUpdate) {
    return kBadRequest;
  }
  uint32_t handle = g_next_library++;
  g_libraries[handle] = opened;
  *library = handle;
  return 0;
}

// ylclose: closes a library. Its directory streams (a walk given up before
// its end), its information items and the members a failed close ended go
// with it. Refused while members opened in it are still open.
int32_t LibraryClose(uint32_t library, int32_t) {
  if (FindLibrary(library) == nullptr) return kBadHandle;
  for (const auto& member : g_members) {
    if (member.second.library == library) return kMembersOpen;
  }
  for (auto it = g_streams.begin(); it != g_streams.end();) {
    it = it->second.library == library ? g_streams.erase(it) : std::next(it);
  }
  for (auto it = g_items.begin(); it != g_items.end();) {
    it = it->second.library == library ? g_items.erase(it) : std::next(it);
  }
  for (auto it = g_ended.begin(); it != g_ended.end();) {
    it = it->second == library ? g_ended.erase(it) : std::next(it);
  }
  g_libraries.erase(library);
  return 0;
}

// ---------------------------------------------------------------------------
// Catalog library services: members.

// ylmopen: opens an entry. Access kind 1 reads an existing entry; 2
// writes new content that replaces the entry's at close; 8 updates the
// entry's content as it stands (an absent entry starts empty). An append
// is an update followed by ylmpoin mode 2.
int32_t MemberOpen(member_open_request* request, uint32_t* member) {
  if (request == nullptr || member == nullptr) return kBadRequest;
  Library* library = FindLibrary(request->library);
  if (library == nullptr) return kBadHandle;
  Member opened;
  opened.library = request->library;
  opened.where = {library->libref, library->catalog};
  if (!NameOf(request->entry, &opened.key.first)) return kBadRequest;
  opened.key.second = Upper(Trim(request->entry_type, 8));
  opened.access = request->access_kind;
  Entry* entry = FindEntry(opened.where, opened.key);
  if (opened.access == kAccessRead) {
    if (entry == nullptr) return kNoSuchEntry;
    opened.content = entry->records;
  } else if (opened.access == kAccessWrite || opened.access == kAccessUpdate) {
    if (library->mode == kLibModeRead) return kNotWritable;
    if (opened.access == kAccessUpdate && entry != nullptr) {
      opened.content = entry->records;
    }
  } else {
    return kBadRequest;
  }
  const description_field& d = request->description;
  if (d.length > 0 && d.length <= kDescriptionTextLength) {
    opened.description = Trim(d.text, static_cast<size_t>(d.length));
  }
  for (const Record& r : opened.content) {
    if (r.bytes.size() > opened.longest) opened.longest = r.bytes.size();
  }
  uint32_t handle = g_next_member++;
  g_members[handle] = std::move(opened);
  *member = handle;
  return 0;
}

// ylmread: the next record into the request's buffer. The request carries
// no buffer size (its length is 0): the module sized the buffer for the
// longest record this entry had when ylminfo answered, or that this member
// wrote since, so no more is ever copied. At the end: kEndOfData.
int32_t MemberRead(uint32_t member, record_request* request) {
  Member* m = FindMember(member);
  if (m == nullptr || request == nullptr) return kBadHandle;
  request->length = 0;
  request->kind = 0;
  if (m->position >= m->content.size()) return kEndOfData;
  const Record& record = m->content[m->position++];
  size_t length = record.bytes.size();
  if (length > m->longest) length = m->longest;
  if (length > 0) std::memcpy(request->buffer, record.bytes.data(), length);
  request->length = static_cast<int32_t>(length);
  request->kind = record.kind;
  return length < record.bytes.size() ? kRecordCut : 0;
}

// ylmwrit: one record at the position; what followed it is dropped.
int32_t MemberWrite(uint32_t member, record_request* request) {
  Member* m = FindMember(member);
  if (m == nullptr || request == nullptr) return kBadHandle;
  if (m->access == kAccessRead) return kNotWritable;
  if (request->length < 0 || (request->length > 0 && !request->buffer)) {
    return kBadRequest;
  }
  size_t length = static_cast<size_t>(request->length);
  m->content.resize(m->position);
  m->content.push_back({std::string(request->buffer, length), request->kind});
  ++m->position;
  if (length > m->longest) m->longest = length;
  m->wrote = true;
  return 0;
}

// ylmnote: the position (a record number) into the caller's word. The
// position argument is the host's own: here the address of a 32-bit word.
int32_t MemberNote(uint32_t member, void* position) {
  Member* m = FindMember(member);
  if (m == nullptr) return kBadHandle;
  if (position == nullptr) return kBadRequest;
  uint32_t noted = static_cast<uint32_t>(m->position);
  std::memcpy(position, &noted, sizeof noted);
  return 0;
}

// ylmpoin: mode 2 with no position moves to the end (an append); mode 0
// returns to a position ylmnote noted.
int32_t MemberPoint(uint32_t member, void* position, int32_t mode) {
  Member* m = FindMember(member);
  if (m == nullptr) return kBadHandle;
  if (mode == 2 && position == nullptr) {
    m->position = m->content.size();
    return 0;
  }
  if (mode != 0 || position == nullptr) return kBadRequest;
  uint32_t noted;
  std::memcpy(&noted, position, sizeof noted);
  if (noted > m->content.size()) return kBadPosition;
  m->position = noted;
  return 0;
}

// ylmclos: ends the member. A writer's content (any content of access kind
// 2, an update that wrote) becomes the entry's, its catalog made if need
// be. When that fails the member is ended all the same and the failure is
// the answer; the module then closes the library of an entry open, or
// closes a directory's member once more, which answers 0.
int32_t MemberClose(uint32_t member, int32_t) {
  if (g_ended.erase(member) != 0) return 0;
  auto it = g_members.find(member);
  if (it == g_members.end()) return kBadHandle;
  Member m = std::move(it->second);
  g_members.erase(it);
  bool commits =
      m.access == kAccessWrite || (m.access == kAccessUpdate && m.wrote);
  if (!commits) return 0;
  if (g_fail_next_commit) {
    g_fail_next_commit = false;
    g_ended[member] = m.library;
    return kStoreFailed;
  }
  Entry& entry = g_catalogs[m.where].entries[m.key];
  entry.records = std::move(m.content);
  if (!m.description.empty()) entry.description = m.description;
  return 0;
}

// ylmfind: 0 when the entry exists, kNoSuchEntry when it does not.
int32_t MemberFind(member_request* request) {
  Library* library = nullptr;
  NameAndType key;
  int32_t st = EntryOf(request, &library, &key);
  if (st != 0) return st;
  return FindEntry({library->libref, library->catalog}, key) ? 0 : kNoSuchEntry;
}

// ylminfo with item 2: the stored record length, which is the length of
// the entry's longest record; the module sizes its record buffer by it.
int32_t MemberInfo(member_request* request, int32_t, int32_t item,
                   int32_t* result) {
  Library* library = nullptr;
  NameAndType key;
  int32_t st = EntryOf(request, &library, &key);
  if (st != 0) return st;
  if (item != 2 || result == nullptr) return kBadRequest;
  Entry* entry = FindEntry({library->libref, library->catalog}, key);
  if (entry == nullptr) return kNoSuchEntry;
  size_t longest = 0;
  for (const Record& r : entry->records) {
    if (r.bytes.size() > longest) longest = r.bytes.size();
  }
  *result = static_cast<int32_t>(longest);
  return 0;
}

// ylmdel: deletes the entry. The module opens the library for input (mode
// 1) to delete, so a library of any mode may delete.
int32_t MemberDelete(member_request* request, int32_t) {
  Library* library = nullptr;
  NameAndType key;
  int32_t st = EntryOf(request, &library, &key);
  if (st != 0) return st;
  auto catalog = g_catalogs.find({library->libref, library->catalog});
  if (catalog == g_catalogs.end() || catalog->second.entries.erase(key) == 0) {
    return kNoSuchEntry;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Catalog library services: directory walks and information items.

// yldopen: a walk over every entry (selector "ALL     "). A catalog that
// does not exist has nothing to walk: kNoSuchCatalog.
int32_t DirectoryOpen(uint32_t library, const char* selector, int32_t,
                      uint32_t* stream) {
  Library* l = FindLibrary(library);
  if (l == nullptr) return kBadHandle;
  if (selector == nullptr || std::memcmp(selector, "ALL     ", 8) != 0 ||
      stream == nullptr) {
    return kBadRequest;
  }
  auto catalog = g_catalogs.find({l->libref, l->catalog});
  if (catalog == g_catalogs.end()) return kNoSuchCatalog;
  Stream walk;
  walk.library = library;
  for (const auto& entry : catalog->second.entries) {
    walk.entries.push_back(entry.first);
  }
  uint32_t handle = g_next_stream++;
  g_streams[handle] = std::move(walk);
  *stream = handle;
  return 0;
}

// yldread: the next entry's name and type; kNoMoreEntries at the end.
int32_t DirectoryRead(uint32_t stream, directory_entry_record* entry, int32_t) {
  auto it = g_streams.find(stream);
  if (it == g_streams.end() || entry == nullptr) return kBadHandle;
  Stream& walk = it->second;
  if (walk.next >= walk.entries.size()) return kNoMoreEntries;
  const NameAndType& next = walk.entries[walk.next++];
  entry->name_length = static_cast<int16_t>(next.first.size());
  std::memcpy(entry->name, next.first.data(), next.first.size());
  std::memset(entry->entry_type, ' ', 8);
  std::memcpy(entry->entry_type, next.second.data(), next.second.size());
  return 0;
}

// yldclos: ends a walk.
int32_t DirectoryClose(uint32_t stream) {
  return g_streams.erase(stream) != 0 ? 0 : kBadHandle;
}

// ylinfsy: registers the information set of an open entry. The host keeps
// its own number for it in the item's first word.
int32_t RegisterItem(uint32_t library, info_item* item) {
  if (FindLibrary(library) == nullptr) return kBadHandle;
  if (item == nullptr || item->label == nullptr || item->value == nullptr) {
    return kBadRequest;
  }
  uint32_t handle = g_next_item++;
  g_items[handle] = {library, std::string(item->label, item->label_length),
                     std::string(item->value, item->value_length)};
  item->host_word = handle;
  return 0;
}

// ylinfsr: withdraws it, by the number left in the item's first word.
int32_t WithdrawItem(uint32_t, uint32_t item_word) {
  return g_items.erase(item_word) != 0 ? 0 : kBadHandle;
}

}  // namespace

// ---------------------------------------------------------------------------
// Starting the host, and what the session looks at.

void StartHost() {
  for (int v = 0; v < kVectors; ++v) {
    for (int s = 0; s < kSlotsPerVector; ++s) {
      g_vectors[v][s] = reinterpret_cast<host_routine>(&Unexpected);
    }
    g_vector_table[v] = g_vectors[v];
  }
  for (int c = 0; c < 256; ++c) {
    g_upper_table[c] = static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - 32 : c);
  }
  g_translation.tables[kTableUpper] = g_upper_table;
  g_gcb.service_vectors = g_vector_table;
  g_gcb.tssvec = g_tssvec;
  g_module_heap = {HeapAllocate, HeapRelease};
  g_temporary_heap = {HeapAllocate, HeapRelease};
  g_gcb.temporary_heap = &g_temporary_heap;
  g_gcb.module_heap = &g_module_heap;
  g_gcb.translation = &g_translation;

  Provide(wrmksub_service, &SetSubstitutions);
  Provide(wzrlchr_service, &ReadNumber);
  Provide(yymheap_service, &ReleaseHeap);
  Provide(ypmstr_service, &MessageText);
  Provide(yprrlog_service, &IssueMessage);
  Provide(znamdiv_service, &SplitName);
  Provide(yxam2am_service, &FindAccessMethod);
  Provide(yxaunql_service, &UniqueName);
  Provide(yxatoki_service, &TokensStart);
  Provide(yxatok_service, &TokensNext);
  Provide(yxatokt_service, &TokensEnd);
  Provide(ylopen_service, &LibraryOpen);
  Provide(ylclose_service, &LibraryClose);
  Provide(ylmopen_service, &MemberOpen);
  Provide(ylmread_service, &MemberRead);
  Provide(ylmwrit_service, &MemberWrite);
  Provide(ylmnote_service, &MemberNote);
  Provide(ylmpoin_service, &MemberPoint);
  Provide(ylmclos_service, &MemberClose);
  Provide(ylmfind_service, &MemberFind);
  Provide(ylminfo_service, &MemberInfo);
  Provide(ylmdel_service, &MemberDelete);
  Provide(yldopen_service, &DirectoryOpen);
  Provide(yldread_service, &DirectoryRead);
  Provide(yldclos_service, &DirectoryClose);
  Provide(ylinfsy_service, &RegisterItem);
  Provide(ylinfsr_service, &WithdrawItem);
}

gcb_record* Gcb() { return &g_gcb; }
void RegisterAccessMethod(amec_block* amec) { g_amec = amec; }
void AddLibrary(const std::string& libref) { g_librefs.insert(Upper(libref)); }

int32_t NewOptionSource(const std::string& text) {
  g_sources.push_back(std::make_unique<OptionSource>());
  g_sources.back()->tokens = Tokenize(text);
  return static_cast<int32_t>(g_sources.size());
}

bool OptionSourceFinished(int32_t source) {
  OptionSource* s = FindSource(source);
  return s == nullptr || s->next >= s->tokens.size();
}

bool OptionRejected(int32_t source) {
  OptionSource* s = FindSource(source);
  if (s == nullptr) return false;
  uint32_t word;
  std::memcpy(&word, s->context + kTokenContextErrorWord, sizeof word);
  return (word & 1) != 0;
}

void DropOptionSources() { g_sources.clear(); }

Balance CurrentBalance() {
  Balance b;
  b.module_blocks = static_cast<int>(g_module_counts.live.size());
  b.temporary_blocks = static_cast<int>(g_temporary_counts.live.size());
  b.bad_releases =
      g_module_counts.bad_releases + g_temporary_counts.bad_releases;
  b.libraries = static_cast<int>(g_libraries.size());
  b.members = static_cast<int>(g_members.size());
  b.ended_members = static_cast<int>(g_ended.size());
  b.streams = static_cast<int>(g_streams.size());
  b.items = static_cast<int>(g_items.size());
  b.unexpected_calls = g_unexpected_calls;
  return b;
}

bool CatalogExists(const std::string& libref, const std::string& catalog) {
  return g_catalogs.count({Upper(libref), Upper(catalog)}) != 0;
}

std::vector<std::string> StoredRecords(const std::string& libref,
                                       const std::string& catalog,
                                       const std::string& name,
                                       const std::string& type) {
  std::vector<std::string> records;
  Entry* entry =
      FindEntry({Upper(libref), Upper(catalog)}, {Upper(name), Upper(type)});
  if (entry != nullptr) {
    for (const Record& r : entry->records) records.push_back(r.bytes);
  }
  return records;
}

void FailNextCommit() { g_fail_next_commit = true; }
const std::vector<std::string>& Substitutions() { return g_substitutions; }

}  // namespace example
