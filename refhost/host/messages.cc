// The host's message service: the texts of the module's message group 566
// and of host messages 4156 and 4157, the substitutions that wrmksub sets,
// the log of issued messages, and plain sentences for the statuses the
// module returns, so that a person never sees a bare status number alone.

#include <cstdio>
#include <cstring>
#include <string>

#include "refhost/host/host.h"
#include "refhost/host/library_services.h"

namespace refhost {
namespace {

struct MessageText {
  int32_t group;
  int32_t number;
  const char* text;
};

constexpr MessageText kMessages[] = {
    {566, 1,
     "This entry type cannot be written. Entries of the types SOURCE, LOG, "
     "OUTPUT, HTML, GIF, JPEG, CSS, WML, XML, XSL, RTF, PDF, PS, CSV, JS, VBS, "
     "JAR and CATAMS can be written."},
    {566, 2,
     "The fileref does not name a catalog. A catalog is opened as a "
     "directory through a two-level name, libref.catalog."},
    {566, 4,
     "The fileref does not name a catalog entry. An entry needs a name of "
     "three or four levels, libref.catalog.entry or "
     "libref.catalog.entry.type."},
    {566, 5,
     "The name does not resolve to a catalog entry. The libref and the entry "
     "type hold at most 8 characters, a catalog name is required, and an "
     "entry name holds at most 32 characters."},
    {566, 48,
     "A member name can only be given with a fileref that names a catalog "
     "(libref.catalog)."},
    {0, 4156, "Notice from the %2 access method (first notice word, code %1)."},
    {0, 4157,
     "Notice from the %2 access method (second notice word, code %1)."},
};

// A substitution as a person reads it: a 4-byte value is an integer, text
// loses its NUL and trailing blanks.
std::string Readable(const std::string& value, bool integer) {
  if (integer && value.size() == 4) {
    int32_t n;
    std::memcpy(&n, value.data(), 4);
    return std::to_string(n);
  }
  std::string s = value.substr(0, value.find('\0'));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string Hex(int32_t status) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<uint32_t>(status));
  return buffer;
}

}  // namespace

std::string Host::MessageText(int32_t group, int32_t number) {
  for (const auto& m : kMessages) {
    if (m.number == number && (m.group == group || m.group == 0)) return m.text;
  }
  return "Message " + std::to_string(number) + " of group " +
         std::to_string(group) + ".";
}

void Host::SetSubstitutions(std::vector<std::string> values) {
  subs_ = std::move(values);
}

void Host::ClearMessages() {
  subs_.clear();
  issued_.clear();
}

void Host::Issue(int32_t token, int32_t number) {
  std::string text = MessageText(0, number);
  for (size_t i = 0; i < subs_.size(); ++i) {
    std::string mark = "%" + std::to_string(i + 1);
    size_t at = text.find(mark);
    if (at != std::string::npos) {
      text.replace(at, mark.size(), Readable(subs_[i], i == 0));
    }
  }
  issued_.push_back({token, number, text, subs_});
}

std::string Host::RefusalText() const {
  if (subs_.empty()) return "";
  return Readable(subs_[0], false);
}

std::string Host::Explain(int32_t status) const {
  auto sub = [this](size_t i) {
    return i < subs_.size() ? Readable(subs_[i], false) : std::string();
  };
  switch (status) {
    case kStatusOk:
      return "Done.";
    case kStatusEndOfFile:
      return "End of the entry.";
    case kStatusEndOfList:
      return "End of the list.";
    case kStatusTruncated:
      return "A record was longer than the record length and was cut.";
    case kStatusNoMemory:
      return "Out of memory.";
    case kStatusRefused:
      return subs_.empty() ? "Refused." : RefusalText();
    case kStatusNotSupported:
      return "The access method does not support this operation.";
    case kStatusNoRecordBuffer:
      return "The entry was opened without a record length, so no record can "
             "be moved.";
    case kStatusNotAssigned:
      return subs_.empty() ? "The fileref is not assigned."
                           : "Fileref " + sub(0) + " is not assigned.";
    case kStatusNoSuchEntry:
      return subs_.size() >= 2 ? "No entry of type " + sub(1) +
                                     " by that name exists in the catalog."
                               : "The entry does not exist.";
    case kStatusBadCopySize:
      return "A held copy of an option block has the wrong size.";
    case kStatusUnknownOption:
      return "Option not recognised. Options are LRECL=n, BLOCKSIZE=n, "
             "RECFM=V|F|P, MOD, ATTR, CATALOG and DESC='text'.";
    case kStatusMalformedOption:
      return "Option malformed: LRECL and BLOCKSIZE take a number, RECFM one "
             "of V, F or P, and DESC a quoted text.";
    case kStatusBadLength:
      return "A record length is out of range.";
    case kStatusNullHandle:
      return "No open entry or directory was given.";
    case kStatusBadTable:
      return "Translation table index out of range.";
    case kHostNoAccessMethod:
      return "The access method is not loaded.";
    case kHostNoMoreTokens:
      return "The option text ended where a value was expected.";
    case kHostBadToken:
      return "The option text has an unterminated quoted string.";
    case kHostNoSuchEntry:
      return "The entry does not exist.";
    case kLibNoSuchCatalog:
      return "The catalog does not exist.";
    case kLibBadRequest:
      return "The catalog cannot hold that name: a libref has 1 to 8 letters, "
             "digits or _ $ # @, catalog and entry names 1 to 32 bytes of "
             "UTF-8 "
             "text without control characters.";
    case kLibNotWritable:
      return "The entry is open for reading only.";
    case kLibRecordTooLong:
      return "A stored record is longer than the record length the entry was "
             "opened with.";
    case kLibMembersOpen:
    case kStatusMembersOpen:
      return "Members of the catalog are still open.";
    default:
      break;
  }
  if (host_no_such_entry(status)) return "No such entry.";
  if (host_end_of_data(status)) return "End of the entry.";
  if (host_no_more_entries(status)) return "End of the catalog.";
  if ((status & 0x80000000) != 0)
    return "Failed with status " + Hex(status) + ".";
  return "Completed with condition " + Hex(status) + ".";
}

}  // namespace refhost
