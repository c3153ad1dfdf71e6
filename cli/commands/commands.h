// The program's commands, one a file of this folder; the table
// (command_table.cc) lists them.

#ifndef VUVOROZO_CLI_COMMANDS_COMMANDS_H_
#define VUVOROZO_CLI_COMMANDS_COMMANDS_H_

#include "cli/command.h"

namespace cli {

extern const Command kWriteCommand;
extern const Command kReadCommand;
extern const Command kListCommand;
extern const Command kImportCommand;
extern const Command kExportCommand;
extern const Command kDeleteCommand;
extern const Command kCopyCommand;
extern const Command kRenameCommand;
extern const Command kMkdirCommand;
extern const Command kExistsCommand;
extern const Command kInfoCommand;
extern const Command kMountCommand;
extern const Command kCheckCommand;
extern const Command kCompactCommand;

// Copies the entries words[0] names to words[1], as copy does; with move
// deletes each source once its copy is whole (rename). Returns the exit
// code.
int CopyEntries(Session& session, const Words& words, bool move);

}  // namespace cli

#endif  // VUVOROZO_CLI_COMMANDS_COMMANDS_H_
