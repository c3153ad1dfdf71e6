// The texts a library or a folder brings with it, which anyone may have
// written: an entry's host attributes (the "vuvorozo-file 1" text the store
// keeps with the entry), the packed form a store keeps them in, and a
// folder's manifest. An input's first byte picks the reader; the rest is
// the text.
//
// Besides what the sanitizers catch, each reader must agree with its
// writer: attributes that decode encode to a text that decodes to the same
// attributes, and that text packs and unpacks to its very bytes; packed
// bytes that unpack give a text that packs again to bytes that unpack to
// it; and the lines a manifest parses to, written again, parse back to the
// same lines with none refused.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "cli/files/manifest.h"
#include "refhost/host/file_attributes.h"
#include "refhost/store/packed_attributes.h"

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
  // The store packs every text the host writes, for any entry, and gives
  // it back as it was; and any text it packs.
  std::string stem = decoded.file_name.substr(0, decoded.file_name.find('.'));
  for (char& c : stem) c = (char)std::toupper((unsigned char)c);
  for (const std::string& entry : {std::string(), std::string("N"), stem}) {
    std::string packed, unpacked, why;
    if (!refhost::PackHostAttributes(encoded, entry, &packed)) {
      Fail("the writer's attributes do not pack");
    }
    if (!refhost::UnpackHostAttributes(packed.data(), packed.size(), entry,
                                       &unpacked, &why) ||
        unpacked != encoded) {
      Fail("packed attributes do not come back as they were");
    }
  }
  std::string packed, unpacked, why;
  if (refhost::PackHostAttributes(text, "N", &packed) &&
      (!refhost::UnpackHostAttributes(packed.data(), packed.size(), "N",
                                      &unpacked, &why) ||
       unpacked != text)) {
    Fail("a packed text does not come back as it was");
  }
}

// Packed attributes: a byte whose low bits give the length of the entry's
// name and whose bit 4 says the bytes after the name are the form without
// its check (which is then added), the name, the bytes.
void Packed(std::string_view input) {
  if (input.empty()) return;
  size_t length = std::min<size_t>(input[0] & 0x0F, input.size() - 1);
  bool seal = (input[0] & 0x10) != 0;
  std::string entry(input.substr(1, length));
  std::string bytes(input.substr(1 + length));
  if (seal) bytes = refhost::SealPackedHostAttributes(bytes, entry);
  std::string text, why;
  if (!refhost::UnpackHostAttributes(bytes.data(), bytes.size(), entry, &text,
                                     &why)) {
    if (why.empty()) Fail("packed attributes refused without a reason");
    return;
  }
  std::string again, text_again;
  if (!refhost::PackHostAttributes(text, entry, &again)) {
    Fail("unpacked attributes do not pack again");
  }
  if (!refhost::UnpackHostAttributes(again.data(), again.size(), entry,
                                     &text_again, &why) ||
      text_again != text) {
    Fail("packed attributes unpack two ways");
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
  if ((data[0] & 1) == 1) {
    Manifest(text);
  } else if ((data[0] & 3) == 2) {
    Packed(text);
  } else {
    Attributes(text);
  }
  return 0;
}
