// The program's host session and the owners of what commands take from the
// module. Every call into the module goes through refhost::Slots; the
// owners give back what they hold in reverse order of taking it, on every
// path, so the strict host never sees a fileref, handle or block left
// behind.

#include "cli/session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/data_folder.h"
#include "cli/near_names.h"
#include "cli/option_text.h"
#include "refhost/host/library_services.h"
#include "refhost/store/catalog_store.h"

namespace cli {
namespace {

constexpr char kAccessMethod[8] = {'V', 'U', 'V', 'O', 'R', 'O', 'Z', 'O'};
// The caller token the program passes; the module only hands it on.
constexpr int32_t kToken = 1;

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The directory of the running program, from /proc/self/exe.
std::string ProgramDirectory() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  std::string path(buffer, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace

bool MakeFolder(const std::string& path) {
  if (path.empty() || IsDirectory(path)) return !path.empty();
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    MakeFolder(path.substr(0, slash));
  }
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST ? IsDirectory(path)
                                                           : false;
}

std::string FindModule(const Settings& settings) {
  if (!settings.module_path.empty()) return settings.module_path;
  const char* env = std::getenv("VUVOROZO_MODULE");
  if (env != nullptr && *env != '\0') return env;
  std::string dir = ProgramDirectory();
  std::vector<std::string> candidates;
  if (!dir.empty()) {
    candidates.push_back(dir + "/vuvorozo.so");
    candidates.push_back(dir + "/../lib/vuvorozo/vuvorozo.so");
  }
  candidates.push_back(VUVOROZO_INSTALL_MODULE);
  // Last the module of the build tree the program came from, so that a
  // program copied elsewhere during development still finds one.
  candidates.push_back(VUVOROZO_BUILD_MODULE);
  for (const std::string& path : candidates) {
    if (IsFile(path)) return path;
  }
  return candidates.front();
}

std::string FindDataFolder(const Settings& settings) {
  if (!settings.data_folder.empty()) return settings.data_folder;
  const char* env = std::getenv("VUVOROZO_DATA");
  if (env != nullptr && *env != '\0') return env;
  return DefaultDataFolder();
}

std::string FindStoreUrl(const Settings& settings) {
  if (!settings.store_url.empty()) return settings.store_url;
  if (!settings.data_folder.empty()) return "";
  const char* env = std::getenv("VUVOROZO_STORE");
  return env != nullptr ? env : "";
}

bool ModuleImage(const Settings& settings, std::string* release,
                 std::string* build_id, std::string* error) {
  refhost::Host host(nullptr);
  std::unique_ptr<refhost::LoadedModule> module =
      refhost::LoadedModule::Open(FindModule(settings), host, error);
  if (module == nullptr) return false;
  const image_record* image = module->image();
  *release = std::string(image->release,
                         strnlen(image->release, sizeof image->release));
  *build_id = std::string(image->build_id,
                          strnlen(image->build_id, sizeof image->build_id));
  return true;
}

std::unique_ptr<Session> Session::Start(const Settings& settings, StoreUse use,
                                        std::string* error) {
  std::unique_ptr<Session> session(new Session());
  std::string url = FindStoreUrl(settings);
  std::string folder = FindDataFolder(settings);
  session->place_ = url.empty() ? folder : refhost::MaskPassword(url);
  refhost::StoreOptions options = {
      .read_only = use == StoreUse::kRead,
      .compression_level = settings.compression_level};
  std::unique_ptr<refhost::CatalogStore> store;
  if (!url.empty()) {
    if (!refhost::IsServerStoreUrl(url)) {
      *error =
          Printable(session->place_) + ": not a store URL (postgresql://...)";
      return nullptr;
    }
    store = refhost::NewPostgresCatalogStore(url, options);
    session->on_server_ = true;
  } else if (!session->OpenFolder(settings, use, options, &store, error)) {
    return nullptr;
  }
  return session->Load(std::move(store), FindModule(settings), error)
             ? std::move(session)
             : nullptr;
}

bool Session::OpenFolder(const Settings& settings, StoreUse use,
                         const refhost::StoreOptions& options,
                         std::unique_ptr<refhost::CatalogStore>* store,
                         std::string* error) {
  const std::string& folder = place_;
  if (folder.empty()) {
    *error = "no data folder: there is no home folder ($HOME); give --data DIR";
    return false;
  }
  data_path_ = PathFromRoot(folder);
  struct stat st;
  if (stat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    *error = Printable(folder) + ": not a folder, so no data folder";
    return false;
  }
  // A folder the user may not reach is there all the same: the store says
  // why at each call, with the reason.
  if (stat(folder.c_str(), &st) == 0 || errno != ENOENT) {
    *store = refhost::NewSqliteCatalogStore(data_path_, options);
    return true;
  }
  // Earlier releases kept the libraries in ./vuvorozo-data by default: a
  // user who relied on it is told where they went, and nothing is made
  // beside them.
  bool by_default =
      settings.data_folder.empty() && std::getenv("VUVOROZO_DATA") == nullptr;
  absent_note_ = by_default ? EarlierDataFolderNote(folder) : "";
  if (use == StoreUse::kCreate && !absent_note_.empty()) {
    *error = AbsentFolder();
    return false;
  }
  auto absent =
      std::make_unique<FolderToMake>(data_path_, use == StoreUse::kCreate);
  absent_ = absent.get();
  *store = std::move(absent);
  return true;
}

bool Session::folder_absent() const {
  return absent_ != nullptr && absent_->absent();
}

std::string Session::AbsentFolder() const {
  return "no data folder " + Printable(place_) +
         (absent_note_.empty() ? " (the first command that writes makes it)"
                               : "; " + absent_note_);
}

std::unique_ptr<Session> Session::StartOver(
    std::unique_ptr<refhost::CatalogStore> store,
    const std::string& module_path, const std::string& place,
    std::string* error) {
  std::unique_ptr<Session> session(new Session());
  session->place_ = place;
  return session->Load(std::move(store), module_path, error)
             ? std::move(session)
             : nullptr;
}

bool Session::Load(std::unique_ptr<refhost::CatalogStore> store,
                   const std::string& module_path, std::string* error) {
  host_ = std::make_unique<refhost::Host>(std::move(store));
  module_ = refhost::LoadedModule::Open(module_path, *host_, error);
  if (module_ == nullptr) return false;
  slots_ = std::make_unique<refhost::Slots>(module_->amec());
  return true;
}

Session::~Session() {
  try {
    if (module_ != nullptr) CheckBalance();
    FlushIssued();
  } catch (...) {
    // Reports only; nothing may escape a destructor.
  }
  // The module goes before the host whose heaps it used.
  slots_.reset();
  module_.reset();
  host_.reset();
}

void Session::CheckBalance() {
  refhost::HostBalance balance = host_->Balance();
  if (balance.bad_releases != 0) {
    DebugLog("internal: " + std::to_string(balance.bad_releases) +
             " blocks were released twice or never handed out");
  }
  int64_t blocks = balance.module_blocks + balance.temporary_blocks;
  if (blocks != 0 || balance.host_handles() != 0) {
    DebugLog("internal: " + std::to_string(blocks) + " module blocks and " +
             std::to_string(balance.host_handles()) +
             " host handles were left behind");
  }
}

void Session::Prepare() {
  FlushIssued();
  host_->SetSubstitutions({});
}

std::string Session::PlaceInWords() const {
  return (on_server_ ? "the store " : "the data folder ") + Printable(place_);
}

std::string Session::Explain(const refhost::StoreStatus& status) const {
  if (status.IsNotFound() && folder_absent()) return AbsentFolder();
  if (status.IsNotFound()) {
    return "The library does not exist in " + PlaceInWords() + ".";
  }
  if (status.message().empty()) return TextOf(cli::ReasonOf(status));
  return Printable(status.message());
}

std::string Session::Explain(int32_t status) const {
  if (status == refhost::kLibNoSuchLibrary) {
    return Explain(refhost::StoreStatus::NotFound(""));
  }
  if (status == refhost::kLibStoreFailed) {
    // The store's own account names the file and what happened to it.
    const refhost::StoreStatus& failure =
        host_->library_services()->last_store_failure();
    if (!failure.ok() && !failure.message().empty()) {
      return Printable(failure.message());
    }
    return "The library could not be read or written in " + PlaceInWords() +
           ".";
  }
  return host_->Explain(status);
}

Reason Session::ReasonOf(int32_t status) const {
  return cli::ReasonOf(status, host_->library_services()->last_store_failure());
}

int Session::Fail(std::string_view what, int32_t status,
                  std::string_view typed) {
  Reason reason = ReasonOf(status);
  if (reason == Reason::kNotFound && folder_absent()) {
    // Whatever was looked for, there is nothing to find it in: the
    // folder is what the message names.
    PrintError(AbsentFolder());
  } else {
    std::string near = reason == Reason::kNotFound ? NearMiss(typed) : "";
    PrintError(std::string(what) + ": " + Explain(status) + near);
  }
  FlushIssued();
  return ExitCodeOf(reason);
}

std::string Session::NearMiss(std::string_view typed) {
  if (typed.empty()) return "";
  return DidYouMeanName(*host_->store(), typed);
}

void Session::FlushIssued() {
  if (host_ == nullptr) return;
  const auto& issued = host_->issued();
  for (; issued_printed_ < issued.size(); ++issued_printed_) {
    const refhost::IssuedMessage& message = issued[issued_printed_];
    PrintError("message " + std::to_string(message.number) + ": " +
               Printable(message.text));
  }
}

// ---------------------------------------------------------------------------

OptionBlock::~OptionBlock() {
  if (block_ != nullptr) {
    session_.slots().ReleaseOptions("        ", kToken, block_);
  }
}

int32_t OptionBlock::Parse(const std::vector<std::string>& words,
                           std::string* offending, bool* description_cut) {
  std::string text = OptionStatement(words, description_cut);
  if (text.empty()) return 0;
  session_.Prepare();
  refhost::ParseResult result = session_.host().ParseOptions(
      session_.slots().routine(kSlotParse), text, 0, block_);
  // A block the module made stays ours even when a later option fails.
  block_ = result.block;
  if (result.status != 0) *offending = result.error_text;
  return result.status;
}

int32_t OptionBlock::ParseDescription(const std::string& description,
                                      bool* description_cut) {
  *description_cut = false;
  if (description.empty()) return 0;
  std::string offending;
  return Parse({"desc=" + Quote(description)}, &offending, description_cut);
}

// ---------------------------------------------------------------------------

Fileref::Fileref(Session& session) : session_(session) {}

Fileref::~Fileref() {
  if (!assigned_) return;
  try {
    session_.Prepare();
    int32_t st = session_.slots().Deassign(name_, kToken);
    if (st != 0) session_.Fail("deassigning a fileref", st);
  } catch (...) {
  }
}

int32_t Fileref::Assign(std::string_view physical, OptionBlock* options) {
  // A blank name asks the host for a unique one (yxaunql), which the module
  // records from this very buffer.
  std::memcpy(name_, "        ", 8);
  session_.Prepare();
  int32_t st =
      session_.slots().Assign(name_, kToken, kAccessMethod, physical.data(),
                              static_cast<int32_t>(physical.size()),
                              options == nullptr ? nullptr : options->get());
  if (st != 0) return st;
  assigned_ = true;
  if (options != nullptr) options->HandOver();
  return 0;
}

int32_t Fileref::Exists() {
  session_.Prepare();
  return session_.slots().EntryExists(name_, kToken);
}

int32_t Fileref::Delete() {
  session_.Prepare();
  return session_.slots().Delete(name_, kToken);
}

std::string Fileref::PathName(int32_t* status) {
  char buffer[1025] = {};
  session_.Prepare();
  *status = session_.slots().PathName(name_, buffer);
  if (*status != 0) return "";
  buffer[1024] = '\0';
  return buffer;
}

// ---------------------------------------------------------------------------

Directory::~Directory() {
  if (handle_ == nullptr) return;
  try {
    int32_t st = Close();
    if (st != 0) session_.Fail("closing the catalog", st);
  } catch (...) {
  }
}

int32_t Directory::Open(const Fileref& fileref) {
  session_.Prepare();
  return session_.slots().DirOpen(&handle_, fileref.name(), kToken);
}

int32_t Directory::Next(std::string* name, std::string* type,
                        refhost::EntryInfo* info) {
  char name_text[kNameTextLength];
  char type_text[8];
  int32_t length = 0;
  session_.Prepare();
  int32_t st = session_.slots().DirNext(&stream_, handle_, name_text, &length,
                                        type_text);
  if (st != 0) {
    // The module closed the stream; the next walk starts a new one.
    stream_ = 0;
    return st;
  }
  if (length < 0) length = 0;
  if (length > kNameTextLength) length = kNameTextLength;
  name->assign(name_text, static_cast<size_t>(length));
  type->assign(type_text, 8);
  while (!type->empty() && type->back() == ' ') type->pop_back();
  if (info != nullptr) *info = session_.host().library_services()->last_entry();
  return 0;
}

int32_t Directory::Close() {
  session_.Prepare();
  int32_t st = session_.slots().DirClose(handle_);
  handle_ = nullptr;
  return st;
}

// ---------------------------------------------------------------------------

std::string EntryKey::Path() const {
  return libref + "." + catalog + "." + name + "." + type;
}

EntryKey KeyOfPath(std::string_view path) {
  EntryKey key;
  std::string* parts[4] = {&key.libref, &key.catalog, &key.name, &key.type};
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    size_t dot = i == 3 ? std::string_view::npos : path.find('.', start);
    parts[i]->assign(path.substr(start, dot == std::string_view::npos
                                            ? std::string_view::npos
                                            : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return key;
}

EntryStream::~EntryStream() {
  if (handle_ == nullptr) return;
  // Only an error or an exception leaves an entry open here: what was
  // written goes. Nothing may escape a destructor.
  try {
    int32_t st = writer_ ? Discard() : Close();
    if (st != 0) session_.Fail("closing the entry", st);
  } catch (...) {
  }
}

namespace {

// The open request of an entry or member open.
open_request RequestOf(int32_t flags, int32_t record_length,
                       const OptionBlock* options, int32_t recfm) {
  open_request request = {};
  request.open_flags = flags;
  request.recfm = recfm;
  request.record_length = record_length;
  request.options = options == nullptr ? nullptr : options->get();
  return request;
}

}  // namespace

int32_t EntryStream::Open(const Fileref& fileref, const EntryKey& key,
                          int32_t flags, int32_t record_length,
                          OptionBlock* options) {
  open_request request =
      RequestOf(flags, record_length, options, record_format_);
  session_.Prepare();
  int32_t st =
      session_.slots().Open(&handle_, fileref.name(), kToken, &request);
  member_ = false;
  return Finish(st, &request, options, key);
}

int32_t EntryStream::OpenMember(const Directory& directory, const EntryKey& key,
                                std::string_view member, const char* hint,
                                int32_t flags, int32_t record_length,
                                OptionBlock* options) {
  open_request request =
      RequestOf(flags, record_length, options, record_format_);
  session_.Prepare();
  int32_t st = session_.slots().MemberOpen(
      &handle_, directory.handle(), member.data(),
      static_cast<int32_t>(member.size()), hint, &request);
  member_ = true;
  return Finish(st, &request, options, key);
}

int32_t EntryStream::Finish(int32_t status, open_request* request,
                            OptionBlock* options, const EntryKey& key) {
  if (status != 0) {
    handle_ = nullptr;  // a failed open leaves its option block with us
    return status;
  }
  if (options != nullptr) options->HandOver();
  writer_ = (request->open_flags & kOpenInput) == 0;
  key_ = key;
  record_length_ = request->record_length;
  session_.Prepare();
  int32_t st = session_.slots().IoVector(handle_, &vector_);
  if (st != 0) vector_ = nullptr;
  return st;
}

int32_t EntryStream::Info(int32_t mask, info_reply* reply) {
  session_.Prepare();
  return session_.slots().Info(handle_, "        ", kToken, mask, reply);
}

void EntryStream::SetAttributes(std::string encoded) {
  session_.host().library_services()->SetAttributesAtClose(
      key_.libref, key_.catalog, key_.name, key_.type, std::move(encoded));
}

int32_t EntryStream::Discard() {
  session_.host().library_services()->DiscardAtClose(key_.libref, key_.catalog,
                                                     key_.name, key_.type);
  return Close();
}

int32_t EntryStream::Close() {
  session_.Prepare();
  int32_t st;
  if (member_) {
    // A member whose close failed stays with the module until it is closed
    // again; the host has ended it, so the second close only releases it.
    st = session_.slots().MemberClose(handle_);
    if (st != 0) session_.slots().MemberClose(handle_);
  } else {
    st = session_.slots().Close(handle_);
  }
  handle_ = nullptr;
  vector_ = nullptr;
  return st;
}

}  // namespace cli
