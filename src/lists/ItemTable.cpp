#include "lists/ItemTable.h"

#include <cstdlib>
#include <new>

namespace karvello::internal {

ZeroedBlock::ZeroedBlock(std::size_t bytes) {
  if (bytes == 0) return;
  if (bytes < kMappedFrom) {
    data_ = std::calloc(1, bytes);
    if (data_ == nullptr) throw std::bad_alloc();
    return;
  }
  bytes_ = (bytes + kMappedStep - 1) / kMappedStep * kMappedStep;
  data_ = MapBlock(bytes_);
}

ZeroedBlock::~ZeroedBlock() {
  if (bytes_ != 0) {
    UnmapBlock(data_, bytes_);
  } else {
    std::free(data_);
  }
}

}  // namespace karvello::internal
