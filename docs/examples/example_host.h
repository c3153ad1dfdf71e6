// The example host: what its two files share. example_services.cc is the
// host itself (the GCB, its heaps, every service the module calls and the
// catalog library services over an in-memory store of its own);
// example_host.cc loads the module and drives it through a whole session.
//
// Both compile against the installed contract alone:
//
//   g++ -m32 -std=c++17 -I<prefix>/include -o example_host
//       example_host.cc example_services.cc -ldl
//   ./example_host <prefix>/lib/vuvorozo/vuvorozo.so

#ifndef VUVOROZO_EXAMPLE_HOST_H_
#define VUVOROZO_EXAMPLE_HOST_H_

#include <cstdint>
#include <string>
#include <vector>

#include "vuvorozo/vuvorozo.h"

namespace example {

// ---------------------------------------------------------------------------
// Statuses of this host. Three values are the module's to interpret (after
// the mask 0x803FFFFF, bit 31 included): end of data on a read and the end
// of a directory walk are positive, "no such entry" is negative. The rest
// are this host's own; the module passes them on as they came.

inline constexpr int32_t kEndOfData = 0x0001C00A;      // ylmread
inline constexpr int32_t kNoMoreEntries = 0x0001C00F;  // yldread
inline constexpr int32_t kNoSuchEntry = (int32_t)0x8001C006;

inline constexpr int32_t kNoSuchLibrary = (int32_t)0x80E00001;
inline constexpr int32_t kNoSuchCatalog = (int32_t)0x80E00002;
inline constexpr int32_t kBadHandle = (int32_t)0x80E00003;
inline constexpr int32_t kBadRequest = (int32_t)0x80E00004;
inline constexpr int32_t kNotWritable = (int32_t)0x80E00005;
inline constexpr int32_t kBadPosition = (int32_t)0x80E00006;
inline constexpr int32_t kMembersOpen = (int32_t)0x80E00007;
inline constexpr int32_t kStoreFailed = (int32_t)0x80E00008;
inline constexpr int32_t kNoMoreTokens = (int32_t)0x80E00009;
inline constexpr int32_t kBadToken = (int32_t)0x80E0000A;
inline constexpr int32_t kBadName = (int32_t)0x80E0000B;
inline constexpr int32_t kNoAccessMethod = (int32_t)0x80E0000C;
inline constexpr int32_t kUnexpectedCall = (int32_t)0x80E0000D;
inline constexpr int32_t kRecordCut = 0x00E0000E;  // a warning: data was cut

// ---------------------------------------------------------------------------
// Starting the host.

// Builds the GCB, its heaps and translation tables, and fills the service
// vectors: every service the module calls, and a routine that counts the
// call for every other slot.
void StartHost();
gcb_record* Gcb();
// Registers the module's AMEC block under its access-method name, for
// yxam2am.
void RegisterAccessMethod(amec_block* amec);
// The libraries (librefs) this host has. Catalogs come and go in them.
void AddLibrary(const std::string& libref);

// ---------------------------------------------------------------------------
// Option text: the text a user writes after a fileref, tokenized for yxatok.
// NewOptionSource returns the source word to pass to slot 30.

int32_t NewOptionSource(const std::string& text);
bool OptionSourceFinished(int32_t source);
bool OptionRejected(int32_t source);  // the module set the error mark
void DropOptionSources();

// ---------------------------------------------------------------------------
// Looking into the host, for the checks of the session.

// What the host holds now. At the end of a session everything but the
// AMEC block and its routine vector must have been given back.
struct Balance {
  int module_blocks = 0;     // live blocks of the module heap
  int temporary_blocks = 0;  // live blocks of the temporary heap
  int bad_releases = 0;      // blocks released twice or never handed out
  int libraries = 0;         // open library handles
  int members = 0;           // open member handles
  int ended_members = 0;     // members ended by a failed close, not closed
  int streams = 0;           // open directory streams
  int items = 0;             // registered information items
  int unexpected_calls = 0;  // calls of slots the module has no business in
};
Balance CurrentBalance();

bool CatalogExists(const std::string& libref, const std::string& catalog);
// The records of an entry, oldest first; empty when there is none.
std::vector<std::string> StoredRecords(const std::string& libref,
                                       const std::string& catalog,
                                       const std::string& name,
                                       const std::string& type);
// The next commit of a writer's content fails, as a full disk would.
void FailNextCommit();
// The substitutions the module set last, each as its bytes.
const std::vector<std::string>& Substitutions();

}  // namespace example

#endif  // VUVOROZO_EXAMPLE_HOST_H_
