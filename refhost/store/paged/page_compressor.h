// Pages compressed beside the writer: a store hands over the content of a
// page it has to store (with the dictionary and level it is to be
// compressed with) and goes on with the next records, the host and the
// program meanwhile; it takes the frames back in the order it gave the
// pages and stores their rows then. Compression is most of what storing
// text costs, and a writer spends the rest of its time elsewhere, so the
// two run side by side on a machine of more than one processor.
//
// The threads start as pages wait for them and end with the compressor. A
// child of fork() has none of them: a compressor is used only by the
// process that made it (Usable()), and one a child drops leaves what the
// parent's threads held as it is.

#ifndef VUVOROZO_REFHOST_STORE_PAGED_PAGE_COMPRESSOR_H_
#define VUVOROZO_REFHOST_STORE_PAGED_PAGE_COMPRESSOR_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "refhost/store/paged/record_page.h"

namespace refhost {

class PageCompressor {
 public:
  // threads: at most this many compress at once (1 or more).
  explicit PageCompressor(int threads);
  // Waits for the pages being compressed and drops the rest.
  ~PageCompressor();
  PageCompressor(const PageCompressor&) = delete;
  PageCompressor& operator=(const PageCompressor&) = delete;

  // Whether this process made the compressor (not a child of a fork since).
  bool Usable() const;
  // Hands over a page's content, to be compressed at level with dictionary
  // (null: none), which the compressor keeps until it is done with it.
  void Hand(std::string content, std::shared_ptr<PageDictionary> dictionary,
            PageLevel level);
  // Pages handed over and not yet taken back.
  size_t pending() const;
  // Takes back the oldest page handed over, waiting until it is
  // compressed: its content, its frame and the dictionary it was
  // compressed with. False with *why when zstd failed or no page waits.
  bool Take(std::string* content, std::string* frame,
            std::shared_ptr<PageDictionary>* dictionary, std::string* why);
  // Drops the newest count pages handed over (those being compressed are
  // waited for); all of them by default.
  void Drop(size_t count = SIZE_MAX);

 private:
  struct Shared;
  const int most_threads_;
  const pid_t maker_;
  // The jobs and the threads, held apart: a child of a fork leaves them be.
  std::unique_ptr<Shared> shared_;
};

// The compressor *held keeps, made when there is none or the one there was
// made before a fork (the parent's, left to it): as many threads as the
// machine has processors, two at the most.
PageCompressor* UsableCompressor(std::unique_ptr<PageCompressor>* held);

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_STORE_PAGED_PAGE_COMPRESSOR_H_
