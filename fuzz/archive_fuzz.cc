// Archive bytes through import into a memory store: the program's archive
// reader (libarchive, every format it takes) and the import of its members,
// each checked path by path and written as an entry through the module. An
// input's first byte picks import or import -r; the rest is the archive.
// After each input: the host got back every block and handle the import
// took, and every entry the store holds keeps a path that stays inside its
// catalog's folder.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_support.h"
#include "cli/files/archive.h"
#include "cli/files/catalog_import.h"
#include "cli/files/file_names.h"
#include "cli/report.h"
#include "cli/session.h"
#include "refhost/host/file_attributes.h"
#include "refhost/store/catalog_store.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "archive_fuzz: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  cli::SetVerbosity(cli::Verbosity::kQuiet);
  std::string error;
  std::unique_ptr<cli::Session> session = cli::Session::StartOver(
      refhost::NewMemoryCatalogStore(), VUVOROZO_MODULE_PATH, "memory", &error);
  if (session == nullptr) Fail("the module cannot be started: " + error);
  bool recursive = (data[0] & 1) != 0;
  {
    cli::ArchiveReader reader;
    if (reader.OpenMemory(data + 1, size - 1)) {
      cli::Words none;
      cli::ImportSettings settings;
      settings.option_words = &none;
      settings.exact_names = (data[0] & 2) != 0;
      cli::Tally tally;
      cli::ImportArchive(*session, settings, tally, recursive,
                         recursive ? "FUZZ" : "FUZZ.TREE", reader, "fuzz");
    }
  }
  // What the store holds stays inside the catalog's folder.
  refhost::CatalogStore* store = session->host().store();
  std::vector<refhost::CatalogInfo> catalogs;
  store->ListCatalogs("FUZZ", &catalogs);
  for (const refhost::CatalogInfo& catalog : catalogs) {
    std::vector<refhost::EntryInfo> entries;
    store->List("FUZZ", catalog.name, &entries);
    for (const refhost::EntryInfo& entry : entries) {
      refhost::FileAttributes kept;
      if (!refhost::DecodeFileAttributes(entry.host_attributes, &kept)) {
        Fail("an entry without attributes: " + entry.name);
      }
      bool top = kept.is_folder && kept.file_name == cli::kTopPath;
      if (!top && cli::PathProblem(kept.file_name) != cli::Reason::kNone) {
        Fail("an entry keeps a path outside its folder: " + kept.file_name);
      }
    }
  }
  refhost::HostBalance balance = session->host().Balance();
  if (balance.module_blocks + balance.temporary_blocks != 0 ||
      balance.host_handles() != 0 || balance.bad_releases != 0) {
    Fail("the import left blocks or handles behind");
  }
  return 0;
}
