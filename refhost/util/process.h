// The process's id, for what a child of fork() must not take for its
// parent's (threads, pages handed to them).

#ifndef VUVOROZO_REFHOST_UTIL_PROCESS_H_
#define VUVOROZO_REFHOST_UTIL_PROCESS_H_

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

namespace refhost {

// getpid() without a system call each time (the C library asks the kernel
// at every call, and a reader asks once or twice an entry): kept, and
// forgotten in the child of every fork.
inline pid_t ProcessId() {
  static std::atomic<pid_t> kept{0};
  static const bool forgotten_in_children =
      pthread_atfork(
          nullptr, nullptr,
          +[] { kept.store(0, std::memory_order_relaxed); }) == 0;
  pid_t pid = kept.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = getpid();
    if (forgotten_in_children) kept.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

}  // namespace refhost

#endif  // VUVOROZO_REFHOST_UTIL_PROCESS_H_
