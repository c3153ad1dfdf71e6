// The specs of the program's commands, one a file of this folder; the
// table (command_table.cc) lists them.

#ifndef VUVOROZO_CLI_COMMANDS_COMMANDS_H_
#define VUVOROZO_CLI_COMMANDS_COMMANDS_H_

#include "cli/command.h"

namespace cli {

extern const CommandSpec kWriteCommand;
extern const CommandSpec kReadCommand;
extern const CommandSpec kListCommand;
extern const CommandSpec kImportCommand;
extern const CommandSpec kExportCommand;
extern const CommandSpec kDeleteCommand;
extern const CommandSpec kCopyCommand;
extern const CommandSpec kRenameCommand;
extern const CommandSpec kMkdirCommand;
extern const CommandSpec kExistsCommand;
extern const CommandSpec kInfoCommand;
extern const CommandSpec kMountCommand;
extern const CommandSpec kCheckCommand;
extern const CommandSpec kCompactCommand;

// Copies the entries words[0] names to words[1], as copy does; with move
// deletes each source once its copy is whole (rename). Returns the exit
// code.
int CopyEntries(Session& session, const Words& words, bool move);

}  // namespace cli

#endif  // VUVOROZO_CLI_COMMANDS_COMMANDS_H_
