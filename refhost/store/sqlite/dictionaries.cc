// The dictionaries of a library file (library_file.h): each catalog's,
// made once enough of its text was written without one, the pages and
// host attributes written before it compressed again with it, the
// dictionaries pages and attributes name found when they are read, their
// check, and compact's new dictionaries for catalogs that have grown.

#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "refhost/store/packed_attributes.h"
#include "refhost/store/sqlite/library_file.h"

namespace refhost {
namespace sqlite {
namespace {

// When a catalog gets a dictionary: kDictionaryTrainBytes and the others
// of record_page.h.
// The latest host attributes kept as samples.
constexpr size_t kAttributeSamples = 12;
// Compact makes a catalog a new dictionary once its pages hold this many
// times the bytes they held when its dictionary was made (a first one: the
// kRenew constants of record_page.h).
constexpr int64_t kGrowth = 4;
// Host attributes are at most this long (a 16 MB manifest line could not
// be one).
constexpr uint64_t kAttributesLimit = 1 << 20;
// The rows whose host attributes are not packed (packed_attributes.h).
constexpr const char* kNotPacked =
    "NOT (typeof(host_attributes) = 'blob' AND substr(host_attributes, 1, "
    "1) = x'A5')";
static_assert(kPackedAttributesTag == 0xA5, "kNotPacked names the tag");
// Compact packs the attributes of this many entries a transaction.
constexpr size_t kRepackBatch = 1024;

}  // namespace

StoreStatus LibraryFile::TextOf(int64_t catalog, CatalogText** out) {
  *out = nullptr;
  codec_.Use(nullptr);
  if (catalog == 0 || format_ < 3) return StoreStatus::Ok();
  CatalogText& text = texts_[catalog];
  // The catalog's newest dictionary, looked at once in each transaction:
  // another process may have made one, or compact a newer one. Until it
  // does, the one chosen of the catalog's stays, while the library keeps it
  // (compact drops an older one that no page names).
  if (!text.loaded || text.seen_in != transactions_) {
    StoreStatus status;
    Statement* st = main_->Get(Sql::kCatalogDictionary, &status);
    if (st == nullptr) return status;
    st->Bind(1, catalog);
    int rc = st->Step();
    std::shared_ptr<PageDictionary> found;
    uint32_t newest = rc == SQLITE_ROW ? (uint32_t)st->Int(0) : 0;
    bool keep = rc == SQLITE_ROW && text.loaded && newest == text.newest &&
                text.dictionary != nullptr;
    if (keep && text.dictionary->id() != newest) {
      Statement* kept = main_->Get(Sql::kDictionaryKept, &status);
      if (kept == nullptr) {
        st->Reset();
        return status;
      }
      kept->Bind(1, (int64_t)text.dictionary->id());
      keep = kept->Step() == SQLITE_ROW && kept->Int(0) == 1;
      kept->Reset();
      if (!keep) text.choices.clear();
    }
    if (keep) {
      found = text.dictionary;
    } else if (rc == SQLITE_ROW) {
      std::string bytes((const char*)st->Blob(1), st->Bytes(1));
      auto cached = dictionaries_.find((uint32_t)st->Int(0));
      if (cached != dictionaries_.end()) {
        found = cached->second;
      } else if ((int64_t)DictionaryHash(bytes) == st->Int(2)) {
        found = std::make_shared<PageDictionary>(std::move(bytes));
        if (found->ok() && found->id() == (uint32_t)st->Int(0)) {
          dictionaries_[found->id()] = found;
        } else {
          found.reset();
        }
      }
      // A damaged dictionary is never written with, and none other is
      // made for the catalog: check names it.
      if (found == nullptr) text.failed = true;
    } else if (rc != SQLITE_DONE) {
      status = main_->Failure("reading the library's dictionaries");
    }
    st->Reset();
    if (!status.ok()) return status;
    text.dictionary = std::move(found);
    text.newest = newest;
    text.loaded = true;
    text.seen_in = transactions_;
  }
  codec_.Use(text.dictionary.get());
  *out = &text;
  return StoreStatus::Ok();
}

// Samples are kept of the few catalogs sampled last: what another
// wrote stays as it was written.
void LibraryFile::NoteSampled(CatalogText* text) {
  refhost::NoteSampled(sampled_, text, [](CatalogText* dropped) {
    dropped->samples.clear();
    dropped->pages.clear();
    dropped->entries.clear();
    dropped->attribute_samples.clear();
    dropped->sample_bytes = dropped->sample_stored = 0;
  });
}

StoreStatus LibraryFile::NoteWritten(int64_t catalog, CatalogText* text,
                                     int64_t key, const std::string& content,
                                     const std::string& frame) {
  if (text->failed) return StoreStatus::Ok();
  // frame may be the codec's, which a choice of dictionary packs with.
  size_t stored = frame.size();
  if (text->dictionary != nullptr && !text->drifting) {
    // Text that the dictionary compresses much worse than what it was
    // made from is written with another of the catalog's that fits it, or
    // starts the samples of the next one.
    bool worse = text->fit.Worse(content.size(), stored);
    if (text->fit.ended()) {
      std::shared_ptr<PageDictionary> had = text->dictionary;
      if (StoreStatus s = ChooseFor(catalog, text, content); !s.ok()) {
        return s;
      }
      if (text->dictionary != had) return StoreStatus::Ok();
    }
    if (!worse || text->made >= kMostDictionaries) return StoreStatus::Ok();
    text->drifting = true;
  }
  NoteSampled(text);
  AddSample(&text->samples, content);
  text->sample_bytes += content.size();
  text->sample_stored += stored;
  text->pages.push_back(key);
  if (text->sample_bytes < kDictionaryTrainBytes) return StoreStatus::Ok();
  if ((double)text->sample_stored > kIncompressible * text->sample_bytes) {
    // Data that does not compress (pictures, archives) gains nothing from
    // a dictionary: the samples start again.
    text->samples.clear();
    text->pages.clear();
    text->sample_bytes = text->sample_stored = 0;
    text->drifting = false;
    return StoreStatus::Ok();
  }
  std::vector<std::string> samples = std::move(text->samples);
  std::vector<std::string> attributes = std::move(text->attribute_samples);
  text->samples.clear();
  text->attribute_samples.clear();
  // What the catalog's pages took when the dictionary was made, for
  // compact to tell how much the catalog grew since.
  return MakeCatalogDictionary(catalog, text, samples, attributes,
                               (int64_t)text->sample_stored);
}

StoreStatus LibraryFile::ChooseFor(int64_t catalog, CatalogText* text,
                                   std::string_view content) {
  // Read again once the dictionary in use is none of those read (one was
  // made or found since).
  if (std::find(text->choices.begin(), text->choices.end(), text->dictionary) ==
      text->choices.end()) {
    text->choices.clear();
    StoreStatus status;
    Statement* st = main_->Get(Sql::kCatalogDictionaries, &status);
    if (st == nullptr) return status;
    st->Bind(1, catalog);
    int rc;
    while ((rc = st->Step()) == SQLITE_ROW) {
      auto id = (uint32_t)st->Int(0);
      auto cached = dictionaries_.find(id);
      if (cached != dictionaries_.end()) {
        text->choices.push_back(cached->second);
        continue;
      }
      std::string bytes((const char*)st->Blob(1), st->Bytes(1));
      if ((int64_t)DictionaryHash(bytes) != st->Int(2)) continue;
      auto found = std::make_shared<PageDictionary>(std::move(bytes));
      // A damaged one is not chosen: check names it.
      if (!found->ok() || found->id() != id) continue;
      dictionaries_[id] = found;
      text->choices.push_back(std::move(found));
    }
    st->Reset();
    if (rc != SQLITE_DONE) {
      return main_->Failure("reading the library's dictionaries");
    }
    if (std::find(text->choices.begin(), text->choices.end(),
                  text->dictionary) == text->choices.end()) {
      text->choices.push_back(text->dictionary);
    }
  }
  ChooseDictionary(codec_, text->choices, content, &text->dictionary,
                   &text->fit);
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::MakeCatalogDictionary(
    int64_t catalog, CatalogText* text, const std::vector<std::string>& samples,
    const std::vector<std::string>& attributes, int64_t trained_bytes,
    const std::function<bool(PageDictionary&)>& worth) {
  std::string joined;
  for (const std::string& sample : samples) joined += sample;
  for (const std::string& sample : attributes) joined += sample;
  std::string bytes, why;
  uint32_t id = 0;
  for (int attempt = 0; attempt < 8 && id == 0; ++attempt) {
    uint32_t wanted = DictionaryIdFor(joined, attempt);
    int64_t taken = 0;
    if (StoreStatus s =
            main_->Integer(("SELECT count(*) FROM dictionaries WHERE id = " +
                            std::to_string(wanted))
                               .c_str(),
                           &taken);
        !s.ok()) {
      return s;
    }
    if (taken == 0) id = wanted;
  }
  // Samples that are tried (compact's) are spread over the catalog; the
  // others are what a writer wrote last.
  bool spread = worth != nullptr;
  if (id == 0 || !MakeDictionary(id, samples, attributes, spread,
                                 kDictionarySize, &bytes, &why)) {
    // The catalog is written without one; compact tries again.
    text->failed = true;
    return StoreStatus::Ok();
  }
  auto dictionary = std::make_shared<PageDictionary>(bytes);
  if (!dictionary->ok()) {
    text->failed = true;
    return StoreStatus::Ok();
  }
  if (worth != nullptr && !worth(*dictionary)) return StoreStatus::Ok();
  StoreStatus status;
  Statement* st = main_->Get(Sql::kInsertDictionary, &status);
  if (st == nullptr) return status;
  st->Bind(1, (int64_t)id);
  st->Bind(2, catalog);
  st->Bind(3, trained_bytes);
  st->Bind(4, (int64_t)DictionaryHash(bytes));
  st->BindBlob(5, bytes.data(), bytes.size());
  int rc = st->Step();
  st->Reset();
  if (rc != SQLITE_DONE) return main_->Failure("storing a dictionary");
  dictionaries_[id] = dictionary;
  text->dictionary = dictionary;
  text->newest = id;
  text->drifting = false;
  ++text->made;
  codec_.Use(dictionary.get());
  // What was written for its samples is compressed again with it.
  std::vector<int64_t> pages = std::move(text->pages);
  std::vector<std::pair<std::string, std::string>> entries =
      std::move(text->entries);
  text->pages.clear();
  text->entries.clear();
  text->sample_bytes = text->sample_stored = 0;
  size_t compressed_text = 0, compressed = 0;
  Repacking run(this);
  for (int64_t key : pages) {
    if (StoreStatus s = RepackPage(key, Repack::kToDictionary, &run); !s.ok()) {
      return s;
    }
    if (StoreStatus s = TakeRepacked(&run, kRepackAhead); !s.ok()) return s;
  }
  if (StoreStatus s = TakeRepacked(&run, 0); !s.ok()) return s;
  for (const Repacked& page : run.pages) {
    compressed_text += page.text;
    compressed += page.frame.size();
  }
  if (StoreStatus s = StoreRepacked(run.pages, true); !s.ok()) return s;
  text->fit.Start(
      compressed_text > 0 ? (double)compressed / (double)compressed_text : 0);
  for (const auto& [name, type] : entries) {
    Statement* read = main_->Get(Sql::kEntryAttributes, &status);
    if (read == nullptr) return status;
    read->Bind(1, catalog);
    read->Bind(2, name);
    read->Bind(3, type);
    std::string attributes;
    bool plain = read->Step() == SQLITE_ROW && read->Type(0) == SQLITE_TEXT;
    if (plain) attributes = read->Text(0);
    read->Reset();
    if (!plain || attributes.empty()) continue;
    if (!codec_.Compress(attributes, &why)) continue;
    Statement* write = main_->Get(Sql::kSetAttributes, &status);
    if (write == nullptr) return status;
    write->Bind(1, catalog);
    write->Bind(2, name);
    write->Bind(3, type);
    write->BindBlob(4, codec_.frame().data(), codec_.frame().size());
    rc = write->Step();
    write->Reset();
    if (rc != SQLITE_DONE) return main_->Failure("storing host attributes");
  }
  return StoreStatus::Ok();
}

// Inside the caller's transaction, with the dictionary and level to
// compress with in use. A page that does not read is left as it is (check
// names it).
StoreStatus LibraryFile::RepackPage(int64_t key, Repack mode, Repacking* run) {
  PageDictionary* target = codec_.dictionary();
  StoreStatus status;
  Statement* st = main_->Get(Sql::kPageByKey, &status);
  if (st == nullptr) return status;
  st->Bind(1, key);
  int rc = st->Step();
  RecordPage page;
  std::string why;
  uint32_t named =
      rc == SQLITE_ROW ? DictionaryOf(st->Blob(2), st->Bytes(2)) : 0;
  DictionaryFinder finder = FinderFor(*main_);
  bool again =
      rc == SQLITE_ROW && st->Int(0) > 0 && st->Int(0) <= UINT32_MAX &&
      st->Int(1) >= 0 && st->Int(1) <= UINT32_MAX &&
      (mode != Repack::kToDictionary ||
       named != (target != nullptr ? target->id() : 0)) &&
      page.Decode(codec_, st->Blob(2), st->Bytes(2), 0, (uint32_t)st->Int(0),
                  (uint32_t)st->Int(1), &why, finder);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    status = main_->Failure("reading records");
  }
  Repacked out;
  if (again) {
    out.key = key;
    out.count = st->Int(0);
    out.longest = st->Int(1);
    out.before = st->Bytes(2);
  }
  st->Reset();
  if (!status.ok() || !again) return status;
  PageDictionary* with = target;
  // The page read, so the dictionary it names is at hand.
  if (mode == Repack::kOwnDictionary && named != 0) finder(named, &with, &why);
  // The repacker holds the dictionary for as long as it compresses with it:
  // one the library keeps. The library keeps every one it reads or makes.
  std::shared_ptr<PageDictionary> held;
  if (with != nullptr) {
    auto kept = dictionaries_.find(with->id());
    if (kept != dictionaries_.end() && kept->second.get() == with) {
      held = kept->second;
    }
  }
  if (with == nullptr || held != nullptr) {
    std::string content;
    page.Content(&content);
    out.text = content.size();
    PageLevel level = codec_.LevelOf(content.size());
    UsableCompressor(&repacker_)
        ->Hand(std::move(content), std::move(held), level);
    ++run->handed_;
    run->pages.push_back(std::move(out));
    return StoreStatus::Ok();
  }
  codec_.Use(with);
  bool encoded = page.Encode(codec_, &why);
  codec_.Use(target);
  if (!encoded) return StoreStatus::IoError(path_ + ": " + why);
  out.text = codec_.content().size();
  out.frame = codec_.frame();
  // Its frame is had: the pages before it are taken back first.
  if (StoreStatus s = TakeRepacked(run, 0); !s.ok()) return s;
  run->pages.push_back(std::move(out));
  run->framed_ = run->pages.size();
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::TakeRepacked(Repacking* run, size_t leave) {
  while (run->handed_ > leave) {
    std::string content, why;
    std::shared_ptr<PageDictionary> used;
    Repacked& page = run->pages[run->framed_];
    bool taken = repacker_->Take(&content, &page.frame, &used, &why);
    ++run->framed_;
    --run->handed_;
    if (!taken) return StoreStatus::IoError(path_ + ": " + why);
  }
  return StoreStatus::Ok();
}

LibraryFile::Repacking::~Repacking() {
  if (handed_ > 0) file_->repacker_->Drop(handed_);
}

StoreStatus LibraryFile::StoreRepacked(std::vector<Repacked>& pages,
                                       bool last_written) {
  StoreStatus status;
  if (!last_written) {
    for (const Repacked& page : pages) {
      Statement* update = main_->Get(Sql::kUpdatePage, &status);
      if (update == nullptr) return status;
      update->Bind(1, page.key);
      update->BindBlob(2, page.frame.data(), page.frame.size());
      int rc = update->Step();
      update->Reset();
      if (rc != SQLITE_DONE) return main_->Failure("writing records");
    }
    return StoreStatus::Ok();
  }
  // Rows made shorter where they are would leave the leaves they fill part
  // empty for good (rows are added at the end of the table); taken out and
  // put back in order, they fill them again.
  std::sort(pages.begin(), pages.end(),
            [](const Repacked& a, const Repacked& b) { return a.key < b.key; });
  for (const Repacked& page : pages) {
    Statement* drop = main_->Get(Sql::kDeletePages, &status);
    if (drop == nullptr) return status;
    drop->Bind(1, page.key);
    drop->Bind(2, page.key + 1);
    int rc = drop->Step();
    drop->Reset();
    if (rc != SQLITE_DONE) return main_->Failure("writing records");
  }
  for (const Repacked& page : pages) {
    Statement* insert = main_->Get(Sql::kInsertPage, &status);
    if (insert == nullptr) return status;
    insert->Bind(1, page.key);
    insert->Bind(2, page.count);
    insert->Bind(3, page.longest);
    insert->BindBlob(4, page.frame.data(), page.frame.size());
    int rc = insert->Step();
    insert->Reset();
    if (rc != SQLITE_DONE) return main_->Failure("writing records");
  }
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::PackAttributes(int64_t catalog, const EntryName& entry,
                                        const std::string& text,
                                        std::string* stored, bool* packed) {
  *packed = false;
  if (text.empty()) return StoreStatus::Ok();
  if (format_ >= 4 && PackHostAttributes(text, entry.name, stored)) {
    *packed = true;
    return StoreStatus::Ok();
  }
  CatalogText* catalog_text = nullptr;
  if (StoreStatus s = TextOf(catalog, &catalog_text);
      !s.ok() || catalog_text == nullptr) {
    return s;
  }
  if (codec_.dictionary() == nullptr) {
    if (catalog_text->failed) return StoreStatus::Ok();
    NoteSampled(catalog_text);
    catalog_text->entries.emplace_back(entry.name, entry.type);
    auto& samples = catalog_text->attribute_samples;
    if (samples.size() >= kAttributeSamples) samples.erase(samples.begin());
    samples.push_back(text);
    return StoreStatus::Ok();
  }
  std::string why;
  if (!codec_.Compress(text, &why)) {
    return StoreStatus::IoError(path_ + ": " + why);
  }
  *stored = codec_.frame();
  *packed = true;
  return StoreStatus::Ok();
}

bool LibraryFile::ReadAttributes(Connection& c, Statement* st, int i,
                                 std::string_view name, std::string* out,
                                 std::string* why) {
  if (st->Type(i) != SQLITE_BLOB) {
    *out = st->Text(i);
    return true;
  }
  if (IsPackedHostAttributes(st->Blob(i), st->Bytes(i))) {
    return UnpackHostAttributes(st->Blob(i), st->Bytes(i), name, out, why);
  }
  if (!codec_.Decompress(st->Blob(i), st->Bytes(i), kAttributesLimit,
                         FinderFor(c), why)) {
    return false;
  }
  *out = codec_.content();
  return true;
}

DictionaryFinder LibraryFile::FinderFor(Connection& c) {
  return [this, &c](uint32_t id, PageDictionary** dictionary,
                    std::string* why) {
    auto cached = dictionaries_.find(id);
    if (cached != dictionaries_.end()) {
      *dictionary = cached->second.get();
      return true;
    }
    std::string missing = "it needs dictionary " + std::to_string(id) +
                          ", which the library does not hold";
    if (format_ < 3) {
      *why = missing;
      return false;
    }
    StoreStatus status;
    Statement* st = c.Get(Sql::kFindDictionary, &status);
    if (st == nullptr) {
      *why = status.message();
      return false;
    }
    st->Bind(1, (int64_t)id);
    int rc = st->Step();
    std::shared_ptr<PageDictionary> found;
    if (rc == SQLITE_ROW) {
      std::string bytes((const char*)st->Blob(0), st->Bytes(0));
      if ((int64_t)DictionaryHash(bytes) == st->Int(1)) {
        found = std::make_shared<PageDictionary>(std::move(bytes));
      }
      if (found == nullptr || !found->ok() || found->id() != id) {
        *why = "dictionary " + std::to_string(id) +
               ", which it needs, is "
               "damaged";
        found.reset();
      }
    } else {
      *why = rc == SQLITE_DONE ? missing
                               : c.Failure("reading a dictionary").message();
    }
    st->Reset();
    if (found == nullptr) return false;
    dictionaries_[id] = found;
    *dictionary = found.get();
    return true;
  };
}

StoreStatus LibraryFile::CheckDictionaries(Connection& c, LibraryCheck* check) {
  if (format_ < 3) return StoreStatus::Ok();
  Statement st;
  if (st.Prepare(c.db(),
                 "SELECT d.id, c.name, d.hash, d.data FROM dictionaries d "
                 "LEFT JOIN catalogs c ON c.id = d.catalog_id ORDER BY d.id") !=
      SQLITE_OK) {
    return c.Failure("checking the library's dictionaries");
  }
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) {
    std::string bytes((const char*)st.Blob(3), st.Bytes(3));
    PageDictionary dictionary(bytes);
    if ((int64_t)DictionaryHash(bytes) != st.Int(2) || !dictionary.ok() ||
        dictionary.id() != (uint32_t)st.Int(0)) {
      std::string catalog = st.Type(1) == SQLITE_NULL
                                ? std::string("no catalog")
                                : "catalog " + libref_ + "." + st.Text(1);
      check->problems.push_back("dictionary " + std::to_string(st.Int(0)) +
                                " (" + catalog + ") is damaged");
      dictionaries_.erase((uint32_t)st.Int(0));
    }
  }
  return rc == SQLITE_DONE ? StoreStatus::Ok()
                           : c.Failure("checking the library's dictionaries");
}

StoreStatus LibraryFile::RepackAttributes() {
  if (format_ < 4) return StoreStatus::Ok();
  struct Row {
    int64_t catalog;
    std::string name, type;
  };
  std::vector<Row> rows;
  {
    Statement st;
    if (st.Prepare(main_->db(),
                   (std::string("SELECT catalog_id, name, type FROM entries "
                                "WHERE host_attributes <> '' AND ") +
                    kNotPacked)
                       .c_str()) != SQLITE_OK) {
      return main_->Failure("reading host attributes");
    }
    while (st.Step() == SQLITE_ROW) {
      rows.push_back({st.Int(0), st.Text(1), st.Text(2)});
    }
  }
  for (size_t at = 0; at < rows.size(); at += kRepackBatch) {
    StoreStatus status = Change([&]() -> StoreStatus {
      for (size_t i = at; i < std::min(rows.size(), at + kRepackBatch); ++i) {
        const Row& row = rows[i];
        StoreStatus s;
        Statement* read = main_->Get(Sql::kEntryAttributes, &s);
        if (read == nullptr) return s;
        read->Bind(1, row.catalog);
        read->Bind(2, row.name);
        read->Bind(3, row.type);
        std::string text, packed;
        // Attributes that do not read are left as they are (check names
        // them), and so are those of another form.
        std::string why;
        bool packs = read->Step() == SQLITE_ROW &&
                     ReadAttributes(*main_, read, 0, row.name, &text, &why) &&
                     PackHostAttributes(text, row.name, &packed);
        read->Reset();
        if (!packs) continue;
        Statement* write = main_->Get(Sql::kSetAttributes, &s);
        if (write == nullptr) return s;
        write->Bind(1, row.catalog);
        write->Bind(2, row.name);
        write->Bind(3, row.type);
        write->BindBlob(4, packed.data(), packed.size());
        int rc = write->Step();
        write->Reset();
        if (rc != SQLITE_DONE) return main_->Failure("storing host attributes");
      }
      return StoreStatus::Ok();
    });
    if (!status.ok()) return status;
  }
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::RenewDictionaries() {
  if (format_ < 3) return StoreStatus::Ok();
  // Each catalog's stored bytes, and the bytes its newest dictionary was
  // made from.
  std::vector<std::pair<int64_t, int64_t>> grown;
  {
    Statement st;
    if (st.Prepare(main_->db(),
                   "SELECT c.id, (SELECT coalesce(sum(length(p.data)), 0) "
                   "FROM entries e JOIN pages p ON p.key >= e.version_id * "
                   "4294967296 AND p.key < (e.version_id + 1) * 4294967296 "
                   "WHERE e.catalog_id = c.id), (SELECT d.trained_bytes FROM "
                   "dictionaries d WHERE d.catalog_id = c.id ORDER BY d.made "
                   "DESC LIMIT 1) FROM catalogs c") != SQLITE_OK) {
      return main_->Failure("reading the library's catalogs");
    }
    while (st.Step() == SQLITE_ROW) {
      int64_t stored = st.Int(1);
      bool none = st.Type(2) == SQLITE_NULL;
      if (none ? stored >= kRenewFirstBytes : stored >= kGrowth * st.Int(2)) {
        grown.emplace_back(st.Int(0), stored);
      }
    }
  }
  for (const auto& [catalog, stored] : grown) {
    if (StoreStatus s = RenewCatalog(catalog, stored); !s.ok()) return s;
  }
  return StoreStatus::Ok();
}

StoreStatus LibraryFile::DropUnusedDictionaries() {
  if (format_ < 3) return StoreStatus::Ok();
  // Dictionaries no page or attribute names go, but each catalog's newest,
  // looked for in one transaction so that no writer names one meanwhile.
  return Change([&]() -> StoreStatus {
    std::set<int64_t> named;
    for (const char* sql :
         {"SELECT data FROM pages",
          "SELECT host_attributes FROM entries WHERE typeof(host_attributes) "
          "= 'blob'"}) {
      Statement st;
      if (st.Prepare(main_->db(), sql) != SQLITE_OK) {
        return main_->Failure("reading the library's pages");
      }
      while (st.Step() == SQLITE_ROW) {
        named.insert(DictionaryOf(st.Blob(0), st.Bytes(0)));
      }
    }
    Statement old;
    if (old.Prepare(main_->db(),
                    "SELECT id FROM dictionaries d WHERE made < (SELECT "
                    "max(made) FROM dictionaries n WHERE n.catalog_id = "
                    "d.catalog_id) OR catalog_id NOT IN (SELECT id FROM "
                    "catalogs)") != SQLITE_OK) {
      return main_->Failure("reading the library's dictionaries");
    }
    std::vector<int64_t> unused;
    while (old.Step() == SQLITE_ROW) {
      if (!named.count(old.Int(0))) unused.push_back(old.Int(0));
    }
    for (int64_t id : unused) {
      if (StoreStatus s = main_->Exec(
              ("DELETE FROM dictionaries WHERE id = " + std::to_string(id))
                  .c_str());
          !s.ok()) {
        return s;
      }
    }
    return StoreStatus::Ok();
  });
}

StoreStatus LibraryFile::RenewCatalog(int64_t catalog, int64_t stored) {
  std::vector<int64_t> keys;
  {
    Statement st;
    if (st.Prepare(main_->db(),
                   "SELECT p.key FROM entries e JOIN pages p ON p.key >= "
                   "e.version_id * 4294967296 AND p.key < (e.version_id + 1) "
                   "* 4294967296 WHERE e.catalog_id = ?1 ORDER BY p.key") !=
        SQLITE_OK) {
      return main_->Failure("reading a catalog's pages");
    }
    st.Bind(1, catalog);
    while (st.Step() == SQLITE_ROW) keys.push_back(st.Int(0));
  }
  if (keys.empty()) return StoreStatus::Ok();
  // Samples from pages spread over the catalog, then host attributes; and
  // as many pages between them to try the new dictionary on.
  std::vector<std::string> samples, attribute_samples;
  std::vector<RecordPage> trials;
  size_t trial_stored = 0;
  size_t stride = std::max<size_t>(1, keys.size() / kRenewSamplePages);
  for (size_t i = 0; i < keys.size(); ++i) {
    bool sample = i % stride == 0;
    bool trial = i % stride == stride / 2;
    if (!sample && !trial) continue;
    StoreStatus status;
    Statement* st = main_->Get(Sql::kPageByKey, &status);
    if (st == nullptr) return status;
    st->Bind(1, keys[i]);
    RecordPage page;
    std::string why;
    bool read =
        st->Step() == SQLITE_ROW && st->Int(0) > 0 &&
        st->Int(0) <= UINT32_MAX && st->Int(1) >= 0 &&
        st->Int(1) <= UINT32_MAX &&
        page.Decode(codec_, st->Blob(2), st->Bytes(2), 0, (uint32_t)st->Int(0),
                    (uint32_t)st->Int(1), &why, FinderFor(*main_));
    size_t stored_bytes = read ? (size_t)st->Bytes(2) : 0;
    st->Reset();
    if (!read) continue;
    if (trial) trial_stored += stored_bytes;
    if (sample) samples.push_back(page.Sample());
    if (trial) trials.push_back(std::move(page));
  }
  {
    Statement st;
    // Those the dictionary is for: not those kept packed.
    if (st.Prepare(main_->db(),
                   (std::string("SELECT host_attributes, name FROM entries "
                                "WHERE catalog_id = ?1 AND host_attributes "
                                "<> '' AND ") +
                    kNotPacked + " LIMIT ?2")
                       .c_str()) != SQLITE_OK) {
      return main_->Failure("reading host attributes");
    }
    st.Bind(1, catalog);
    st.Bind(2, (int64_t)kAttributeSamples);
    while (st.Step() == SQLITE_ROW) {
      std::string attributes, why;
      if (ReadAttributes(*main_, &st, 0, st.Text(1), &attributes, &why)) {
        attribute_samples.push_back(std::move(attributes));
      }
    }
  }
  // A new dictionary must make the trial pages smaller than they are
  // stored now (by at least kRenewGain), or compact would make the library
  // larger, or rewrite it for nothing.
  auto worth = [&](PageDictionary& made) {
    return RenewWorth(codec_, made, trials, trial_stored);
  };
  CatalogText text;
  StoreStatus status = Change([&] {
    return MakeCatalogDictionary(catalog, &text, samples, attribute_samples,
                                 stored, worth);
  });
  auto renewed = texts_.find(catalog);
  if (renewed != texts_.end()) {
    std::erase(sampled_, &renewed->second);
    texts_.erase(renewed);
  }
  if (!status.ok() || text.dictionary == nullptr) return status;
  std::shared_ptr<PageDictionary> dictionary = text.dictionary;
  // Every page, at compact's level, then every entry's attributes, again
  // with it.
  int level = CompactLevel();
  codec_.set_level(level);
  for (size_t at = 0; at < keys.size() && status.ok(); at += kRenewBatchPages) {
    status = Change([&]() -> StoreStatus {
      Repacking run(this);
      for (size_t i = at; i < std::min(keys.size(), at + kRenewBatchPages);
           ++i) {
        codec_.Use(dictionary.get());
        if (StoreStatus s = RepackPage(keys[i], Repack::kEvery, &run);
            !s.ok()) {
          return s;
        }
        if (StoreStatus s = TakeRepacked(&run, kRepackAhead); !s.ok()) {
          return s;
        }
      }
      if (StoreStatus s = TakeRepacked(&run, 0); !s.ok()) return s;
      return StoreRepacked(run.pages, false);
    });
  }
  codec_.set_level(options_.compression_level);
  if (!status.ok()) return status;
  std::set<int64_t> versions;
  for (int64_t key : keys) versions.insert(key >> 32);
  status = Change([&]() -> StoreStatus {
    for (int64_t version : versions) {
      if (StoreStatus s = MarkPacked(version, level); !s.ok()) return s;
    }
    return StoreStatus::Ok();
  });
  if (!status.ok()) return status;
  return Change([&]() -> StoreStatus {
    std::vector<std::pair<std::string, std::string>> entries;
    Statement st;
    if (st.Prepare(main_->db(),
                   (std::string("SELECT name, type FROM entries WHERE "
                                "catalog_id = ?1 AND host_attributes <> '' "
                                "AND ") +
                    kNotPacked)
                       .c_str()) != SQLITE_OK) {
      return main_->Failure("reading host attributes");
    }
    st.Bind(1, catalog);
    while (st.Step() == SQLITE_ROW) {
      entries.emplace_back(st.Text(0), st.Text(1));
    }
    for (const auto& [name, type] : entries) {
      StoreStatus s;
      Statement* read = main_->Get(Sql::kEntryAttributes, &s);
      if (read == nullptr) return s;
      read->Bind(1, catalog);
      read->Bind(2, name);
      read->Bind(3, type);
      std::string attributes;
      std::string why;
      bool readable = read->Step() == SQLITE_ROW &&
                      ReadAttributes(*main_, read, 0, name, &attributes, &why);
      read->Reset();
      codec_.Use(dictionary.get());
      if (!readable || !codec_.Compress(attributes, &why)) continue;
      Statement* write = main_->Get(Sql::kSetAttributes, &s);
      if (write == nullptr) return s;
      write->Bind(1, catalog);
      write->Bind(2, name);
      write->Bind(3, type);
      write->BindBlob(4, codec_.frame().data(), codec_.frame().size());
      int rc = write->Step();
      write->Reset();
      if (rc != SQLITE_DONE) return main_->Failure("storing host attributes");
    }
    return StoreStatus::Ok();
  });
}

}  // namespace sqlite
}  // namespace refhost
