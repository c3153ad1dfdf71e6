// Shell completion, answered by the program itself, so that no completion
// script keeps a list of its own. `vuvorozo --complete WORD...` is given
// the words of a command line after the program's name, the last of them
// the word under the cursor (empty where a new word starts), and prints what
// may complete that word: a command, the flags the command takes (its own
// and the global ones, long and short), the module options it takes after
// its names, or names of libraries, catalogs and entries from the store the
// line names (--data, --store, else the environment's), in lower case. The
// first line says what follows:
//
//   words    the candidates, one a line, in order
//   folders  a folder of the file system completes it; the next line holds
//            the text to complete (the value of a FLAG=VALUE word)
//   files    a file does, likewise
//
// Nothing is printed on standard error that the shell would show.

#ifndef VUVOROZO_CLI_COMPLETION_H_
#define VUVOROZO_CLI_COMPLETION_H_

#include <string>
#include <vector>

namespace cli {

// Prints the completion of line's last word; returns the exit code (0).
int Complete(std::vector<std::string> words);

}  // namespace cli

#endif  // VUVOROZO_CLI_COMPLETION_H_
