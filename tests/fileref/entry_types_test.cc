// The module's entry-type table against what others know of entry types:
// the host's text of message 1 names exactly the types the module writes,
// and the program's file extensions import, through the member open's
// type hints, to the very type they export from, moving binary types as
// chunks exactly where the module gives their records the binary kind.

#include "cli/files/entry_types.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "fileref/fileref.h"
#include "refhost/host/host.h"

namespace {

std::string Trimmed(const char* type8) {
  std::string type(type8, 8);
  while (!type.empty() && type.back() == ' ') type.pop_back();
  return type;
}

std::set<std::string> TableTypes() {
  std::set<std::string> types;
  for (const entry_type_info& row : kEntryTypes)
    types.insert(Trimmed(row.type));
  return types;
}

// The types a message lists as "the types A, B, ... and Z can be written".
std::set<std::string> TypesNamedIn(const std::string& text) {
  std::string_view rest(text);
  rest = rest.substr(rest.find("the types ") + 10);
  rest = rest.substr(0, rest.find(" can be written"));
  std::set<std::string> types;
  while (!rest.empty()) {
    size_t end = rest.find_first_of(", ");
    types.insert(std::string(rest.substr(0, end)));
    if (end == std::string_view::npos) break;
    rest = rest.substr(end);
    while (!rest.empty() && (rest[0] == ',' || rest[0] == ' ')) {
      rest.remove_prefix(1);
    }
    if (rest.substr(0, 4) == "and ") rest.remove_prefix(4);
  }
  return types;
}

TEST(EntryTypesTest, MessageOneNamesExactlyTheTypesTheModuleWrites) {
  std::string text = refhost::Host::MessageText(kMessageGroup, 1);
  EXPECT_EQ(TypesNamedIn(text), TableTypes()) << text;
}

TEST(EntryTypesTest, ProgramExtensionsImportBackToTheTypeTheyExportFrom) {
  for (const entry_type_info& row : kEntryTypes) {
    std::string type = Trimmed(row.type);
    SCOPED_TRACE(type);
    cli::ImportType imported = cli::ImportTypeOf(cli::ExtensionOf(type));
    EXPECT_TRUE(imported.known);
    EXPECT_EQ(imported.type, type);
    // The member open, not the program, decides the type: the hint the
    // program passes must select it.
    ASSERT_EQ(imported.hint.size(), 8u);
    EXPECT_EQ(std::string(type_for_hint(imported.hint.c_str()), 8),
              std::string(row.type, 8));
    EXPECT_EQ(cli::IsBinaryType(type), row.kind == kKindBinary);
  }
  // Further extensions and unknown ones select what the program expects.
  for (std::string_view extension : {"jpg", "htm", "json", "psd", ""}) {
    SCOPED_TRACE(extension);
    cli::ImportType imported = cli::ImportTypeOf(extension);
    EXPECT_EQ(Trimmed(type_for_hint(imported.hint.c_str())), imported.type);
  }
}

}  // namespace
