// Files made on a thread beside the reading of their bytes (file_writer.h).

#include "cli/files/file_writer.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "cli/report.h"

namespace cli {
namespace {

// The thread is woken once this many files or bytes wait for it, or when
// the reader waits for a file: it makes files faster than they are read,
// and a wake for every file would cost the reader more than it saves.
constexpr size_t kWakeFiles = 8;
constexpr size_t kWakeBytes = 256 << 10;

}  // namespace

struct FileWriter::Shared {
  struct Job {
    int folder = -1;
    std::shared_ptr<const Descriptor> folder_owner;
    std::string name;
    std::string shown;
    std::string bytes;
    uint32_t mode = 0;
    int64_t modified_ns = 0;
    bool done = false;
    bool ok = false;
    bool no_memory = false;
    std::string error;
  };

  // Makes the file of job; false with *error.
  static bool Make(const Job& job, std::string* error) {
    ExportFile out(job.folder, job.name);
    if (!out.Create()) {
      *error = "cannot create a file in the folder: " + out.error();
      return false;
    }
    if (!WriteAll(out.fd(), job.bytes.data(), job.bytes.size())) {
      *error = "cannot write " + job.shown + ": " + SystemError();
      return false;
    }
    if (!out.Commit(job.mode, job.modified_ns)) {
      *error = "cannot write " + job.shown + ": " + out.error();
      return false;
    }
    return true;
  }

  // Makes the next job's file, the lock held on entry and on return;
  // never throws (a thread's end would be the process's).
  void MakeNext(std::unique_lock<std::mutex>& lock) {
    std::shared_ptr<Job> job = jobs[next++];
    lock.unlock();
    std::string error;
    bool ok = false;
    bool no_memory = false;
    try {
      ok = Make(*job, &error);
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
    lock.lock();
    job->ok = ok;
    job->no_memory = no_memory;
    job->error = std::move(error);
    job->done = true;
    held -= job->bytes.size();
    job->bytes = std::string();
    job->folder_owner.reset();
    made.notify_all();
  }

  void Work() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      handed.wait(lock, [&] { return ending || next < jobs.size(); });
      if (next == jobs.size()) break;  // ending, everything made
      MakeNext(lock);
    }
  }

  const size_t most_files;
  const size_t most_bytes;
  mutable std::mutex mutex;
  std::condition_variable handed;         // a job waits for the thread
  std::condition_variable made;           // a job was done
  std::deque<std::shared_ptr<Job>> jobs;  // in the order handed, not taken
  size_t next = 0;                        // jobs[next] is made next
  size_t held = 0;                        // bytes handed and not written
  bool ending = false;
  bool no_thread = false;  // none could be started
  std::thread thread;

  Shared(size_t files, size_t bytes) : most_files(files), most_bytes(bytes) {}
};

FileWriter::FileWriter(size_t most_files, size_t most_bytes)
    : shared_(std::make_unique<Shared>(most_files, most_bytes)) {}

FileWriter::~FileWriter() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->ending = true;
  }
  shared_->handed.notify_all();
  if (shared_->thread.joinable()) shared_->thread.join();
}

void FileWriter::Hand(int folder,
                      std::shared_ptr<const Descriptor> folder_owner,
                      std::string name, std::string shown, std::string bytes,
                      uint32_t mode, int64_t modified_ns) {
  auto job = std::make_shared<Shared::Job>();
  job->folder = folder;
  job->folder_owner = std::move(folder_owner);
  job->name = std::move(name);
  job->shown = std::move(shown);
  job->bytes = std::move(bytes);
  job->mode = mode;
  job->modified_ns = modified_ns;
  Shared& s = *shared_;
  bool wake;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.held += job->bytes.size();
    s.jobs.push_back(std::move(job));
    // Without a thread (no room for its stack), Take makes the files.
    if (!s.thread.joinable() && !s.no_thread) {
      try {
        s.thread = std::thread([&s] { s.Work(); });
      } catch (const std::system_error&) {
        s.no_thread = true;
      }
    }
    size_t waiting = s.jobs.size() - s.next;
    wake = waiting >= kWakeFiles || s.held >= kWakeBytes;
  }
  if (wake) s.handed.notify_one();
}

size_t FileWriter::pending() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->jobs.size();
}

bool FileWriter::OldestDone() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return !shared_->jobs.empty() && shared_->jobs.front()->done;
}

bool FileWriter::Room(size_t bytes) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  const Shared& s = *shared_;
  if (s.jobs.size() >= s.most_files) return false;
  return s.held == 0 || s.held + bytes <= s.most_bytes;
}

bool FileWriter::Take(std::string* error) {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.jobs.empty()) {
    *error = "no file was handed over";
    return false;
  }
  std::shared_ptr<Shared::Job> job = s.jobs.front();
  while (!job->done && s.no_thread) s.MakeNext(lock);
  if (!job->done) s.handed.notify_one();
  s.made.wait(lock, [&] { return job->done; });
  s.jobs.pop_front();
  --s.next;
  if (job->no_memory) {
    throw std::bad_alloc();
  } else if (!job->ok) {
    *error = job->error;
  }
  return job->ok;
}

}  // namespace cli
