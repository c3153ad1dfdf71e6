// The words that complete a command line, from the table of commands and
// the store. The line is read as ParseCommandLine reads it: flags anywhere,
// a flag's value in its word or the next one, "--" ending the flags.

#include "cli/completion.h"

#include <algorithm>
#include <cstdio>

#include "cli/command_table.h"
#include "cli/option_text.h"
#include "cli/patterns.h"
#include "refhost/host/host.h"

namespace cli {
namespace {

// What the words before the one being completed said.
struct LineSoFar {
  Settings settings;
  bool command_given = false;
  std::string command;  // the word that stands for the command
  size_t position = 0;  // words after the command
  // A flag whose value is the word being completed.
  const Flag* awaiting_value = nullptr;
};

LineSoFar Read(const std::vector<std::string>& words) {
  LineSoFar line;
  bool only_words = false;
  // The value of a flag: the next word (bash without its completion
  // library splits --data=DIR into "--data", "=", "DIR").
  auto value_of = [&](const Flag* flag, size_t* i) {
    if (*i + 1 < words.size() && words[*i + 1] == "=") ++*i;
    if (*i + 1 < words.size()) {
      flag->set(line.settings, words[++*i]);
    } else {
      line.awaiting_value = flag;
    }
  };
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (!only_words && word == "--") {
      only_words = true;
    } else if (!only_words && word.size() >= 2 && word.starts_with("--")) {
      size_t equals = word.find('=');
      const Flag* flag = FindFlag(word.substr(0, equals));
      if (flag == nullptr) continue;
      if (flag->value == nullptr) {
        flag->set(line.settings, "");
      } else if (equals != std::string::npos) {
        flag->set(line.settings, word.substr(equals + 1));
      } else {
        value_of(flag, &i);
      }
    } else if (!only_words && word.size() >= 2 && word[0] == '-') {
      for (size_t k = 1; k < word.size(); ++k) {
        const Flag* flag = FindShortFlag(word[k]);
        if (flag == nullptr) break;
        if (flag->value == nullptr) {
          flag->set(line.settings, "");
          continue;
        }
        if (k + 1 < word.size()) {
          flag->set(line.settings, word.substr(k + 1));
        } else {
          value_of(flag, &i);
        }
        break;
      }
    } else if (!line.command_given) {
      line.command_given = true;
      line.command = word;
    } else {
      ++line.position;
    }
  }
  return line;
}

// What the word at position names for the command.
Word WordAt(const Command& command, size_t position, bool recursive) {
  const Arguments& arguments = command.arguments;
  const Word* kinds = recursive && arguments.recursive[0] != Word::kNone
                          ? arguments.recursive
                          : arguments.words;
  size_t count = 0;
  while (count < 3 && kinds[count] != Word::kNone) ++count;
  if (position < count) return kinds[position];
  return arguments.repeats && count > 0 ? kinds[count - 1] : Word::kNone;
}

// Whether the command's module options may stand at position: after the
// words it names.
bool OptionsAt(const Command& command, size_t position) {
  if (command.options.empty()) return false;
  size_t count = 0;
  while (count < 3 && command.arguments.words[count] != Word::kNone) ++count;
  return position >= count;
}

std::vector<std::string> Lowered(std::vector<std::string> names) {
  for (std::string& name : names) name = Lower(name);
  return names;
}

// The names of the store that extend what was typed, each level in lower
// case after what the user typed: librefs, LIBREF.CATALOG or
// LIBREF.CATALOG.ENTRY, as kind wants them (a level that goes on ends in
// '.').
std::vector<std::string> Names(const Settings& settings, Word kind,
                               const std::string& typed) {
  std::vector<std::string> names;
  std::string error;
  std::unique_ptr<Session> session =
      Session::Start(settings, StoreUse::kRead, &error);
  if (session == nullptr) return names;
  refhost::CatalogStore* store = session->host().store();
  NameLevels levels = SplitLevels(typed);
  bool dot_after_libref = kind == Word::kEntry || kind == Word::kCatalog;
  if (levels.count == 1) {
    std::vector<std::string> librefs;
    if (!store->ListLibraries(&librefs).ok()) return names;
    for (const std::string& libref : Lowered(librefs)) {
      names.push_back(libref + (dot_after_libref ? "." : ""));
    }
  } else if (levels.count == 2 && kind != Word::kLibref) {
    std::vector<refhost::CatalogInfo> catalogs;
    if (!refhost::CheckLibref(levels.libref).ok() ||
        !store->ListCatalogs(refhost::LibrefKey(levels.libref), &catalogs)
             .ok()) {
      return names;
    }
    for (const refhost::CatalogInfo& catalog : catalogs) {
      names.push_back(levels.libref + "." + Lower(catalog.name) +
                      (kind == Word::kEntry ? "." : ""));
    }
  } else if (levels.count > 2 &&
             (kind == Word::kEntry || kind == Word::kName)) {
    levels.entry = "*";
    levels.type.clear();
    std::vector<FoundEntry> found;
    if (!FindEntries(*session, levels, &found)) return names;
    for (const FoundEntry& e : found) {
      names.push_back(levels.Catalog() + "." + Lower(e.name));
    }
  }
  return names;
}

void PrintWords(std::vector<std::string> candidates,
                const std::string& current) {
  std::erase_if(candidates, [&](const std::string& candidate) {
    return !candidate.starts_with(current);
  });
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()),
                   candidates.end());
  std::string text = "words\n";
  for (const std::string& candidate : candidates) text += candidate + "\n";
  std::fputs(text.c_str(), stdout);
}

// The completion of the value of flag.
void PrintValue(const Flag* flag, const std::string& current) {
  std::string name = flag->long_name;
  if (name == "--data") {
    std::printf("folders\n%s\n", current.c_str());
  } else if (name == "--module") {
    std::printf("files\n%s\n", current.c_str());
  } else {
    PrintWords({}, current);
  }
}

}  // namespace

int Complete(std::vector<std::string> words) {
  if (words.empty()) words.push_back("");
  std::string current = words.back();
  words.pop_back();
  LineSoFar line = Read(words);
  if (line.awaiting_value != nullptr) {
    PrintValue(line.awaiting_value, current);
    return 0;
  }
  const Command* command =
      line.command_given ? FindCommand(line.command) : nullptr;
  if (current.starts_with("-")) {
    if (current.starts_with("--") && current.find('=') != std::string::npos) {
      size_t equals = current.find('=');
      const Flag* flag = FindFlag(current.substr(0, equals));
      if (flag != nullptr && flag->value != nullptr) {
        PrintValue(flag, current.substr(equals + 1));
      } else {
        PrintWords({}, current);
      }
      return 0;
    }
    std::vector<std::string> flags;
    for (const Flag* flag :
         command != nullptr ? FlagsOf(*command) : AllFlags()) {
      flags.push_back(flag->long_name);
      if (flag->short_name != 0) {
        flags.push_back(std::string("-") + flag->short_name);
      }
    }
    PrintWords(flags, current);
    return 0;
  }
  if (!line.command_given) {
    PrintWords(CommandNames(), current);
    return 0;
  }
  if (line.command == "help") {
    PrintWords(line.position == 0 ? CommandNames() : Words(), current);
    return 0;
  }
  if (command == nullptr) {
    PrintWords({}, current);
    return 0;
  }
  Word kind = WordAt(*command, line.position, line.settings.recursive);
  std::vector<std::string> candidates;
  if (OptionsAt(*command, line.position)) {
    candidates.assign(command->options.begin(), command->options.end());
  }
  if (kind == Word::kFolder && candidates.empty()) {
    std::printf("folders\n%s\n", current.c_str());
    return 0;
  }
  if (kind != Word::kNone && kind != Word::kFolder) {
    std::vector<std::string> names = Names(line.settings, kind, current);
    candidates.insert(candidates.end(), names.begin(), names.end());
  }
  PrintWords(candidates, current);
  return 0;
}

}  // namespace cli
