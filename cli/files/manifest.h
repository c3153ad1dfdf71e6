// The manifest export writes in each folder it fills (kManifestName): one
// line a file, with the entry it came from and the entry's description, so
// that a person can see what became of each entry, and an import of the
// folder gives the descriptions back.
//
//   # vuvorozo manifest 1: file, entry, description; tab-separated
//   jan.txt<TAB>WORK.REPORTS.JAN.CATAMS<TAB>Monthly report
//
// In a field, a tab, newline, carriage return or backslash is written \t,
// \n, \r or \\, any other control byte \xHH, and a '#' that starts a
// file name \x23. Lines starting with '#' are comments. A person may edit
// the file: an import takes each listed file's description (unless the
// import gives desc=) and reads nothing else.

#ifndef VUVOROZO_CLI_FILES_MANIFEST_H_
#define VUVOROZO_CLI_FILES_MANIFEST_H_

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct ManifestLine {
  std::string file;         // file name in the folder
  std::string entry;        // LIBREF.CATALOG.NAME.TYPE it was exported from
  std::string description;  // the entry's description; may be empty
};

std::string FormatManifest(const std::vector<ManifestLine>& lines);
// The same a line at a time: the heading, then each line appended.
std::string ManifestHeading();
void AppendManifestLine(const ManifestLine& line, std::string* out);

// The lines of a manifest by file name. A line that does not parse (too few
// fields, a bad escape) is left out and counted in *bad.
std::map<std::string, ManifestLine> ParseManifest(std::string_view text,
                                                  int* bad);

// Reads the manifest of the open folder into *lines (empty when there is
// none). false with *error when one is there and cannot be read.
bool ReadManifest(int folder, std::map<std::string, ManifestLine>* lines,
                  int* bad, std::string* error);

// Writes the manifest into the open folder, replacing an earlier one
// whole. false with *error.
bool WriteManifest(int folder, const std::vector<ManifestLine>& lines,
                   std::string* error);
// The same with the text of the lines (AppendManifestLine) given in parts
// by next, until it returns false.
bool WriteManifest(int folder,
                   const std::function<bool(std::string* text)>& next,
                   std::string* error);

// Removes the manifest of the open folder, if there is one. false with
// *error.
bool RemoveManifest(int folder, std::string* error);

}  // namespace cli

#endif  // VUVOROZO_CLI_FILES_MANIFEST_H_
