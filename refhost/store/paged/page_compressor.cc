// Pages compressed on threads beside the writer (page_compressor.h).

#include "refhost/store/paged/page_compressor.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "refhost/util/process.h"

namespace refhost {
namespace {

// A thread is woken once this many pages wait for one, or when the writer
// waits for a page: a wake for every page of a small entry would cost the
// writer about what compressing the page costs.
constexpr size_t kWakePages = 3;

}  // namespace

struct PageCompressor::Shared {
  struct Job {
    std::string content;
    std::shared_ptr<PageDictionary> dictionary;
    ZSTD_CDict_s* encoder = nullptr;  // the dictionary's, for level
    PageLevel level;
    std::string frame;
    std::string why;
    bool started = false;  // by a thread, or dropped
    bool done = false;
    bool ok = false;
    bool no_memory = false;  // the frame could not be had
  };

  // Compresses the job's content; never throws (a thread's end would be
  // the process's). compressor null: there was no memory for one.
  static void Run(ZSTD_CCtx_s* compressor, Job* job, std::string* frame,
                  std::string* why, bool* ok, bool* no_memory) {
    *ok = false;
    *no_memory = compressor == nullptr;
    if (compressor == nullptr) return;
    try {
      *ok = CompressFrame(compressor, job->encoder, job->level, job->content,
                          frame, why);
    } catch (const std::bad_alloc&) {
      frame->clear();
      *no_memory = true;
    }
  }

  // Ends a job with what Run gave; under the lock.
  void Finish(Job* job, std::string frame, std::string why, bool ok,
              bool no_memory) {
    job->frame = std::move(frame);
    job->why = std::move(why);
    job->ok = ok;
    job->no_memory = no_memory;
    job->done = true;
    done.notify_all();
  }

  // The first job no thread has started; null when none waits.
  std::shared_ptr<Job> Waiting() const {
    for (const auto& job : jobs) {
      if (!job->started) return job;
    }
    return nullptr;
  }

  // A thread's life: the jobs that wait, one at a time, until the end.
  void Work() {
    ZSTD_CCtx_s* compressor = NewPageCompressor();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      handed.wait(lock, [&] { return ending || Waiting() != nullptr; });
      if (ending) break;
      std::shared_ptr<Job> job = Waiting();
      job->started = true;
      lock.unlock();
      std::string frame, why;
      bool ok, no_memory;
      Run(compressor, job.get(), &frame, &why, &ok, &no_memory);
      lock.lock();
      Finish(job.get(), std::move(frame), std::move(why), ok, no_memory);
    }
    lock.unlock();
    FreePageCompressor(compressor);
  }

  std::mutex mutex;
  std::condition_variable handed;         // a job waits for a thread
  std::condition_variable done;           // a job was done
  std::deque<std::shared_ptr<Job>> jobs;  // in the order handed over
  bool ending = false;
  std::vector<std::thread> threads;
};

PageCompressor::PageCompressor(int threads)
    : most_threads_(threads < 1 ? 1 : threads),
      maker_(ProcessId()),
      shared_(std::make_unique<Shared>()) {}

PageCompressor::~PageCompressor() {
  if (!Usable()) {
    // The threads, and the locks they may have held, were the parent's.
    (void)shared_.release();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->ending = true;
  }
  shared_->handed.notify_all();
  for (std::thread& thread : shared_->threads) thread.join();
}

bool PageCompressor::Usable() const { return ProcessId() == maker_; }

PageCompressor* UsableCompressor(std::unique_ptr<PageCompressor>* held) {
  if (*held != nullptr && !(*held)->Usable()) held->reset();
  if (*held == nullptr) {
    *held = std::make_unique<PageCompressor>(
        std::min(2, std::max(1, (int)std::thread::hardware_concurrency())));
  }
  return held->get();
}

size_t PageCompressor::pending() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->jobs.size();
}

void PageCompressor::Hand(std::string content,
                          std::shared_ptr<PageDictionary> dictionary,
                          PageLevel level) {
  auto job = std::make_shared<Shared::Job>();
  job->content = std::move(content);
  // Digested here, where the dictionary is used alone.
  if (dictionary != nullptr) job->encoder = dictionary->ForLevel(level);
  job->dictionary = std::move(dictionary);
  job->level = level;
  Shared& s = *shared_;
  bool wake;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.jobs.push_back(std::move(job));
    size_t unfinished = 0, waiting = 0;
    for (const auto& j : s.jobs) {
      unfinished += j->done ? 0 : 1;
      waiting += j->started ? 0 : 1;
    }
    wake = waiting >= kWakePages;
    // A thread more while more pages are being compressed or waiting
    // than there are threads. Without one (no room for its stack), Take
    // compresses the page itself.
    if (wake && s.threads.size() < (size_t)most_threads_ &&
        unfinished > s.threads.size()) {
      try {
        s.threads.emplace_back([&s] { s.Work(); });
      } catch (const std::system_error&) {
      }
    }
  }
  if (wake) s.handed.notify_one();
}

bool PageCompressor::Take(std::string* content, std::string* frame,
                          std::shared_ptr<PageDictionary>* dictionary,
                          std::string* why) {
  Shared& s = *shared_;
  std::shared_ptr<Shared::Job> job;
  {
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.jobs.empty()) {
      *why = "no page was handed over";
      return false;
    }
    job = s.jobs.front();
    if (!job->started && s.threads.empty()) {
      // No thread to take it: compressed here.
      job->started = true;
      lock.unlock();
      ZSTD_CCtx_s* compressor = NewPageCompressor();
      std::string compressed, reason;
      bool ok, no_memory;
      Shared::Run(compressor, job.get(), &compressed, &reason, &ok, &no_memory);
      FreePageCompressor(compressor);
      lock.lock();
      s.Finish(job.get(), std::move(compressed), std::move(reason), ok,
               no_memory);
    }
    if (!job->done) s.handed.notify_all();
    s.done.wait(lock, [&] { return job->done; });
    s.jobs.pop_front();
  }
  *content = std::move(job->content);
  *frame = std::move(job->frame);
  *dictionary = std::move(job->dictionary);
  if (job->no_memory) {
    *why = "a page could not be compressed: no memory";
  } else if (!job->ok) {
    *why = job->why;
  }
  return job->ok;
}

void PageCompressor::Drop(size_t count) {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (count > s.jobs.size()) count = s.jobs.size();
  size_t from = s.jobs.size() - count;
  // No thread starts the jobs dropped; those being compressed are waited
  // for.
  for (size_t i = from; i < s.jobs.size(); ++i) {
    if (!s.jobs[i]->started) s.jobs[i]->started = s.jobs[i]->done = true;
  }
  s.done.wait(lock, [&] {
    for (size_t i = from; i < s.jobs.size(); ++i) {
      if (!s.jobs[i]->done) return false;
    }
    return true;
  });
  s.jobs.erase(s.jobs.begin() + (std::ptrdiff_t)from, s.jobs.end());
}

}  // namespace refhost
