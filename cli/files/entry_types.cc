// The table of entry types and file extensions. The hint column is what the
// member open's type hints recognise; the program passes only hints of this
// table, so an extension that merely begins like a known one (json, psd)
// imports as CATAMS instead of being taken for JS or PS.

#include "cli/files/entry_types.h"

#include "cli/option_text.h"

namespace cli {
namespace {

struct TypeRow {
  std::string_view type;       // entry type
  std::string_view extension;  // exported with; imports back to type
  std::string_view hint;       // the member open's hint for the type
  bool binary;                 // records are chunks of bytes
};

constexpr TypeRow kTypes[] = {
    {"CATAMS", "txt", "CATAMS", false}, {"SOURCE", "kor", "KOR", false},
    {"LOG", "log", "LOG", false},       {"OUTPUT", "lst", "LISTING", false},
    {"HTML", "html", "HTML", false},    {"GIF", "gif", "GIF", true},
    {"JPEG", "jpeg", "JPEG", true},     {"CSS", "css", "CSS", false},
    {"WML", "wml", "WML", false},       {"XML", "xml", "XML", false},
    {"XSL", "xsl", "XSL", false},       {"RTF", "rtf", "RTF", false},
    {"PDF", "pdf", "PDF", true},        {"PS", "ps", "PS", false},
    {"CSV", "csv", "CSV", false},       {"JS", "js", "JS", false},
    {"VBS", "vbs", "VBS", false},       {"JAR", "jar", "JAR", true},
};

// Further extensions that import as one of the types above.
struct ExtensionAlias {
  std::string_view extension;
  std::string_view type;
};
constexpr ExtensionAlias kAliases[] = {
    {"jpg", "JPEG"},
    {"htm", "HTML"},
};

const TypeRow* RowOfType(std::string_view type) {
  for (const TypeRow& row : kTypes) {
    if (row.type == type) return &row;
  }
  return nullptr;
}

}  // namespace

bool IsBinaryType(std::string_view type) {
  const TypeRow* row = RowOfType(type);
  return row != nullptr && row->binary;
}

bool HasLeadByte(std::string_view type) {
  return type == "SOURCE" || type == "LOG" || type == "OUTPUT";
}

std::string ExtensionOf(std::string_view type) {
  const TypeRow* row = RowOfType(type);
  return row != nullptr ? std::string(row->extension) : Lower(type);
}

ImportType ImportTypeOf(std::string_view extension) {
  std::string lower = Lower(extension);
  const TypeRow* found = nullptr;
  for (const TypeRow& row : kTypes) {
    if (row.extension == lower) found = &row;
  }
  for (const ExtensionAlias& alias : kAliases) {
    if (alias.extension == lower) found = RowOfType(alias.type);
  }
  bool known = found != nullptr;
  if (!known) found = RowOfType("CATAMS");
  ImportType out{std::string(found->hint), std::string(found->type), known};
  out.hint.resize(8, ' ');
  return out;
}

std::string TypeOfPath(std::string_view path) {
  size_t dot = path.rfind('.');
  return std::string(dot == std::string_view::npos ? path
                                                   : path.substr(dot + 1));
}

}  // namespace cli
