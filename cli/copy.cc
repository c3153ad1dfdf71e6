// vuvorozo copy FROM TO and vuvorozo rename FROM TO: entries copied record
// by record through the routine vector (the source open for input, the
// target for output with a record length that holds the source's longest
// record), keeping type, description and host attributes, within a
// catalog or across catalogs and libraries. A rename is a copy whose
// source is deleted once the copy is committed whole.

#include <algorithm>

#include "cli/commands.h"
#include "cli/option_text.h"
#include "cli/patterns.h"
#include "cli/records.h"
#include "refhost/host/library_services.h"

namespace cli {
namespace {

// An entry to copy: its path name and what the host knows of it.
struct Source {
  std::string path;  // LIBREF.CATALOG.NAME.TYPE
  refhost::EntryInfo info;
};

// The entries FROM names: those a pattern matches, or the one entry.
bool Sources(Session& session, const std::string& from,
             std::vector<Source>* sources) {
  NameLevels levels = SplitLevels(from);
  if (IsPattern(levels.entry) || IsPattern(levels.type)) {
    std::vector<FoundEntry> found;
    if (!FindEntries(session, levels, &found)) return false;
    if (found.empty()) {
      PrintError(Printable(from) + ": no entry matches");
      return false;
    }
    for (FoundEntry& e : found) sources->push_back({e.path, e.info});
    return true;
  }
  Fileref fileref(session);
  if (!AssignName(session, fileref, from, nullptr)) return false;
  int32_t st;
  std::string path = fileref.PathName(&st);
  if (st == 0) st = fileref.Exists();
  if (st != 0) {
    session.Fail(Printable(path.empty() ? from : path), st);
    return false;
  }
  EntryKey key = KeyOfPath(path);
  Source source{path, {}};
  session.host().library()->FindEntry(key.libref, key.catalog, key.name,
                                      key.type, &source.info);
  sources->push_back(source);
  return true;
}

// Copies the records of source into the entry target (a path name with the
// source's type). Reports a failure and returns false; the target is then
// as it was.
bool CopyEntry(Session& session, const Source& source,
               const std::string& target) {
  std::string what = Printable(source.path) + " -> " + Printable(target);
  Fileref in(session);
  if (!AssignName(session, in, source.path, nullptr)) return false;
  OpenEntry reader(session);
  int32_t st = reader.Open(in, KeyOfPath(source.path), kOpenInput,
                           kInputRecordLength, nullptr);
  if (st != 0) {
    session.Fail(Printable(source.path), st);
    return false;
  }
  OptionBlock options(session);
  if (!source.info.description.empty()) {
    std::string offending;
    bool cut = false;
    st = options.Parse({"desc=" + Quote(source.info.description)}, &offending,
                       &cut);
    if (st != 0) {
      session.Fail(what + ": the description", st);
      return false;
    }
  }
  Fileref out(session);
  if (!AssignName(session, out, target, nullptr)) return false;
  EntryKey key = KeyOfPath(Upper(target));
  OpenEntry writer(session);
  st = writer.Open(out, key, kOpenOutput,
                   RequestLength(std::max(reader.record_length(), 1), key.type,
                                 RecordLayout()),
                   options.get() != nullptr ? &options : nullptr);
  if (st != 0) {
    session.Fail(Printable(target), st);
    return false;
  }
  int64_t records = 0;
  while (true) {
    char* data = nullptr;
    int32_t length = 0;
    st = reader.vector()->read(reader.handle(), &data, &length, nullptr);
    if (st == kStatusEndOfFile) {
      st = 0;
      break;
    }
    // A record that does not come whole, or does not go whole, would make
    // the copy differ: it is no copy.
    if (st != 0) break;
    st =
        writer.vector()->write(writer.handle(), data, std::max(length, 0), ' ');
    if (st != 0) break;
    Progress::AddBytes(length);
    ++records;
  }
  if (st != 0) {
    writer.Discard();
    session.Fail(what + ": record " + std::to_string(records + 1) +
                     ": nothing was copied",
                 st);
    return false;
  }
  writer.SetAttributes(source.info.host_attributes);
  st = writer.Close();
  if (st != 0) {
    session.Fail(Printable(target), st);
    return false;
  }
  reader.Close();
  PrintDetail(what + " (" + std::to_string(records) +
              (records == 1 ? " record)" : " records)"));
  return true;
}

bool DeleteSource(Session& session, const Source& source) {
  Fileref fileref(session);
  if (!AssignName(session, fileref, source.path, nullptr)) return false;
  int32_t st = fileref.Delete();
  if (st != 0) {
    session.Fail(Printable(source.path) + ": copied, but not deleted", st);
    return false;
  }
  return true;
}

}  // namespace

int RunCopy(Session& session, const Words& words, bool move) {
  if (words.size() != 2) {
    return UsageError(CurrentCommand() + " takes FROM and TO");
  }
  const std::string& from = words[0];
  const std::string& to = words[1];
  NameLevels source_levels = SplitLevels(from);
  NameLevels target = SplitLevels(to);
  if (source_levels.count < 3) {
    return UsageError(Printable(from) +
                      ": FROM names an entry, libref.catalog.entry[.type], "
                      "or a pattern of entries");
  }
  if (target.count < 2 || IsPattern(to)) {
    return UsageError(Printable(to) +
                      ": TO names a catalog, libref.catalog, or an entry, "
                      "libref.catalog.entry");
  }
  std::vector<Source> sources;
  if (!Sources(session, from, &sources)) return kExitFailed;
  if (target.count > 2 && sources.size() > 1) {
    return UsageError(Printable(from) + " matches " +
                      std::to_string(sources.size()) +
                      " entries: TO names a catalog for them");
  }
  Progress::Begin(CurrentCommand(), static_cast<int64_t>(sources.size()));
  bool failed = false;
  for (const Source& source : sources) {
    EntryKey key = KeyOfPath(source.path);
    std::string name = target.count == 2 ? key.name : target.entry;
    if (target.count == 4 && Upper(target.type) != key.type) {
      PrintError(Printable(to) + ": the copy keeps the type " +
                 Printable(key.type) + " of " + Printable(source.path));
      failed = true;
      continue;
    }
    std::string path = Upper(target.Catalog() + "." + name) + "." + key.type;
    if (path == source.path) {
      PrintError(Printable(source.path) + ": is the entry itself");
      failed = true;
      continue;
    }
    bool copied = CopyEntry(session, source, path);
    if (copied && move) copied = DeleteSource(session, source);
    failed |= !copied;
    Progress::ItemDone();
  }
  return failed ? kExitFailed : kExitOk;
}

}  // namespace cli
