#include "listfiles/ItemWriter.h"

#include <cstring>

#include "listfiles/ListFileWriter.h"

namespace karvello {

namespace {

constexpr std::size_t kBufferBytes = std::size_t{256} << 10;
constexpr std::size_t kShortItem = 64;

}  // namespace

ItemWriter::ItemWriter(int fd, std::string_view line_end)
    : fd_(fd),
      line_end_(line_end),
      buffer_(std::make_unique_for_overwrite<char[]>(kBufferBytes)) {}

void ItemWriter::Write(std::string_view item) {
  ++items_;
  PutItem(item);
}

void ItemWriter::Write(const ItemList& list) {
  WriteWhere(list, [](std::size_t) { return true; });
}

void ItemWriter::Write(const ItemList& list, const std::uint8_t* marks,
                       bool marked) {
  WriteWhere(list, [=](std::size_t i) { return (marks[i] != 0) == marked; });
}

template <typename Keep>
void ItemWriter::WriteWhere(const ItemList& list, Keep keep) {
  const ItemList::Storage items = list.RawStorage();
  const std::size_t end_size = line_end_.size();
  for (std::size_t i = 0; i < items.count; ++i) {
    if (!keep(i)) continue;
    ++items_;
    const char* text = items.bytes + items.offsets[i];
    const std::size_t size = items.lengths[i];
    // A short item goes over in 16-byte steps that may run past its end,
    // where both buffers still have room: a call of memcpy per item costs
    // more than the copy (bench/stream.sh, remove-blanks).
    if (size <= kShortItem && end_size <= 2 &&
        kBufferBytes - used_ >= kShortItem + 2 &&
        items.arena_size - items.offsets[i] >= kShortItem) {
      char* to = buffer_.get() + used_;
      for (std::size_t k = 0; k < size; k += 16) {
        std::memcpy(to + k, text + k, 16);
      }
      to[size] = line_end_[0];
      if (end_size == 2) to[size + 1] = line_end_[1];
      used_ += size + end_size;
      continue;
    }
    PutItem(std::string_view(text, size));
  }
}

void ItemWriter::WriteLines(std::string_view bytes, std::uint64_t lines) {
  items_ += lines;
  Put(bytes);
}

int ItemWriter::Flush() {
  WriteOut(buffer_.get(), used_);
  used_ = 0;
  return error_;
}

void ItemWriter::PutItem(std::string_view item) {
  const std::size_t need = item.size() + line_end_.size();
  if (need > kBufferBytes - used_) {
    Put(item);
    Put(line_end_);
    return;
  }
  if (!item.empty()) {
    std::memcpy(buffer_.get() + used_, item.data(), item.size());
  }
  std::memcpy(buffer_.get() + used_ + item.size(), line_end_.data(),
              line_end_.size());
  used_ += need;
}

void ItemWriter::Put(std::string_view bytes) {
  if (bytes.size() <= kBufferBytes - used_) {
    if (!bytes.empty()) {
      std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
    }
    used_ += bytes.size();
    return;
  }
  static_cast<void>(Flush());
  // Large bytes go out straight from where they are.
  if (bytes.size() >= kBufferBytes / 2) {
    WriteOut(bytes.data(), bytes.size());
  } else {
    std::memcpy(buffer_.get(), bytes.data(), bytes.size());
    used_ = bytes.size();
  }
}

void ItemWriter::WriteOut(const char* data, std::size_t size) {
  if (error_ == 0 && size != 0) error_ = WriteAllFd(fd_, data, size);
}

int WriteListFd(const ItemList& list, int fd, std::string_view line_end) {
  ItemWriter writer(fd, line_end);
  writer.Write(list);
  return writer.Flush();
}

// The same on every system: the replacing is each system's own.
int ReplaceWithList(const ItemList& list, const std::string& path,
                    std::string_view line_end) {
  return ReplaceWithOutput(
      path, [&](int fd) { return WriteListFd(list, fd, line_end); });
}

}  // namespace karvello
