// Matching entry names against patterns, and walking a catalog for them.

#include "cli/patterns.h"

#include <algorithm>

#include "cli/option_text.h"
#include "refhost/util/utf8.h"

namespace cli {
namespace {

char Fold(char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

size_t CharacterLength(std::string_view text) {
  size_t length = refhost::Utf8CharacterLength(text);
  return length == 0 ? 1 : length;
}

}  // namespace

bool IsPattern(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

bool Matches(std::string_view pattern, std::string_view text) {
  // Iterative matching with one point to come back to after a '*': linear
  // in practice, never exponential.
  size_t p = 0, t = 0;
  size_t star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = ++p;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      t += CharacterLength(text.substr(t));
    } else if (p < pattern.size() && Fold(pattern[p]) == Fold(text[t])) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star;
      resume += CharacterLength(text.substr(resume));
      t = resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size() && t == text.size();
}

NameLevels SplitLevels(std::string_view name) {
  NameLevels levels;
  std::string* parts[4] = {&levels.libref, &levels.catalog, &levels.entry,
                           &levels.type};
  size_t start = 0;
  while (levels.count < 4) {
    size_t dot =
        levels.count == 3 ? std::string_view::npos : name.find('.', start);
    parts[levels.count++]->assign(
        name.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return levels;
}

bool FindEntries(Session& session, const NameLevels& levels,
                 std::vector<FoundEntry>* found) {
  // The directory gives the entries by name then type already.
  return ForEachEntry(session, levels,
                      [&](const FoundEntry& e) { found->push_back(e); });
}

bool ForEachEntry(Session& session, const NameLevels& levels,
                  const std::function<void(const FoundEntry&)>& take) {
  std::string catalog = levels.Catalog();
  Fileref fileref(session);
  Directory directory(session);
  if (!OpenExistingCatalog(session, fileref, directory, catalog, nullptr)) {
    return false;
  }
  std::string upper = Upper(catalog);
  FoundEntry e;
  int32_t st;
  while ((st = directory.Next(&e.name, &e.type, &e.info)) == 0) {
    if (!Matches(levels.entry, e.name)) continue;
    if (!levels.type.empty() && !Matches(levels.type, e.type)) continue;
    e.path = upper + "." + e.name + "." + e.type;
    take(e);
  }
  int32_t close = directory.Close();
  if (st != kStatusEndOfList || close != 0) {
    session.Fail(Printable(catalog), st != kStatusEndOfList ? st : close);
    return false;
  }
  return true;
}

size_t OptionStart(const Words& words, size_t from) {
  for (size_t i = from; i < words.size(); ++i) {
    if (IsOptionWord(words[i])) return i;
  }
  return words.size();
}

}  // namespace cli
