// The texts a library or a folder brings with it, which anyone may have
// written: an entry's host attributes (the "vuvorozo-file 1" text the store
// keeps with the entry) and a folder's manifest. An input's first byte
// picks the reader; the rest is the text.
//
// Besides what the sanitizers catch, each reader must agree with its
// writer: attributes that decode encode to a text that decodes to the same
// attributes, and the lines a manifest parses to, written again, parse
// back to the same lines with none refused.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "cli/files/manifest.h"
#include "refhost/host/file_attributes.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "texts_fuzz: %s\n", what);
  std::abort();
}

bool Same(const refhost::FileAttributes& a, const refhost::FileAttributes& b) {
  return a.file_name == b.file_name && a.folder == b.folder &&
         a.is_folder == b.is_folder && a.modified_ns == b.modified_ns &&
         a.mode == b.mode && a.size == b.size && a.records == b.records &&
         a.final_newline == b.final_newline &&
         a.content_hash == b.content_hash && a.changed_ns == b.changed_ns &&
         a.inode == b.inode;
}

void Attributes(std::string_view text) {
  refhost::FileAttributes decoded;
  if (!refhost::DecodeFileAttributes(text, &decoded)) {
    if (!Same(decoded, refhost::FileAttributes{})) {
      Fail("attributes refused but not reset");
    }
    return;
  }
  std::string encoded = refhost::EncodeFileAttributes(decoded);
  refhost::FileAttributes again;
  if (!refhost::DecodeFileAttributes(encoded, &again)) {
    Fail("the writer's attributes do not read back");
  }
  if (!Same(decoded, again)) Fail("attributes change on a round trip");
  if (refhost::EncodeFileAttributes(again) != encoded) {
    Fail("attributes encode two ways");
  }
}

void Manifest(std::string_view text) {
  int bad = 0;
  std::map<std::string, cli::ManifestLine> lines =
      cli::ParseManifest(text, &bad);
  if (bad < 0) Fail("a negative count of refused lines");
  std::vector<cli::ManifestLine> listed;
  for (const auto& [file, line] : lines) {
    if (file != line.file) Fail("a manifest line filed under another name");
    listed.push_back(line);
  }
  int bad_again = 0;
  std::map<std::string, cli::ManifestLine> again =
      cli::ParseManifest(cli::FormatManifest(listed), &bad_again);
  if (bad_again != 0) Fail("the writer's manifest has lines it refuses");
  if (again.size() != lines.size()) Fail("manifest lines lost on a round trip");
  for (const auto& [file, line] : lines) {
    auto it = again.find(file);
    if (it == again.end() || it->second.entry != line.entry ||
        it->second.description != line.description) {
      Fail("a manifest line changes on a round trip");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0) {
    Attributes(text);
  } else {
    Manifest(text);
  }
  return 0;
}
