// The kernel services of vectors 0 and 30 as C routines the module calls
// through the GCB, and the table that places them. Each is a noexcept
// trampoline into the current Host: no exception crosses into the module.

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "refhost/host/host.h"

namespace refhost {
namespace {

int32_t Wrmksub(int32_t count, ...) noexcept {
  try {
    std::vector<std::string> values;
    va_list ap;
    va_start(ap, count);
    for (int32_t i = 0; i < count && i < 64; ++i) {
      const char* address = va_arg(ap, const char*);
      int32_t length = va_arg(ap, int32_t);
      if (address == nullptr || length < 0) length = 0;
      values.emplace_back(address == nullptr ? ""
                                             : std::string(address, length));
    }
    va_end(ap);
    Host::Current()->SetSubstitutions(std::move(values));
    return 0;
  } catch (...) {
    return kHostUnexpectedService;
  }
}

int32_t Wzrlchr(const char* text, int32_t length, int32_t, void*,
                int32_t* result) noexcept {
  if (text == nullptr || length <= 0 || result == nullptr)
    return kHostNotANumber;
  int32_t value = 0;
  if (!ParseNumber(std::string_view(text, length), &value))
    return kHostNotANumber;
  *result = value;
  return 0;
}

int32_t Yymheap() noexcept {
  return static_cast<int32_t>(
      reinterpret_cast<uintptr_t>(Host::Current()->release_heap()));
}

int32_t Ypmstr(char* buffer, int32_t capacity, int32_t group,
               int32_t number) noexcept {
  try {
    if (buffer == nullptr || capacity <= 0) return 0;
    std::string text = Host::MessageText(group, number);
    int32_t n = static_cast<int32_t>(text.size());
    if (n > capacity) n = capacity;
    std::memcpy(buffer, text.data(), n);
    return n;
  } catch (...) {
    return 0;
  }
}

int32_t Yprrlog(int32_t token, int32_t number) noexcept {
  try {
    Host::Current()->Issue(token, number);
    return 0;
  } catch (...) {
    return kHostUnexpectedService;
  }
}

int32_t Znamdiv(int32_t, const char* text, int32_t length, int32_t* levels,
                int32_t, name_part* p1, name_part* p2, name_part* p3,
                name_part* p4) noexcept {
  name_part* parts[4] = {p1, p2, p3, p4};
  int32_t dummy = 0;
  if (levels == nullptr) levels = &dummy;
  if (text == nullptr || length < 0) length = 0;
  SplitName(std::string_view(text == nullptr ? "" : text, length), levels,
            parts);
  return 0;
}

int32_t Yxam2am(const char* name, void** amec, int32_t) noexcept {
  try {
    if (name == nullptr || amec == nullptr) return kHostNoAccessMethod;
    amec_block* found =
        Host::Current()->FindAccessMethod(std::string_view(name, 8));
    if (found == nullptr) return kHostNoAccessMethod;
    *amec = found;
    return 0;
  } catch (...) {
    return kHostNoAccessMethod;
  }
}

// A blank fileref name gets the next unique name "#LNnnnnn" that no
// assigned fileref has: a user may have assigned such a name himself, and
// the module takes the name it is given as a new fileref's. The host learns
// the assigned names from the module's own walk (slot 6): the module calls
// this service before the new fileref joins its list and changes the list
// only after it returns.
int32_t Yxaunql(char* fileref, int32_t token) noexcept {
  if (fileref == nullptr) return kHostBadSource;
  Host* host = Host::Current();
  char name[16];
  for (int tries = 0; tries < 100000; ++tries) {
    std::snprintf(name, sizeof name, "#LN%05d",
                  host->NextUniqueNumber() % 100000);
    if (!host->FilerefAssigned(name, token)) {
      std::memcpy(fileref, name, 8);
      return 0;
    }
  }
  return kHostBadSource;  // every unique name is taken
}

int32_t Yxatoki(token_record* tokens) noexcept {
  if (tokens == nullptr) return kHostBadSource;
  tokens->kind = 0;
  tokens->text = nullptr;
  tokens->length = 0;
  tokens->context = Host::Current()->scratch_context();
  return 0;
}

int32_t Yxatok(int32_t, int32_t source, token_record* tokens) noexcept;
int32_t Yxatokt(token_record* tokens) noexcept {
  return tokens == nullptr ? kHostBadSource : 0;
}

}  // namespace

int32_t TokenizerNext(int32_t source, token_record* tokens);

namespace {
int32_t Yxatok(int32_t, int32_t source, token_record* tokens) noexcept {
  try {
    return TokenizerNext(source, tokens);
  } catch (...) {
    return kHostBadSource;
  }
}
}  // namespace

// Vectors 0 and 30: the services the module calls.
std::vector<ServiceRoutine> KernelServices() {
  return {
      Place(wrmksub_service, &Wrmksub), Place(wzrlchr_service, &Wzrlchr),
      Place(yymheap_service, &Yymheap), Place(ypmstr_service, &Ypmstr),
      Place(yprrlog_service, &Yprrlog), Place(znamdiv_service, &Znamdiv),
      Place(yxam2am_service, &Yxam2am), Place(yxaunql_service, &Yxaunql),
      Place(yxatoki_service, &Yxatoki), Place(yxatokt_service, &Yxatokt),
      Place(yxatok_service, &Yxatok),
  };
}

}  // namespace refhost
