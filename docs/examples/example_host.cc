// The example host's session: loads the module, starts it, and drives it
// through the routine vector as a host does for its users. It assigns
// filerefs, writes, reads and appends to an entry, asks for information,
// lists a catalog and writes a member through it, tests existence, deletes,
// deassigns, and takes the error paths a host meets: a missing catalog,
// refused options and names, closes whose commit fails. At the end it
// checks that the module gave back every heap block, library, member,
// directory stream and information item.
//
// Every step prints one line; the exit status is 0 when every check held.
//
//   g++ -m32 -std=c++17 -I<prefix>/include -o example_host
//       example_host.cc example_services.cc -ldl
//   ./example_host <prefix>/lib/vuvorozo/vuvorozo.so

#include "example_host.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

// One check of the session: prints it, counts it when it did not hold.
void Check(bool held, const std::string& what) {
  std::printf("%s %s\n", held ? "ok  " : "FAIL", what.c_str());
  if (!held) ++g_failures;
}

std::string Hex(int32_t status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// Checks that a call returned the status expected.
void CheckStatus(int32_t status, int32_t expected, const std::string& what) {
  Check(status == expected, what + ": " + Hex(status));
}

// ---------------------------------------------------------------------------
// Loading and starting the module.

amec_block* g_amec = nullptr;

// Opens the shared object, calls mcn_main with the GCB, checks the image
// information record, finds the program control record `vuvorozo` and calls
// its factory. Returns the AMEC block, or null with the reason printed.
amec_block* StartModule(const char* path, void** module) {
  *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (*module == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
    return nullptr;
  }
  auto entry =
      reinterpret_cast<entry_point_routine>(dlsym(*module, "mcn_main"));
  const image_record* image = entry ? entry(example::Gcb(), 0) : nullptr;
  if (image == nullptr || image->magic != kImageMagic ||
      std::strcmp(image->key, "KOR_Image_Information=") != 0) {
    std::fprintf(stderr, "no valid image information record\n");
    return nullptr;
  }
  // The program control list ends at its first null.
  const program_control_record* pcn = nullptr;
  for (int i = 0; i < kProgramControlSlots && image->pcns[i] != nullptr; ++i) {
    auto* p = static_cast<const program_control_record*>(image->pcns[i]);
    if (std::strcmp(p->name, "vuvorozo") == 0) pcn = p;
  }
  amec_block* amec = nullptr;
  int32_t status = -1;
  if (pcn != nullptr) pcn->factory(&amec, &status);
  if (status != 0 || amec == nullptr) {
    std::fprintf(stderr, "factory failed: %s\n", Hex(status).c_str());
    return nullptr;
  }
  std::printf("module release %s, access method %.8s\n", image->release,
              amec->am_name);
  return amec;
}

// A slot's routine, cast to the slot's own type through the generic
// function pointer type. Read at the time of the call.
template <typename Routine>
Routine Slot(int slot) {
  return reinterpret_cast<Routine>(
      reinterpret_cast<void (*)()>(g_amec->vector[slot].routine));
}

// A fileref name: 8 characters, upper case (the module upper-cases the
// names it looks for, and keeps the name given at assignment as it is).
std::string Name8(const std::string& name) {
  std::string padded = name.substr(0, 8);
  padded.resize(8, ' ');
  return padded;
}

// ---------------------------------------------------------------------------
// Filerefs and options.

// Parses an option statement (the text after a fileref) into one option
// block, one slot 30 call an option. Returns 0 or the first failure; a
// block made before a failure is in *block all the same.
int32_t ParseOptions(const std::string& text, option_block** block) {
  int32_t source = example::NewOptionSource(text);
  int32_t status = 0;
  while (status == 0 && !example::OptionSourceFinished(source)) {
    int32_t count = 0;
    status = Slot<parse_routine>(kSlotParse)(0, 0, 0, 0, source, &count, block);
  }
  example::DropOptionSources();
  return status;
}

int32_t Assign(const std::string& fileref, const std::string& physical,
               option_block* options = nullptr) {
  std::string name = Name8(fileref);
  return Slot<assign_routine>(kSlotAssign)(
      name.data(), 0, "VUVOROZO", physical.data(),
      static_cast<int32_t>(physical.size()), options);
}

int32_t Deassign(const std::string& fileref) {
  return Slot<deassign_routine>(kSlotDeassign)(Name8(fileref).data(), 0);
}

// The display name of an assigned fileref, from a walk through slot 6.
std::string DisplayName(const std::string& fileref) {
  fileref_node* cursor = nullptr;
  char name[8];
  const char* display = nullptr;
  int32_t length = 0;
  auto next = Slot<next_fileref_routine>(kSlotNextFileref);
  while (next(&cursor, name, 0, &display, &length) == 0) {
    if (std::string(name, 8) == Name8(fileref)) {
      return std::string(display, static_cast<size_t>(length));
    }
  }
  return "";
}

// The full path name of a fileref (slot 4), or "" when it has none.
std::string PathName(const std::string& fileref) {
  char buffer[kPathNameCapacity];
  if (Slot<path_name_routine>(kSlotPathName)(Name8(fileref).data(), buffer)) {
    return "";
  }
  return buffer;  // NUL-terminated, then blanks
}

// ---------------------------------------------------------------------------
// Entries: open, transfer, close.

// Opens the entry a fileref names with the open flags given (slot 11).
file_handle* OpenEntry(const std::string& fileref, int32_t flags,
                       int32_t* status) {
  open_request request = {};
  request.open_flags = flags;
  file_handle* handle = nullptr;
  *status = Slot<open_routine>(kSlotOpen)(&handle, Name8(fileref).data(), 0,
                                          &request);
  return handle;
}

// Writes each line as one record (slot 19).
bool WriteLines(file_handle* handle, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    int32_t st = Slot<write_routine>(kSlotWrite)(
        handle, line.data(), static_cast<int32_t>(line.size()), ' ');
    if (st != 0) return false;
  }
  return true;
}

// Reads records until the end of the entry (slot 18: 2049).
std::vector<std::string> ReadLines(file_handle* handle) {
  std::vector<std::string> lines;
  for (;;) {
    char* data = nullptr;
    int32_t length = 0;
    int32_t st = Slot<read_routine>(kSlotRead)(handle, &data, &length, nullptr);
    if (st != 0) break;  // 2049 at the end
    lines.emplace_back(data, static_cast<size_t>(length));
  }
  return lines;
}

// Writes a whole entry: open for output, records, close.
int32_t WriteEntry(const std::string& fileref,
                   const std::vector<std::string>& lines) {
  int32_t st = 0;
  file_handle* handle = OpenEntry(fileref, kOpenOutput, &st);
  if (handle == nullptr) return st;
  bool written = WriteLines(handle, lines);
  st = Slot<close_routine>(kSlotClose)(handle);
  return written ? st : kStatusBadLength;
}

std::vector<std::string> ReadEntry(const std::string& fileref) {
  int32_t st = 0;
  file_handle* handle = OpenEntry(fileref, kOpenInput, &st);
  if (handle == nullptr) return {};
  std::vector<std::string> lines = ReadLines(handle);
  Slot<close_routine>(kSlotClose)(handle);
  return lines;
}

typedef std::vector<std::string> Lines;

// ---------------------------------------------------------------------------
// The session, step by step.

// Filerefs: an entry and its catalog. The names keep their case in the
// fileref's display name; the path name is the entry's, upper case.
void AssignFilerefs() {
  option_block* options = nullptr;
  CheckStatus(ParseOptions("desc='Notes of January' lrecl=80", &options), 0,
              "options parsed (slot 30)");
  CheckStatus(Assign("JAN", "work.notes.jan", options), 0,
              "JAN assigned to work.notes.jan (slot 0)");
  CheckStatus(Assign("NOTES", "work.notes"), 0, "NOTES assigned to work.notes");
  Check(DisplayName("JAN") == "work.notes.jan.",
        "display name of JAN (slot 6): " + DisplayName("JAN"));
  Check(DisplayName("NOTES") == "..work.notes",
        "display name of NOTES: " + DisplayName("NOTES"));
  Check(PathName("JAN") == "WORK.NOTES.JAN.CATAMS",
        "path name of JAN (slot 4): " + PathName("JAN"));
  CheckStatus(Slot<validate_routine>(kSlotValidate)(Name8("JAN").data()), 0,
              "JAN's name resolves (slot 7)");
  CheckStatus(Slot<validate_routine>(kSlotValidate)(Name8("NOTES").data()),
              kStatusRefused, "NOTES names no entry");
  CheckStatus(
      Slot<fileref_exists_routine>(kSlotExistsFileref)(Name8("JAN").data(), 0),
      0, "JAN is assigned (slot 2)");
}

// The catalog does not exist yet: the existence test returns this host's
// status, and a listing fails at the walk and makes no catalog.
void BeforeTheCatalogExists() {
  auto exists = Slot<entry_exists_routine>(kSlotExistsEntry);
  CheckStatus(exists(Name8("JAN").data(), 0), example::kNoSuchCatalog,
              "JAN before its catalog exists (slot 3)");
  dir_handle* dir = nullptr;
  CheckStatus(
      Slot<dir_open_routine>(kSlotDirOpen)(&dir, Name8("NOTES").data(), 0), 0,
      "NOTES opens as a directory (slot 26)");
  uint32_t stream = 0;
  char name[32], type[8];
  int32_t length = 0;
  CheckStatus(
      Slot<dir_next_routine>(kSlotDirNext)(&stream, dir, name, &length, type),
      example::kNoSuchCatalog, "its walk (slot 25)");
  CheckStatus(Slot<dir_close_routine>(kSlotDirClose)(dir), 0,
              "directory closed (slot 22)");
  Check(!example::CatalogExists("WORK", "NOTES"), "no catalog was made");
}

void WriteAndRead() {
  CheckStatus(WriteEntry("JAN", {"first note", "second note", "third note"}), 0,
              "JAN written (slots 11, 19, 21)");
  Check(example::CatalogExists("WORK", "NOTES"), "the write made the catalog");
  CheckStatus(
      Slot<entry_exists_routine>(kSlotExistsEntry)(Name8("JAN").data(), 0), 0,
      "JAN exists (slot 3)");

  int32_t st = 0;
  file_handle* handle = OpenEntry("JAN", kOpenInput, &st);
  CheckStatus(st, 0, "JAN opened for input");
  if (handle == nullptr) return;

  // Information: the path name, record format and data record length.
  info_reply reply = {};
  CheckStatus(
      Slot<info_routine>(kSlotInfo)(handle, nullptr, 0, kInfoAll, 0, &reply), 0,
      "information (slot 8)");
  std::string path(reply.path, static_cast<size_t>(reply.path_length));
  Check(path == "WORK.NOTES.JAN.CATAMS" && reply.data_length == 80,
        "path " + path + ", data length " + std::to_string(reply.data_length));
  info_item* item = nullptr;
  CheckStatus(Slot<info_set_routine>(kSlotInfoSet)(handle, &item), 0,
              "information set registered (slot 9)");
  CheckStatus(Slot<info_release_routine>(kSlotInfoRelease)(handle, item), 0,
              "information set withdrawn (slot 10)");

  // Reads, a noted position and a return to it. The position word is this
  // host's own: ylmnote writes the record number there.
  char* data = nullptr;
  int32_t length = 0;
  uint32_t position = 0;
  Slot<read_routine>(kSlotRead)(handle, &data, &length, nullptr);
  CheckStatus(Slot<note_routine>(kSlotNote)(handle, &position), 0,
              "position noted after one record (slot 12)");
  Check(ReadLines(handle) == Lines{"second note", "third note"},
        "the rest read (slot 18)");
  CheckStatus(Slot<point_routine>(kSlotPoint)(handle, &position), 0,
              "back to the noted position (slot 13)");
  Check(ReadLines(handle) == Lines{"second note", "third note"},
        "the rest read again");
  CheckStatus(Slot<close_routine>(kSlotClose)(handle), 0,
              "JAN closed (slot 21)");
}

// An append: the open for append positions at the end (ylmpoin mode 2).
void Append() {
  int32_t st = 0;
  file_handle* handle = OpenEntry("JAN", kOpenAppend, &st);
  CheckStatus(st, 0, "JAN opened for append");
  if (handle == nullptr) return;
  Check(WriteLines(handle, {"fourth note"}), "one record appended");
  CheckStatus(Slot<flush_routine>(kSlotFlush)(handle), 0, "flushed (slot 20)");
  CheckStatus(Slot<close_routine>(kSlotClose)(handle), 0, "JAN closed");
  Check(ReadEntry("JAN").size() == 4, "JAN holds four records");
}

// The catalog as a directory: a member written through it, the walk, a
// member tested.
void Directory() {
  dir_handle* dir = nullptr;
  CheckStatus(
      Slot<dir_open_routine>(kSlotDirOpen)(&dir, Name8("NOTES").data(), 0), 0,
      "NOTES opened as a directory (slot 26)");
  if (dir == nullptr) return;
  open_request request = {};
  request.open_flags = kOpenOutput;
  file_handle* member = nullptr;
  CheckStatus(Slot<member_open_routine>(kSlotMemberOpen)(&member, dir, "feb", 3,
                                                         "HTML", &request),
              0, "member feb opened with the hint HTML (slot 29)");
  if (member != nullptr) {
    // Through the io_vector, as a host that moves many records does.
    io_vector* vector = nullptr;
    CheckStatus(Slot<io_vector_routine>(kSlotIoVector)(member, &vector), 0,
                "its io_vector (slot 35)");
    const char record[] = "<p>February</p>";
    if (vector != nullptr) {
      CheckStatus(vector->write(member, record, sizeof record - 1, ' '), 0,
                  "member written through it");
    }
    CheckStatus(Slot<member_close_routine>(kSlotMemberClose)(member), 0,
                "member closed (slot 27)");
  }

  Lines walked;
  uint32_t stream = 0;  // 0 starts a walk
  char name[32], type[8];
  int32_t length = 0;
  auto next = Slot<dir_next_routine>(kSlotDirNext);
  while (next(&stream, dir, name, &length, type) == 0) {
    std::string entry_type(type, 8);
    entry_type.erase(entry_type.find_last_not_of(' ') + 1);
    walked.push_back(std::string(name, static_cast<size_t>(length)) + "." +
                     entry_type);
  }
  Check(walked == Lines{"FEB.HTML", "JAN.CATAMS"}, "walk (slot 25)");
  CheckStatus(
      Slot<member_exists_routine>(kSlotMemberExists)(dir, "jan", 3, "CATAMS  "),
      0, "member jan exists (slot 28)");
  CheckStatus(
      Slot<member_exists_routine>(kSlotMemberExists)(dir, "mar", 3, "CATAMS  "),
      example::kNoSuchEntry, "member mar does not");
  CheckStatus(Slot<dir_close_routine>(kSlotDirClose)(dir), 0,
              "directory closed (slot 22)");
}

// Closes whose commit fails: the entry keeps its content, and nothing
// stays open on the host. The entry close closes its library itself; the
// member close is made once more, and the host answers it with 0.
void FailedCloses() {
  int32_t st = 0;
  file_handle* handle = OpenEntry("JAN", kOpenOutput, &st);
  CheckStatus(st, 0, "JAN opened for output");
  if (handle != nullptr) {
    WriteLines(handle, {"lost"});
    example::FailNextCommit();
    CheckStatus(Slot<close_routine>(kSlotClose)(handle), example::kStoreFailed,
                "its close cannot commit (slot 21)");
  }
  example::Balance b = example::CurrentBalance();
  Check(b.libraries == 0 && b.members == 0 && b.ended_members == 0,
        "no library or member stays open");
  Check(example::StoredRecords("WORK", "NOTES", "JAN", "CATAMS").size() == 4,
        "JAN keeps its four records");

  dir_handle* dir = nullptr;
  Slot<dir_open_routine>(kSlotDirOpen)(&dir, Name8("NOTES").data(), 0);
  open_request request = {};
  request.open_flags = kOpenOutput;
  file_handle* member = nullptr;
  Slot<member_open_routine>(kSlotMemberOpen)(&member, dir, "feb", 3, "HTML",
                                             &request);
  if (member != nullptr) {
    WriteLines(member, {"lost"});
    example::FailNextCommit();
    auto close = Slot<member_close_routine>(kSlotMemberClose);
    CheckStatus(close(member), example::kStoreFailed,
                "member close cannot commit (slot 27)");
    CheckStatus(close(member), 0, "the member closed again");
  }
  CheckStatus(Slot<dir_close_routine>(kSlotDirClose)(dir), 0,
              "directory closed");
  Check(example::StoredRecords("WORK", "NOTES", "FEB", "HTML") ==
            Lines{"<p>February</p>"},
        "feb keeps its record");
}

// Refusals a host meets and how it reads them.
void Refusals() {
  // An option the module does not know: the error mark and no count; the
  // block made for the first option is the host's to release.
  option_block* options = nullptr;
  int32_t source = example::NewOptionSource("colour=red");
  int32_t count = -1;
  CheckStatus(
      Slot<parse_routine>(kSlotParse)(0, 0, 0, 0, source, &count, &options),
      kStatusUnknownOption, "unknown option refused");
  Check(count == 0 && example::OptionRejected(source) && options != nullptr,
        "count 0, the error mark set, a block handed out");
  example::DropOptionSources();
  CheckStatus(Slot<release_options_routine>(kSlotReleaseOptions)(
                  Name8("NONE").data(), 0, options),
              0, "that block released (slot 36)");

  // A catalog fileref opened as an entry: message 4 as substitution.
  int32_t st = 0;
  Check(OpenEntry("NOTES", kOpenInput, &st) == nullptr, "NOTES not an entry");
  CheckStatus(st, kStatusRefused, "refused (slot 11)");
  Check(!example::Substitutions().empty() &&
            example::Substitutions()[0].find("catalog entry") !=
                std::string::npos,
        "substitution: " + (example::Substitutions().empty()
                                ? std::string()
                                : example::Substitutions()[0]));

  OpenEntry("NOBODY", kOpenInput, &st);
  CheckStatus(st, kStatusNotAssigned, "a fileref not assigned");

  // An entry that does not exist in an existing catalog.
  CheckStatus(Assign("MAR", "work.notes.mar"), 0, "MAR assigned");
  CheckStatus(
      Slot<entry_exists_routine>(kSlotExistsEntry)(Name8("MAR").data(), 0),
      kStatusNoSuchEntry, "MAR does not exist (slot 3)");

  // A member name on a fileref that names an entry: refused, but the new
  // fileref is assigned all the same and must be deassigned.
  CheckStatus(
      Slot<assign_like_routine>(kSlotAssignLike)(
          Name8("LIKE").data(), 0, "VUVOROZO", "JAN", 3, "x", 1, 0, nullptr),
      kStatusRefused, "assignment like JAN with a member (slot 31)");
  CheckStatus(Deassign("LIKE"), 0, "the refused fileref deassigned");
  CheckStatus(Deassign("MAR"), 0, "MAR deassigned");
}

void Delete() {
  auto remove = Slot<delete_routine>(kSlotDelete);
  CheckStatus(remove(Name8("JAN").data(), 0), 0, "JAN deleted (slot 32)");
  CheckStatus(
      Slot<entry_exists_routine>(kSlotExistsEntry)(Name8("JAN").data(), 0),
      kStatusNoSuchEntry, "JAN no longer exists");
  CheckStatus(remove(Name8("JAN").data(), 0), example::kNoSuchEntry,
              "a second deletion gets this host's status");
}

void DeassignAll() {
  CheckStatus(Deassign("JAN"), 0, "JAN deassigned (slot 1)");
  CheckStatus(Deassign("NOTES"), 0, "NOTES deassigned");
  CheckStatus(Deassign("NOTES"), kStatusNotAssigned, "NOTES again");
}

// Everything given back: the AMEC block and its vector are the only module
// blocks still live, and nothing is open on the host.
void CheckBalance() {
  example::Balance b = example::CurrentBalance();
  Check(b.module_blocks == 2,
        "module heap blocks live: " + std::to_string(b.module_blocks) +
            " (the AMEC block and its vector)");
  Check(b.temporary_blocks == 0 && b.bad_releases == 0,
        "temporary blocks and bad releases: none");
  Check(b.libraries + b.members + b.ended_members + b.streams + b.items == 0,
        "libraries, members, streams and items open: none");
  Check(b.unexpected_calls == 0, "no call of a service slot not provided");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s path/to/vuvorozo.so\n", argv[0]);
    return 2;
  }
  example::StartHost();
  example::AddLibrary("WORK");
  void* module = nullptr;
  g_amec = StartModule(argv[1], &module);
  if (g_amec == nullptr) return 1;
  example::RegisterAccessMethod(g_amec);

  AssignFilerefs();
  BeforeTheCatalogExists();
  WriteAndRead();
  Append();
  Directory();
  FailedCloses();
  Refusals();
  Delete();
  DeassignAll();
  CheckBalance();

  std::printf("%s\n",
              g_failures == 0 ? "every check held" : "some checks failed");
  return g_failures == 0 ? 0 : 1;
}
