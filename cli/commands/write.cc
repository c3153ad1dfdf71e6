// vuvorozo write NAME [OPTIONS]: standard input becomes the entry's
// records. The entry is opened for output with the user's options in the
// open request; MOD among them makes the open an append, which continues
// the entry as its records already map to bytes.

#include <unistd.h>

#include <cstdio>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/files/attributes.h"
#include "cli/files/entry_types.h"
#include "cli/option_text.h"
#include "cli/records.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

using refhost::FileAttributes;
using refhost::RecordMapping;

int RunWrite(Session& session, const Words& given, const Settings&) {
  // '-' names standard input, which write reads anyway.
  Words words = given;
  if (!words.empty()) {
    std::erase(words, "-");
  }
  if (words.size() > 1 && !IsOptionWord(words[1])) {
    return UsageError("write takes one name; '" + Printable(words[1]) +
                      "' is no option");
  }
  OptionBlock options(session);
  Fileref fileref(session);
  std::string path;
  int32_t st;
  int exit = StartEntryCommand(session, words, &options, &fileref, &path, &st);
  if (exit != kExitOk) return exit;
  // A name the module cannot resolve fails the open below with the fitting
  // refusal, so only a resolved name's type is looked at here.
  EntryKey key = st == 0 ? KeyOfPath(path) : EntryKey();
  RecordLayout layout = RecordLayout::Of(options.get());
  bool exact = KeepsBytes(key.type, layout);

  // All of the input comes first (whole, or in a temporary file when
  // large): an open for output replaces the entry at close, so input that
  // fails half way must not reach it.
  Content content;
  std::string error;
  if (isatty(STDIN_FILENO) != 1) Progress::Begin("write", 0);
  if (!content.Load(0, &error)) {
    PrintError("standard input: cannot be read: " + error);
    return kExitFailed;
  }

  // An append goes on as the entry's records map to bytes.
  bool appending = false;
  FileAttributes old;
  bool has_old = false;
  // What the entry keeps; looked at again once the open for output holds
  // the entry, as another writer may have appended meanwhile.
  auto look = [&] {
    refhost::EntryInfo info;
    appending =
        session.host()
            .library_services()
            ->FindEntry(key.libref, key.catalog, key.name, key.type, &info)
            .ok();
    has_old =
        appending && refhost::DecodeFileAttributes(info.host_attributes, &old);
  };
  if (layout.append && st == 0) look();
  EntryStream entry(session);
  if (appending) {
    // The records go on in the record format the entry has: records with
    // a carriage-control byte and records without one would make the
    // entry unreadable as either.
    int32_t kept_format = has_old ? old.record_format : 0;
    if (layout.recfm == 0) {
      layout.recfm = kept_format;
    } else if ((layout.recfm & kRecfmCarriage) !=
               (kept_format & kRecfmCarriage)) {
      PrintError(
          Printable(path) + ": its records have " +
          ((kept_format & kRecfmCarriage) != 0 ? "a" : "no") +
          " carriage-control byte; append with " +
          ((kept_format & kRecfmCarriage) != 0 ? "recfm=p" : "no recfm=p") +
          ", or write the whole of it again");
      return kExitFailed;
    }
    entry.UseRecordFormat(layout.recfm);
    exact = KeepsBytes(key.type, layout);
  }
  WritePlan plan;
  std::optional<RecordMapping> kept;
  if (appending) kept = MappingOf(has_old ? &old : nullptr, key.type);
  if (!PlanWrite(content, key.type, layout, kept, &plan, &error)) {
    PrintError(Printable(path) + ": " + error);
    return kExitFailed;
  }

  MadeCatalog made(session, path);
  st = entry.Open(fileref, key, kOpenOutput, plan.request_length, &options);
  if (st != 0) {
    made.RemoveIfMade();
    return session.Fail(Printable(path), st);
  }
  if (appending) {
    // The records go after what the entry holds now: its size and last
    // newline are taken from that, and its layout must still be the one
    // planned for.
    bool planned_old = has_old;
    FileAttributes planned = old;
    look();
    if (!appending || has_old != planned_old ||
        old.record_format != planned.record_format ||
        MappingOf(has_old ? &old : nullptr, key.type) != *kept) {
      entry.Discard();
      PrintError(Printable(path) +
                 ": another process rewrote the entry meanwhile; the entry "
                 "is as that process left it, append again");
      return kExitFailed;
    }
  }
  refhost::ContentHash hash;
  Transfer transfer =
      WriteRecords(entry, content, plan.mapping, plan.longest, &hash);
  if (!transfer.whole()) {
    entry.Discard();
    made.RemoveIfMade();
    std::string what =
        Printable(path) + ": record " + std::to_string(transfer.records);
    if (transfer.status != 0) {
      session.Fail(what, transfer.status);
    } else {
      PrintError(what + ": " + transfer.InputProblem() +
                 "; the entry is as it was");
    }
    return kExitFailed;
  }
  FileAttributes attributes;
  if (appending) {
    attributes = AfterAppend(has_old ? &old : nullptr, plan, transfer, exact);
  } else {
    NoteWritten(plan, transfer, exact, hash.Value(), &attributes);
  }
  entry.SetAttributes(refhost::EncodeFileAttributes(attributes));
  int32_t close = entry.Close();
  if (close != 0) {
    made.RemoveIfMade();
    return session.Fail(Printable(path), close);
  }
  WarnTruncated(path, transfer, entry.record_length(), true);
  return transfer.truncated != 0 ? kExitTruncated : kExitOk;
}

}  // namespace

constexpr Flag kWriteFlags[] = {LevelFlag()};

const Command kWriteCommand = {
    .name = "write",
    .usage = "write NAME [OPTIONS] [--level N] [-]",
    .summary = "standard input becomes the entry's records",
    .flags = kWriteFlags,
    .options = kWriteOptions,
    .arguments = {.words = {Word::kEntry}},
    .use = StoreUse::kCreate,
    .help = R"(
Reads standard input ('-' may name it) and stores it as the entry,
replacing it (with mod: appending to it). For text types each line is a
record, without its newline; whether the last line had one is kept with
the entry, so read gives back exactly the bytes written. For the binary
types GIF, JPEG, PDF and JAR the input is cut into records of the record
length (lrecl=N, else 1024 bytes), and so is text with a line longer than
1048576 bytes. Types that can be written: CATAMS, SOURCE (also written
KOR), LOG, OUTPUT, HTML, GIF, JPEG, CSS, WML, XML, XSL, RTF, PDF, PS, CSV,
JS, VBS, JAR.

Options: lrecl=N recfm=V|F|P desc='text' mod (and blocksize=N attr catalog).
Without lrecl the record length holds the longest line, for a new entry and
an append alike: nothing is cut. With lrecl=N (at most 1048576) longer
lines are cut, with a warning and exit code 3. recfm=F pads the records of
SOURCE, LOG and OUTPUT entries with blanks, and attr hands their lead byte
to the reader: the bytes read back then differ from those written.

Example: vuvorozo write work.reports.jan desc='Monthly report' < jan.txt
)",
    .run = RunWrite,
};

}  // namespace cli
