// Building the option statement from the words of the command line. Only
// the description needs help: the shell strips the quotes a user writes
// around it, and the module's option syntax wants a quoted string there.

#include "cli/option_text.h"

#include <cctype>

namespace cli {
namespace {

// The keywords whose value is a quoted description.
constexpr std::string_view kDescriptionKeywords[] = {"DESC", "DESCRIPTION"};

bool IsDescriptionKeyword(std::string_view word) {
  std::string upper = Upper(word);
  for (std::string_view keyword : kDescriptionKeywords) {
    if (upper == keyword) return true;
  }
  return false;
}

// The length of a leading keyword made of letters.
size_t KeywordLength(std::string_view word) {
  size_t n = 0;
  while (n < word.size() && std::isalpha(static_cast<unsigned char>(word[n]))) {
    ++n;
  }
  return n;
}

std::string QuoteUnlessQuoted(std::string_view value) {
  return IsQuoted(value) ? std::string(value) : Quote(value);
}

}  // namespace

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Quote(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  out += '\'';
  return out;
}

bool IsQuoted(std::string_view text) {
  if (text.size() < 2) return false;
  char quote = text.front();
  if ((quote != '\'' && quote != '"') || text.back() != quote) return false;
  std::string_view inner = text.substr(1, text.size() - 2);
  for (size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] != quote) continue;
    if (i + 1 >= inner.size() || inner[i + 1] != quote) return false;
    ++i;
  }
  return true;
}

std::string OptionStatement(const std::vector<std::string>& words) {
  std::string out;
  auto append = [&out](std::string_view piece) {
    if (!out.empty()) out += ' ';
    out += piece;
  };
  for (size_t i = 0; i < words.size(); ++i) {
    std::string_view word = words[i];
    size_t k = KeywordLength(word);
    std::string_view keyword = word.substr(0, k);
    if (k == 0 || !IsDescriptionKeyword(keyword)) {
      append(word);
      continue;
    }
    std::string_view rest = word.substr(k);
    if (rest.empty()) {
      // "desc" alone: the "=" and perhaps the value follow as words.
      if (i + 1 >= words.size() || words[i + 1].empty() ||
          words[i + 1][0] != '=') {
        append(word);  // the module says what is missing
        continue;
      }
      rest = words[++i];
    }
    if (rest[0] != '=') {
      append(word);  // DESCR and the like: the module refuses them
      continue;
    }
    std::string_view value = rest.substr(1);
    // "desc=" or "desc =": the value is the next word, even an empty one.
    if (value.empty() && i + 1 < words.size()) value = words[++i];
    append(std::string(keyword) + "=" + QuoteUnlessQuoted(value));
  }
  return out;
}

}  // namespace cli
