// vuvorozo read NAME... [OPTIONS] [-]: the entries' records on standard
// output, one entry after another, made into the bytes that were written:
// lines with their newlines (the last one only when the written text had
// it), or chunks back to back. A pattern reads each entry it matches.

#include <unistd.h>

#include <cstdio>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/files/entry_types.h"
#include "cli/option_text.h"
#include "cli/patterns.h"
#include "cli/records.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

// Reads the entry name to out. Returns the exit code of this entry.
int ReadOne(Session& session, const std::string& name,
            const Words& option_words, Output& out) {
  OptionBlock options(session);
  Fileref fileref(session);
  std::string path;
  int32_t st;
  Words words = {name};
  words.insert(words.end(), option_words.begin(), option_words.end());
  int exit = StartEntryCommand(session, words, &options, &fileref, &path, &st);
  if (exit != kExitOk) return exit;
  EntryKey key = st == 0 ? KeyOfPath(path) : EntryKey();
  refhost::FileAttributes attributes;
  bool known = false;
  refhost::EntryInfo info;
  if (st == 0 &&
      session.host()
          .library_services()
          ->FindEntry(key.libref, key.catalog, key.name, key.type, &info)
          .ok()) {
    known = refhost::DecodeFileAttributes(info.host_attributes, &attributes);
  }

  EntryStream entry(session);
  // The records are read as they were written, unless the user asks for
  // another record format.
  entry.UseRecordFormat(known ? attributes.record_format : 0);
  st = entry.Open(fileref, key, kOpenInput, kInputRecordLength, &options);
  if (st != 0) {
    return session.Fail(Printable(path), st, name);
  }
  // Read as written, the bytes are held to what the entry says of them.
  bool as_written = known && option_words.empty();
  Transfer transfer =
      ReadRecords(entry, MappingOf(known ? &attributes : nullptr, key.type),
                  attributes.final_newline, out,
                  as_written ? &attributes : nullptr, key.type);
  int32_t close = entry.Close();
  if (!out.Flush()) {
    PrintError("standard output: " + out.error());
    return kExitFailed;
  }
  if (transfer.status != 0) {
    return session.Fail(
        Printable(path) + ": record " + std::to_string(transfer.records + 1),
        transfer.status);
  }
  if (close != 0) {
    return session.Fail(Printable(path), close);
  }
  if (!transfer.damage.empty()) {
    PrintError(Printable(path) + ": " + transfer.damage);
    return kExitFailed;
  }
  WarnTruncated(path, transfer, entry.record_length(), false);
  return transfer.truncated != 0 ? kExitTruncated : kExitOk;
}

int RunRead(Session& session, const Words& words, const Settings&) {
  size_t options_at = OptionStart(words, 0);
  Words names(words.begin(), words.begin() + options_at);
  Words option_words(words.begin() + options_at, words.end());
  // '-' names standard output, where read writes anyway.
  std::erase(names, "-");
  if (names.empty()) {
    return UsageError("a name libref.catalog.entry[.type] is needed");
  }
  std::fflush(stdout);
  Output out(STDOUT_FILENO);
  // Records on the terminal would run through the progress line.
  if (isatty(STDOUT_FILENO) != 1) Progress::Begin("read", 0);
  int worst = kExitOk;
  auto note = [&worst](int code) {
    // Usage beats failure beats a cut, which beats done.
    if (code == kExitUsage || worst == kExitUsage) {
      worst = kExitUsage;
    } else if (code == kExitFailed || worst == kExitFailed) {
      worst = kExitFailed;
    } else if (code == kExitTruncated) {
      worst = kExitTruncated;
    }
  };
  for (const std::string& name : names) {
    NameLevels levels = SplitLevels(name);
    if (levels.count < 3 ||
        !(IsPattern(levels.entry) || IsPattern(levels.type))) {
      note(ReadOne(session, name, option_words, out));
    } else {
      std::vector<FoundEntry> found;
      if (!FindEntries(session, levels, &found)) {
        note(kExitFailed);
        continue;
      }
      if (found.empty()) {
        PrintError(Printable(name) + ": no entry matches");
        note(kExitFailed);
      }
      for (const FoundEntry& e : found) {
        note(ReadOne(session, e.path, option_words, out));
      }
    }
    if (worst == kExitUsage) break;
  }
  return worst;
}

}  // namespace

const Command kReadCommand = {
    .name = "read",
    .usage = "read NAME... [OPTIONS] [-]",
    .summary = "the entries' bytes on standard output, one after another",
    .options = kReadOptions,
    .arguments = {.words = {Word::kEntry}, .repeats = true},
    .use = StoreUse::kRead,
    .help = R"(
Writes each entry named to standard output ('-' may name it), one after
the other as cat does, as the bytes it was written or imported from: the
lines of a text entry with their newlines (the last one only when the text
had it), the records of a binary entry back to back. A pattern reads every
entry it matches, in name order. With lrecl=N records longer than N are
cut (a warning, exit code 3). An entry that cannot be read is named with
the reason; the others are still read, and the exit code is 1.
)",
    .run = RunRead,
};

}  // namespace cli
