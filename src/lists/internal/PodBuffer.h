// Storage arrays for item lists and scratch memory.

#ifndef KARVELLO_LISTS_INTERNAL_PODBUFFER_H_
#define KARVELLO_LISTS_INTERNAL_PODBUFFER_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace karvello::internal {

// Large arrays live in anonymous mappings of their own, aligned to and
// sized in 2 MiB steps and advised to use 2 MiB pages. A ten-million-item
// list touches about 300 MB; with 4 KiB pages the page faults alone cost more
// than reading the file (BM_LoadListFileOnly in bench/Form1Bench.cpp), and
// the list operations, which read items at random, would miss the TLB on
// nearly every item (the */10000000 cases of bench/ListsBench.cpp). Growing
// such a mapping moves its pages to a new aligned range (mremap) instead of
// copying them: realloc's own mremap lands on unaligned addresses, which
// splits the large pages and made random reads of a grown list several
// times slower (BM_Command in bench/Form1Bench.cpp works on lists grown by
// loading).
inline constexpr std::size_t kMappedFrom = std::size_t{4} << 20;
inline constexpr std::size_t kMappedStep = std::size_t{2} << 20;

// A new zero-filled mapping of `bytes` (a multiple of kMappedStep) bytes.
// Throws std::bad_alloc.
void* MapBlock(std::size_t bytes);
// Moves the `old_bytes` mapping at `old` to a new mapping of `new_bytes`,
// keeping its contents; on failure throws std::bad_alloc and leaves it.
void* RemapBlock(void* old, std::size_t old_bytes, std::size_t new_bytes);
void UnmapBlock(void* block, std::size_t bytes) noexcept;
// Faults in the whole pages of [begin, begin + bytes) for writing without
// reading or writing them, so that a first write later costs no page fault
// and no zeroing: another thread can take that cost off the one that
// writes. Advice only: a range that is not (or no longer) mapped, or a
// kernel without MADV_POPULATE_WRITE, leaves it undone.
void PrefaultBlock(void* begin, std::size_t bytes) noexcept;

// A growable array of trivially copyable values. Small arrays use malloc;
// large ones the mappings above, which grow in place (the pages not yet
// written are not resident) instead of being copied into a larger block.
template <typename T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PodBuffer() = default;
  PodBuffer(const PodBuffer& other) { *this = other; }
  PodBuffer(PodBuffer&& other) noexcept { Swap(other); }
  PodBuffer& operator=(const PodBuffer& other) {
    if (this != &other) {
      size_ = 0;
      Reserve(other.size_);
      if (other.size_ != 0) {
        std::memcpy(data_, other.data_, other.size_ * sizeof(T));
      }
      size_ = other.size_;
    }
    return *this;
  }
  PodBuffer& operator=(PodBuffer&& other) noexcept {
    PodBuffer moved(std::move(other));
    Swap(moved);
    return *this;
  }
  ~PodBuffer() { Free(); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

  void Reserve(std::size_t n) {
    if (n <= capacity_) return;
    if (n > (SIZE_MAX - kMappedStep) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (mapped_bytes_ != 0 || bytes >= kMappedFrom) {
      const std::size_t rounded =
          (bytes + kMappedStep - 1) / kMappedStep * kMappedStep;
      void* block;
      if (mapped_bytes_ != 0) {
        block = RemapBlock(data_, mapped_bytes_, rounded);
      } else {
        block = MapBlock(rounded);
        if (size_ != 0) std::memcpy(block, data_, size_ * sizeof(T));
        std::free(data_);
      }
      data_ = static_cast<T*>(block);
      mapped_bytes_ = rounded;
      capacity_ = rounded / sizeof(T);
      return;
    }
    void* grown = std::realloc(data_, bytes);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = n;
  }
  // Makes room for `extra` more values, growing geometrically.
  void Grow(std::size_t extra) {
    if (extra <= capacity_ - size_) return;
    if (extra > SIZE_MAX / sizeof(T) - size_) throw std::bad_alloc();
    std::size_t want = size_ + extra;
    std::size_t doubled = capacity_ < SIZE_MAX / 2 ? capacity_ * 2 : want;
    Reserve(want > doubled ? want : (doubled < 64 ? 64 : doubled));
  }
  void PushBack(T value) {
    Grow(1);
    data_[size_++] = value;
  }
  void Append(const T* values, std::size_t n) {
    Grow(n);
    if (n != 0) std::memcpy(data_ + size_, values, n * sizeof(T));
    size_ += n;
  }
  void Erase(std::size_t i) {
    std::memmove(data_ + i, data_ + i + 1, (size_ - i - 1) * sizeof(T));
    --size_;
  }
  void Resize(std::size_t n) {
    Reserve(n);
    size_ = n;
  }
  // Frees the memory too: a cleared ten-million-item list should give its
  // memory back, not keep it for a list that may never come.
  void Release() noexcept {
    Free();
    data_ = nullptr;
    size_ = capacity_ = mapped_bytes_ = 0;
  }
  void Swap(PodBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(mapped_bytes_, other.mapped_bytes_);
  }

 private:
  void Free() noexcept {
    if (mapped_bytes_ != 0) {
      UnmapBlock(data_, mapped_bytes_);
    } else {
      std::free(data_);
    }
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t mapped_bytes_ = 0;  // 0 while the array is malloc's
};

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_PODBUFFER_H_
