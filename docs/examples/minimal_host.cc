// A minimal host: loads the module, starts it and makes two calls through
// its routine vector. It shows the least a host provides (a GCB with its
// service vectors and heaps, yymheap and yxam2am) and is compiled against
// the installed contract only (-I is not needed when <prefix> is /usr):
//
//   g++ -m32 -std=c++17 -I<prefix>/include minimal_host.cc -ldl
//   ./a.out <prefix>/lib/vuvorozo/vuvorozo.so
//
// A real host also answers the other services the module calls (messages,
// tokens, name splitting, the catalog library services of vector 39).

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vuvorozo/vuvorozo.h"

namespace {

constexpr int kVectors = 40;          // the module calls vectors 0, 30 and 39
constexpr int kSlotsPerVector = 330;  // its highest slot is 320

host_routine g_vectors[kVectors][kSlotsPerVector];
host_routine* g_vector_table[kVectors];
uint8_t g_tssvec[kVectors];
uint8_t g_upper[256];
translation_set g_translation;
gcb_record g_gcb;
amec_block* g_amec = nullptr;

void* Allocate(host_heap*, int32_t size, int32_t option) {
  return option == kAllocCleared ? std::calloc(1, size) : std::malloc(size);
}
int32_t Release(host_heap*, void* block, int32_t, int32_t) {
  std::free(block);
  return 0;
}
host_heap g_heap = {Allocate, Release};

// yymheap: the heap blocks are released to.
int32_t ReleaseHeap() {
  return static_cast<int32_t>(reinterpret_cast<uintptr_t>(&g_heap));
}

// yxam2am: the AMEC block registered under an access-method name.
int32_t FindAccessMethod(const char* name, void** amec, int32_t) {
  if (g_amec == nullptr || std::memcmp(name, g_amec->am_name, 8) != 0)
    return -1;
  *amec = g_amec;
  return 0;
}

// Places a routine in the service's slot; its type must be the service's.
template <typename Routine>
void Provide(typed_service_slot<Routine> service, Routine routine) {
  g_vectors[service.vector][service.slot] =
      reinterpret_cast<host_routine>(routine);
}

// A slot's routine cast to the slot's own type, through the generic
// function pointer type.
template <typename F>
F Slot(int slot) {
  return reinterpret_cast<F>(
      reinterpret_cast<void (*)()>(g_amec->vector[slot].routine));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s path/to/vuvorozo.so\n", argv[0]);
    return 2;
  }
  for (int v = 0; v < kVectors; ++v) g_vector_table[v] = g_vectors[v];
  for (int c = 0; c < 256; ++c)
    g_upper[c] = (c >= 'a' && c <= 'z') ? c - 32 : c;
  g_translation.tables[kTableUpper] = g_upper;
  g_gcb.service_vectors = g_vector_table;
  g_gcb.tssvec = g_tssvec;
  g_gcb.temporary_heap = &g_heap;
  g_gcb.module_heap = &g_heap;
  g_gcb.translation = &g_translation;
  Provide(yymheap_service, &ReleaseHeap);
  Provide(yxam2am_service, &FindAccessMethod);

  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load: %s\n", dlerror());
    return 1;
  }
  auto entry = reinterpret_cast<entry_point_routine>(dlsym(module, "mcn_main"));
  const image_record* image = entry ? entry(&g_gcb, 0) : nullptr;
  if (image == nullptr || image->magic != kImageMagic ||
      std::strcmp(image->key, "KOR_Image_Information=") != 0) {
    std::fprintf(stderr, "no valid image information record\n");
    return 1;
  }
  // The program control list ends at its first null.
  const program_control_record* pcn = nullptr;
  for (int i = 0; i < kProgramControlSlots && image->pcns[i] != nullptr; ++i) {
    auto* p = static_cast<const program_control_record*>(image->pcns[i]);
    if (std::strcmp(p->name, "vuvorozo") == 0) pcn = p;
  }
  int32_t status = -1;
  if (pcn != nullptr) pcn->factory(&g_amec, &status);
  if (status != 0 || std::memcmp(g_amec->eye_catcher, "AMEC", 4) != 0) {
    std::fprintf(stderr, "factory failed: 0x%08X\n",
                 static_cast<unsigned>(status));
    return 1;
  }
  std::printf("module release %s, access method %.8s\n", image->release,
              g_amec->am_name);

  // Slot 5 is not supported; slot 2 asks whether a fileref is assigned.
  int32_t st5 = Slot<unsupported_routine>(5)();
  int32_t st2 = Slot<fileref_exists_routine>(kSlotExistsFileref)("NOTHERE ", 0);
  std::printf("slot 5: 0x%08X, slot 2: 0x%08X\n", static_cast<unsigned>(st5),
              static_cast<unsigned>(st2));
  return st5 == kStatusNotSupported && st2 == kStatusNotAssigned ? 0 : 1;
}
