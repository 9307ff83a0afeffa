// The list-file reader: turns the bytes of a list file into items, one item
// per field, appended to an item list in file order.
//
// The fields of a list file:
//   - A field ends at a comma or at a line end. LF, CR LF and a lone CR each
//     end a line; the line end is consumed with the field it closes.
//   - A field whose first byte is a double quote is quoted when a closing
//     quote follows on the same line: the item is the text between the
//     quotes, commas included, followed by whatever stands between the
//     closing quote and the next comma or line end ("a"b,c gives ab and c).
//     An opening quote with no closing quote on its line is an ordinary byte
//     and the field is read as unquoted, so a stray quote never swallows the
//     lines after it. A quote anywhere else is an ordinary byte.
//   - Nothing is trimmed: blanks and tabs belong to the item.
//   - An empty line gives one empty item. A comma always starts another
//     field, so "a," gives a and an empty item, also at the end of the file.
//     An empty file gives no item.
//   - Bytes are kept exactly, NUL and invalid UTF-8 included.
//   - In line mode (FieldSplit::kLines) a field ends only at a line end:
//     commas and quotes are ordinary bytes, so each line is one item.
//   - In NUL mode (FieldSplit::kNul) a field ends only at a NUL byte, which
//     is consumed with it; every other byte, byte-order marks included,
//     belongs to the items.
//   - A UTF-8 byte-order mark at the start is dropped. A file that starts
//     with a UTF-16 byte-order mark (LE or BE) is decoded to UTF-8 first; an
//     unpaired surrogate or a final odd byte becomes U+FFFD.
//
// Example:
//   a,b<LF><LF>"x,y"<CR><LF>c   gives   a, b, (empty), x,y, c
//   and in line mode            gives   a,b, (empty), "x,y", c

#ifndef KARVELLO_LISTFILES_LISTFILEREADER_H_
#define KARVELLO_LISTFILES_LISTFILEREADER_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "lists/ItemList.h"

namespace karvello {

// Where a field ends: at a comma or a line end (quotes respected), only at
// a line end, or only at a NUL byte.
enum class FieldSplit { kCommasAndLines, kLines, kNul };

// Reads one list file that arrives in blocks of any size: the items come out
// the same however the bytes are split. Each field is appended to the list
// as soon as its end is seen; only an unfinished field is held back. When
// memory runs out, Commit and Finish throw what ItemList::AddItem throws; the
// items appended before stay.
//
//   ListFileReader reader(list);
//   for (std::span<char> space = reader.Space(); ; space = reader.Space()) {
//     const ssize_t n = read(fd, space.data(), space.size());
//     if (n <= 0) break;
//     reader.Commit(n);
//   }
//   reader.Finish();
class ListFileReader {
 public:
  explicit ListFileReader(ItemList& list,
                          FieldSplit split = FieldSplit::kCommasAndLines);
  ListFileReader(const ListFileReader&) = delete;
  ListFileReader& operator=(const ListFileReader&) = delete;

  // Room for the next input bytes, at least 64 KiB. Valid until the next
  // call of any member.
  std::span<char> Space();

  // Takes the first `n` bytes written into Space() as the next input and
  // appends every field they complete.
  void Commit(std::size_t n);

  // Copies `bytes` in and commits them.
  void Feed(std::string_view bytes);

  // Ends the input: appends the last field, if any. Call once.
  void Finish();

  // From now on, hands each run of at least `shortest` bytes of whole fields
  // that writing their items back, each followed by `line_end` ("\r\n" or
  // "\n"), would give unchanged to `run` as those bytes, with the number of
  // items (lines) they hold, instead of appending the items. Shorter runs
  // come as items: handing many short runs on, each after a few items,
  // costs more than it saves (bench/stream.sh, cat). A copy that keeps every
  // item then needs neither the items nor a second copy of their bytes. The run
  // follows the items appended before it, so `run` must deal with the list's
  // items first to keep the order. What `run` throws passes through Commit or
  // Finish. `line_end` must outlive the reader.
  //
  //   reader.PassRunsTo("\r\n", [&](std::string_view bytes, std::size_t) {
  //     WriteItems(list);  // the fields read before the run
  //     list.Clear();
  //     Write(bytes);
  //   });
  using RunFunction =
      std::function<void(std::string_view bytes, std::size_t items)>;
  void PassRunsTo(std::string_view line_end, RunFunction run,
                  std::size_t shortest = std::size_t{4} << 10);

 private:
  enum class Encoding { kUndecided, kBytes, kUtf16Le, kUtf16Be };

  void EnsureFree(std::size_t n);
  void DetectEncoding();
  void DecodeUtf16();
  // Appends every field whose end is in view.
  void Parse();
  // Hands the run of unchanged lines at `p` to the run function when it is
  // long enough, moving `p` past it; otherwise moves `try_run_from` past
  // the byte that broke the run.
  bool PassRun(const char*& p, const char* end, const char*& try_run_from);
  // Appends the field that starts at `field` and returns its end (its
  // delimiter, or `end`), or nullptr when its end is not in view yet:
  // scanned_ and close_quote_ then keep how far the scan got.
  const char* ParseField(const char* field, const char* end);
  // ParseField for a field whose closing quote is at `close`; the field was
  // scanned up to `field + scanned` before.
  const char* ParseQuoted(const char* field, const char* close,
                          std::size_t scanned, const char* end);
  // Consumes the delimiter at `p` (`end` when the input ended the field) and
  // returns where the next field starts.
  const char* SkipDelimiter(const char* p, const char* end);
  void AppendUtf8(char32_t c);
  const char* FindEnd(const char* p, const char* end) const;

  ItemList& list_;
  const FieldSplit split_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // first byte not yet parsed
  std::size_t end_ = 0;    // end of the bytes held
  Encoding encoding_ = Encoding::kUndecided;
  bool finished_ = false;
  // The last field ended with a comma, so another field follows even if the
  // input ends here.
  bool after_comma_ = false;
  // The last line ended with a CR that was the last byte held: an LF that
  // comes next belongs to that line end.
  bool pending_lf_ = false;
  // How far the scan of an unfinished field got, so that more input resumes
  // it rather than starting again: a field that arrives through a pipe in
  // small blocks would otherwise be scanned once per block. `scanned_` bytes
  // from the field's start are searched; `close_quote_` is the offset of its
  // closing quote, 0 while none is known.
  std::size_t scanned_ = 0;
  std::size_t close_quote_ = 0;
  std::string utf16_raw_;  // UTF-16 bytes not yet decoded
  std::string_view pass_line_end_;
  RunFunction pass_run_;  // empty unless PassRunsTo was called
  std::size_t pass_shortest_ = 0;
  std::string scratch_;  // a quoted field with text after its quote
};

// Appends the fields of `bytes`, a whole list file held in memory.
void ReadListFields(std::string_view bytes, ItemList& list,
                    FieldSplit split = FieldSplit::kCommasAndLines);

// Reads a list file through `read`, which fills up to `size` bytes at
// `buffer` and returns how many it filled, 0 at the end, or -1 with errno
// set. `size_hint` is the expected length (0 when unknown), used to reserve
// the list's storage once. Returns 0, or the errno of the failed read; the
// items read before a failure stay in the list.
using ReadFunction = std::function<long(char* buffer, std::size_t size)>;
[[nodiscard]] int ReadListStream(
    const ReadFunction& read, ItemList& list, std::size_t size_hint,
    FieldSplit split = FieldSplit::kCommasAndLines);

// ReadListStream over an open file descriptor; EINTR is retried.
[[nodiscard]] int ReadListFd(int fd, ItemList& list, std::size_t size_hint,
                             FieldSplit split = FieldSplit::kCommasAndLines);

}  // namespace karvello

#endif  // KARVELLO_LISTFILES_LISTFILEREADER_H_
