// Fuzz target: physical names, like-fileref names and member names. An
// input is a sequence of fileref operations over a small catalog store:
// assignment (slot 0), assignment like another fileref with or without a
// member name (slot 31), path name (slot 4), validation (slot 7), entry
// open and close (slots 11, 21), directory open and close (slots 26, 22),
// existence of the fileref and of what it names (slots 2, 3), deletion
// (slot 32), information without a handle (slot 8), deassignment (slot 1)
// and walks of the fileref list (slot 6). Names are built from pieces that
// resolve, pieces that are too long, lower case, empty levels and raw
// bytes; fileref names include blanks (the host names those) and lower case
// (stored as given, never found again by a lookup).
//
// Some inputs run against a hostile name splitter: the host's znamdiv is
// replaced by one that reports any level count and name parts with any
// length, -1 and 40 included. The module must stay within its fields.
//
// Checked on every call: the status is one the module or the host's
// library services document, the path name and validation agree, a path
// name is NUL-terminated within 84 bytes and blank to byte 1024 behind it,
// and a failed path name leaves the buffer untouched. At the end every
// fileref that can be found is deassigned and the heaps must hold nothing
// else but the nodes no lookup can reach.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fileref/fileref.h"
#include "fuzz_host.h"

namespace {

using fuzz::FuzzHost;

constexpr const char* kPieces[] = {
    "WORK",
    "work",
    "CAT",
    "cat",
    "E1",
    "e2",
    "P1",
    "html",
    "HTML",
    "kor",
    "SOURCE",
    "CATAMS",
    "",
    "LIB2",
    "C",
    "ABCDEFGHI",
    "ABCDEFGH",
    "FORMAT",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456",
    "a b",
    "$#@_",
    "\xC3\xA9",
};
constexpr size_t kPieceCount = sizeof kPieces / sizeof kPieces[0];

constexpr const char* kFilerefs[] = {"F1", "f1",  "F2",       "LONGNAME",
                                     "",   "A B", "#LN00001", "F3"};
constexpr size_t kFilerefCount = sizeof kFilerefs / sizeof kFilerefs[0];

constexpr const char* kOptionTexts[] = {
    "", "LRECL=80", "MOD", "ATTR", "RECFM=P", "DESC='d'", "LRECL=0 RECFM=F"};

// The hostile splitter's answer, chosen by the input.
struct HostileSplit {
  int32_t levels;
  int16_t lengths[4];
  char fill;
};
HostileSplit g_split;

int32_t HostileZnamdiv(int32_t, const char*, int32_t, int32_t* levels, int32_t,
                       name_part* p1, name_part* p2, name_part* p3,
                       name_part* p4) {
  name_part* parts[4] = {p1, p2, p3, p4};
  *levels = g_split.levels;
  for (int i = 0; i < 4; ++i) {
    parts[i]->length = g_split.lengths[i];
    memset(parts[i]->text, g_split.fill, kNameTextLength);
  }
  return 0;
}

std::string PhysicalName(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 7) == 0) {
    return in.ConsumeRandomLengthString(120);
  }
  int levels = in.ConsumeIntegralInRange(1, 6);
  std::string name;
  for (int i = 0; i < levels; ++i) {
    if (i > 0) name += '.';
    name += kPieces[in.ConsumeIntegralInRange<size_t>(0, kPieceCount - 1)];
  }
  return name;
}

std::string FilerefName(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 15) == 0) {
    std::string raw = in.ConsumeBytesAsString(8);
    raw.resize(8, ' ');
    return raw;
  }
  return FuzzHost::Name8(
      kFilerefs[in.ConsumeIntegralInRange<size_t>(0, kFilerefCount - 1)]);
}

// Statuses any of the exercised routines may give: the module's own and the
// library services' (host statuses of vector 39 start 0x8001C).
bool Documented(int32_t st) {
  switch (st) {
    case kStatusOk:
    case kStatusEndOfList:
    case kStatusNoMemory:
    case kStatusRefused:
    case kStatusNoRecordBuffer:
    case kStatusNotAssigned:
    case kStatusNoSuchEntry:
    case kStatusBadLength:
    case kStatusNullHandle:
      return true;
    default:
      return ((uint32_t)st & 0xFFFFFF00u) == 0x8001C000u ||
             ((uint32_t)st & 0xFFFFFF00u) == 0x0001C000u;
  }
}

#define CHECK_DOCUMENTED(st, what)                                            \
  FUZZ_CHECK(Documented(st), "%s returned the undocumented status %#x", what, \
             (unsigned)(st))

// An option block for an assignment or an open, or null.
option_block* MakeOptions(FuzzHost& fh, FuzzedDataProvider& in) {
  const char* text = kOptionTexts[in.ConsumeIntegralInRange<size_t>(0, 6)];
  if (*text == '\0') return nullptr;
  refhost::ParseResult r = fh.Parse(text, 0);
  FUZZ_CHECK(r.status == 0, "options \"%s\"", text);
  return r.block;
}

void ReleaseOptions(FuzzHost& fh, option_block* block) {
  if (block != nullptr) fh.slots().ReleaseOptions("        ", 0, block);
}

void CheckPathName(FuzzHost& fh, const std::string& name) {
  char buffer[kPathNameCapacity + 8];
  memset(buffer, 0x5A, sizeof buffer);
  int32_t st = fh.slots().PathName(name.data(), buffer);
  CHECK_DOCUMENTED(st, "path name");
  int32_t valid = fh.slots().Validate(name.data());
  FUZZ_CHECK(valid == st, "validation %#x but path name %#x", (unsigned)valid,
             (unsigned)st);
  for (size_t i = kPathNameCapacity; i < sizeof buffer; ++i) {
    FUZZ_CHECK(buffer[i] == 0x5A, "path name wrote past 1024 bytes");
  }
  if (st != 0) {
    for (int i = 0; i < kPathNameCapacity; ++i) {
      FUZZ_CHECK(buffer[i] == 0x5A, "a failed path name wrote the buffer");
    }
    return;
  }
  // Blanks back from byte 1024 to the NUL that ends the path name (a name
  // from a hostile splitter may hold NUL bytes of its own).
  int end = kPathNameCapacity - 1;
  while (end >= 0 && buffer[end] == ' ') --end;
  FUZZ_CHECK(end >= 0 && buffer[end] == '\0',
             "path name not NUL-terminated and blank-filled behind it");
  FUZZ_CHECK(end <= 83, "path name of %d characters", end);
}

void OpenAndClose(FuzzHost& fh, FuzzedDataProvider& in,
                  const std::string& name) {
  constexpr int32_t kFlags[] = {kOpenInput,  kOpenOutput,
                                kOpenAppend, kOpenUpdate,
                                0,           kOpenInput | kOpenOutput};
  open_request request{};
  request.open_flags = kFlags[in.ConsumeIntegralInRange<size_t>(0, 5)];
  request.record_length = in.ConsumeIntegralInRange(-300, 300);
  request.options = MakeOptions(fh, in);
  file_handle* handle = nullptr;
  int32_t st = fh.slots().Open(&handle, name.data(), 0, &request);
  CHECK_DOCUMENTED(st, "entry open");
  if (st != 0) {
    FUZZ_CHECK(handle == nullptr, "a failed open handed out a handle");
    ReleaseOptions(fh, request.options);
    return;
  }
  FUZZ_CHECK(handle != nullptr, "open without a handle");
  if (request.open_flags & (kOpenOutput | kOpenAppend | kOpenUpdate)) {
    st = fh.slots().Write(handle, "record", 6, ' ');
  } else {
    char* data = nullptr;
    int32_t length = 0;
    st = fh.slots().Read(handle, &data, &length, nullptr);
  }
  CHECK_DOCUMENTED(st == 0x801 || st == 0x1009 ? 0 : st, "transfer");
  st = fh.slots().Close(handle);
  CHECK_DOCUMENTED(st, "close");
}

void DirectoryOpenAndClose(FuzzHost& fh, const std::string& name) {
  dir_handle* handle = reinterpret_cast<dir_handle*>(0x1234);
  int32_t st = fh.slots().DirOpen(&handle, name.data(), 0);
  CHECK_DOCUMENTED(st, "directory open");
  if (st != 0) {
    FUZZ_CHECK(handle == reinterpret_cast<dir_handle*>(0x1234),
               "a failed directory open wrote the handle pointer");
    return;
  }
  st = fh.slots().DirClose(handle);
  CHECK_DOCUMENTED(st, "directory close");
}

// Walks the fileref list; returns the stored names in walk order.
std::vector<std::string> Walk(FuzzHost& fh) {
  std::vector<std::string> names;
  fileref_node* cursor = nullptr;
  for (int steps = 0;; ++steps) {
    FUZZ_CHECK(steps < 10000, "the fileref walk does not end");
    char name[8];
    const char* display = nullptr;
    int32_t display_length = -1;
    int32_t st =
        fh.slots().NextFileref(&cursor, name, 0, &display, &display_length);
    if (st == kStatusEndOfList) {
      FUZZ_CHECK(cursor == nullptr, "cursor not null after the walk");
      break;
    }
    FUZZ_CHECK(st == 0, "walk status %#x", (unsigned)st);
    FUZZ_CHECK(display_length >= 0 && display_length <= kDisplayNameLength,
               "display name length %d", display_length);
    names.emplace_back(name, 8);
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzHost fh;
  refhost::Slots& slots = fh.slots();
  fh.store().PutEntry("WORK", "CAT", "E1", "CATAMS", "", {{"one", 145}});
  fh.store().PutEntry("WORK", "CAT", "E2", "HTML", "", {{"<p>", 322}});
  fh.store().PutEntry("WORK", "CAT", "P1", "SOURCE", "", {{"\0src", 145}});
  fh.store().PutEntry("LIB2", "C", "ABCDEFGH", "FORMAT", "", {});

  bool hostile = in.ConsumeIntegralInRange(0, 3) == 0;
  if (hostile) {
    g_split.levels = in.ConsumeIntegralInRange(-2, 6);
    for (int16_t& n : g_split.lengths) n = in.ConsumeIntegralInRange(-2, 40);
    g_split.fill = in.ConsumeBool() ? 'w' : (char)in.ConsumeIntegral<uint8_t>();
    fh.host().set_service(30, 182,
                          reinterpret_cast<host_routine>(&HostileZnamdiv));
  }

  int operations = in.ConsumeIntegralInRange(1, 40);
  for (int op = 0; op < operations && in.remaining_bytes() > 0; ++op) {
    std::string name = FilerefName(in);
    int32_t st;
    int which = in.ConsumeIntegralInRange(0, 11);
    fuzz::Trace("operation %d on fileref \"%.8s\"", which, name.data());
    switch (which) {
      case 0:
      case 1: {
        std::string physical = PhysicalName(in);
        option_block* options = MakeOptions(fh, in);
        st = slots.Assign(name.data(), 0, "VUVOROZO", physical.data(),
                          (int32_t)physical.size(), options);
        fuzz::Trace("  assign \"%s\" as \"%.8s\": %#x", physical.c_str(),
                    name.data(), (unsigned)st);
        CHECK_DOCUMENTED(st, "assignment");
        if (st != 0) ReleaseOptions(fh, options);
        break;
      }
      case 2: {
        std::string like =
            in.ConsumeBool()
                ? FilerefName(in).substr(0, in.ConsumeIntegralInRange(0, 8))
                : in.ConsumeRandomLengthString(12);
        std::string member = PhysicalName(in);
        bool with_member = in.ConsumeBool();
        option_block* options = MakeOptions(fh, in);
        st = slots.AssignLike(name.data(), 0, "VUVOROZO", like.data(),
                              (int32_t)like.size(),
                              with_member ? member.data() : nullptr,
                              (int32_t)member.size(), options);
        fuzz::Trace("  like \"%s\" member %s as \"%.8s\": %#x", like.c_str(),
                    with_member ? member.c_str() : "(none)", name.data(),
                    (unsigned)st);
        CHECK_DOCUMENTED(st, "assignment like");
        if (st != 0) ReleaseOptions(fh, options);
        break;
      }
      case 3:
        CheckPathName(fh, name);
        break;
      case 4:
        OpenAndClose(fh, in, name);
        break;
      case 5:
        DirectoryOpenAndClose(fh, name);
        break;
      case 6:
        st = slots.EntryExists(name.data(), 0);
        CHECK_DOCUMENTED(st, "existence");
        break;
      case 7:
        st = slots.Delete(name.data(), 0);
        CHECK_DOCUMENTED(st, "deletion");
        break;
      case 8:
        st = slots.Deassign(name.data(), 0);
        FUZZ_CHECK(st == 0 || st == kStatusNotAssigned, "deassign %#x",
                   (unsigned)st);
        FUZZ_CHECK(slots.FilerefExists(name.data(), 0) == kStatusNotAssigned,
                   "still assigned after deassignment");
        break;
      case 9: {
        st = slots.FilerefExists(name.data(), 0);
        FUZZ_CHECK(st == 0 || st == kStatusNotAssigned, "exists %#x",
                   (unsigned)st);
        break;
      }
      case 10: {
        info_reply reply;
        memset(&reply, 0x5A, sizeof reply);
        st = slots.Info(nullptr, name.data(), 0, in.ConsumeIntegral<int32_t>(),
                        &reply);
        FUZZ_CHECK(st == 0 || st == kStatusNotAssigned, "info %#x",
                   (unsigned)st);
        FUZZ_CHECK(reply.four == 4, "info word 36 is %d", reply.four);
        if (st == 0) {
          FUZZ_CHECK(
              reply.path_length >= 0 && reply.path_length <= kDisplayNameLength,
              "info path length %d", reply.path_length);
        }
        break;
      }
      default:
        Walk(fh);
        break;
    }
  }

  // Deassign whatever a lookup finds; nodes stored under names no lookup
  // reaches stay, with the option blocks only they hold.
  std::vector<std::string> names = Walk(fh);
  for (const std::string& name : names) {
    std::string key = name;
    for (char& c : key) c = (char)(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (key == name) {
      FUZZ_CHECK(slots.Deassign(name.data(), 0) == 0, "deassign failed");
    }
  }
  std::set<const option_block*> held_blocks;
  int64_t held_nodes = 0;
  for (fileref_node* n = fh.slots().amec()->fileref_list; n != nullptr;
       n = n->next) {
    ++held_nodes;
    if (n->options != nullptr) held_blocks.insert(n->options);
  }
  FUZZ_CHECK(
      held_nodes == (int64_t)names.size() -
                        (int64_t)std::count_if(names.begin(), names.end(),
                                               [](const std::string& s) {
                                                 for (char c : s) {
                                                   if (c >= 'a' && c <= 'z')
                                                     return false;
                                                 }
                                                 return true;
                                               }),
      "a fileref that a lookup finds is still on the list");
  fh.CheckReleased(held_nodes + (int64_t)held_blocks.size());
  return 0;
}
