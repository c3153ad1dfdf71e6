// The dictionaries of the server store's libraries (schema version 2): a
// catalog's writers compress its pages with the catalog's newest
// dictionary; until it has one, or where the text it is written with
// changed kind, a connection keeps samples of the pages it writes, and
// once it wrote enough of the catalog's text it makes one of them and
// stores it before any page names it. A page names its
// dictionary by id; a reader finds it by that id and verifies it. Pages
// written without one, as every page of schema version 1 was, read
// without.

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "refhost/store/postgres/server_connection.h"

namespace refhost {
namespace postgres {

void ServerConnection::ForgetIfReconnected() {
  if (!forget_dictionaries_) return;
  forget_dictionaries_ = false;
  sampled_.clear();
  texts_.clear();
  dictionaries_.clear();
}

// The catalog's newest dictionary, when it has one: another connection
// may have made it since this one last looked.
StoreStatus ServerConnection::LookForDictionary(int64_t library,
                                                std::string_view catalog,
                                                CatalogText* text) {
  text->looked = true;
  Result r;
  if (StoreStatus s = Run(
          "SELECT id, hash, data FROM vuvorozo.dictionaries WHERE library_id "
          "= $1 AND catalog = $2 ORDER BY made DESC LIMIT 1",
          Params().Int(library).Bytes(catalog), &r);
      !s.ok()) {
    return s;
  }
  if (r.rows() == 0) return StoreStatus::Ok();
  uint32_t id = (uint32_t)r.Int(0, 0);
  auto cached = dictionaries_.find(id);
  if (cached != dictionaries_.end()) {
    text->dictionary = cached->second;
    return StoreStatus::Ok();
  }
  std::string bytes(r.Bytes(0, 2));
  auto found = std::make_shared<PageDictionary>(std::move(bytes));
  if ((int64_t)DictionaryHash(found->bytes()) != r.Int(0, 1) || !found->ok() ||
      found->id() != id) {
    // A damaged dictionary is never written with, and no other is made
    // for the catalog here: check names it.
    text->failed = true;
    return StoreStatus::Ok();
  }
  dictionaries_[id] = found;
  text->dictionary = std::move(found);
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::TextFor(int64_t library, std::string_view catalog,
                                      CatalogText** out) {
  *out = nullptr;
  ForgetIfReconnected();
  int version = 0;
  if (StoreStatus s = Inspect(&version); !s.ok()) return s;
  if (version < 2) return StoreStatus::Ok();
  CatalogText* text = &texts_[{library, std::string(catalog)}];
  if (!text->looked) {
    if (StoreStatus s = LookForDictionary(library, catalog, text); !s.ok()) {
      return s;
    }
  }
  *out = text;
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::EncodePage(int64_t library,
                                         std::string_view catalog,
                                         const RecordPage& page) {
  // The pages handed over before it are the catalog's text before it.
  FinishEncoding(0);
  CatalogText* text = nullptr;
  if (StoreStatus s = TextFor(library, catalog, &text); !s.ok()) return s;
  codec_.Use(text != nullptr ? text->dictionary.get() : nullptr);
  std::string why;
  bool encoded = page.Encode(codec_, &why);
  codec_.Use(nullptr);
  if (!encoded) {
    return StoreStatus::IoError(shown_ +
                                ": a page could not be packed: " + why);
  }
  return NoteEncoded(library, catalog, text);
}

StoreStatus ServerConnection::NoteEncoded(int64_t library,
                                          std::string_view catalog,
                                          CatalogText* text) {
  if (text == nullptr || text->failed) return StoreStatus::Ok();
  const std::string& content = codec_.content();
  size_t stored = codec_.frame().size();
  if (text->dictionary != nullptr && !text->drifting) {
    // Text the dictionary serves badly (the text changed kind) is written
    // with another of the catalog's that fits it, or starts the samples of
    // the next.
    bool worse = text->fit.Worse(content.size(), stored);
    if (text->fit.ended()) {
      // The choice packs with the codec: the page's frame is kept aside,
      // and packed again with the dictionary chosen.
      std::shared_ptr<PageDictionary> had = text->dictionary;
      std::string frame = codec_.frame();
      if (StoreStatus s = ChooseFor(library, catalog, text, content); !s.ok()) {
        return s;
      }
      if (text->dictionary == had) {
        codec_.frame() = std::move(frame);
      } else {
        codec_.Use(text->dictionary.get());
        std::string why;
        bool packed = codec_.Compress(codec_.content(), &why);
        codec_.Use(nullptr);
        if (!packed) {
          return StoreStatus::IoError(shown_ +
                                      ": a page could not be packed: " + why);
        }
        return StoreStatus::Ok();
      }
    }
    if (!worse || text->made >= kMostDictionaries) return StoreStatus::Ok();
    text->drifting = true;
  }
  // Inside a transaction, a dictionary stored could be rolled back after
  // pages named it: the samples wait for a page written outside one.
  if (changing_ > 0 && text->sample_bytes >= kDictionaryTrainBytes) {
    return StoreStatus::Ok();
  }
  NoteSampled(sampled_, text, [](CatalogText* dropped) {
    dropped->samples.clear();
    dropped->sample_bytes = dropped->sample_stored = 0;
  });
  AddSample(&text->samples, content);
  text->sample_bytes += content.size();
  text->sample_stored += stored;
  if (text->sample_bytes < kDictionaryTrainBytes) return StoreStatus::Ok();
  if ((double)text->sample_stored > kIncompressible * text->sample_bytes) {
    // Data that does not compress gains nothing: the samples start again
    // (or the dictionary the catalog has stays).
    text->samples.clear();
    text->sample_bytes = text->sample_stored = 0;
    text->drifting = false;
    return StoreStatus::Ok();
  }
  if (changing_ > 0) return StoreStatus::Ok();
  return MakeDictionaryOf(library, catalog, text);
}

StoreStatus ServerConnection::ChooseFor(int64_t library,
                                        std::string_view catalog,
                                        CatalogText* text,
                                        std::string_view content) {
  // Read again once the dictionary in use is none of those read (one was
  // made or found since).
  if (std::find(text->choices.begin(), text->choices.end(), text->dictionary) ==
      text->choices.end()) {
    text->choices.clear();
    Result r;
    if (StoreStatus s =
            Run("SELECT id, hash, data FROM vuvorozo.dictionaries WHERE "
                "library_id = $1 AND catalog = $2 ORDER BY made DESC LIMIT 16",
                Params().Int(library).Bytes(catalog), &r);
        !s.ok()) {
      return s;
    }
    for (int row = 0; row < r.rows(); ++row) {
      auto id = (uint32_t)r.Int(row, 0);
      auto cached = dictionaries_.find(id);
      if (cached != dictionaries_.end()) {
        text->choices.push_back(cached->second);
        continue;
      }
      auto found =
          std::make_shared<PageDictionary>(std::string(r.Bytes(row, 2)));
      // A damaged one is not chosen: check names it.
      if ((int64_t)DictionaryHash(found->bytes()) != r.Int(row, 1) ||
          !found->ok() || found->id() != id) {
        continue;
      }
      dictionaries_[id] = found;
      text->choices.push_back(std::move(found));
    }
    if (std::find(text->choices.begin(), text->choices.end(),
                  text->dictionary) == text->choices.end()) {
      text->choices.push_back(text->dictionary);
    }
  }
  ChooseDictionary(codec_, text->choices, content, &text->dictionary,
                   &text->fit);
  codec_.Use(nullptr);
  return StoreStatus::Ok();
}

// Makes the catalog a dictionary of the samples and stores it, unless
// another connection made one meanwhile, which it then takes. The frame
// in the codec is left as it is.
StoreStatus ServerConnection::MakeDictionaryOf(int64_t library,
                                               std::string_view catalog,
                                               CatalogText* text) {
  std::vector<std::string> samples = std::move(text->samples);
  text->samples.clear();
  text->sample_bytes = text->sample_stored = 0;
  text->drifting = false;
  text->fit.Start(0);
  uint32_t had = text->dictionary != nullptr ? text->dictionary->id() : 0;
  if (StoreStatus s = LookForDictionary(library, catalog, text); !s.ok()) {
    return s;
  }
  if (text->failed) return StoreStatus::Ok();
  if (text->dictionary != nullptr && text->dictionary->id() != had) {
    return StoreStatus::Ok();
  }
  std::shared_ptr<PageDictionary> made;
  if (StoreStatus s =
          StoreDictionary(library, catalog, samples, nullptr, &made);
      !s.ok()) {
    return s;
  }
  if (made == nullptr) {
    // The catalog is written without one, or with the one it had.
    text->failed = true;
    return StoreStatus::Ok();
  }
  text->dictionary = std::move(made);
  ++text->made;
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::StoreDictionary(
    int64_t library, std::string_view catalog,
    const std::vector<std::string>& samples,
    const std::function<bool(PageDictionary& made)>& worth,
    std::shared_ptr<PageDictionary>* stored) {
  stored->reset();
  std::string joined;
  for (const std::string& sample : samples) joined += sample;
  // The id is the bytes' own, unless another dictionary of the database
  // has it.
  for (int attempt = 0; attempt < 8; ++attempt) {
    uint32_t id = DictionaryIdFor(joined, attempt);
    std::string bytes, why;
    if (!MakeDictionary(id, samples, {}, false, kDictionarySize, &bytes,
                        &why)) {
      return StoreStatus::Ok();
    }
    auto made = std::make_shared<PageDictionary>(std::move(bytes));
    if (!made->ok() || (worth && !worth(*made))) return StoreStatus::Ok();
    Result r;
    if (StoreStatus s =
            Run("INSERT INTO vuvorozo.dictionaries (id, library_id, catalog, "
                "hash, data) VALUES ($1, $2, $3, $4, $5) ON CONFLICT (id) DO "
                "NOTHING RETURNING id",
                Params()
                    .Int(id)
                    .Int(library)
                    .Bytes(catalog)
                    .Int((int64_t)DictionaryHash(made->bytes()))
                    .Bytes(made->bytes()),
                &r);
        !s.ok()) {
      return s;
    }
    if (r.rows() == 1) {
      dictionaries_[id] = made;
      *stored = std::move(made);
      return StoreStatus::Ok();
    }
  }
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::RenewDictionaries(int64_t library) {
  ForgetIfReconnected();
  int version = 0;
  if (StoreStatus s = Inspect(&version); !s.ok() || version < 2) return s;
  Result catalogs;
  if (StoreStatus s = Run(
          "SELECT c.id, c.name, coalesce(sum(octet_length(p.data)), 0)::int8 "
          "FROM vuvorozo.catalogs c JOIN vuvorozo.entries e ON e.catalog_id = "
          "c.id JOIN vuvorozo.pages p ON p.version_id = e.version_id WHERE "
          "c.library_id = $1 GROUP BY c.id, c.name ORDER BY c.id",
          Params().Int(library), &catalogs);
      !s.ok()) {
    return s;
  }
  for (int i = 0; i < catalogs.rows(); ++i) {
    if (catalogs.Int(i, 2) < kRenewFirstBytes) continue;
    if (StoreStatus s = RenewCatalog(library, catalogs.Int(i, 0),
                                     std::string(catalogs.Bytes(i, 1)));
        !s.ok()) {
      return s;
    }
  }
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::RenewCatalog(int64_t library, int64_t catalog_id,
                                           const std::string& catalog) {
  // The catalog's pages, by key: those of its entries as they are now.
  Result keys;
  if (StoreStatus s = Run(
          "SELECT p.version_id, p.first FROM vuvorozo.entries e JOIN "
          "vuvorozo.pages p ON p.version_id = e.version_id WHERE e.catalog_id "
          "= $1 ORDER BY 1, 2",
          Params().Int(catalog_id), &keys);
      !s.ok()) {
    return s;
  }
  DictionaryFinder finder = Finder();
  // A page as stored: false when it is gone or does not read (check names
  // it; it is left as it is).
  auto load = [&](int row, RecordPage* page, std::string* stored) {
    Result r;
    StoreStatus s = Run(
        "SELECT count, longest, data FROM vuvorozo.pages WHERE version_id = "
        "$1 AND first = $2",
        Params().Int(keys.Int(row, 0)).Int(keys.Int(row, 1)), &r);
    std::string why;
    if (!s.ok() || r.rows() != 1) return false;
    *stored = std::string(r.Bytes(0, 2));
    return page->Decode(codec_, stored->data(), stored->size(),
                        (uint64_t)keys.Int(row, 1), (uint32_t)r.Int(0, 0),
                        (uint32_t)r.Int(0, 1), &why, finder);
  };
  // Samples from pages spread over the catalog, and as many pages between
  // them to try the new dictionary on.
  std::vector<std::string> samples;
  std::vector<RecordPage> trials;
  size_t trial_stored = 0;
  size_t count = (size_t)keys.rows();
  size_t stride = std::max<size_t>(1, count / kRenewSamplePages);
  for (size_t i = 0; i < count; ++i) {
    bool sample = i % stride == 0;
    bool trial = i % stride == stride / 2;
    if (!sample && !trial) continue;
    RecordPage page;
    std::string stored;
    if (!load((int)i, &page, &stored)) continue;
    if (trial) trial_stored += stored.size();
    if (sample) samples.push_back(page.Sample());
    if (trial) trials.push_back(std::move(page));
  }
  if (samples.empty() || trials.empty()) return StoreStatus::Ok();
  // A new dictionary must make the trial pages smaller than they are stored
  // now (by at least kRenewGain), or compact would make the library larger,
  // or rewrite it for nothing.
  auto worth = [&](PageDictionary& made) {
    return RenewWorth(codec_, made, trials, trial_stored);
  };
  std::shared_ptr<PageDictionary> dictionary;
  if (StoreStatus s =
          StoreDictionary(library, catalog, samples, worth, &dictionary);
      !s.ok() || dictionary == nullptr) {
    return s;
  }
  // This connection's writers of the catalog take it from now on.
  texts_.erase({library, catalog});
  // Every page again with it. A page is rewritten only while it holds what
  // was read of it: one another writer changed meanwhile stays as it is.
  for (size_t at = 0; at < count; at += kRenewBatchPages) {
    StoreStatus status = Change([&]() -> StoreStatus {
      for (size_t i = at; i < std::min(count, at + kRenewBatchPages); ++i) {
        RecordPage page;
        std::string stored, why;
        if (!load((int)i, &page, &stored) ||
            DictionaryOf(stored.data(), stored.size()) == dictionary->id()) {
          continue;
        }
        codec_.Use(dictionary.get());
        bool encoded = page.Encode(codec_, &why);
        codec_.Use(nullptr);
        if (!encoded) {
          return StoreStatus::IoError(shown_ +
                                      ": a page could not be packed: " + why);
        }
        if (StoreStatus s = Run(
                "UPDATE vuvorozo.pages SET data = $3 WHERE version_id = $1 AND "
                "first = $2 AND data = $4",
                Params()
                    .Int(keys.Int((int)i, 0))
                    .Int(keys.Int((int)i, 1))
                    .Bytes(codec_.frame())
                    .Bytes(stored));
            !s.ok()) {
          return s;
        }
      }
      return StoreStatus::Ok();
    });
    if (!status.ok()) return status;
  }
  return StoreStatus::Ok();
}

StoreStatus ServerConnection::PackVersions(int64_t library) {
  ForgetIfReconnected();
  int version = 0;
  if (StoreStatus s = Inspect(&version); !s.ok() || version < 3) return s;
  const int level = std::max(kCompactLevel, options_.compression_level);
  Result versions;
  if (StoreStatus s =
          Run("SELECT v.id FROM vuvorozo.entries e JOIN vuvorozo.catalogs c ON "
              "c.id = e.catalog_id JOIN vuvorozo.versions v ON v.id = "
              "e.version_id WHERE c.library_id = $1 AND v.packed < $2 ORDER BY "
              "v.id",
              Params().Int(library).Int(level), &versions);
      !s.ok()) {
    return s;
  }
  DictionaryFinder finder = Finder();
  codec_.set_level(level);
  StoreStatus status;
  for (int i = 0; i < versions.rows() && status.ok(); ++i) {
    int64_t id = versions.Int(i, 0);
    status = Change([&]() -> StoreStatus {
      Result pages;
      if (StoreStatus s = Run(
              "SELECT first, count, longest, data FROM vuvorozo.pages WHERE "
              "version_id = $1 ORDER BY first",
              Params().Int(id), &pages);
          !s.ok()) {
        return s;
      }
      for (int p = 0; p < pages.rows(); ++p) {
        std::string_view stored = pages.Bytes(p, 3);
        RecordPage page;
        std::string why;
        // A page that does not read is left as it is (check names it).
        if (!page.Decode(codec_, stored.data(), stored.size(),
                         (uint64_t)pages.Int(p, 0), (uint32_t)pages.Int(p, 1),
                         (uint32_t)pages.Int(p, 2), &why, finder)) {
          continue;
        }
        PageDictionary* own = nullptr;
        if (uint32_t named = DictionaryOf(stored.data(), stored.size());
            named != 0) {
          finder(named, &own, &why);
        }
        codec_.Use(own);
        bool encoded = page.Encode(codec_, &why);
        codec_.Use(nullptr);
        if (!encoded) {
          return StoreStatus::IoError(shown_ +
                                      ": a page could not be packed: " + why);
        }
        if (codec_.frame().size() >= stored.size()) continue;
        if (StoreStatus s = Run(
                "UPDATE vuvorozo.pages SET data = $3 WHERE version_id = $1 "
                "AND first = $2",
                Params().Int(id).Int(pages.Int(p, 0)).Bytes(codec_.frame()));
            !s.ok()) {
          return s;
        }
      }
      return Run("UPDATE vuvorozo.versions SET packed = $2 WHERE id = $1",
                 Params().Int(id).Int(level));
    });
  }
  codec_.set_level(options_.compression_level);
  return status;
}

DictionaryFinder ServerConnection::Finder() {
  return [this](uint32_t id, PageDictionary** dictionary, std::string* why) {
    ForgetIfReconnected();
    auto cached = dictionaries_.find(id);
    if (cached != dictionaries_.end()) {
      *dictionary = cached->second.get();
      return true;
    }
    std::string missing = "it needs dictionary " + std::to_string(id) +
                          ", which the library does not hold";
    int version = 0;
    if (StoreStatus s = Inspect(&version); !s.ok()) {
      *why = s.message();
      return false;
    }
    if (version < 2) {
      *why = missing;
      return false;
    }
    Result r;
    if (StoreStatus s =
            Run("SELECT hash, data FROM vuvorozo.dictionaries WHERE id = $1",
                Params().Int(id), &r);
        !s.ok()) {
      *why = s.message();
      return false;
    }
    if (r.rows() == 0) {
      *why = missing;
      return false;
    }
    auto found = std::make_shared<PageDictionary>(std::string(r.Bytes(0, 1)));
    if ((int64_t)DictionaryHash(found->bytes()) != r.Int(0, 0) ||
        !found->ok() || found->id() != id) {
      *why = "its dictionary " + std::to_string(id) + " is damaged";
      return false;
    }
    *dictionary = found.get();
    dictionaries_[id] = std::move(found);
    return true;
  };
}

StoreStatus ServerConnection::CheckDictionaries(int64_t library,
                                                std::string_view libref,
                                                LibraryCheck* check) {
  ForgetIfReconnected();
  int version = 0;
  if (StoreStatus s = Inspect(&version); !s.ok() || version < 2) return s;
  Result r;
  if (StoreStatus s =
          Run("SELECT id, hash, data, catalog FROM vuvorozo.dictionaries WHERE "
              "library_id = $1 ORDER BY id",
              Params().Int(library), &r);
      !s.ok()) {
    return s;
  }
  for (int i = 0; i < r.rows(); ++i) {
    uint32_t id = (uint32_t)r.Int(i, 0);
    PageDictionary dictionary{std::string(r.Bytes(i, 2))};
    if ((int64_t)DictionaryHash(dictionary.bytes()) != r.Int(i, 1) ||
        !dictionary.ok() || dictionary.id() != id) {
      check->problems.push_back("dictionary " + std::to_string(id) +
                                " (catalog " + std::string(libref) + "." +
                                std::string(r.Bytes(i, 3)) + ") is damaged");
      // Its pages are then read without what this connection kept of it.
      dictionaries_.erase(id);
    }
  }
  return StoreStatus::Ok();
}

}  // namespace postgres
}  // namespace refhost
