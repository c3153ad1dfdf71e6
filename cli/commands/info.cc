// vuvorozo info NAME [OPTIONS]: what the module reports of an entry opened
// for input (path name, record format, record length), and the entry's
// description as the host knows it from a walk of its catalog.

#include <algorithm>
#include <cstdio>

#include "cli/command_support.h"
#include "cli/commands/commands.h"
#include "cli/option_text.h"
#include "cli/report.h"

namespace cli {
namespace {

std::string RecordFormat(int32_t recfm) {
  std::string text =
      (recfm & kRecfmFixed) != 0 ? "F (fixed length)" : "V (variable length)";
  if ((recfm & kRecfmCarriage) != 0) text += ", carriage control";
  return text;
}

// The description of the entry named by path (LIBREF.CATALOG.ENTRY.TYPE),
// from a walk of its catalog; empty when it has none.
std::string DescriptionOf(Session& session, const std::string& path) {
  size_t first = path.find('.');
  size_t second =
      first == std::string::npos ? first : path.find('.', first + 1);
  size_t third =
      second == std::string::npos ? second : path.find('.', second + 1);
  if (third == std::string::npos) return "";
  std::string catalog = path.substr(0, second);
  std::string entry_name = path.substr(second + 1, third - second - 1);
  std::string entry_type = path.substr(third + 1);
  Fileref fileref(session);
  if (fileref.Assign(catalog, nullptr) != 0) return "";
  Directory directory(session);
  if (directory.Open(fileref) != 0) return "";
  std::string found, name, type;
  refhost::EntryInfo info;
  // The walk runs to its end so that the module closes its stream.
  while (directory.Next(&name, &type, &info) == 0) {
    if (name == entry_name && type == entry_type) found = info.description;
  }
  return found;
}

int RunInfo(Session& session, const Words& words, const Settings& settings) {
  bool json = settings.json;
  if (words.size() > 1 && !IsOptionWord(words[1])) {
    return UsageError("info takes one name");
  }
  OptionBlock options(session);
  Fileref fileref(session);
  std::string path;
  int32_t path_status;
  int exit = StartEntryCommand(session, words, &options, &fileref, &path,
                               &path_status);
  if (exit != kExitOk) return exit;
  info_reply reply = {};
  {
    // No record moves here, so the entry's own record length is asked for
    // and reported as it stands.
    EntryStream entry(session);
    int32_t st = entry.Open(fileref, KeyOfPath(path), kOpenInput, 0, &options);
    if (st != 0) {
      return session.Fail(Printable(path), st, words[0]);
    }
    st = entry.Info(kInfoAll, &reply);
    if (st != 0) {
      return session.Fail(Printable(path), st);
    }
    st = entry.Close();
    if (st != 0) {
      return session.Fail(Printable(path), st);
    }
  }
  std::string description = DescriptionOf(session, path);
  if (json) {
    std::printf(
        "{\"path\": %s, \"recfm\": \"%s\", \"carriage_control\": %s, "
        "\"lrecl\": %d, \"description\": %s}\n",
        JsonString(path).c_str(), (reply.recfm & kRecfmFixed) != 0 ? "F" : "V",
        (reply.recfm & kRecfmCarriage) != 0 ? "true" : "false",
        reply.data_length, JsonString(description).c_str());
    return kExitOk;
  }
  std::printf("Path name:      %s\n", Printable(path).c_str());
  std::printf("Record format:  %s\n", RecordFormat(reply.recfm).c_str());
  std::printf("Record length:  %d\n", reply.data_length);
  if (!description.empty()) {
    std::printf("Description:    %s\n", Printable(description).c_str());
  }
  return kExitOk;
}

constexpr Flag kInfoFlags[] = {
    JsonFlag(),
};

}  // namespace

const Command kInfoCommand = {
    .name = "info",
    .usage = "info NAME [OPTIONS] [--json]",
    .summary = "path name, record format, record length, description",
    .flags = kInfoFlags,
    .options = kReadOptions,
    .arguments = {.words = {Word::kEntry}},
    .use = StoreUse::kRead,
    .help = R"(
Opens the entry for input and prints its path name, record format (V
variable, F fixed, with or without carriage control), record length and,
when it has one, its description. An entry keeps its records and
description only: the record format and length are those the module
settles for this open, from the entry's longest record and the options
given (recfm=, lrecl=).

--json prints one object: {"path": "WORK.REPORTS.JAN.CATAMS", "recfm":
"V", "carriage_control": false, "lrecl": 10, "description": ""}.
)",
    .run = RunInfo,
};

}  // namespace cli
