// The host's start sequence for an access-method module.

#include "refhost/host/loader.h"

#include <dlfcn.h>

#include <cstring>

namespace refhost {
namespace {

constexpr char kImageKey[] = "KOR_Image_Information=";
constexpr char kFactoryName[] = "vuvorozo";

}  // namespace

int32_t StartModule(Host& host, entry_point_routine entry, StartedModule* out,
                    std::string* error) {
  const image_record* image = entry(host.gcb(), host.pidb());
  if (image == nullptr ||
      std::memcmp(image->key, kImageKey, sizeof kImageKey - 1) != 0 ||
      image->magic != kImageMagic) {
    *error = "the module's image information record is not valid";
    return kHostUnexpectedService;
  }
  const program_control_record* pcn = nullptr;
  for (int i = 0; i < kProgramControlSlots && image->pcns[i] != nullptr; ++i) {
    auto* candidate =
        static_cast<const program_control_record*>(image->pcns[i]);
    if (std::strncmp(candidate->name, kFactoryName, sizeof candidate->name) ==
        0) {
      pcn = candidate;
      break;
    }
  }
  if (pcn == nullptr || pcn->factory == nullptr) {
    *error = "the module has no program control record named vuvorozo";
    return kHostUnexpectedService;
  }
  amec_block* amec = nullptr;
  int32_t status = kHostUnexpectedService;
  pcn->factory(&amec, &status);
  if (status != 0 || amec == nullptr) {
    *error = "the module's factory failed: " + host.Explain(status);
    return status != 0 ? status : kHostUnexpectedService;
  }
  host.RegisterAccessMethod(std::string_view(amec->am_name, 8), amec);
  out->image = image;
  out->amec = amec;
  return 0;
}

std::unique_ptr<LoadedModule> LoadedModule::Open(const std::string& path,
                                                 Host& host,
                                                 std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = "cannot load " + path + ": " + (why ? why : "unknown reason");
    return nullptr;
  }
  auto entry = reinterpret_cast<entry_point_routine>(dlsym(handle, "mcn_main"));
  if (entry == nullptr) {
    *error = path + " has no entry point mcn_main";
    dlclose(handle);
    return nullptr;
  }
  std::unique_ptr<LoadedModule> module(new LoadedModule());
  module->handle_ = handle;
  if (StartModule(host, entry, &module->started_, error) != 0) return nullptr;
  return module;
}

LoadedModule::~LoadedModule() {
  if (handle_ != nullptr) dlclose(handle_);
}

}  // namespace refhost
