// Pages decoded on a thread beside their reader (page_decoder.h).

#include "refhost/store/paged/page_decoder.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "refhost/util/process.h"

namespace refhost {

struct PageDecoder::Shared {
  // Decodes job with codec; never throws (a thread's end would be the
  // process's).
  static void Decode(PageCodec& codec, Job* job) {
    DictionaryFinder finder = [job](uint32_t id, PageDictionary** found,
                                    std::string* why) {
      if (job->dictionary != nullptr && job->dictionary->id() == id) {
        *found = job->dictionary.get();
        return true;
      }
      *why = job->missing;
      return false;
    };
    try {
      job->ok = job->page.Decode(codec, job->frame.data(), job->frame.size(),
                                 job->first, job->count, job->longest,
                                 &job->why, finder);
    } catch (const std::exception&) {
      job->ok = false;
      job->page = RecordPage();
      job->why.clear();  // said by the reader, which has the memory to
    }
    job->frame = std::string();
  }

  void Work() {
    PageCodec codec;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      handed.wait(lock, [&] { return ending || !jobs.empty(); });
      if (jobs.empty()) break;  // ending, every job decoded
      std::shared_ptr<Job> job = std::move(jobs.front());
      jobs.pop_front();
      lock.unlock();
      Decode(codec, job.get());
      lock.lock();
      job->done = true;
      decoded.notify_all();
    }
  }

  std::mutex mutex;
  std::condition_variable handed;   // a job waits for a thread
  std::condition_variable decoded;  // a job was done
  std::deque<std::shared_ptr<Job>> jobs;
  bool ending = false;
  bool no_thread = false;  // none could be started
  std::vector<std::thread> threads;
};

PageDecoder::PageDecoder()
    : maker_(ProcessId()), shared_(std::make_unique<Shared>()) {}

PageDecoder::~PageDecoder() {
  if (!Usable()) {
    // The thread, and the locks it may have held, were the parent's.
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

bool PageDecoder::Usable() const { return ProcessId() == maker_; }

void PageDecoder::Hand(std::shared_ptr<Job> job) {
  std::vector<std::shared_ptr<Job>> jobs;
  jobs.push_back(std::move(job));
  Hand(std::move(jobs));
}

void PageDecoder::Hand(std::vector<std::shared_ptr<Job>> jobs) {
  if (jobs.empty()) return;
  Shared& s = *shared_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (std::shared_ptr<Job>& job : jobs) s.jobs.push_back(std::move(job));
    // A thread more while jobs wait for one, up to one a processor (and
    // kThreads).
    static const size_t wanted =
        std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kThreads);
    if (!s.no_thread && s.threads.size() < std::min(wanted, s.jobs.size())) {
      try {
        s.threads.emplace_back([&s] { s.Work(); });
      } catch (const std::system_error&) {
        s.no_thread = s.threads.empty();
      }
    }
  }
  if (jobs.size() == 1) {
    s.handed.notify_one();
  } else {
    s.handed.notify_all();
  }
}

void PageDecoder::Wait(Job* job) {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.no_thread) {
    // Without a thread the jobs wait in order: this one and those before.
    while (!job->done && !s.jobs.empty()) {
      std::shared_ptr<Job> next = std::move(s.jobs.front());
      s.jobs.pop_front();
      lock.unlock();
      PageCodec codec;
      Shared::Decode(codec, next.get());
      lock.lock();
      next->done = true;
    }
  }
  s.decoded.wait(lock, [&] { return job->done; });
}

}  // namespace refhost
