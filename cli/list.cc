// vuvorozo list LIBREF.CATALOG [--json]: the catalog's entries, walked
// through the catalog opened as a directory, as an aligned table of name,
// type and description, or as JSON for scripts.

#include <algorithm>
#include <cstdio>

#include "cli/commands.h"
#include "cli/option_text.h"
#include "refhost/utf8.h"

namespace cli {
namespace {

struct Listed {
  std::string name;
  std::string type;
  std::string description;
};

// A JSON string: UTF-8 characters as they are, control characters as
// \u escapes, and a byte that is not UTF-8 as U+FFFD, so that the output is
// always valid JSON.
std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    std::string_view rest = text.substr(at);
    size_t length = refhost::Utf8CharacterLength(rest);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    uint32_t point = refhost::Utf8CodePoint(rest, length);
    if (point == '"' || point == '\\') {
      out += '\\';
      out += rest[0];
    } else if (refhost::IsControlCharacter(point) && point != 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", point);
      out += escape;
    } else {
      out.append(rest.substr(0, length));
    }
    at += length;
  }
  return out + "\"";
}

// Characters of a printable text, for aligning columns.
size_t Width(std::string_view text) {
  size_t width = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}

void Pad(std::string* line, size_t width, std::string_view text) {
  *line += text;
  line->append(width > Width(text) ? width - Width(text) : 0, ' ');
}

// Stored names and descriptions may hold anything: the table shows them
// through Printable, so that no byte reaches the terminal as a control.
void PrintTable(const std::vector<Listed>& entries) {
  size_t name_width = 4;  // the headings
  size_t type_width = 4;
  std::vector<Listed> shown;
  for (const Listed& e : entries) {
    shown.push_back(
        {Printable(e.name), Printable(e.type), Printable(e.description)});
    name_width = std::max(name_width, Width(shown.back().name));
    type_width = std::max(type_width, Width(shown.back().type));
  }
  std::printf("%-*s  %-*s  %s\n", static_cast<int>(name_width), "NAME",
              static_cast<int>(type_width), "TYPE", "DESCRIPTION");
  for (const Listed& e : shown) {
    std::string line;
    Pad(&line, name_width + 2, e.name);
    Pad(&line, type_width + 2, e.type);
    line += e.description;
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
  refhost::EntryInfo info;
  while ((st = directory.Next(&e.name, &e.type, &info)) == 0) {
    e.description = info.description;
    entries.push_back(e);
  }
  int32_t close = directory.Close();
  if (st != kStatusEndOfList) {
    session.Fail(Printable(name), st);
    return kExitFailed;
  }
  if (close != 0) {
    session.Fail(Printable(name), close);
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
