// Pages decoded beside their reader: a reader going through an entry hands
// over the stored form of its next page while it reads the records of the
// page before, and finds it decoded (decompressed, checked, its records
// found) when it gets there. A large entry is then read in about the time
// its records take, not that and its pages' decompression.
//
// Up to kThreads threads (no more than the processors), started as pages
// wait for them and ended with the decoder; a child of fork() has none
// (Usable()), and where no thread can be started the reader decodes the
// page itself when it waits for it.

#ifndef VUVOROZO_REFHOST_STORE_PAGED_PAGE_DECODER_H_
#define VUVOROZO_REFHOST_STORE_PAGED_PAGE_DECODER_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "refhost/store/paged/record_page.h"

namespace refhost {

class PageDecoder {
 public:
  // A page to decode: its stored form and what its row says of it, with the
  // dictionary its frame names (null: none, or none the library holds: the
  // decoding then fails as a read would). The result once done.
  struct Job {
    std::string frame;
    uint64_t first = 0;
    uint32_t count = 0;
    uint32_t longest = 0;
    std::shared_ptr<PageDictionary> dictionary;
    std::string missing;  // why no dictionary was found, when not
    RecordPage page;      // the records, when ok
    std::string why;      // why not, when not
    bool ok = false;
    bool done = false;
  };

  static constexpr size_t kThreads = 2;

  PageDecoder();
  // Ends the thread; jobs handed over and still held by readers are decoded
  // first.
  ~PageDecoder();
  PageDecoder(const PageDecoder&) = delete;
  PageDecoder& operator=(const PageDecoder&) = delete;

  bool Usable() const;
  void Hand(std::shared_ptr<Job> job);
  // Hands over several at once, waking the threads once.
  void Hand(std::vector<std::shared_ptr<Job>> jobs);
  // Waits until the job is decoded.
  void Wait(Job* job);

 private:
  struct Shared;
  const pid_t maker_;
  std::unique_ptr<Shared> shared_;  // held apart, as PageCompressor's
};

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_PAGED_PAGE_DECODER_H_
