// What the program knows of entry types as files: which types hold binary
// data (moved as fixed-size chunks rather than lines), the file extension
// an entry of each type is exported with, and the type hint a file's
// extension gives the member open on import. Every extension exported
// imports back to the same type.

#ifndef VUVOROZO_CLI_FILES_ENTRY_TYPES_H_
#define VUVOROZO_CLI_FILES_ENTRY_TYPES_H_

#include <string>
#include <string_view>

namespace cli {

// Record length of a binary entry when the user gives no LRECL.
inline constexpr int kDefaultBinaryRecordLength = 1024;

// True for the entry types whose records are chunks of bytes.
bool IsBinaryType(std::string_view type);

// True for the entry types whose records carry a lead byte ahead of their
// data (SOURCE, LOG, OUTPUT).
bool HasLeadByte(std::string_view type);

// The extension (lower case, no dot) that files of the entry type get on
// export. A type the program has no extension for exports under its own
// name in lower case.
std::string ExtensionOf(std::string_view type);

// The hint the member open takes for a file extension (any case, no dot),
// blank-padded to 8 characters, and the entry type it selects. An unknown
// or missing extension gives a hint that selects CATAMS.
struct ImportType {
  std::string hint;  // 8 characters
  std::string type;  // the entry type the hint selects
  bool known;        // the extension is one of the table's
};
ImportType ImportTypeOf(std::string_view extension);

// The type hint of a member open whose text names the type itself
// (NAME.TYPE): the hint of the default type, which the text overrides.
inline constexpr char kDefaultTypeHint[] = "CATAMS  ";

// The entry type at the end of a path name libref.catalog.entry.type.
std::string TypeOfPath(std::string_view path);

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_ENTRY_TYPES_H_
