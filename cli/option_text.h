// The option statement the program hands the module's option parser, made
// from the words a user typed after a name, and the small text helpers the
// commands share.

#ifndef VUVOROZO_CLI_OPTION_TEXT_H_
#define VUVOROZO_CLI_OPTION_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

namespace cli {

// Joins the option words with blanks. The shell has removed the quotes the
// user wrote around a description, so the value of DESC or DESCRIPTION
// (desc=text, desc= text, desc = text; any case) is quoted again, inner
// apostrophes doubled, unless it already stands in matching quotes.
std::string OptionStatement(const std::vector<std::string>& words);

// text in apostrophes, apostrophes inside doubled.
std::string Quote(std::string_view text);

// True when text is a quoted string as the tokenizer takes it: the same
// quote first and last, and that quote doubled wherever it stands inside.
bool IsQuoted(std::string_view text);

std::string Upper(std::string_view text);
std::string Lower(std::string_view text);

}  // namespace cli

#endif  // VUVOROZO_CLI_OPTION_TEXT_H_
