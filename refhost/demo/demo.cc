// Loads the module through the reference host, follows its image record to
// the factory, builds the AMEC block and prints the routine vector.

#include <cstdio>
#include <string>

#include "refhost/host/host.h"
#include "refhost/host/loader.h"
#include "refhost/store/catalog_store.h"

namespace {

constexpr const char* kSlotNames[kVectorRoutines] = {
    "assign",
    "deassign",
    "fileref exists",
    "entry exists",
    "path name",
    "not supported",
    "next fileref",
    "validate",
    "information",
    "info set",
    "info release",
    "open entry",
    "note",
    "point",
    "not supported",
    "not supported",
    "not supported",
    "not supported",
    "read",
    "write",
    "flush",
    "close entry",
    "close directory",
    "directory info set",
    "dir info release",
    "directory next",
    "open directory",
    "close member",
    "member exists",
    "open member",
    "parse option",
    "assign like",
    "delete",
    "hold option copy",
    "option from copy",
    "io vector",
    "release options",
    "not supported",
};

}  // namespace

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1] : "build/vuvorozo.so";
  refhost::Host host(refhost::NewMemoryCatalogStore());
  std::string error;
  auto module = refhost::LoadedModule::Open(path, host, &error);
  if (module == nullptr) {
    std::fprintf(stderr, "vuvorozo_demo: %s\n", error.c_str());
    return 1;
  }
  const image_record* image = module->image();
  std::printf("Loaded %s: release %s, build %s of %s\n", path.c_str(),
              image->release, image->build_id, image->build_date);
  std::printf("%s\n", image->notice);
  amec_block* amec = module->amec();
  std::printf("AMEC block at %p, access method %.8s, eye-catcher %.4s\n",
              static_cast<void*>(amec), amec->am_name, amec->eye_catcher);
  std::printf("Routine vector at %p:\n", static_cast<void*>(amec->vector));
  for (int i = 0; i < kVectorSlots; ++i) {
    const routine_slot& slot = amec->vector[i];
    if (i < kVectorRoutines) {
      std::printf("  slot %2d  %-18s %p\n", i, kSlotNames[i],
                  reinterpret_cast<void*>(slot.routine));
    } else if (slot.zero != 0 || slot.routine != nullptr) {
      std::printf("  slot %2d  unexpectedly filled\n", i);
      return 1;
    }
  }
  std::printf("  slots 38-44 empty\n");
  return 0;
}
