// Zero-filled scratch memory for the list operations.

#ifndef KARVELLO_LISTS_INTERNAL_ZEROEDBLOCK_H_
#define KARVELLO_LISTS_INTERNAL_ZEROEDBLOCK_H_

#include <cstddef>
#include <utility>

namespace karvello::internal {

// Zero-filled scratch memory. Large blocks are mapped like a large item
// list's arrays (see ItemList.h), on 2 MiB pages where the system allows;
// small ones are reused from earlier calls on the same thread.
class ZeroedBlock {
 public:
  explicit ZeroedBlock(std::size_t bytes);
  ZeroedBlock(const ZeroedBlock&) = delete;
  ZeroedBlock& operator=(const ZeroedBlock&) = delete;
  ZeroedBlock(ZeroedBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        mapped_bytes_(std::exchange(other.mapped_bytes_, 0)),
        cached_bytes_(std::exchange(other.cached_bytes_, 0)) {}
  ZeroedBlock& operator=(ZeroedBlock&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(mapped_bytes_, other.mapped_bytes_);
    std::swap(cached_bytes_, other.cached_bytes_);
    return *this;
  }
  ~ZeroedBlock();
  void* data() const noexcept { return data_; }

 private:
  void* data_ = nullptr;
  std::size_t mapped_bytes_ = 0;  // of the mapping; 0 for a small block
  std::size_t cached_bytes_ = 0;  // of a small block
};

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_ZEROEDBLOCK_H_
