// A fake host service for the life of a scope: the constructor puts the
// fake in the service's slot of the host's vectors, the destructor puts
// back whatever the slot held before, however the scope is left (a failed
// ASSERT included). The fake must have the type the contract gives the
// service.

#ifndef VUVOROZO_TESTS_SUPPORT_SERVICE_FAKE_H_
#define VUVOROZO_TESTS_SUPPORT_SERVICE_FAKE_H_

#include <type_traits>

#include "refhost/host/host.h"
#include "vuvorozo/services.h"

class ScopedService {
 public:
  template <typename Routine>
  ScopedService(refhost::Host& host, typed_service_slot<Routine> service,
                std::type_identity_t<Routine> fake)
      : host_(host),
        where_(service),
        previous_(host.service(service.vector, service.slot)) {
    host.set_service(where_.vector, where_.slot,
                     reinterpret_cast<host_routine>(fake));
  }
  ~ScopedService() { host_.set_service(where_.vector, where_.slot, previous_); }
  ScopedService(const ScopedService&) = delete;
  ScopedService& operator=(const ScopedService&) = delete;

 private:
  refhost::Host& host_;
  service_slot where_;
  host_routine previous_;
};

#endif  // VUVOROZO_TESTS_SUPPORT_SERVICE_FAKE_H_
