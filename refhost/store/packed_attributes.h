// The packed form in which the persistent stores keep the host attributes
// of an entry (EntryInfo::host_attributes) when they are the reference
// host's file attributes (refhost/host/file_attributes.h): a few dozen
// bytes where the text takes two hundred. The store still hands out the
// text, byte for byte as it was given: a text packs only when the packed
// form unpacks to exactly its bytes, and any other text is kept as it
// was before (as text, or compressed with the catalog's dictionary).
//
// Packed form (form 1), all numbers little-endian:
//   tag      1 byte, 0xA5 (a zstd frame, the other binary form a store
//            keeps, starts with 0x28)
//   flags    2 bytes, which lines the text has (kName... below); bits
//            outside kKnownFlags make the form damaged
//   then, in this order, each only where its flag says the line is there:
//   name     a LEB128 length, then the bytes of the name's value as the
//            text has them (escapes kept); with kNameAfterEntry or
//            kNameAfterLowerEntry only what follows the entry's own name,
//            or its name in lower case (ASCII), at the start of the value
//            (a file note-1.txt kept as entry NOTE-1 keeps ".txt")
//   folder   a LEB128 length, then the value's bytes
//   mtime    a zigzag LEB128 number
//   mode     a LEB128 number (the text has it in octal)
//   size     a zigzag LEB128 number
//   recfm    a zigzag LEB128 number
//   xxh3     8 bytes
//   ctime    a zigzag LEB128 number: its difference from mtime where the
//            text has mtime (the two are mostly close), else itself
//   inode    a LEB128 number
//   check    4 bytes: the low half of the XXH3 hash of the bytes before it
//            and of the entry's name, so that damage, or packed bytes put
//            in another entry's row, are told rather than read as other
//            attributes
// The text such a form stands for is "vuvorozo-file 1", then for each
// line present "\n" KEY "=" VALUE, in the order above with kind
// ("kind=folder"), records ("records=lines" or "chunks") and newline
// ("newline=yes" or "no") in the places the host writes them: after
// folder, after size and after records. Numbers are written in decimal
// without leading zeros ("%o" for mode), the hash in 16 lower-case hex
// digits.
//
// The form names its entry: a store that moved packed attributes to an
// entry of another name would have to pack them again for it.

#ifndef VUVOROZO_REFHOST_STORE_PACKED_ATTRIBUTES_H_
#define VUVOROZO_REFHOST_STORE_PACKED_ATTRIBUTES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace refhost {

inline constexpr uint8_t kPackedAttributesTag = 0xA5;

// Packs the host attributes text of the entry named entry_name into
// *packed. False, *packed untouched, when the text is not of the form above
// (another host's, a later version's with other keys, a number written
// otherwise): the store keeps it as it keeps any other text.
bool PackHostAttributes(std::string_view text, std::string_view entry_name,
                        std::string* packed);

// Whether stored bytes are of the packed form (by their tag; whether they
// unpack is UnpackHostAttributes').
bool IsPackedHostAttributes(const void* data, size_t size);

// The text that packed bytes stored for the entry named entry_name stand
// for, in *text. False, with *why, when the bytes are damaged or were
// packed for another entry.
bool UnpackHostAttributes(const void* data, size_t size,
                          std::string_view entry_name, std::string* text,
                          std::string* why);

// Appends to body (the tag, flags and fields) the check of the packed form
// of the entry named entry_name: for tests and fuzzing, which build packed
// forms field by field.
std::string SealPackedHostAttributes(std::string_view body,
                                     std::string_view entry_name);

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_PACKED_ATTRIBUTES_H_
