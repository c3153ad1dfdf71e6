// The host services the module calls. A service is a routine in one of the
// host's service vectors (GCB word 0); the module reaches it through a
// forwarder it exports under the service's name and again as _name_V_S,
// which sets byte V of the GCB word-1 array to 1 and passes its arguments
// unchanged to slot S of vector V. A host fills exactly these slots.
//
// One list below gives each service its name, vector, slot and parameters.
// From it come, for every service, the type of its routine (ylopen_routine)
// and its place (ylopen_service: vector and slot, typed by the routine), so
// a host that places a routine of another type in a slot fails to compile,
// and the module's forwarders.

#ifndef VUVOROZO_SERVICES_H_
#define VUVOROZO_SERVICES_H_

#include <cstdint>

#include "vuvorozo/host.h"

// Where a service sits: its vector and its slot in that vector.
struct service_slot {
  int32_t vector;
  int32_t slot;
};

// The same, carrying the type of the service's routine.
template <typename Routine>
struct typed_service_slot : service_slot {
  typedef Routine routine;
};

// One line a service: name, vector, slot, typed parameters and the
// arguments passed on. wrmksub, which takes a count and that many (address,
// length) pairs, is declared by hand below.
#define VZ_HOST_SERVICES(X)                                                    \
  X(wzrlchr, 0, 320,                                                           \
    (const char* text, int32_t length, int32_t zero, void* work,               \
     int32_t* result),                                                         \
    (text, length, zero, work, result))                                        \
  X(yymheap, 30, 33, (void), ())                                               \
  X(ypmstr, 30, 74,                                                            \
    (char* buffer, int32_t capacity, int32_t group, int32_t number),           \
    (buffer, capacity, group, number))                                         \
  X(yprrlog, 30, 130, (int32_t token, int32_t number), (token, number))        \
  X(znamdiv, 30, 182,                                                          \
    (int32_t zero, const char* text, int32_t length, int32_t* levels,          \
     int32_t four, name_part* p1, name_part* p2, name_part* p3,                \
     name_part* p4),                                                           \
    (zero, text, length, levels, four, p1, p2, p3, p4))                        \
  X(yxam2am, 30, 226, (const char* am_name, void** amec, int32_t token),       \
    (am_name, amec, token))                                                    \
  X(yxaunql, 30, 247, (char* fileref, int32_t token), (fileref, token))        \
  X(yxatoki, 30, 248, (token_record * tokens), (tokens))                       \
  X(yxatokt, 30, 249, (token_record * tokens), (tokens))                       \
  X(yxatok, 30, 250, (int32_t control, int32_t source, token_record * tokens), \
    (control, source, tokens))                                                 \
  X(yldopen, 39, 120,                                                          \
    (uint32_t library, const char* selector, int32_t zero, uint32_t* stream),  \
    (library, selector, zero, stream))                                         \
  X(yldread, 39, 122,                                                          \
    (uint32_t stream, directory_entry_record * entry, int32_t zero),           \
    (stream, entry, zero))                                                     \
  X(yldclos, 39, 36, (uint32_t stream), (stream))                              \
  X(ylmdel, 39, 127, (member_request * request, int32_t zero),                 \
    (request, zero))                                                           \
  X(ylmfind, 39, 128, (member_request * request), (request))                   \
  X(ylminfo, 39, 129,                                                          \
    (member_request * request, int32_t zero, int32_t two, int32_t * result),   \
    (request, zero, two, result))                                              \
  X(ylmnote, 39, 131, (uint32_t member, void* position), (member, position))   \
  X(ylmopen, 39, 132, (member_open_request * request, uint32_t * member),      \
    (request, member))                                                         \
  X(ylmpoin, 39, 133, (uint32_t member, void* position, int32_t mode),         \
    (member, position, mode))                                                  \
  X(ylmread, 39, 134, (uint32_t member, record_request * request),             \
    (member, request))                                                         \
  X(ylmwrit, 39, 139, (uint32_t member, record_request * request),             \
    (member, request))                                                         \
  X(ylmclos, 39, 37, (uint32_t member, int32_t zero), (member, zero))          \
  X(ylclose, 39, 35, (uint32_t library, int32_t zero), (library, zero))        \
  X(ylopen, 39, 142, (lib_open_request * request, uint32_t * library),         \
    (request, library))                                                        \
  X(ylinfsr, 39, 153, (uint32_t library, uint32_t item_word),                  \
    (library, item_word))                                                      \
  X(ylinfsy, 39, 154, (uint32_t library, info_item * item), (library, item))

#define VZ_DECLARE_SERVICE(name, vector, slot, params, args)             \
  typedef int32_t(*name##_routine) params;                               \
  inline constexpr typed_service_slot<name##_routine> name##_service = { \
      {vector, slot}};
VZ_HOST_SERVICES(VZ_DECLARE_SERVICE)
#undef VZ_DECLARE_SERVICE

// wrmksub sets the substitution values of the next message: count, then
// count pairs (address, length). The module passes at most 8 pairs.
inline constexpr int32_t kMaxSubstitutions = 8;
typedef int32_t (*wrmksub_routine)(int32_t count, ...);
inline constexpr typed_service_slot<wrmksub_routine> wrmksub_service = {
    {0, 144}};

// The forwarders the module exports, one a service.
#define VZ_DECLARE_FORWARDER(name, vector, slot, params, args) \
  VZ_EXPORT int32_t name params;
VZ_HOST_SERVICES(VZ_DECLARE_FORWARDER)
#undef VZ_DECLARE_FORWARDER
VZ_EXPORT int32_t wrmksub(int32_t count, ...);

// Heap forwarders the module exports: word 0 (allocate) and word 1
// (release) of the heap given.
VZ_EXPORT void* vmalloc_handler(host_heap* heap, int32_t size, int32_t option);
VZ_EXPORT void* vmalcp_handler(host_heap* heap, int32_t size, int32_t option);
VZ_EXPORT int32_t vmfree_handler(host_heap* heap, void* block, int32_t a,
                                 int32_t b);

#endif  // VUVOROZO_SERVICES_H_
