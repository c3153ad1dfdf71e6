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

#include "cli/option_text.h"
#include "refhost/host/library_services.h"
#include "refhost/store/catalog_store.h"

namespace cli {
namespace {

constexpr char kAccessMethod[8] = {'V', 'U', 'V', 'O', 'R', 'O', 'Z', 'O'};
// The caller token the program passes; the module only hands it on.
constexpr int32_t kToken = 1;
constexpr char kDefaultDataFolder[] = "vuvorozo-data";

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

// The folder's path from the root, so that the store keeps finding it
// when the program changes its working folder (a mount does); the path as
// given when it cannot be resolved.
std::string AbsolutePath(const std::string& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return folder;
  std::string path = real;
  std::free(real);
  return path;
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
  return kDefaultDataFolder;
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

std::unique_ptr<Session> Session::Start(const Settings& settings, bool writes,
                                        std::string* error) {
  std::unique_ptr<Session> session(new Session());
  std::string url = FindStoreUrl(settings);
  std::string folder = FindDataFolder(settings);
  session->place_ = url.empty() ? folder : refhost::MaskPassword(url);
  std::unique_ptr<refhost::CatalogStore> store;
  if (!url.empty()) {
    if (!refhost::IsServerStoreUrl(url)) {
      *error =
          Printable(session->place_) + ": not a store URL (postgresql://...)";
      return nullptr;
    }
    store = refhost::NewPostgresCatalogStore(url, {.read_only = !writes});
    session->on_server_ = true;
  } else if (IsDirectory(folder)) {
    store = refhost::NewSqliteCatalogStore(AbsolutePath(folder),
                                           {.read_only = !writes});
  } else if (writes) {
    if (!MakeFolder(folder)) {
      *error = Printable(folder) +
               ": cannot create the data folder: " + std::strerror(errno);
      return nullptr;
    }
    store = refhost::NewSqliteCatalogStore(AbsolutePath(folder));
  } else {
    // Nothing was ever stored there: an empty store answers the same as an
    // empty folder would, and looking creates nothing.
    store = refhost::NewMemoryCatalogStore();
  }
  if (store == nullptr) {
    *error = Printable(session->place_) +
             ": cannot open the data folder: " + std::strerror(errno);
    return nullptr;
  }
  return session->Load(std::move(store), FindModule(settings), error)
             ? std::move(session)
             : nullptr;
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

int Session::Fail(std::string_view what, int32_t status) {
  PrintError(std::string(what) + ": " + Explain(status));
  FlushIssued();
  return ExitCodeOf(ReasonOf(status));
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
                       const OptionBlock* options) {
  open_request request = {};
  request.open_flags = flags;
  request.record_length = record_length;
  request.options = options == nullptr ? nullptr : options->get();
  return request;
}

}  // namespace

int32_t EntryStream::Open(const Fileref& fileref, const EntryKey& key,
                          int32_t flags, int32_t record_length,
                          OptionBlock* options) {
  open_request request = RequestOf(flags, record_length, options);
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
  open_request request = RequestOf(flags, record_length, options);
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
