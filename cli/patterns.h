// Names that select several entries. The entry level of a name, and its
// type level, may be a pattern: '*' matches any characters, '?' one
// character (a UTF-8 character, not a byte). A pattern without a type level
// matches entries of every type. The catalog is walked through the module's
// directory routines and each entry's name and type are matched without
// regard to case (the module keeps them in upper case).

#ifndef VUVOROZO_CLI_PATTERNS_H_
#define VUVOROZO_CLI_PATTERNS_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_support.h"

namespace cli {

// Whether text holds '*' or '?'.
bool IsPattern(std::string_view text);

// Whether text matches pattern, case folded for ASCII letters.
bool Matches(std::string_view pattern, std::string_view text);

// A name split at its dots: LIBREF.CATALOG[.ENTRY[.TYPE]]. Empty levels
// for those not given.
struct NameLevels {
  std::string libref;
  std::string catalog;
  std::string entry;
  std::string type;
  int count = 0;  // levels given
  std::string Catalog() const { return libref + "." + catalog; }
};
NameLevels SplitLevels(std::string_view name);

// An entry a walk found.
struct FoundEntry {
  std::string name;  // entry name as stored
  std::string type;
  refhost::EntryInfo info;
  // LIBREF.CATALOG.NAME.TYPE, upper case.
  std::string path;
};

// The entries of the catalog LIBREF.CATALOG (as levels gives it) whose name
// and type match the entry and type patterns of levels (an empty type
// pattern: every type), by name then type. false when the catalog cannot
// be walked (reported, naming the catalog).
bool FindEntries(Session& session, const NameLevels& levels,
                 std::vector<FoundEntry>* found);
// The same, one entry at a time: each goes to take as the walk finds it,
// so that a catalog of any size takes the memory of one entry.
bool ForEachEntry(Session& session, const NameLevels& levels,
                  const std::function<void(const FoundEntry&)>& take);

// Index of the first option word in words from `from` on: names stand
// before it (words.size() when there is none).
size_t OptionStart(const Words& words, size_t from);

}  // namespace cli

#endif  // VUVOROZO_CLI_PATTERNS_H_
