// The item writer: items, each followed by a line end, written to an open
// descriptor in large blocks. The window's Save, the command-line tool and
// WriteListFd all write through it, so a list comes out the same way
// wherever it goes.
//
//   ItemWriter out(fd, kCrLf);
//   out.Write(list);
//   out.Write("one more");
//   if (int error = out.Flush()) Report(error);

#ifndef KARVELLO_LISTFILES_ITEMWRITER_H_
#define KARVELLO_LISTFILES_ITEMWRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "lists/ItemList.h"

namespace karvello {

inline constexpr std::string_view kCrLf = "\r\n";

class ItemWriter {
 public:
  // `line_end` must outlive the writer.
  ItemWriter(int fd, std::string_view line_end);
  ItemWriter(const ItemWriter&) = delete;
  ItemWriter& operator=(const ItemWriter&) = delete;

  void Write(std::string_view item);
  void Write(const ItemList& list);
  // Writes the items i of `list`, in order, whose marks[i] != 0 equals
  // `marked`: `marks` holds one mark an item.
  void Write(const ItemList& list, const std::uint8_t* marks, bool marked);
  // Writes `bytes`, whole lines that already end in the line end and hold
  // `lines` items, as they are.
  void WriteLines(std::string_view bytes, std::uint64_t lines);

  // Writes out what is buffered. Returns 0, or the errno of the first write
  // that failed; after a failure nothing more is written, and an unknown
  // part of what came before has been.
  [[nodiscard]] int Flush();

  // The errno of the first failed write, 0 while there is none.
  [[nodiscard]] int error() const noexcept { return error_; }
  // Items written or buffered so far.
  std::uint64_t items() const noexcept { return items_; }

 private:
  // Writes the items i of `list` for which keep(i) holds.
  template <typename Keep>
  void WriteWhere(const ItemList& list, Keep keep);
  void PutItem(std::string_view item);
  void Put(std::string_view bytes);
  void WriteOut(const char* data, std::size_t size);

  int fd_;
  std::string_view line_end_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t items_ = 0;
  int error_ = 0;
};

// Writes the items of `list` to the open descriptor `fd`, each followed by
// `line_end`, from wherever the descriptor stands. Returns 0 or the errno of
// the failed write; after a failure an unknown part of the list has been
// written.
[[nodiscard]] int WriteListFd(const ItemList& list, int fd,
                              std::string_view line_end);

}  // namespace karvello

#endif  // KARVELLO_LISTFILES_ITEMWRITER_H_
