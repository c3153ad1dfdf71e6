// Heaps with accounting. Every block handed out is remembered with its
// size; a release of an address never handed out, or handed out and already
// released (among the last kReleasedWindow released), is counted instead of
// corrupting anything. Uncleared blocks come filled with a non-zero pattern
// and released blocks are poisoned before they go back to the C library, so
// a module that relies on either fails.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "refhost/host/host.h"

namespace refhost {

HeapArena::~HeapArena() {
  for (auto& [block, size] : live_) std::free(const_cast<void*>(block));
}

void* HeapArena::Allocate(int32_t size, int32_t option) {
  if (fail_after_ >= 0) {
    if (fail_after_ == 0) {
      if (fail_count_ > 0) {
        --fail_count_;
        ++stats_.failed_allocations;
        if (fail_count_ == 0) fail_after_ = -1;
        return nullptr;
      }
      fail_after_ = -1;
    } else {
      --fail_after_;
    }
  }
  if (size < 0) {
    ++stats_.failed_allocations;
    return nullptr;
  }
  void* block = std::malloc(size == 0 ? 1 : static_cast<size_t>(size));
  if (block == nullptr) return nullptr;
  std::memset(block, option == kAllocCleared ? 0 : kUnclearedFill,
              size == 0 ? 1 : static_cast<size_t>(size));
  live_[block] = size;
  ++stats_.allocations;
  ++stats_.live_blocks;
  stats_.live_bytes += size;
  return block;
}

bool HeapArena::Release(void* block) {
  auto it = live_.find(block);
  if (it == live_.end()) {
    if (ReleasedLately(block)) {
      ++stats_.double_releases;
    } else {
      ++stats_.unknown_releases;
    }
    return false;
  }
  int32_t size = it->second;
  live_.erase(it);
  auto address = reinterpret_cast<uintptr_t>(block);
  if (released_.size() < kReleasedWindow) {
    released_.push_back(address);
  } else {
    released_[released_next_] = address;
    released_next_ = (released_next_ + 1) % kReleasedWindow;
  }
  std::memset(block, kReleasedFill, size == 0 ? 1 : static_cast<size_t>(size));
  std::free(block);
  ++stats_.releases;
  --stats_.live_blocks;
  stats_.live_bytes -= size;
  return true;
}

// Looked for only on a bad release: a scan of the window is cheap then.
bool HeapArena::ReleasedLately(const void* block) const {
  return std::find(released_.begin(), released_.end(),
                   reinterpret_cast<uintptr_t>(block)) != released_.end();
}

int32_t HeapArena::SizeOf(const void* block) const {
  auto it = live_.find(block);
  return it == live_.end() ? -1 : it->second;
}

void HeapArena::FailAfter(int64_t after, int64_t count) {
  fail_after_ = after;
  fail_count_ = count;
}

}  // namespace refhost
