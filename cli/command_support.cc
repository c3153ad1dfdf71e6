// Steps every command shares: usage errors, summaries, naming a library and
// reporting the store's failures, assigning a name, parsing the user's
// options.

#include "cli/command_support.h"

#include <cstdio>

#include "cli/option_text.h"
#include "cli/patterns.h"
#include "cli/records.h"
#include "cli/report.h"
#include "refhost/host/host.h"

namespace cli {

MadeCatalog::MadeCatalog(Session& session, std::string_view name)
    : session_(session) {
  NameLevels levels = SplitLevels(name);
  if (levels.count < 2 || !refhost::CheckLibref(levels.libref).ok()) return;
  libref_ = refhost::LibrefKey(levels.libref);
  catalog_ = Upper(levels.catalog);
  absent_ = session.host().store()->FindCatalog(libref_, catalog_).IsNotFound();
}

void MadeCatalog::RemoveIfMade() {
  if (!absent_) return;
  absent_ = false;
  // The store refuses a catalog that holds entries: only an empty one goes.
  if (session_.host().store()->DeleteCatalog(libref_, catalog_, false).ok()) {
    PrintDetail("removed the catalog " + Printable(libref_ + "." + catalog_) +
                " it had made, which is empty");
  }
}

int UsageError(const std::string& text) {
  PrintError(text + "\nTry 'vuvorozo help " + CurrentCommand() + "'.");
  return kExitUsage;
}

int LibraryArgument(const Words& words, std::string* libref) {
  if (words.size() != 1) {
    return UsageError(words.empty() ? "a libref is needed"
                                    : "one libref and nothing else is taken");
  }
  if (!refhost::CheckLibref(words[0]).ok()) {
    return UsageError(Printable(words[0]) + ": not a libref (" + kLibrefRule +
                      ")");
  }
  *libref = refhost::LibrefKey(words[0]);
  return kExitOk;
}

int StoreFailure(Session& session, const std::string& what,
                 const refhost::StoreStatus& status) {
  if (status.IsNotFound() && session.folder_absent()) {
    PrintError(session.AbsentFolder());
    return kExitFailed;
  }
  // A store's account that names the place already is not prefixed again.
  std::string explained = session.Explain(status);
  if (status.IsNotFound()) explained += session.NearMiss(what);
  if (explained.starts_with(Printable(what) + ": ")) {
    PrintError(explained);
  } else {
    PrintError(Printable(what) + ": " + explained);
  }
  return ExitCodeOf(ReasonOf(status));
}

void PrintSummary(const Tally& tally, Noun met, Noun made) {
  // A command that failed before it met anything has said why; a line of
  // noughts would only hide that.
  if (tally.failed && tally.total == 0) return;
  double seconds = std::chrono::duration<double>(
                       std::chrono::steady_clock::now() - tally.start)
                       .count();
  auto count = [](int64_t n, Noun noun) {
    return std::to_string(n) + " " + (n == 1 ? noun.one : noun.other);
  };
  std::string line = count(static_cast<int64_t>(tally.total), met) + ": " +
                     count(tally.moved, made) + " written";
  if (tally.unchanged != 0) {
    line += ", " + std::to_string(tally.unchanged) + " unchanged";
  }
  if (tally.deleted != 0) {
    line += ", " + std::to_string(tally.deleted) + " deleted";
  }
  if (tally.skipped != 0) {
    line += ", " + std::to_string(tally.skipped) + " skipped";
  }
  char tail[64];
  std::snprintf(tail, sizeof tail, ", %lld bytes, %.2f s",
                static_cast<long long>(tally.bytes), seconds);
  PrintResult(line + tail);
}

bool AssignName(Session& session, Fileref& fileref, const std::string& name,
                OptionBlock* options) {
  // The host splits the name (znamdiv) when the module assigns it, and a
  // name it cannot split arrives as no levels at all, which the module can
  // only call "not an entry". Saying what is wrong with it is the host's
  // part.
  name_part parts[4];
  name_part* part_addresses[4] = {&parts[0], &parts[1], &parts[2], &parts[3]};
  int32_t levels = 0;
  refhost::SplitName(name, &levels, part_addresses);
  if (levels == 0) {
    PrintError(Printable(name) +
               ": not a name the host can split: one to four levels "
               "separated by '.', each of 1 to 32 characters");
    return false;
  }
  // The module upper-cases the levels of an entry's name but hands the
  // libref and catalog of a two-level name to the host as they stand, and
  // the store keeps case: work.reports would be another catalog than the
  // one work.reports.jan is in. Names go to the module in upper case.
  int32_t st = fileref.Assign(Upper(name), options);
  if (st != 0) {
    session.Fail(Printable(name), st);
    return false;
  }
  return true;
}

bool ParseOptionWords(Session& session, const Words& words,
                      OptionBlock* options) {
  std::string offending;
  bool description_cut = false;
  int32_t st = options->Parse(words, &offending, &description_cut);
  std::string refusal;
  if (st != 0) {
    refusal = OptionRefusal(words, offending, session.Explain(st));
  } else if (const option_block* block = options->get()) {
    // The module takes any number; a length the program could not keep
    // sensibly is refused before anything is opened.
    if (block->lrecl < 0) {
      refusal = "lrecl=" + std::to_string(block->lrecl) +
                ": a record length is a positive number";
    } else if (block->lrecl > kMaxRecordLength) {
      refusal = "lrecl=" + std::to_string(block->lrecl) +
                ": longer than the longest record the program keeps (" +
                std::to_string(kMaxRecordLength) + " bytes)";
    } else if (block->blocksize < 0) {
      refusal = "blocksize=" + std::to_string(block->blocksize) +
                ": a block size is a positive number";
    }
  }
  if (!refusal.empty()) {
    PrintError(refusal);
    session.FlushIssued();
    return false;
  }
  if (description_cut) {
    PrintWarning("the description is longer than " +
                 std::to_string(kDescriptionBytes) +
                 " bytes and was cut after its last whole character within "
                 "them");
  }
  return true;
}

int StartEntryCommand(Session& session, const Words& words,
                      OptionBlock* options, Fileref* fileref, std::string* path,
                      int32_t* path_status) {
  if (words.empty()) {
    return UsageError("a name libref.catalog.entry[.type] is needed");
  }
  const std::string& name = words[0];
  if (!ParseOptionWords(session, Words(words.begin() + 1, words.end()),
                        options)) {
    return kExitUsage;
  }
  if (!AssignName(session, *fileref, name, nullptr)) return kExitFailed;
  *path = fileref->PathName(path_status);
  if (*path_status != 0) *path = name;
  return kExitOk;
}

int FinishBatch(const Tally& tally, const std::string& what) {
  if (tally.skipped != 0) {
    PrintError(std::to_string(tally.skipped) + " of " +
               std::to_string(tally.total) + " " + what);
  }
  if (tally.failed || tally.skipped != 0) return kExitFailed;
  return tally.truncated != 0 ? kExitTruncated : kExitOk;
}

GatheredCommits::GatheredCommits(Session& session, Tally& tally)
    : session_(session), tally_(tally) {
  session_.host().store()->BeginBatch();
}

GatheredCommits::~GatheredCommits() { End(); }

void GatheredCommits::Before() {
  before_ = session_.host().store()->ledger().count();
}

void GatheredCommits::Add(const std::string& what, Outcome outcome,
                          int64_t bytes, const std::string& detail) {
  const refhost::BatchLedger& ledger = session_.host().store()->ledger();
  bool committed = outcome == Outcome::kDone || outcome == Outcome::kTruncated;
  // A commit that left the count as it was was stored at once.
  int64_t commit = committed && ledger.count() != before_ ? ledger.count() : 0;
  waiting_.push_back({commit, what, outcome, bytes, detail, true});
  Settle();
}

void GatheredCommits::AddFolder(const std::string& what,
                                const std::string& detail) {
  const refhost::BatchLedger& ledger = session_.host().store()->ledger();
  int64_t commit = ledger.count() != before_ ? ledger.count() : 0;
  waiting_.push_back({commit, what, Outcome::kDone, 0, detail, false});
  Settle();
}

void GatheredCommits::End() {
  if (ended_) return;
  ended_ = true;
  // A batch that cannot be stored loses its commits: Settle names each.
  session_.host().store()->EndBatch();
  Settle();
}

void GatheredCommits::Settle() {
  const refhost::BatchLedger& ledger = session_.host().store()->ledger();
  while (!waiting_.empty()) {
    const Waiting& w = waiting_.front();
    refhost::BatchFate fate =
        w.commit == 0 ? refhost::BatchFate::kStored : ledger.FateOf(w.commit);
    if (fate == refhost::BatchFate::kPending) break;
    if (fate == refhost::BatchFate::kLost) {
      std::string why = "not stored: " + session_.Explain(ledger.last_loss());
      if (w.counted) {
        tally_.Add(Skipped(w.what, why));
      } else {
        PrintError(w.what + ": the folder is not kept: " + why);
        tally_.failed = true;
      }
    } else {
      if (!w.detail.empty()) PrintDetail(w.detail);
      if (w.counted) tally_.Add(w.outcome, w.bytes);
    }
    waiting_.pop_front();
  }
}

Outcome Skipped(std::string_view what, std::string_view reason) {
  PrintError(std::string(what) + ": skipped: " + std::string(reason));
  return Outcome::kSkipped;
}

// The directory open asks the host for update first, and a host creates an
// absent catalog for update: a catalog that is only looked at is tested
// for existence first, so that looking creates nothing.
bool OpenExistingCatalog(Session& session, Fileref& fileref,
                         Directory& directory, const std::string& name,
                         OptionBlock* options) {
  if (!AssignName(session, fileref, name, options)) return false;
  name_part parts[4];
  name_part* addresses[4] = {&parts[0], &parts[1], &parts[2], &parts[3]};
  int32_t levels = 0;
  refhost::SplitName(name, &levels, addresses);
  if (levels == 2) {
    int32_t st = fileref.Exists();
    if (st != 0) {
      session.Fail(Printable(name), st, name);
      return false;
    }
  }
  // Any other name is the module's to refuse.
  int32_t st = directory.Open(fileref);
  if (st != 0) {
    session.Fail(Printable(name), st, name);
    return false;
  }
  return true;
}

}  // namespace cli
