// Fuzz target: a differential test of record transfer. An input is a random
// sequence of what a host does with catalog entries: assign filerefs (three
// and four levels naming entries, two levels naming catalogs) with options,
// open entries for input, output, append and update with random options
// and record lengths, write and read records through slots 18 and 19 and
// through the io_vector, note and point, close, deassign while handles are
// open, delete entries, test their existence, open catalogs as directories,
// walk them, test and open members. Every result is checked against a
// simple model of what each entry must hold and what each call must answer.
//
// The model keeps to what is easy to state: entries of the types CATAMS,
// HTML and GIF (plain records) and SOURCE (a lead byte before the data
// through the io_vector), variable records without carriage control, and
// the three record lengths settled at open from LRECL, the request's record
// length and the entry's longest record. A read gives back the record's own
// data, or its first data-record-length bytes with the truncation warning.
// The host's store semantics are modelled as the reference host states
// them: a handle sees the entry as it stood at open plus its own writes, a
// write replaces everything after the position, and a writing handle's
// content becomes the entry's, whole, when it closes.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz_host.h"

namespace {

using fuzz::FuzzHost;
using refhost::StoredRecord;
using Records = std::vector<StoredRecord>;

struct Key {
  std::string lib, cat, name, type;
  bool operator<(const Key& o) const {
    return std::tie(lib, cat, name, type) <
           std::tie(o.lib, o.cat, o.name, o.type);
  }
};

std::string KeyText(const Key& k) {
  return k.lib + "." + k.cat + "." + k.name + "." + k.type;
}

constexpr const char* kLibs[] = {"WORK", "LIB2"};
constexpr const char* kCats[] = {"CAT", "CAT2"};
constexpr const char* kNames[] = {"E1", "E2", "S1"};
// Types as a four-level name writes them, with the type they resolve to.
constexpr const char* kTypes[][2] = {
    {"CATAMS", "CATAMS"}, {"html", "HTML"}, {"SOURCE", "SOURCE"},
    {"kor", "SOURCE"},    {"GIF", "GIF"},
};
constexpr int kFilerefs = 5;

bool LeadByteType(const std::string& type) { return type == "SOURCE"; }

// What the fileref and open options say.
struct Options {
  int32_t lrecl = 0;
  bool mod = false;
  bool attr = false;
  bool recfm_v = false;
  bool recfm_f = false;  // fixed-length records, blank-filled

  std::string Text() const {
    std::string t;
    if (lrecl != 0) t += "LRECL=" + std::to_string(lrecl) + " ";
    if (recfm_v) t += "RECFM=V ";
    if (recfm_f) t += "RECFM=F ";
    if (mod) t += "MOD ";
    if (attr) t += "ATTR ";
    return t;
  }
};

Options RandomOptions(FuzzedDataProvider& in) {
  Options o;
  if (in.ConsumeIntegralInRange(0, 2) == 0) return o;
  constexpr int32_t kLrecl[] = {0, 0, 1, 5, 80, 200, 40};
  o.lrecl = kLrecl[in.ConsumeIntegralInRange(0, 6)];
  o.mod = in.ConsumeIntegralInRange(0, 4) == 0;
  o.attr = in.ConsumeIntegralInRange(0, 4) == 0;
  o.recfm_v = in.ConsumeBool();
  o.recfm_f = in.ConsumeIntegralInRange(0, 3) == 0;
  return o;
}

struct FilerefModel {
  int levels;  // 2: a catalog; 3 or 4: an entry
  Key key;     // type empty for two levels
  int node;    // the node that serves the name (same across re-assignment)
};

struct HandleModel {
  file_handle* handle;
  int directory;  // index of the directory of a member; -1 for an entry
  Key key;
  Records content;
  size_t position;
  bool writable;
  int32_t data_limit;  // most data bytes a caller moves
  int32_t stored;      // stored record length
  bool attr;
  bool fixed;  // RECFM=F settled: records blank-filled
  bool buffer;
  bool replace;        // opened for output: the content starts empty
  bool wrote = false;  // a record reached the host
  io_vector* vector = nullptr;
  std::vector<uint32_t> notes;
};

struct DirectoryModel {
  dir_handle* handle;
  std::string lib, cat;
  int node;
  int members = 0;
};

// What an open settles, or the status it fails with.
struct Settled {
  int32_t status = 0;
  int32_t flags = 0;
  int access = 0;
  int32_t stored = 0, data = 0;
  bool buffer = false;
  bool attr = false;
  bool fixed = false;
};

class Model {
 public:
  explicit Model(FuzzHost& fh) : fh_(fh), slots_(fh.slots()) {}

  void Seed() {
    Put({"WORK", "CAT", "E1", "CATAMS"},
        {{"first", 145}, {"1", 270}, {"third record", 145}});
    Put({"WORK", "CAT", "E2", "HTML"}, {{"<p>", 322}, {"", 322}});
    Put({"WORK", "CAT", "S1", "SOURCE"},
        {{std::string("\0line one", 9), 145}, {std::string("\0", 1), 145}});
  }

  void Run(FuzzedDataProvider& in) {
    int operations = in.ConsumeIntegralInRange(1, 60);
    for (int op = 0; op < operations && in.remaining_bytes() > 0; ++op) {
      switch (in.ConsumeIntegralInRange(0, 19)) {
        case 0:
        case 1:
          Assign(in);
          break;
        case 2:
        case 3:
        case 4:
          OpenEntry(in);
          break;
        case 5:
        case 6:
        case 7:
          Write(in);
          break;
        case 8:
        case 9:
        case 10:
          Read(in);
          break;
        case 11:
          NoteOrPoint(in);
          break;
        case 12:
        case 13:
          Close(in);
          break;
        case 14:
          Deassign(in);
          break;
        case 15:
          DeleteOrExists(in);
          break;
        case 16:
          OpenDirectory(in);
          break;
        case 17:
          WalkOrMemberExists(in);
          break;
        case 18:
          OpenMember(in);
          break;
        default:
          CloseDirectory(in);
          break;
      }
    }
  }

  // Closes everything, members before their directories, deassigns every
  // fileref and compares the store with the model.
  void Finish() {
    for (size_t i = 0; i < handles_.size(); ++i) {
      if (handles_[i].handle != nullptr) CloseHandle(i);
    }
    for (size_t i = 0; i < dirs_.size(); ++i) {
      if (dirs_[i].handle != nullptr) {
        FUZZ_CHECK(slots_.DirClose(dirs_[i].handle) == 0, "directory close");
      }
    }
    for (int i = 0; i < kFilerefs; ++i) {
      if (filerefs_[i]) {
        FUZZ_CHECK(slots_.Deassign(Name(i).data(), 0) == 0, "deassign");
      }
    }
    for (const auto& [catalog, made] : catalogs_) {
      {
        const char* lib = catalog.first.c_str();
        const char* cat = catalog.second.c_str();
        std::vector<refhost::EntryInfo> listed =
            fh_.store().ListEntries(lib, cat);
        size_t expected = 0;
        for (const auto& [key, records] : committed_) {
          if (key.lib != lib || key.cat != cat) continue;
          ++expected;
          std::optional<refhost::Entry> entry =
              fh_.store().GetEntry(lib, cat, key.name, key.type);
          FUZZ_CHECK(entry.has_value(), "%s missing from the store",
                     KeyText(key).c_str());
          FUZZ_CHECK(entry->records == records,
                     "%s holds %zu records, the model %zu (or they differ)",
                     KeyText(key).c_str(), entry->records.size(),
                     records.size());
        }
        FUZZ_CHECK(listed.size() == expected,
                   "%s.%s lists %zu entries, "
                   "the model %zu",
                   lib, cat, listed.size(), expected);
      }
    }
  }

 private:
  static std::string Name(int i) {
    return FuzzHost::Name8("F" + std::to_string(i));
  }

  void Put(const Key& key, const Records& records) {
    fh_.store().PutEntry(key.lib, key.cat, key.name, key.type, "", records);
    committed_[key] = records;
    catalogs_[{key.lib, key.cat}] = true;
  }

  bool CatalogExists(const std::string& lib, const std::string& cat) const {
    return catalogs_.count({lib, cat}) != 0;
  }
  bool LibraryExists(const std::string& lib) const {
    for (const auto& [k, v] : catalogs_) {
      if (k.first == lib) return true;
    }
    return false;
  }

  option_block* Block(const Options& o) {
    std::string text = o.Text();
    if (text.empty()) return nullptr;
    refhost::ParseResult r = fh_.Parse(text, 0);
    FUZZ_CHECK(r.status == 0 && r.block != nullptr, "options %s", text.c_str());
    return r.block;
  }

  void Assign(FuzzedDataProvider& in) {
    int i = in.ConsumeIntegralInRange(0, kFilerefs - 1);
    FilerefModel f;
    f.levels = in.ConsumeIntegralInRange(2, 4);
    f.key.lib = kLibs[in.ConsumeIntegralInRange(0, 1)];
    f.key.cat = kCats[in.ConsumeIntegralInRange(0, 1)];
    std::string physical = f.key.lib + "." + f.key.cat;
    if (f.levels >= 3) {
      f.key.name = kNames[in.ConsumeIntegralInRange(0, 2)];
      physical += "." + f.key.name;
      f.key.type = "CATAMS";
    }
    if (f.levels == 4) {
      int t = in.ConsumeIntegralInRange(0, 4);
      physical += std::string(".") + kTypes[t][0];
      f.key.type = kTypes[t][1];
    }
    if (in.ConsumeBool()) {
      // The module upper-cases an entry's names; a two-level fileref's
      // catalog goes to the host as written, and the host matches library
      // and catalog names in any case. Either way: the same catalog.
      for (char& c : physical) c = (char)tolower((unsigned char)c);
    }
    Options options = RandomOptions(in);
    option_block* block = Block(options);
    int32_t st = slots_.Assign(Name(i).data(), 0, "VUVOROZO", physical.data(),
                               (int32_t)physical.size(), block);
    fuzz::Trace("assign F%d %s options \"%s\"", i, physical.c_str(),
                options.Text().c_str());
    FUZZ_CHECK(st == 0, "assign %s: %#x", physical.c_str(), (unsigned)st);
    f.node = filerefs_[i] ? filerefs_[i]->node : next_node_++;
    filerefs_[i] = f;
    node_options_[f.node] = options;
  }

  void Deassign(FuzzedDataProvider& in) {
    int i = in.ConsumeIntegralInRange(0, kFilerefs - 1);
    int32_t st = slots_.Deassign(Name(i).data(), 0);
    if (!filerefs_[i]) {
      FUZZ_CHECK(st == kStatusNotAssigned, "deassign unassigned: %#x",
                 (unsigned)st);
      return;
    }
    FUZZ_CHECK(st == 0, "deassign: %#x", (unsigned)st);
    // Handles opened through the fileref stay open on a detached node,
    // which has no option block any more.
    node_options_.erase(filerefs_[i]->node);
    filerefs_[i].reset();
  }

  // The attribute settlement and record buffer of an open of key, given
  // the open flags, the request's record length and the two option sets:
  // the rules of yxlzdfa (src/entry/attributes.cc), written again on
  // purpose so that the two check each other.
  Settled Settle(const Key& key, int32_t flags, int32_t requested,
                 const Options* o, const Options* f) {
    Settled s;
    s.attr = (o && o->attr) || (f && f->attr);
    // The record format of the open's options, else the fileref's.
    const Options* format = (o && (o->recfm_v || o->recfm_f))   ? o
                            : (f && (f->recfm_v || f->recfm_f)) ? f
                                                                : nullptr;
    s.fixed = format != nullptr && format->recfm_f;
    if (!(flags & kOpenInput) && ((o && o->mod) || (f && f->mod))) {
      flags = (flags | kOpenAppend) & ~kOpenOutput;
    }
    s.flags = flags;
    s.access = (flags & kOpenInput) ? 1 : (flags & kOpenOutput) ? 2 : 8;
    int32_t lrecl = -1;
    if (o && o->lrecl > 0) {
      lrecl = o->lrecl;
    } else if (f && f->lrecl > 0) {
      lrecl = f->lrecl;
    }
    auto it = committed_.find(key);
    bool exists = it != committed_.end();
    int32_t longest = 0;
    if (exists) {
      for (const StoredRecord& r : it->second) {
        longest = std::max(longest, (int32_t)r.bytes.size());
      }
    }
    if (requested == INT_MIN) {
      s.status = kStatusBadLength;
      return s;
    }
    int32_t magnitude = requested < 0 ? -requested : requested;
    bool existing = (flags & (kOpenInput | kOpenUpdate)) ||
                    ((flags & kOpenAppend) && exists);
    int32_t buffer;
    if (existing) {
      if (!exists) {
        s.status = kHostNoSuchEntry;
        return s;
      }
      if (lrecl > 0) {
        s.stored = lrecl, buffer = longest, s.data = lrecl;
      } else if (requested == 0) {
        s.stored = buffer = s.data = longest;
      } else {
        s.stored = buffer = s.data = std::max(magnitude, longest);
      }
    } else if (!(flags & (kOpenOutput | kOpenAppend))) {
      // No direction: the entry is updated as it stands, so a buffer made
      // for LRECL holds its longest record as well.
      s.stored = lrecl, buffer = (lrecl > 0 && exists) ? longest : 0;
      s.data = lrecl;
    } else if (lrecl > 0) {
      s.stored = buffer = s.data = lrecl;
    } else if (requested == 0) {
      s.stored = buffer = s.data = 132;
    } else {
      s.stored = buffer = s.data = magnitude;
    }
    if (LeadByteType(key.type) && !s.attr) s.data -= 1;
    s.buffer = std::max({buffer, s.data, s.stored}) > 0;
    return s;
  }

  // Random open flags, request length and open options.
  void OpenRequest(FuzzedDataProvider& in, open_request* request,
                   Options* options) {
    constexpr int32_t kFlags[] = {kOpenInput,  kOpenOutput,
                                  kOpenAppend, kOpenUpdate,
                                  0,           kOpenInput | kOpenOutput,
                                  kOpenOutput, kOpenInput};
    constexpr int32_t kLengths[] = {0, 0, 0, 50, -50, 300, -1, 7, INT_MIN};
    memset(request, 0, sizeof *request);
    request->open_flags = kFlags[in.ConsumeIntegralInRange(0, 7)];
    request->record_length = kLengths[in.ConsumeIntegralInRange(0, 8)];
    *options = RandomOptions(in);
    request->options = Block(*options);
  }

  // Checks an open's answer against the settlement and records the handle.
  void Opened(int32_t st, const Settled& s, file_handle* handle,
              const open_request& request, int32_t requested, const Key& key,
              int directory) {
    FUZZ_CHECK(st == s.status, "open of %s: %#x, model %#x",
               KeyText(key).c_str(), (unsigned)st, (unsigned)s.status);
    if (st != 0) {
      FUZZ_CHECK(handle == nullptr, "failed open handed out a handle");
      if (request.options != nullptr) {
        slots_.ReleaseOptions("        ", 0, request.options);
      }
      return;
    }
    FUZZ_CHECK(handle != nullptr, "open without a handle");
    if (s.buffer || directory >= 0) {
      FUZZ_CHECK(request.record_length == s.data,
                 "record length word %d, model %d", request.record_length,
                 s.data);
    } else {
      FUZZ_CHECK(request.record_length == requested,
                 "record length word written without a buffer");
    }
    HandleModel h;
    h.handle = handle;
    h.directory = directory;
    h.key = key;
    auto it = committed_.find(key);
    if (s.access != 2 && it != committed_.end()) h.content = it->second;
    h.position = (s.flags & kOpenAppend) ? h.content.size() : 0;
    h.writable = s.access != 1;
    h.replace = s.access == 2;
    h.data_limit = std::max(s.data, 0);
    h.stored = s.stored;
    h.attr = s.attr;
    h.fixed = s.fixed;
    h.buffer = s.buffer;
    handles_.push_back(std::move(h));
  }

  void OpenEntry(FuzzedDataProvider& in) {
    int i = in.ConsumeIntegralInRange(0, kFilerefs - 1);
    open_request request;
    Options o;
    OpenRequest(in, &request, &o);
    int32_t requested = request.record_length;
    file_handle* handle = nullptr;
    int32_t st = slots_.Open(&handle, Name(i).data(), 0, &request);
    Settled s;
    Key key;
    if (!filerefs_[i]) {
      s.status = kStatusNotAssigned;
    } else if (filerefs_[i]->levels <= 2) {
      s.status = kStatusRefused;
    } else {
      key = filerefs_[i]->key;
      int32_t mode =
          (request.open_flags & kOpenInput) ? 1
          : (request.open_flags & (kOpenOutput | kOpenAppend | kOpenUpdate))
              ? 8
              : 0;
      if (mode == 8) {
        catalogs_[{key.lib, key.cat}] = true;
      }
      if (!LibraryExists(key.lib)) {
        s.status = refhost::kLibNoSuchLibrary;
      } else if (!CatalogExists(key.lib, key.cat)) {
        s.status = refhost::kLibNoSuchCatalog;
      } else {
        s = Settle(key, request.open_flags, requested, &o,
                   &node_options_[filerefs_[i]->node]);
      }
    }
    fuzz::Trace("open F%d flags %#x length %d options \"%s\": %#x, handle %zu",
                i, (unsigned)request.open_flags, requested, o.Text().c_str(),
                (unsigned)st, handles_.size());
    Opened(st, s, handle, request, requested, key, -1);
  }

  HandleModel* PickHandle(FuzzedDataProvider& in, size_t* index = nullptr) {
    std::vector<size_t> open;
    for (size_t i = 0; i < handles_.size(); ++i) {
      if (handles_[i].handle != nullptr) open.push_back(i);
    }
    if (open.empty()) return nullptr;
    size_t i = open[in.ConsumeIntegralInRange<size_t>(0, open.size() - 1)];
    if (index) *index = i;
    return &handles_[i];
  }

  // The io_vector of the handle, made on first use.
  io_vector* Vector(HandleModel& h) {
    if (h.vector == nullptr) {
      int32_t st = slots_.IoVector(h.handle, &h.vector);
      FUZZ_CHECK(st == 0 && h.vector != nullptr, "io_vector: %#x",
                 (unsigned)st);
      FUZZ_CHECK(h.vector->owner == h.handle, "io_vector owner");
    }
    return h.vector;
  }

  void Write(FuzzedDataProvider& in) {
    HandleModel* h = PickHandle(in);
    if (h == nullptr) return;
    size_t length = in.ConsumeIntegralInRange<size_t>(0, 260);
    std::string data = in.ConsumeBytesAsString(length);
    bool through_vector = in.ConsumeBool();
    bool lead = through_vector && LeadByteType(h->key.type);
    int32_t st;
    if (through_vector) {
      st = Vector(*h)->write(h->handle, data.data(), (int32_t)data.size(), ' ');
    } else {
      st = slots_.Write(h->handle, data.data(), (int32_t)data.size(), ' ');
    }
    fuzz::Trace("write %zu bytes to %s%s: %#x", data.size(),
                KeyText(h->key).c_str(), through_vector ? " (vector)" : "",
                (unsigned)st);
    if (!h->buffer) {
      FUZZ_CHECK(st == kStatusNoRecordBuffer, "write without a buffer: %#x",
                 (unsigned)st);
      return;
    }
    // The record the module must send.
    bool truncated = (int32_t)data.size() > h->data_limit;
    std::string bytes = data.substr(0, (size_t)h->data_limit);
    uint16_t kind = 145;
    if (lead) {
      if (1 + (int32_t)bytes.size() > h->stored) truncated = true;
      bytes.insert(bytes.begin(), '\0');
      if (h->fixed) {
        // Blank-filled to the data record length, sent at the stored one.
        bytes.resize(1 + (size_t)h->data_limit, ' ');
        bytes.resize((size_t)h->stored, ' ');
      }
    } else if (bytes.empty() && h->key.type == "CATAMS") {
      bytes = "1";
      kind = 270;
    } else if (h->key.type == "HTML") {
      kind = 322;
    } else if (h->key.type == "GIF") {
      kind = 321;
    }
    if ((int32_t)bytes.size() > h->stored) {
      bytes.resize((size_t)h->stored);
      truncated = true;
    }
    int32_t expected = 0;
    if (!h->writable) {
      expected = refhost::kLibNotWritable;
    } else {
      h->content.resize(h->position);
      h->content.push_back({bytes, kind});
      ++h->position;
      h->wrote = true;
      if (truncated) expected = kStatusTruncated;
    }
    FUZZ_CHECK(st == expected, "write of %zu bytes to %s: %#x, model %#x",
               data.size(), KeyText(h->key).c_str(), (unsigned)st,
               (unsigned)expected);
  }

  void Read(FuzzedDataProvider& in) {
    HandleModel* h = PickHandle(in);
    if (h == nullptr) return;
    bool through_vector = in.ConsumeBool();
    bool lead = through_vector && LeadByteType(h->key.type);
    char* data = reinterpret_cast<char*>(0x1);
    int32_t length = -1;
    char control = 'x';
    int32_t st;
    if (through_vector) {
      st = Vector(*h)->read(h->handle, &data, &length, &control);
    } else {
      st = slots_.Read(h->handle, &data, &length, &control);
    }
    fuzz::Trace("read %s%s: %#x, %d bytes", KeyText(h->key).c_str(),
                through_vector ? " (vector)" : "", (unsigned)st, length);
    if (!h->buffer) {
      FUZZ_CHECK(st == kStatusNoRecordBuffer && data == nullptr && length == 0,
                 "read without a buffer: %#x", (unsigned)st);
      return;
    }
    if (h->position >= h->content.size()) {
      FUZZ_CHECK(st == kStatusEndOfFile && length == 0 && data != nullptr,
                 "read at the end of %s: %#x, length %d",
                 KeyText(h->key).c_str(), (unsigned)st, length);
      return;
    }
    const StoredRecord& r = h->content[h->position++];
    std::string expected;
    int32_t expected_status = 0;
    int32_t size = (int32_t)r.bytes.size();
    if (!lead) {
      if (r.kind != 270) {
        expected = r.bytes.substr(0, (size_t)h->data_limit);
        if (size > h->data_limit) expected_status = kStatusTruncated;
      }
      if (r.kind != 270) {
        FUZZ_CHECK(control == ' ',
                   "control character without carriage "
                   "control");
      }
    } else if (size > 0) {
      int32_t adjusted;
      bool saved = false;
      if (r.kind == 145) {
        adjusted = h->attr ? size : size - 1;
      } else {
        adjusted = std::max(size / 2 - 1, 0);
        saved = h->attr;
      }
      int32_t skip = h->attr ? 0 : 1;
      std::string record =
          r.bytes.substr((size_t)std::min(skip, size), (size_t)adjusted);
      expected = record.substr(0, (size_t)h->data_limit);
      if (adjusted > h->data_limit) {
        expected_status = kStatusTruncated;
      } else if (saved) {
        expected += r.bytes[size - 1];
      }
    }
    FUZZ_CHECK(st == expected_status, "read of %s record %zu: %#x, model %#x",
               KeyText(h->key).c_str(), h->position - 1, (unsigned)st,
               (unsigned)expected_status);
    FUZZ_CHECK(length == (int32_t)expected.size() && data != nullptr,
               "read of %s record %zu: length %d, model %zu",
               KeyText(h->key).c_str(), h->position - 1, length,
               expected.size());
    FUZZ_CHECK(memcmp(data, expected.data(), expected.size()) == 0,
               "read of %s record %zu: bytes differ from the model",
               KeyText(h->key).c_str(), h->position - 1);
    // Fixed-length records come blank-filled to the data record length
    // behind what the read returns; empty records of kind 270 and empty
    // lead-byte records are handed back as they are.
    bool delivered = lead ? size > 0 : r.kind != 270;
    if (h->fixed && delivered) {
      for (int32_t i = (int32_t)expected.size(); i < h->data_limit; ++i) {
        FUZZ_CHECK(data[i] == ' ',
                   "fixed record of %s not blank-filled at "
                   "%d",
                   KeyText(h->key).c_str(), i);
      }
    }
  }

  void NoteOrPoint(FuzzedDataProvider& in) {
    HandleModel* h = PickHandle(in);
    if (h == nullptr) return;
    bool vector = in.ConsumeBool();
    if (in.ConsumeBool()) {
      uint32_t cell = 0xFFFFFFFF;
      int32_t st = vector ? Vector(*h)->note(h->handle, &cell)
                          : slots_.Note(h->handle, &cell);
      FUZZ_CHECK(st == 0 && cell == h->position, "note: %#x at %u, model %zu",
                 (unsigned)st, cell, h->position);
      h->notes.push_back(cell);
      return;
    }
    uint32_t cell = h->notes.empty() || in.ConsumeIntegralInRange(0, 3) == 0
                        ? in.ConsumeIntegralInRange<uint32_t>(0, 6)
                        : h->notes[in.ConsumeIntegralInRange<size_t>(
                              0, h->notes.size() - 1)];
    int32_t st = vector ? Vector(*h)->point(h->handle, &cell)
                        : slots_.Point(h->handle, &cell);
    if (cell > h->content.size()) {
      FUZZ_CHECK(st == refhost::kLibBadPosition, "point beyond the end: %#x",
                 (unsigned)st);
    } else {
      FUZZ_CHECK(st == 0, "point to %u: %#x", cell, (unsigned)st);
      h->position = cell;
    }
  }

  void CloseHandle(size_t i) {
    HandleModel& h = handles_[i];
    int32_t st = h.directory >= 0 ? slots_.MemberClose(h.handle)
                                  : slots_.Close(h.handle);
    FUZZ_CHECK(st == 0, "close of %s: %#x", KeyText(h.key).c_str(),
               (unsigned)st);
    // A handle that wrote, or one for output (replace), makes its content
    // the entry's; an update that wrote nothing leaves the entry as it
    // stands now, and brings it back as it saw it if it was deleted.
    if (h.writable && (h.wrote || h.replace || committed_.count(h.key) == 0)) {
      committed_[h.key] = h.content;
    }
    if (h.directory >= 0) --dirs_[h.directory].members;
    h.handle = nullptr;
  }

  void Close(FuzzedDataProvider& in) {
    size_t i;
    if (PickHandle(in, &i) != nullptr) CloseHandle(i);
  }

  void DeleteOrExists(FuzzedDataProvider& in) {
    int i = in.ConsumeIntegralInRange(0, kFilerefs - 1);
    bool remove = in.ConsumeBool();
    int32_t st = remove ? slots_.Delete(Name(i).data(), 0)
                        : slots_.EntryExists(Name(i).data(), 0);
    int32_t expected;
    const std::optional<FilerefModel>& f = filerefs_[i];
    if (!f) {
      expected = kStatusNotAssigned;
    } else if (f->levels == 2 && remove) {
      expected = kStatusRefused;
    } else if (!LibraryExists(f->key.lib)) {
      expected = refhost::kLibNoSuchLibrary;
    } else if (!CatalogExists(f->key.lib, f->key.cat)) {
      expected = refhost::kLibNoSuchCatalog;
    } else if (f->levels == 2) {
      expected = 0;
    } else if (committed_.count(f->key) == 0) {
      expected = remove ? kHostNoSuchEntry : kStatusNoSuchEntry;
    } else {
      expected = 0;
      if (remove) committed_.erase(f->key);
    }
    FUZZ_CHECK(st == expected, "%s of F%d: %#x, model %#x",
               remove ? "deletion" : "existence", i, (unsigned)st,
               (unsigned)expected);
  }

  void OpenDirectory(FuzzedDataProvider& in) {
    int i = in.ConsumeIntegralInRange(0, kFilerefs - 1);
    dir_handle* handle = nullptr;
    int32_t st = slots_.DirOpen(&handle, Name(i).data(), 0);
    int32_t expected = !filerefs_[i]               ? kStatusNotAssigned
                       : filerefs_[i]->levels != 2 ? kStatusRefused
                                                   : 0;
    FUZZ_CHECK(st == expected, "directory open of F%d: %#x, model %#x", i,
               (unsigned)st, (unsigned)expected);
    if (st != 0) return;
    const Key& key = filerefs_[i]->key;
    catalogs_[{key.lib, key.cat}] = true;  // opened for update: made
    dirs_.push_back({handle, key.lib, key.cat, filerefs_[i]->node});
  }

  DirectoryModel* PickDirectory(FuzzedDataProvider& in, size_t* index) {
    std::vector<size_t> open;
    for (size_t i = 0; i < dirs_.size(); ++i) {
      if (dirs_[i].handle != nullptr) open.push_back(i);
    }
    if (open.empty()) return nullptr;
    *index = open[in.ConsumeIntegralInRange<size_t>(0, open.size() - 1)];
    return &dirs_[*index];
  }

  // Member text and hint, with the entry key they name in the directory.
  Key MemberKey(FuzzedDataProvider& in, const DirectoryModel& d,
                std::string* text, std::string* hint) {
    constexpr const char* kHints[][2] = {{"HTML", "HTML"},
                                         {"KORN", "SOURCE"},
                                         {"XYZ", "CATAMS"},
                                         {"GIFS", "GIF"},
                                         {"html", "CATAMS"}};
    Key key{d.lib, d.cat, kNames[in.ConsumeIntegralInRange(0, 2)], ""};
    int h = in.ConsumeIntegralInRange(0, 4);
    *hint = kHints[h][0];
    key.type = kHints[h][1];
    *text = key.name;
    if (in.ConsumeBool()) {
      int t = in.ConsumeIntegralInRange(0, 4);
      *text += std::string(".") + kTypes[t][0];
      key.type = kTypes[t][1];
    }
    if (in.ConsumeBool()) {
      for (char& c : *text) c = (char)tolower((unsigned char)c);
    }
    return key;
  }

  void WalkOrMemberExists(FuzzedDataProvider& in) {
    size_t di;
    DirectoryModel* d = PickDirectory(in, &di);
    if (d == nullptr) return;
    if (in.ConsumeBool()) {
      // Member text name or name.type; without a type the default counts.
      Key key{d->lib, d->cat, kNames[in.ConsumeIntegralInRange(0, 2)], ""};
      int t = in.ConsumeIntegralInRange(0, 4);
      std::string type8 = FuzzHost::Name8(kTypes[t][0]);
      key.type = kTypes[t][1];
      std::string text = key.name;
      if (in.ConsumeBool()) {
        int u = in.ConsumeIntegralInRange(0, 4);
        text += std::string(".") + kTypes[u][0];
        key.type = kTypes[u][1];
      }
      int32_t st = slots_.MemberExists(d->handle, text.data(),
                                       (int32_t)text.size(), type8.data());
      int32_t expected = committed_.count(key) ? 0 : kHostNoSuchEntry;
      FUZZ_CHECK(st == expected, "member %s exists: %#x, model %#x",
                 KeyText(key).c_str(), (unsigned)st, (unsigned)expected);
      return;
    }
    std::vector<std::pair<std::string, std::string>> expected;
    for (const auto& [key, records] : committed_) {
      if (key.lib == d->lib && key.cat == d->cat) {
        expected.emplace_back(key.name, key.type);
      }
    }
    uint32_t stream = 0;
    for (size_t n = 0;; ++n) {
      char name[32];
      char type[8];
      int32_t length = -1;
      int32_t st = slots_.DirNext(&stream, d->handle, name, &length, type);
      if (st == kStatusEndOfList) {
        FUZZ_CHECK(n == expected.size(),
                   "walk of %s.%s: %zu entries, "
                   "model %zu",
                   d->lib.c_str(), d->cat.c_str(), n, expected.size());
        break;
      }
      FUZZ_CHECK(st == 0 && n < expected.size(), "walk: %#x after %zu",
                 (unsigned)st, n);
      FUZZ_CHECK(
          std::string(name, (size_t)length) == expected[n].first &&
              FuzzHost::Name8(expected[n].second) == std::string(type, 8),
          "walk entry %zu differs from the model", n);
    }
  }

  void OpenMember(FuzzedDataProvider& in) {
    size_t di;
    DirectoryModel* d = PickDirectory(in, &di);
    if (d == nullptr) return;
    std::string text, hint;
    Key key = MemberKey(in, *d, &text, &hint);
    open_request request;
    Options o;
    OpenRequest(in, &request, &o);
    int32_t requested = request.record_length;
    file_handle* handle = nullptr;
    int32_t st = slots_.MemberOpen(&handle, d->handle, text.data(),
                                   (int32_t)text.size(), hint.data(), &request);
    auto f = node_options_.find(d->node);
    Settled s = Settle(key, request.open_flags, requested, &o,
                       f == node_options_.end() ? nullptr : &f->second);
    fuzz::Trace(
        "member %s hint %s flags %#x length %d options \"%s\": %#x, "
        "handle %zu",
        text.c_str(), hint.c_str(), (unsigned)request.open_flags, requested,
        o.Text().c_str(), (unsigned)st, handles_.size());
    Opened(st, s, handle, request, requested, key, (int)di);
    if (st == 0) ++d->members;
  }

  void CloseDirectory(FuzzedDataProvider& in) {
    size_t di;
    DirectoryModel* d = PickDirectory(in, &di);
    if (d == nullptr) return;
    int32_t st = slots_.DirClose(d->handle);
    if (d->members > 0) {
      FUZZ_CHECK(st == kStatusMembersOpen,
                 "directory closed under %d "
                 "members: %#x",
                 d->members, (unsigned)st);
      return;
    }
    FUZZ_CHECK(st == 0, "directory close: %#x", (unsigned)st);
    d->handle = nullptr;
  }

  FuzzHost& fh_;
  refhost::Slots& slots_;
  std::map<Key, Records> committed_;
  std::map<std::pair<std::string, std::string>, bool> catalogs_;
  std::optional<FilerefModel> filerefs_[kFilerefs];
  std::map<int, Options> node_options_;  // by node, while assigned
  int next_node_ = 0;
  std::vector<HandleModel> handles_;
  std::vector<DirectoryModel> dirs_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzHost fh;
  Model model(fh);
  model.Seed();
  model.Run(in);
  model.Finish();
  fh.CheckReleased();
  return 0;
}
