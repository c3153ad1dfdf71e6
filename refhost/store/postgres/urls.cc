// Server store URLs: which texts name one, their passwords masked wherever
// they are quoted, and the version of libpq the program runs with.

#include <libpq-fe.h>

#include <string>
#include <string_view>

#include "refhost/store/catalog_store.h"

namespace refhost {

bool IsServerStoreUrl(std::string_view text) {
  return text.starts_with("postgresql://") || text.starts_with("postgres://");
}

std::string MaskPassword(std::string_view text) {
  std::string out(text);
  // user:password@ in the authority of every URL.
  for (size_t at = out.find("://"); at != std::string::npos;
       at = out.find("://", at + 3)) {
    size_t start = at + 3;
    size_t end = out.find_first_of("/?# \t\n\"'", start);
    if (end == std::string::npos) end = out.size();
    size_t sign = out.rfind('@', end);
    if (sign == std::string::npos || sign < start) continue;
    size_t colon = out.find(':', start);
    if (colon == std::string::npos || colon > sign) continue;
    out.replace(colon + 1, sign - colon - 1, "***");
  }
  // password=... as a URL parameter or a connection keyword.
  for (size_t at = 0; (at = out.find("password=", at)) != std::string::npos;) {
    size_t start = at + 9;
    if (start < out.size() && out[start] == '\'') {
      size_t end = out.find('\'', start + 1);
      end = end == std::string::npos ? out.size() : end + 1;
      out.replace(start, end - start, "***");
    } else {
      size_t end = out.find_first_of("& \t\n\"", start);
      if (end == std::string::npos) end = out.size();
      out.replace(start, end - start, "***");
    }
    at = start + 3;
  }
  return out;
}

std::string ServerClientVersion() {
  int v = PQlibVersion();
  if (v == 0) return "not found";
  return std::to_string(v / 10000) + "." + std::to_string(v % 10000);
}

}  // namespace refhost
