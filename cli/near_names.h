// Near misses among the names of the store: for a name that was not found,
// the names the user may have meant, found at the level where the name
// went wrong: a library of a similar libref, a catalog of a similar name,
// the entries of that name of another type (work.site.index where only
// INDEX of type HTML is), or entries of a similar name. The store is the
// host's own knowledge, read as list reads it.

#ifndef VUVOROZO_CLI_NEAR_NAMES_H_
#define VUVOROZO_CLI_NEAR_NAMES_H_

#include <string>
#include <string_view>
#include <vector>

#include "refhost/store/catalog_store.h"

namespace cli {

// The names the user may have meant by typed (LIBREF[.CATALOG[.ENTRY
// [.TYPE]]], not a pattern), as the user would type them, in lower case;
// an entry of the default type without its type. Empty when typed is
// found, holds a pattern, or nothing is near enough.
std::vector<std::string> NearNames(refhost::CatalogStore& store,
                                   std::string_view typed);

// " Did you mean 'a'?" (or "'a' or 'b'") for the names NearNames gives;
// empty when it gives none.
std::string DidYouMeanName(refhost::CatalogStore& store,
                           std::string_view typed);

}  // namespace cli

#endif  // VUVOROZO_CLI_NEAR_NAMES_H_
