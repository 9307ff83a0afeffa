#include "lists/internal/ZeroedBlock.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "lists/ItemList.h"

namespace karvello::internal {

namespace {

// Small blocks are kept for the next call on the same thread: a fresh block
// is fresh pages, whose faults can cost more than the whole operation on a
// list of thirty thousand items (the */32767 cases of bench/ListsBench.cpp).
//
// Not on Windows: there MinGW keeps thread_local objects in emulated
// thread storage, which a thread's end may release before the object's
// destructor runs, so the destructor would free whatever the released
// storage has come to hold.
class BlockCache {
 public:
  ~BlockCache() {
    for (std::size_t k = 0; k < count_; ++k) std::free(blocks_[k].data);
  }

  // A block of at least `bytes` bytes, or nullptr.
  void* Take(std::size_t bytes, std::size_t& capacity) noexcept {
    std::size_t best = count_;
    for (std::size_t k = 0; k < count_; ++k) {
      if (blocks_[k].bytes >= bytes &&
          (best == count_ || blocks_[k].bytes < blocks_[best].bytes)) {
        best = k;
      }
    }
    if (best == count_) return nullptr;
    void* data = blocks_[best].data;
    capacity = blocks_[best].bytes;
    blocks_[best] = blocks_[--count_];
    return data;
  }

  void Give(void* data, std::size_t bytes) noexcept {
    if (count_ == kSlots) {
      // Keep the larger blocks: they are the costly ones to fault in.
      std::size_t smallest = 0;
      for (std::size_t k = 1; k < count_; ++k) {
        if (blocks_[k].bytes < blocks_[smallest].bytes) smallest = k;
      }
      if (blocks_[smallest].bytes >= bytes) {
        std::free(data);
        return;
      }
      std::free(blocks_[smallest].data);
      blocks_[smallest] = blocks_[--count_];
    }
    blocks_[count_++] = {data, bytes};
  }

 private:
  static constexpr std::size_t kSlots = 4;
  struct Block {
    void* data;
    std::size_t bytes;
  };
  Block blocks_[kSlots] = {};
  std::size_t count_ = 0;
};

#ifndef _WIN32
thread_local BlockCache cache;
#endif

}  // namespace

ZeroedBlock::ZeroedBlock(std::size_t bytes) {
  if (bytes == 0) return;
  if (bytes >= kMappedFrom) {
    mapped_bytes_ = (bytes + kMappedStep - 1) / kMappedStep * kMappedStep;
    data_ = MapBlock(mapped_bytes_);
    return;
  }
#ifndef _WIN32
  data_ = cache.Take(bytes, cached_bytes_);
  if (data_ != nullptr) {
    std::memset(data_, 0, bytes);
    return;
  }
#endif
  data_ = std::calloc(1, bytes);
  if (data_ == nullptr) throw std::bad_alloc();
  cached_bytes_ = bytes;
}

ZeroedBlock::~ZeroedBlock() {
  if (mapped_bytes_ != 0) {
    UnmapBlock(data_, mapped_bytes_);
  } else if (data_ != nullptr) {
#ifdef _WIN32
    std::free(data_);
#else
    cache.Give(data_, cached_bytes_);
#endif
  }
}

}  // namespace karvello::internal
