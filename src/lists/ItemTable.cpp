#include "lists/ItemTable.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace karvello::internal {

namespace {

constexpr std::size_t kHugePage = std::size_t{1} << 21;

}  // namespace

ZeroedBlock::ZeroedBlock(std::size_t bytes) {
  if (bytes == 0) return;
  if (bytes < kHugePage) {
    data_ = std::calloc(1, bytes);
    if (data_ == nullptr) throw std::bad_alloc();
    return;
  }
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  data_ = std::aligned_alloc(kHugePage, rounded);
  if (data_ == nullptr) throw std::bad_alloc();
  // Advice only: without huge pages the table still works, just slower.
  madvise(data_, rounded, MADV_HUGEPAGE);
  std::memset(data_, 0, rounded);
}

ZeroedBlock::~ZeroedBlock() { std::free(data_); }

}  // namespace karvello::internal
