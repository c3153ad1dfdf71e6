// vuvorozo list LIBREF.CATALOG [--json]: the catalog's entries, walked
// through the catalog opened as a directory, as an aligned table of name,
// type and description, or as JSON for scripts.

#include <algorithm>
#include <cstdio>

#include "cli/commands.h"

namespace cli {
namespace {

struct Listed {
  std::string name;
  std::string type;
  std::string description;
};

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void PrintTable(const std::vector<Listed>& entries) {
  size_t name_width = 4;  // the headings
  size_t type_width = 4;
  for (const Listed& e : entries) {
    name_width = std::max(name_width, e.name.size());
    type_width = std::max(type_width, e.type.size());
  }
  std::printf("%-*s  %-*s  %s\n", static_cast<int>(name_width), "NAME",
              static_cast<int>(type_width), "TYPE", "DESCRIPTION");
  for (const Listed& e : entries) {
    std::string line = e.name;
    line.resize(name_width, ' ');
    line += "  " + e.type;
    line.resize(name_width + 2 + type_width, ' ');
    line += "  " + e.description;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  }
}

void PrintJson(const std::vector<Listed>& entries) {
  std::printf("[");
  for (size_t i = 0; i < entries.size(); ++i) {
    const Listed& e = entries[i];
    std::printf("%s\n  {\"name\": %s, \"type\": %s, \"description\": %s}",
                i == 0 ? "" : ",", JsonString(e.name).c_str(),
                JsonString(e.type).c_str(), JsonString(e.description).c_str());
  }
  std::printf("%s]\n", entries.empty() ? "" : "\n");
}

}  // namespace

int RunList(Session& session, const Words& words, bool json) {
  if (words.size() != 1) {
    return UsageError("list", words.empty()
                                  ? "a name libref.catalog is needed"
                                  : "list takes one name and no options");
  }
  const std::string& name = words[0];
  Fileref fileref(session);
  Directory directory(session);
  if (!OpenExistingCatalog(session, fileref, directory, name, nullptr)) {
    return kExitFailed;
  }
  std::vector<Listed> entries;
  int32_t st;
  Listed e;
  while ((st = directory.Next(&e.name, &e.type, &e.description)) == 0) {
    entries.push_back(e);
  }
  int32_t close = directory.Close();
  if (st != kStatusEndOfList) {
    session.Fail(name, st);
    return kExitFailed;
  }
  if (close != 0) {
    session.Fail(name, close);
    return kExitFailed;
  }
  if (json) {
    PrintJson(entries);
  } else {
    PrintTable(entries);
  }
  return kExitOk;
}

}  // namespace cli
