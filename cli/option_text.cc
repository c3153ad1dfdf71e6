// Building the option statement from the words of the command line. Only
// the description needs help: the shell strips the quotes a user writes
// around it, and the module's option syntax wants a quoted string there.

#include "cli/option_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "cli/report.h"
#include "refhost/util/utf8.h"

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

// The text of a quoted value: without its quotes, doubled quotes single.
std::string Unquote(std::string_view quoted) {
  char quote = quoted.front();
  std::string out;
  for (size_t i = 1; i + 1 < quoted.size(); ++i) {
    out += quoted[i];
    if (quoted[i] == quote) ++i;
  }
  return out;
}

// The description value as the statement carries it: quoted unless it
// is, cut to kDescriptionBytes. A value that opens a quote and does not
// close it stays as it is.
std::string DescriptionValue(std::string_view value, bool* cut) {
  std::string inner;
  if (IsQuoted(value)) {
    inner = Unquote(value);
    if (inner.size() <= kDescriptionBytes) return std::string(value);
    value = inner;  // cut and quoted again below
  } else if (!value.empty() && (value[0] == '\'' || value[0] == '"')) {
    return std::string(value);
  }
  size_t keep = CutAtCharacter(value, kDescriptionBytes);
  if (keep < value.size()) *cut = true;
  return Quote(value.substr(0, keep));
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

size_t CutAtCharacter(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t at = 0;
  while (at < limit) {
    size_t length = refhost::Utf8CharacterLength(text.substr(at));
    if (length == 0) length = 1;
    if (at + length > limit) break;
    at += length;
  }
  return at;
}

std::string Printable(std::string_view text) {
  // Most names are printable ASCII without a backslash: kept as they are.
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return c >= 0x20 && c < 0x7F && c != '\\'; })) {
    return std::string(text);
  }
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    std::string_view rest = text.substr(at);
    size_t length = refhost::Utf8CharacterLength(rest);
    if (rest[0] == '\\') {
      out += "\\\\";
    } else if (length != 0 && !refhost::IsControlCharacter(
                                  refhost::Utf8CodePoint(rest, length))) {
      out.append(rest.substr(0, length));
    } else {
      // A control character escapes byte by byte, as a stray byte does.
      if (length == 0) length = 1;
      for (size_t i = 0; i < length; ++i) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02X",
                      static_cast<unsigned char>(rest[i]));
        out += escape;
      }
    }
    at += length == 0 ? 1 : length;
  }
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

bool IsOptionWord(std::string_view word) {
  if (word.find('=') != std::string_view::npos) return true;
  std::string lower = Lower(word);
  for (const char* keyword : kOptionKeywords) {
    if (lower == keyword) return true;
  }
  return false;
}

std::string OptionRefusal(const std::vector<std::string>& words,
                          std::string_view offending,
                          const std::string& explanation) {
  std::string token = Upper(offending);
  size_t at = words.size();
  for (size_t i = 0; i < words.size() && !token.empty(); ++i) {
    if (Upper(words[i]).find(token) != std::string::npos) {
      at = i;
      break;
    }
  }
  if (at == words.size()) {
    return (offending.empty() ? std::string("options")
                              : "'" + Printable(offending) + "'") +
           ": " + explanation;
  }
  // "lrecl = abc" or "lrecl= abc": the value's word reaches back to its
  // keyword.
  size_t first = at;
  auto starts = [](const std::string& w) { return !w.empty() && w[0] == '='; };
  auto ends = [](const std::string& w) {
    return !w.empty() && w.back() == '=';
  };
  while (first > 0 && (starts(words[first]) || ends(words[first - 1]))) {
    --first;
  }
  std::string typed;
  for (size_t i = first; i <= at; ++i) {
    if (!typed.empty()) typed += ' ';
    typed += words[i];
  }
  std::string text = "'" + Printable(typed) + "': " + explanation;
  // A keyword the module does not know may be a slip of one it does.
  std::string keyword = Lower(token.substr(0, KeywordLength(token)));
  if (keyword.size() == token.size() && !IsOptionWord(keyword)) {
    text += DidYouMean(keyword,
                       std::vector<std::string>(std::begin(kOptionKeywords),
                                                std::end(kOptionKeywords)));
  }
  return text;
}

std::string OptionStatement(const std::vector<std::string>& words,
                            bool* description_cut) {
  *description_cut = false;
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
    append(std::string(keyword) + "=" +
           DescriptionValue(value, description_cut));
  }
  return out;
}

}  // namespace cli
