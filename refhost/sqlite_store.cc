// A CatalogStore with one SQLite database a library (being written).

#include "refhost/catalog_store.h"

namespace refhost {

std::unique_ptr<CatalogStore> NewSqliteCatalogStore(const std::string&) {
  return nullptr;
}

}  // namespace refhost
