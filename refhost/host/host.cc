// The host's GCB, its service vectors and heaps, the translation tables and
// the access-method registry. Slots of vectors 0, 30 and 39 that the module
// has no business calling answer kHostUnexpectedService and are recorded.

#include "refhost/host/host.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "refhost/host/library_services.h"
#include "refhost/store/catalog_store.h"

namespace refhost {

namespace {

Host* g_current = nullptr;

constexpr int kServiceVectors[] = {0, 30, 39};

template <int V, int S>
int32_t Unexpected() noexcept {
  if (g_current != nullptr) g_current->RecordUnexpected(V, S);
  return kHostUnexpectedService;
}

template <int V, int... S>
void FillUnexpected(host_routine* vector, std::integer_sequence<int, S...>) {
  // An array rather than a fold expression: clang limits a fold's nesting
  // below the 400 slots of a vector.
  const host_routine routines[] = {
      reinterpret_cast<host_routine>(&Unexpected<V, S>)...};
  for (size_t i = 0; i < sizeof routines / sizeof routines[0]; ++i) {
    vector[i] = routines[i];
  }
}

void* HeapAllocate(host_heap* heap, int32_t size, int32_t option) noexcept {
  try {
    return reinterpret_cast<Heap*>(heap)->arena->Allocate(size, option);
  } catch (...) {
    return nullptr;
  }
}

int32_t HeapRelease(host_heap* heap, void* block, int32_t, int32_t) noexcept {
  try {
    return reinterpret_cast<Heap*>(heap)->arena->Release(block)
               ? 0
               : kHostUnexpectedService;
  } catch (...) {
    return kHostUnexpectedService;
  }
}

}  // namespace

Host* Host::Current() { return g_current; }

Host::Host(std::unique_ptr<CatalogStore> store) : store_(std::move(store)) {
  module_heap_ = {{&HeapAllocate, &HeapRelease}, &module_arena_, "module"};
  release_heap_ = {{&HeapAllocate, &HeapRelease}, &module_arena_, "release"};
  temporary_heap_ = {
      {&HeapAllocate, &HeapRelease}, &temporary_arena_, "temporary"};

  // Translation tables: 0 as is, 1 lower case, 2 upper case, 3 printable
  // (other bytes become '.'), 4 as is.
  for (int c = 0; c < 256; ++c) {
    tables_[0][c] = static_cast<uint8_t>(c);
    tables_[1][c] = static_cast<uint8_t>(c < 128 ? std::tolower(c) : c);
    tables_[2][c] = static_cast<uint8_t>(c < 128 ? std::toupper(c) : c);
    tables_[3][c] = static_cast<uint8_t>(c >= 0x20 && c < 0x7F ? c : '.');
    tables_[4][c] = static_cast<uint8_t>(c);
  }
  for (int i = 0; i < 5; ++i) translation_.tables[i] = tables_[i];

  gcb_.service_vectors = vector_table_;
  gcb_.tssvec = tssvec_;
  gcb_.temporary_heap = &temporary_heap_.base;
  gcb_.module_heap = &module_heap_.base;
  gcb_.translation = &translation_;

  previous_ = g_current;
  g_current = this;
  if (store_ != nullptr)
    library_services_ = std::make_unique<LibraryServices>(store_.get());
  InstallServices();
}

Host::~Host() {
  g_current = previous_;
  // Release the library services (and what they hold open) before the store.
  library_services_.reset();
  store_.reset();
}

void Host::InstallServices() {
  for (int v : kServiceVectors) {
    host_routine* vector = vectors_[v];
    vector_table_[v] = vector;
    switch (v) {
      case 0:
        FillUnexpected<0>(vector,
                          std::make_integer_sequence<int, kVectorSize>());
        break;
      case 30:
        FillUnexpected<30>(vector,
                           std::make_integer_sequence<int, kVectorSize>());
        break;
      case 39:
        FillUnexpected<39>(vector,
                           std::make_integer_sequence<int, kVectorSize>());
        break;
    }
  }
  std::vector<ServiceRoutine> services = KernelServices();
  if (library_services_ != nullptr) {
    std::vector<ServiceRoutine> library = LibraryServices::Services();
    services.insert(services.end(), library.begin(), library.end());
  }
  for (const ServiceRoutine& s : services) {
    vectors_[s.where.vector][s.where.slot] = s.routine;
  }
  std::memcpy(installed_, vectors_, sizeof installed_);
}

host_routine Host::service(int vector, int slot) const {
  return vectors_[vector][slot];
}

void Host::set_service(int vector, int slot, host_routine routine) {
  vectors_[vector][slot] = routine;
}

void Host::restore_service(int vector, int slot) {
  vectors_[vector][slot] = installed_[vector][slot];
}

void Host::clear_service_flags() { std::memset(tssvec_, 0, sizeof tssvec_); }

void Host::RecordUnexpected(int vector, int slot) {
  unexpected_.emplace_back(vector, slot);
}

void Host::RegisterAccessMethod(std::string_view name, amec_block* amec) {
  std::string key(name.substr(0, 8));
  key.resize(8, ' ');
  access_methods_[key] = amec;
}

amec_block* Host::FindAccessMethod(std::string_view name) const {
  std::string key(name.substr(0, 8));
  key.resize(8, ' ');
  for (char& c : key)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto it = access_methods_.find(key);
  return it == access_methods_.end() ? nullptr : it->second;
}

bool Host::FilerefAssigned(const char* name8, int32_t token) const {
  for (const auto& [name, amec] : access_methods_) {
    if (amec == nullptr) continue;
    auto next =
        reinterpret_cast<next_fileref_routine>(reinterpret_cast<void (*)(void)>(
            amec->vector[kSlotNextFileref].routine));
    fileref_node* cursor = nullptr;
    char fileref[8];
    while (next(&cursor, fileref, token, nullptr, nullptr) == kStatusOk) {
      if (std::memcmp(fileref, name8, 8) == 0) return true;
    }
  }
  return false;
}

HostBalance Host::Balance() const {
  HostBalance balance;
  const HeapStats& module = module_arena_.stats();
  const HeapStats& temporary = temporary_arena_.stats();
  balance.module_blocks = module.live_blocks;
  for (const auto& [name, amec] : access_methods_) {
    if (amec == nullptr) continue;
    balance.module_blocks -= module_arena_.IsLive(amec);
    balance.module_blocks -= module_arena_.IsLive(amec->vector);
  }
  balance.temporary_blocks = temporary.live_blocks;
  balance.bad_releases = module.double_releases + module.unknown_releases +
                         temporary.double_releases + temporary.unknown_releases;
  if (library_services_ != nullptr) {
    balance.open_libraries = library_services_->open_libraries();
    balance.open_members = library_services_->open_members();
    balance.open_streams = library_services_->open_streams();
  }
  balance.unexpected_calls = static_cast<int>(unexpected_.size());
  return balance;
}

}  // namespace refhost
