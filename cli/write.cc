// vuvorozo write NAME [OPTIONS]: standard input becomes the entry's
// records. The entry is opened for output with the user's options in the
// open request; MOD among them makes the open an append, which continues
// the entry as its records already map to bytes.

#include <unistd.h>

#include <cstdio>

#include "cli/commands.h"
#include "cli/entry_types.h"
#include "cli/option_text.h"
#include "cli/records.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

using refhost::FileAttributes;
using refhost::RecordMapping;

// The attributes an entry has after an append of transfer's records to an
// entry that had old (when it had attributes) and was not empty. The file
// it came from no longer matches it, so what tells a file unchanged goes.
FileAttributes AfterAppend(const FileAttributes* old, const WritePlan& plan,
                           const Transfer& transfer, bool exact) {
  FileAttributes after = old != nullptr ? *old : FileAttributes();
  after.modified_ns.reset();  // the store's time of the append stands
  after.content_hash.reset();
  after.changed_ns.reset();
  after.inode.reset();
  bool lines = plan.mapping == RecordMapping::kLines;
  after.records = plan.mapping;
  if (old == nullptr || !old->size || !exact) {
    after.size.reset();
  } else if (transfer.records > 0) {
    // A last line without its newline gets one when lines follow it.
    int64_t joint = lines && *old->size > 0 && !old->final_newline ? 1 : 0;
    after.size = *old->size + joint + transfer.bytes;
  }
  if (lines && transfer.records > 0) after.final_newline = plan.final_newline;
  return after;
}

}  // namespace

int RunWrite(Session& session, const Words& given) {
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
  if (layout.append && st == 0) {
    refhost::EntryInfo info;
    appending =
        session.host()
            .library()
            ->FindEntry(key.libref, key.catalog, key.name, key.type, &info)
            .ok();
    has_old =
        appending && refhost::DecodeFileAttributes(info.host_attributes, &old);
  }
  WritePlan plan;
  std::optional<RecordMapping> kept;
  if (appending) kept = MappingOf(has_old ? &old : nullptr, key.type);
  if (!PlanWrite(content, key.type, layout, kept, &plan, &error)) {
    PrintError(Printable(path) + ": " + error);
    return kExitFailed;
  }

  OpenEntry entry(session);
  st = entry.Open(fileref, key, kOpenOutput, plan.request_length, &options);
  if (st != 0) {
    session.Fail(Printable(path), st);
    return kExitFailed;
  }
  refhost::ContentHash hash;
  Transfer transfer =
      WriteRecords(entry, content, plan.mapping, plan.longest, &hash);
  if (!transfer.whole()) {
    entry.Discard();
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
    attributes.records = plan.mapping;
    attributes.final_newline = plan.final_newline;
    if (exact) attributes.size = transfer.bytes;
    attributes.content_hash = hash.Value();
  }
  entry.SetAttributes(refhost::EncodeFileAttributes(attributes));
  int32_t close = entry.Close();
  if (close != 0) {
    session.Fail(Printable(path), close);
    return kExitFailed;
  }
  WarnTruncated(path, transfer, entry.record_length(), true);
  return transfer.truncated != 0 ? kExitTruncated : kExitOk;
}

}  // namespace cli
