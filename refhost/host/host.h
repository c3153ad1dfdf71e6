// The reference host: everything a host gives the module through its global
// control block. The GCB and its service vectors 0, 30 and 39, the heaps
// with their accounting, the message service, the option tokenizer, name
// splitting, the access-method registry, the translation tables and the
// catalog library services over a CatalogStore.
//
// The host is as strict as a faithful host may be, so that a module that
// only works by luck fails here: the heap yymheap returns is a separate
// object from GCB word 10, uncleared blocks are filled with a non-zero
// pattern, released blocks are poisoned, request records are scribbled over
// after each call, and every service slot the module has no business
// calling answers kHostUnexpectedService and is recorded.
//
// Services are plain C routines without a context argument, so one Host is
// current at a time (the one most recently made); its destructor uninstalls
// it.

#ifndef VUVOROZO_REFHOST_HOST_HOST_H_
#define VUVOROZO_REFHOST_HOST_HOST_H_

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "vuvorozo/vuvorozo.h"

namespace refhost {

class CatalogStore;
class LibraryServices;

// Host statuses of our own.
inline constexpr int32_t kHostUnexpectedService = (int32_t)0x8001F001;
inline constexpr int32_t kHostNoAccessMethod = (int32_t)0x8001F002;
inline constexpr int32_t kHostNoMoreTokens = (int32_t)0x8001F003;
inline constexpr int32_t kHostBadToken = (int32_t)0x8001F004;
inline constexpr int32_t kHostNotANumber = (int32_t)0x8001F005;
inline constexpr int32_t kHostBadSource = (int32_t)0x8001F006;

inline constexpr int kVectorSize = 400;  // slots per service vector
inline constexpr uint8_t kUnclearedFill = 0xA5;
inline constexpr uint8_t kReleasedFill = 0xDD;
inline constexpr uint8_t kScribbleFill = 0xEE;

struct HeapStats {
  int64_t allocations = 0;
  int64_t releases = 0;
  int64_t live_blocks = 0;
  int64_t live_bytes = 0;
  int64_t failed_allocations = 0;  // countdown failures
  int64_t double_releases = 0;     // released an address twice
  int64_t unknown_releases = 0;    // released an address never handed out
};

// A set of blocks with accounting. Several heap objects may share one arena
// (GCB word 10 and the heap yymheap returns do).
class HeapArena {
 public:
  HeapArena() = default;
  ~HeapArena();
  HeapArena(const HeapArena&) = delete;
  HeapArena& operator=(const HeapArena&) = delete;

  void* Allocate(int32_t size, int32_t option);
  bool Release(void* block);  // false for a double or unknown release
  const HeapStats& stats() const { return stats_; }
  bool IsLive(const void* block) const { return live_.count(block) != 0; }
  int32_t SizeOf(const void* block) const;
  // Lets `after` more allocations succeed, then fails the next `count`.
  void FailAfter(int64_t after, int64_t count = 1);
  void StopFailing() { fail_after_ = -1; }

 private:
  // The addresses released last, the oldest written over first: a second
  // release of a recent block is told from a release of an address never
  // handed out, and a long run keeps no more than these.
  static constexpr size_t kReleasedWindow = 4096;
  bool ReleasedLately(const void* block) const;

  std::map<const void*, int32_t> live_;
  std::vector<uintptr_t> released_;
  size_t released_next_ = 0;
  HeapStats stats_;
  int64_t fail_after_ = -1;
  int64_t fail_count_ = 0;
};

// A host heap object: the module's host_heap words, then ours.
struct Heap {
  host_heap base;  // must be first: allocate, release
  HeapArena* arena;
  const char* name;
};

// A routine of the host placed in a service slot.
struct ServiceRoutine {
  service_slot where;
  host_routine routine;
};

// Places routine in the service's slot; a routine of another type than the
// contract gives the service does not compile.
template <typename Routine>
ServiceRoutine Place(typed_service_slot<Routine> service,
                     std::type_identity_t<Routine> routine) {
  return {service, reinterpret_cast<host_routine>(routine)};
}

// The kernel services of vectors 0 and 30 (kernel_services.cc).
std::vector<ServiceRoutine> KernelServices();

// What a module holds of its host at one moment, beyond the AMEC block and
// routine vector it keeps for its life. Between host calls that leave
// nothing open, every count is 0.
struct HostBalance {
  int64_t module_blocks = 0;     // live in the module heap
  int64_t temporary_blocks = 0;  // live in the temporary heap
  int64_t bad_releases = 0;      // double or unknown releases, both heaps
  int open_libraries = 0;        // library handles of the library services
  int open_members = 0;          // member handles
  int open_streams = 0;          // directory streams
  int unexpected_calls = 0;      // calls of slots the module has no use for

  int host_handles() const {
    return open_libraries + open_members + open_streams;
  }
};

struct IssuedMessage {
  int32_t token;
  int32_t number;
  std::string text;                        // formatted with substitutions
  std::vector<std::string> substitutions;  // as they stood
};

// What ParseOptions reports.
struct ParseResult {
  int32_t status = 0;
  option_block* block = nullptr;  // made by the module; null when no option
  int error_token = -1;           // index of the offending token, or -1
  std::string error_text;         // that token's text
  bool error_marked = false;      // the module set the context's error mark
};

class Host {
 public:
  // The store may be null for hosts that never reach a catalog.
  explicit Host(std::unique_ptr<CatalogStore> store);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  static Host* Current();

  gcb_record* gcb() { return &gcb_; }
  uint32_t pidb() const { return 0x50494442; }

  // Service vectors. Tests replace one slot with a fake and put it back.
  host_routine service(int vector, int slot) const;
  void set_service(int vector, int slot, host_routine routine);
  void restore_service(int vector, int slot);
  // The routine in the service's slot, as the service's type, and its
  // replacement by one of that type.
  template <typename Routine>
  Routine service(typed_service_slot<Routine> where) const {
    return reinterpret_cast<Routine>(service(where.vector, where.slot));
  }
  template <typename Routine>
  void set_service(typed_service_slot<Routine> where,
                   std::type_identity_t<Routine> routine) {
    set_service(where.vector, where.slot,
                reinterpret_cast<host_routine>(routine));
  }
  const uint8_t* service_flags() const { return tssvec_; }
  void clear_service_flags();
  const std::vector<std::pair<int, int>>& unexpected_calls() const {
    return unexpected_;
  }
  void RecordUnexpected(int vector, int slot);

  // Heaps. The module arena backs GCB word 10 and the yymheap heap.
  HeapArena& module_arena() { return module_arena_; }
  HeapArena& temporary_arena() { return temporary_arena_; }
  host_heap* module_heap() { return &module_heap_.base; }
  host_heap* release_heap() { return &release_heap_.base; }
  host_heap* temporary_heap() { return &temporary_heap_.base; }
  // What the module holds of the host now beyond what it keeps for its life.
  HostBalance Balance() const;

  // Messages. Texts of group 566 and host messages 4156, 4157.
  static std::string MessageText(int32_t group, int32_t number);
  void SetSubstitutions(std::vector<std::string> values);
  const std::vector<std::string>& substitutions() const { return subs_; }
  void ClearMessages();
  void Issue(int32_t token, int32_t number);
  const std::vector<IssuedMessage>& issued() const { return issued_; }
  // The refusal text the module set (first substitution up to its NUL).
  std::string RefusalText() const;
  // A sentence a person can read for a status the module returned, using
  // the substitutions the module set with it.
  std::string Explain(int32_t status) const;

  // Option tokenizer. A source word names an option text the host split into
  // tokens; yxatok reads them in turn.
  int32_t NewOptionSource(std::string_view text);
  void ReleaseOptionSources();
  // Parses an option statement as a host does: one call of slot 30 per
  // option, resuming after the tokens each call accepted. `block` starts
  // the statement's block (null: the module makes one).
  ParseResult ParseOptions(vector_routine parse_slot, std::string_view text,
                           int32_t control, option_block* block = nullptr);

  // Access-method registry (yxam2am).
  void RegisterAccessMethod(std::string_view name, amec_block* amec);
  amec_block* FindAccessMethod(std::string_view name) const;

  // Catalog library services (vector 39).
  CatalogStore* store() { return store_.get(); }
  LibraryServices* library_services() { return library_services_.get(); }

  // Unique names handed out by yxaunql.
  int NextUniqueNumber() { return ++unique_; }
  // True when a registered access method has a fileref of this 8-character
  // name assigned: a unique name must not be one of them. Each module's
  // filerefs are walked through its slot 6, with the caller token given.
  bool FilerefAssigned(const char* name8, int32_t token) const;

  // Token scanning state, used by the tokenizer services.
  struct OptionSource;
  OptionSource* FindSource(int32_t word);
  uint8_t* scratch_context() { return scratch_context_; }

 private:
  void InstallServices();

  gcb_record gcb_{};
  uint32_t gcb_tail_[8] = {};  // room beyond word 27 for hosts that read it
  uint8_t tssvec_[64] = {};
  host_routine vectors_[40][kVectorSize] = {};
  host_routine installed_[40][kVectorSize] = {};  // for restore_service
  host_routine* vector_table_[40] = {};
  translation_set translation_{};
  uint8_t tables_[5][256] = {};

  HeapArena module_arena_;
  HeapArena temporary_arena_;
  Heap module_heap_{};
  Heap release_heap_{};
  Heap temporary_heap_{};

  std::vector<std::string> subs_;
  std::vector<IssuedMessage> issued_;
  std::vector<std::pair<int, int>> unexpected_;

  std::deque<std::unique_ptr<OptionSource>> sources_;
  uint8_t scratch_context_[64] = {};

  std::map<std::string, amec_block*> access_methods_;
  int unique_ = 0;

  std::unique_ptr<CatalogStore> store_;
  std::unique_ptr<LibraryServices> library_services_;
  Host* previous_ = nullptr;
};

inline constexpr uint16_t kTokenSpecial = 1;     // "=" and other characters
inline constexpr uint16_t kTokenError = 0xFFFF;  // unterminated quote

// One option text, split into tokens, and where the scan stands.
struct Host::OptionSource {
  struct Token {
    uint16_t kind;
    std::string text;
  };
  std::vector<Token> tokens;
  size_t position = 0;
  alignas(4) uint8_t context[64] = {};  // word 48, bit 0: the error mark
};

// Splits a dotted physical name as znamdiv does: at most four levels of at
// most 32 characters, placed as the module reads them (four levels in parts
// 1-4, three in 1-3, two in 3-4, one in 1). Anything else gives level count
// 0 and empty parts.
void SplitName(std::string_view text, int32_t* levels, name_part* parts[4]);

// Converts a decimal number with an optional sign, as wzrlchr does.
bool ParseNumber(std::string_view text, int32_t* value);

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_HOST_HOST_H_
