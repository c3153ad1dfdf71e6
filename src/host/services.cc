// Host service forwarders. Each service sets byte V of the GCB word-1 array
// to 1 and passes its arguments unchanged to slot S of service vector V.
// The list in the contract's services.h generates every forwarder and its
// _name_V_S alias.

#include <cstdarg>

#include "host/host.h"

namespace {

host_routine service_routine(int vector, int slot) {
  gcb_record* gcb = gcb_anchor_in_module;
  gcb->tssvec[vector] = 1;
  return gcb->service_vectors[vector][slot];
}

}  // namespace

#define VZ_DEFINE_SERVICE(name, vector, slot, params, args)     \
  VZ_EXPORT int32_t name params {                               \
    return ((name##_routine)service_routine(vector, slot))args; \
  }                                                             \
  VZ_EXPORT int32_t _##name##_##vector##_##slot params          \
      __attribute__((alias(#name)));
VZ_HOST_SERVICES(VZ_DEFINE_SERVICE)
#undef VZ_DEFINE_SERVICE

int32_t ylmread_in_module(uint32_t member, record_request* request)
    __attribute__((alias("ylmread")));
int32_t ylmwrit_in_module(uint32_t member, record_request* request)
    __attribute__((alias("ylmwrit")));

// wrmksub passes on its count and exactly that many (address, length)
// pairs. The pairs are read here and the host routine is called with a
// fixed argument list of the same length.
VZ_EXPORT int32_t wrmksub(int32_t count, ...) {
  if (count < 0 || count > kMaxSubstitutions) return kStatusBadLength;
  const void* addr[kMaxSubstitutions] = {};
  int32_t len[kMaxSubstitutions] = {};
  va_list ap;
  va_start(ap, count);
  for (int32_t i = 0; i < count; ++i) {
    addr[i] = va_arg(ap, const void*);
    len[i] = va_arg(ap, int32_t);
  }
  va_end(ap);
  wrmksub_routine fn = (wrmksub_routine)service_routine(wrmksub_service.vector,
                                                        wrmksub_service.slot);
  switch (count) {
    case 0:
      return fn(0);
    case 1:
      return fn(1, addr[0], len[0]);
    case 2:
      return fn(2, addr[0], len[0], addr[1], len[1]);
    case 3:
      return fn(3, addr[0], len[0], addr[1], len[1], addr[2], len[2]);
    case 4:
      return fn(4, addr[0], len[0], addr[1], len[1], addr[2], len[2], addr[3],
                len[3]);
    case 5:
      return fn(5, addr[0], len[0], addr[1], len[1], addr[2], len[2], addr[3],
                len[3], addr[4], len[4]);
    case 6:
      return fn(6, addr[0], len[0], addr[1], len[1], addr[2], len[2], addr[3],
                len[3], addr[4], len[4], addr[5], len[5]);
    case 7:
      return fn(7, addr[0], len[0], addr[1], len[1], addr[2], len[2], addr[3],
                len[3], addr[4], len[4], addr[5], len[5], addr[6], len[6]);
    default:
      return fn(8, addr[0], len[0], addr[1], len[1], addr[2], len[2], addr[3],
                len[3], addr[4], len[4], addr[5], len[5], addr[6], len[6],
                addr[7], len[7]);
  }
}
VZ_EXPORT int32_t _wrmksub_0_144(int32_t count, ...)
    __attribute__((alias("wrmksub")));

// Heap forwarders: allocate is word 0 of the heap, release word 1.
VZ_EXPORT void* vmalloc_handler(host_heap* heap, int32_t size, int32_t option) {
  return heap->allocate(heap, size, option);
}
VZ_EXPORT void* vmalcp_handler(host_heap* heap, int32_t size, int32_t option) {
  return heap->allocate(heap, size, option);
}
VZ_EXPORT int32_t vmfree_handler(host_heap* heap, void* block, int32_t a,
                                 int32_t b) {
  return heap->release(heap, block, a, b);
}

// ---------------------------------------------------------------------------
// Messages shared by the routines that refuse with a text of group 566.

int32_t refuse_with_message(int32_t number, int32_t capacity, bool with_nul) {
  char buffer[260];
  if (capacity > 256) capacity = 256;
  int32_t n = ypmstr(buffer, capacity, kMessageGroup, number);
  if (n < 0) n = 0;
  if (n > capacity) n = capacity;
  if (with_nul) {
    buffer[n] = '\0';
    wrmksub(1, buffer, n + 1);
  } else {
    wrmksub(1, buffer, n);
  }
  return kStatusRefused;
}

void substitute_eight_and(const char* text8) {
  int32_t eight = 8;
  wrmksub(2, &eight, 4, text8, 8);
}

void report_notices(open_request* request, int32_t token) {
  static const char kCatalog[8] = {'C', 'A', 'T', 'A', 'L', 'O', 'G', '\0'};
  if (request->open_flags & kOpenNotices) {
    int32_t number = request->notice2 != 0   ? kMsgNotice2
                     : request->notice1 != 0 ? kMsgNotice1
                                             : 0;
    if (number != 0) {
      substitute_eight_and(kCatalog);
      yprrlog(token, number);
    }
  }
  request->notice1 = 0;
  request->notice2 = 0;
}
