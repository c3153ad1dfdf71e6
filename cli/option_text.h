// The option statement the program hands the module's option parser, made
// from the words a user typed after a name, and the small text helpers the
// commands share.

#ifndef VUVOROZO_CLI_OPTION_TEXT_H_
#define VUVOROZO_CLI_OPTION_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

namespace cli {

// The most bytes a description holds.
inline constexpr size_t kDescriptionBytes = 256;

// Joins the option words with blanks. The shell has removed the quotes the
// user wrote around a description, so the value of DESC or DESCRIPTION
// (desc=text, desc= text, desc = text; any case) is quoted again, inner
// apostrophes doubled, unless it already stands in matching quotes. A value
// that opens a quote it does not close is passed as it stands, for the
// tokenizer to refuse. A description longer than kDescriptionBytes is cut
// at the last character boundary within them, and *description_cut set.
std::string OptionStatement(const std::vector<std::string>& words,
                            bool* description_cut);

// The bytes of text, at most limit, that end at a character boundary: a
// UTF-8 character is kept whole or not at all (any other byte counts as a
// character of its own).
size_t CutAtCharacter(std::string_view text, size_t limit);

// Text fit to print on a terminal: UTF-8 characters as they are; control
// characters, bytes that are not UTF-8 and the backslash as \xHH (\\ for
// the backslash). Names and descriptions come from stores and folders that
// others wrote.
std::string Printable(std::string_view text);

// text in apostrophes, apostrophes inside doubled.
std::string Quote(std::string_view text);

// True when text is a quoted string as the tokenizer takes it: the same
// quote first and last, and that quote doubled wherever it stands inside.
bool IsQuoted(std::string_view text);

// The option keywords the module takes, in lower case as a user types them:
// the candidates of "did you mean" for a keyword it does not recognise.
inline constexpr const char* kOptionKeywords[] = {
    "lrecl", "blocksize", "recfm", "mod",
    "attr",  "catalog",   "desc",  "description"};

// Whether a word the user typed after the names is an option: it holds
// '=' or is one of the keywords (any case). Words before the first option
// are names.
bool IsOptionWord(std::string_view word);

// The refusal of the user's options: the whole word the user typed that
// holds the offending token (the words from its keyword on, when the value
// was typed apart), quoted, then the module's explanation, and a likely
// keyword when the token was a near miss of one: "'lrec=200': Option not
// recognised. ... (did you mean 'lrecl'?)".
std::string OptionRefusal(const std::vector<std::string>& words,
                          std::string_view offending,
                          const std::string& explanation);

std::string Upper(std::string_view text);
std::string Lower(std::string_view text);

}  // namespace cli

#endif  // VUVOROZO_CLI_OPTION_TEXT_H_
