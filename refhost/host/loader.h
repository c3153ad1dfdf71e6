// Starting the module as a host does: call its entry point with the GCB,
// check the image information record, follow the program control list to
// the factory "vuvorozo", call it and register the AMEC block it builds
// under the access-method name "VUVOROZO". LoadedModule does the same for
// a shared object opened with dlopen.

#ifndef VUVOROZO_REFHOST_HOST_LOADER_H_
#define VUVOROZO_REFHOST_HOST_LOADER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "refhost/host/host.h"
#include "vuvorozo/module.h"

namespace refhost {

struct StartedModule {
  const image_record* image = nullptr;
  amec_block* amec = nullptr;
};

// Runs the start sequence against an entry point. Returns 0 and fills out,
// or the factory's status / a host status with *error saying what failed.
int32_t StartModule(Host& host, entry_point_routine entry, StartedModule* out,
                    std::string* error);

class LoadedModule {
 public:
  // Opens the shared object at path and starts it in host. Null on failure,
  // with *error saying why.
  static std::unique_ptr<LoadedModule> Open(const std::string& path, Host& host,
                                            std::string* error);
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  amec_block* amec() const { return started_.amec; }
  const image_record* image() const { return started_.image; }
  void* handle() const { return handle_; }

 private:
  LoadedModule() = default;
  void* handle_ = nullptr;
  StartedModule started_;
};

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_HOST_LOADER_H_
