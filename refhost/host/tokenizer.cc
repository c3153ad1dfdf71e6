// The option tokenizer. An option text is split once into tokens: names
// (delivered in upper case, so a user may write options in any case),
// numbers with an optional sign, quoted strings with their quotes and any
// doubled quotes kept as written, and single characters such as "=". A
// source word names one text; yxatok hands out its tokens in turn.

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "refhost/host/host.h"

namespace refhost {

namespace {

bool NameStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '#' ||
         c == '@' || c == '$';
}
bool NameChar(char c) {
  return NameStart(c) || std::isdigit(static_cast<unsigned char>(c));
}

std::vector<Host::OptionSource::Token> Tokenize(std::string_view text) {
  std::vector<Host::OptionSource::Token> tokens;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    size_t start = i;
    if (NameStart(c)) {
      while (i < text.size() && NameChar(text[i])) ++i;
      std::string name(text.substr(start, i - start));
      for (char& ch : name)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      tokens.push_back({kTokenName, name});
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               ((c == '-' || c == '+') && i + 1 < text.size() &&
                std::isdigit(static_cast<unsigned char>(text[i + 1])))) {
      ++i;
      while (i < text.size() &&
             std::isdigit(static_cast<unsigned char>(text[i])))
        ++i;
      tokens.push_back(
          {kTokenNumber, std::string(text.substr(start, i - start))});
    } else if (c == '\'' || c == '"') {
      ++i;
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == c) {
          if (i + 1 < text.size() && text[i + 1] == c) {
            i += 2;  // a doubled quote stands for one
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        ++i;
      }
      tokens.push_back({closed ? kTokenQuoted : kTokenError,
                        std::string(text.substr(start, i - start))});
    } else {
      ++i;
      tokens.push_back({kTokenSpecial, std::string(1, c)});
    }
  }
  return tokens;
}

}  // namespace

int32_t Host::NewOptionSource(std::string_view text) {
  auto source = std::make_unique<OptionSource>();
  source->tokens = Tokenize(text);
  sources_.push_back(std::move(source));
  return static_cast<int32_t>(sources_.size());  // 1-based: 0 means none
}

void Host::ReleaseOptionSources() { sources_.clear(); }

Host::OptionSource* Host::FindSource(int32_t word) {
  if (word <= 0 || static_cast<size_t>(word) > sources_.size()) return nullptr;
  return sources_[word - 1].get();
}

// yxatok: the next token of the source into the token record.
int32_t TokenizerNext(int32_t source_word, token_record* tokens) {
  Host* host = Host::Current();
  Host::OptionSource* source = host->FindSource(source_word);
  if (source == nullptr || tokens == nullptr) return kHostBadSource;
  tokens->context = source->context;
  if (source->position >= source->tokens.size()) return kHostNoMoreTokens;
  const auto& token = source->tokens[source->position];
  if (token.kind == kTokenError) return kHostBadToken;
  ++source->position;
  tokens->kind = token.kind;
  tokens->text = token.text.data();
  tokens->length = static_cast<int16_t>(
      token.text.size() > 32767 ? 32767 : token.text.size());
  return 0;
}

ParseResult Host::ParseOptions(vector_routine parse_slot, std::string_view text,
                               int32_t control, option_block* block) {
  typedef int32_t (*parse_fn)(int32_t, int32_t, int32_t, int32_t, int32_t,
                              int32_t*, option_block**);
  parse_fn parse =
      reinterpret_cast<parse_fn>(reinterpret_cast<void (*)(void)>(parse_slot));
  ParseResult result;
  result.block = block;
  int32_t word = NewOptionSource(text);
  OptionSource* source = FindSource(word);
  while (source->position < source->tokens.size()) {
    size_t start = source->position;
    int32_t count = 0;
    int32_t status = parse(0, 0, 0, control, word, &count, &result.block);
    if (status != 0) {
      result.status = status;
      size_t bad = start + static_cast<size_t>(count < 0 ? 0 : count);
      if (bad >= source->tokens.size() && !source->tokens.empty()) {
        bad = source->tokens.size() - 1;
      }
      result.error_token = static_cast<int>(bad);
      if (bad < source->tokens.size())
        result.error_text = source->tokens[bad].text;
      uint32_t mark;
      std::memcpy(&mark, source->context + kTokenContextErrorWord, 4);
      result.error_marked = (mark & 1) != 0;
      break;
    }
    if (count <= 0) break;  // nothing accepted: stop rather than loop
    source->position = start + static_cast<size_t>(count);
  }
  sources_.pop_back();
  return result;
}

}  // namespace refhost
