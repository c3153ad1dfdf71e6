// vuvorozo rename FROM TO: the entries FROM names moved to TO, each copied
// as copy does (copy.cc), then deleted once its copy is committed whole.

#include "cli/command_support.h"
#include "cli/commands/commands.h"

namespace cli {
namespace {

int RunRename(Session& session, const Words& words, const Settings&) {
  return CopyEntries(session, words, true);
}

}  // namespace

constexpr Flag kRenameFlags[] = {LevelFlag()};

const Command kRenameCommand = {
    .name = "rename",
    .usage = "rename [--level N] FROM TO",
    .summary = "moves entries: a copy, then FROM deleted",
    .flags = kRenameFlags,
    .arguments = {.words = {Word::kEntry, Word::kEntry}},
    .use = StoreUse::kChange,
    .help = R"(
Moves the entry FROM to TO as copy does, then deletes FROM once the copy
is whole. An entry is never moved onto itself.
)",
    .run = RunRename,
};

}  // namespace cli
