#include "cli/ExternalMode.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <utility>

#include "cli/Cli.h"
#include "cli/Operations.h"
#include "listfiles/ListFileReader.h"
#include "listfiles/ListFileWriter.h"
#include "listfiles/ListFiles.h"
#include "listfiles/PartitionedRun.h"
#include "lists/TextSet.h"

namespace karvello {

namespace {

constexpr char kStdin[] = "-";
// Blocks of input are handed on once they hold this much text: small enough
// that a block, its list and the output buffer stay in the cache together,
// and reserved whole, so that the list's storage is reused from block to
// block rather than mapped afresh.
constexpr std::size_t kBlockText = std::size_t{256} << 10;
constexpr std::size_t kOutputBuffer = std::size_t{256} << 10;
constexpr std::size_t kShortItem = 64;
// The least a default budget comes to, however little room a limit leaves.
constexpr std::uint64_t kSmallestBudget = std::uint64_t{1} << 20;

// What the in-memory run of `bytes` of list file needs at most: the text,
// twelve bytes of index per item, and the hash table of the operation.
std::uint64_t InMemoryNeed(std::uint64_t bytes) { return bytes * 2; }

std::uint64_t InMemoryNeed(const ItemList& list) {
  return list.TextBytes() + 40 * static_cast<std::uint64_t>(list.ListCount());
}

// A read that failed part-way; what() is the message for the user.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OutputError {
  int error;
};

// The inputs of one list, read in order in blocks into one item list.
class InputReader {
 public:
  InputReader(std::vector<std::string> paths, ItemList& list,
              const ExternalJob& job)
      : list_(list), job_(job) {
    for (std::string& path : paths) inputs_.push_back({std::move(path)});
  }
  ~InputReader() {
    for (const Input& input : inputs_) {
      if (input.fd > STDERR_FILENO) ::close(input.fd);
    }
  }
  InputReader(const InputReader&) = delete;
  InputReader& operator=(const InputReader&) = delete;

  // Opens every input before anything is read, so that one that is missing
  // or cannot be read stops the run before any output. Reports each such
  // input and returns false if there was any.
  bool Open() {
    bool ok = true;
    for (Input& input : inputs_) {
      input.fd = input.path == kStdin
                     ? STDIN_FILENO
                     : ::open(input.path.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat info {};
      const int error = input.fd < 0                    ? errno
                        : ::fstat(input.fd, &info) != 0 ? errno
                        : S_ISDIR(info.st_mode)         ? EISDIR
                                                        : 0;
      if (error != 0) {
        std::cerr << job_.load_error_text(input.path, error) << '\n';
        ok = false;
        continue;
      }
      if (S_ISREG(info.st_mode)) {
        known_bytes_ += static_cast<std::uint64_t>(info.st_size);
      } else {
        sizes_known_ = false;
      }
    }
    return ok;
  }

  // Reads the next block of input and appends the items it completes to the
  // list. False once every input has been read. Throws InputError.
  bool ReadBlock() {
    while (current_ < inputs_.size() && inputs_[current_].fd < 0) ++current_;
    if (current_ == inputs_.size()) return false;
    Input& input = inputs_[current_];
    if (!reader_) {
      reader_ = std::make_unique<ListFileReader>(list_, job_.split);
      if (pass_run_) {
        reader_->PassRunsTo(pass_line_end_,
                            [this](std::string_view bytes, std::size_t items) {
                              passed_ += bytes.size();
                              pass_run_(bytes, items);
                            });
      }
    }
    const std::span<char> space = reader_->Space();
    ssize_t n;
    do {
      n = ::read(input.fd, space.data(), space.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) throw InputError(job_.load_error_text(input.path, errno));
    if (n > 0) {
      reader_->Commit(static_cast<std::size_t>(n));
      return true;
    }
    reader_->Finish();
    reader_.reset();
    if (input.fd > STDERR_FILENO) ::close(input.fd);
    input.fd = -1;
    ++current_;
    return true;
  }

  // Empties the list and reads blocks until it holds at least `text` bytes
  // or the input ends. False when nothing was left to read.
  bool ReadText(std::size_t text) {
    // Room for a whole block at once keeps the list's storage in the
    // allocator's reuse from block to block.
    list_.Clear();
    list_.Reserve(static_cast<ItemList::Index>(text / 16), text + (64 << 10));
    passed_ = 0;
    bool any = false;
    while (list_.TextBytes() + passed_ < text && ReadBlock()) any = true;
    return any;
  }

  // Hands runs of lines that writing their items back with `line_end`
  // would leave unchanged to `run` (see ListFileReader::PassRunsTo).
  void PassRunsTo(std::string_view line_end, ListFileReader::RunFunction run) {
    pass_line_end_ = line_end;
    pass_run_ = std::move(run);
  }

  std::uint64_t known_bytes() const { return known_bytes_; }
  // False when an input's size is unknown (a pipe, a terminal).
  bool sizes_known() const { return sizes_known_; }

 private:
  struct Input {
    std::string path;
    int fd = -1;
  };
  ItemList& list_;
  const ExternalJob& job_;
  std::vector<Input> inputs_;
  std::size_t current_ = 0;
  std::unique_ptr<ListFileReader> reader_;
  std::string_view pass_line_end_;
  ListFileReader::RunFunction pass_run_;
  std::size_t passed_ = 0;  // bytes handed on as runs by this ReadText
  std::uint64_t known_bytes_ = 0;
  bool sizes_known_ = true;
};

// Writes items, each followed by a line end, to a descriptor in large
// blocks. Throws OutputError.
class ItemWriter {
 public:
  ItemWriter(int fd, std::string_view line_end)
      : fd_(fd),
        line_end_(line_end),
        buffer_(std::make_unique_for_overwrite<char[]>(kOutputBuffer)) {}

  void Write(std::string_view item) {
    ++items_;
    PutItem(item);
  }
  void Write(const ItemList& list) {
    const ItemList::Storage items = list.RawStorage();
    items_ += items.count;
    for (std::size_t i = 0; i < items.count; ++i) {
      const char* text = items.bytes + items.offsets[i];
      const std::size_t size = items.lengths[i];
      // A short item goes over in 16-byte steps that may run past its end,
      // where both buffers still have room: a call of memcpy per item costs
      // more than the copy.
      if (size <= kShortItem && line_end_.size() <= 2 &&
          kOutputBuffer - used_ >= kShortItem + 2 &&
          items.arena_size - items.offsets[i] >= kShortItem) {
        char* to = buffer_.get() + used_;
        for (std::size_t k = 0; k < size; k += 16) {
          std::memcpy(to + k, text + k, 16);
        }
        to[size] = line_end_[0];
        if (line_end_.size() == 2) to[size + 1] = line_end_[1];
        used_ += size + line_end_.size();
        continue;
      }
      PutItem(std::string_view(text, size));
    }
  }
  // Writes `bytes`, whole lines that hold `lines` items, as they are.
  void WriteLines(std::string_view bytes, std::uint64_t lines) {
    items_ += lines;
    Put(bytes);
  }
  void Flush() {
    WriteAll(buffer_.get(), used_);
    used_ = 0;
  }
  // How many items were written.
  std::uint64_t items() const { return items_; }

 private:
  void PutItem(std::string_view item) {
    const std::size_t need = item.size() + line_end_.size();
    if (need > kOutputBuffer - used_) {
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
  void Put(std::string_view bytes) {
    if (bytes.size() <= kOutputBuffer - used_) {
      std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
      return;
    }
    Flush();
    // Large bytes go to the output straight from where they are.
    if (bytes.size() >= kOutputBuffer / 2) {
      WriteAll(bytes.data(), bytes.size());
    } else {
      std::memcpy(buffer_.get(), bytes.data(), bytes.size());
      used_ = bytes.size();
    }
  }
  void WriteAll(const char* data, std::size_t size) {
    if (const int error = WriteAllFd(fd_, data, size)) {
      throw OutputError{error};
    }
  }

  int fd_;
  std::string_view line_end_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t items_ = 0;
};

// Produces the result through `body` to standard output or, by a safe
// replace, to OUT. Errors of the output are reported here; anything else
// that `body` throws is thrown on once OUT's temporary file is gone.
int WriteResult(const ExternalJob& job, ItemCounts& counts,
                const std::function<void(ItemWriter&)>& body) {
  std::exception_ptr failure;
  auto write = [&](int fd) -> int {
    try {
      ItemWriter out(fd, job.line_end);
      body(out);
      out.Flush();
      counts.written = out.items();
      return 0;
    } catch (const OutputError& e) {
      return e.error;
    } catch (...) {
      failure = std::current_exception();
      return EIO;
    }
  };
  const int error = job.out.empty() ? write(STDOUT_FILENO)
                                    : ReplaceWithOutput(job.out, write);
  if (failure) std::rethrow_exception(failure);
  if (error == 0) return kExitOk;
  std::cerr << OutputErrorText(job.out, error) << '\n';
  return kExitFailure;
}

int StreamBlocks(const ExternalJob& job, InputReader& input, ItemList& list,
                 ItemCounts& counts) {
  const ItemList none;
  return WriteResult(job, counts, [&](ItemWriter& out) {
    auto write_items = [&] {
      counts.read += static_cast<std::uint64_t>(list.ListCount());
      job.operation(list, none);
      out.Write(list);
    };
    if (job.keeps_every_item) {
      input.PassRunsTo(job.line_end,
                       [&](std::string_view bytes, std::size_t items) {
                         if (list.ListCount() != 0) {
                           write_items();
                           list.Clear();
                         }
                         counts.read += items;
                         out.WriteLines(bytes, items);
                       });
    }
    do {
      write_items();
    } while (input.ReadText(kBlockText));
  });
}

// Streams the list past a set of texts: the first copies seen so far, or
// the texts of the other list.
int StreamPastSet(const ExternalJob& job, InputReader& input,
                  InputReader& other_input, ItemList& list, ItemList& other,
                  ItemCounts& counts) {
  TextSet texts;
  std::vector<std::uint8_t> flags;
  // Under looser rules the set holds keys, and items are looked up by
  // theirs.
  ItemList keys;
  auto keyed = [&](const ItemList& items) -> const ItemList& {
    if (job.keys.Exact()) return items;
    keys = KeysOf(items, job.keys);
    return keys;
  };
  while (other_input.ReadText(kBlockText)) {
    flags.resize(static_cast<std::size_t>(other.ListCount()));
    texts.InsertAll(keyed(other), flags.data());
  }
  other.Clear();
  using Stream = ExternalJob::Stream;
  const bool wanted = job.stream != Stream::kNotInOther;
  return WriteResult(job, counts, [&](ItemWriter& out) {
    while (input.ReadText(kBlockText)) {
      counts.read += static_cast<std::uint64_t>(list.ListCount());
      flags.resize(static_cast<std::size_t>(list.ListCount()));
      if (job.stream == Stream::kFirstCopies) {
        texts.InsertAll(keyed(list), flags.data());
      } else {
        texts.FindAll(keyed(list), flags.data());
      }
      for (ItemList::Index i = 0; i < list.ListCount(); ++i) {
        if ((flags[static_cast<std::size_t>(i)] != 0) == wanted) {
          out.Write(list.UncheckedItem(i));
        }
      }
    }
  });
}

int RunPartitioned(const ExternalJob& job, InputReader& input,
                   InputReader& other_input, ItemList& list, ItemList& other,
                   std::uint64_t known_bytes, ItemCounts& counts) {
  PartitionedRun run({.temp_dir = job.temp_dir,
                      .part_bytes = job.budget / 3,
                      .expected_bytes = known_bytes,
                      .keys = job.keys,
                      .count_copies = job.count_copies});
  do {
    for (ItemList::Index i = 0; i < other.ListCount(); ++i) {
      run.AddOther(other.UncheckedItem(i));
    }
  } while (other_input.ReadText(kBlockText));
  do {
    counts.read += static_cast<std::uint64_t>(list.ListCount());
    for (ItemList::Index i = 0; i < list.ListCount(); ++i) {
      run.Add(list.UncheckedItem(i));
    }
  } while (input.ReadText(kBlockText));
  list.Clear();
  other.Clear();
  return WriteResult(job, counts, [&](ItemWriter& out) {
    std::string line;
    run.Finish(job.operation, [&](std::string_view item, std::uint64_t copies) {
      if (job.count_copies) {
        CountedItem(item, copies, line);
        item = line;
      }
      out.Write(item);
    });
  });
}

}  // namespace

bool ParseMemorySize(std::string_view text, std::size_t& bytes) {
  std::size_t digits = 0;
  std::uint64_t value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
    ++digits;
  }
  if (digits == 0 || text.size() - digits > 1) return false;
  int shift = 0;
  if (digits < text.size()) {
    switch (text[digits]) {
      case 'k':
      case 'K':
        shift = 10;
        break;
      case 'm':
      case 'M':
        shift = 20;
        break;
      case 'g':
      case 'G':
        shift = 30;
        break;
      case 't':
      case 'T':
        shift = 40;
        break;
      default:
        return false;
    }
  }
  if (value == 0 || value > (SIZE_MAX >> shift)) return false;
  bytes = static_cast<std::size_t>(value << shift);
  return true;
}

std::size_t DefaultMemoryBudget() {
  std::uint64_t budget = std::uint64_t{1} << 30;
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kib;
  while (meminfo >> key >> kib) {
    if (key == "MemAvailable:") {
      budget = kib * 1024 / 2;
      break;
    }
    meminfo.ignore(256, '\n');
  }
  // An address-space limit counts the program, its libraries, thread
  // stacks and mappings that are only reserved, not just the lists. The
  // libraries alone can take tens of megabytes, so the quarter is of what
  // is left after them.
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    std::uint64_t in_use = 0;
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages;
    if (statm >> pages) {
      in_use = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    }
    const std::uint64_t room =
        limit.rlim_cur > in_use ? (limit.rlim_cur - in_use) / 4 : 0;
    budget = std::min(budget, std::max<std::uint64_t>(room, kSmallestBudget));
  }
  return static_cast<std::size_t>(budget);
}

std::string OutputErrorText(const std::string& out, int error) {
  if (out.empty()) {
    return std::string("Cannot write to standard output: ") +
           std::strerror(error);
  }
  return SaveErrorText(out, std::strerror(error));
}

std::string DefaultTempDir() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

bool InputsFitInMemory(const std::vector<std::string>& paths,
                       std::size_t budget) {
  std::uint64_t bytes = 0;
  for (const std::string& path : paths) {
    struct stat info {};
    const int status = path == kStdin ? ::fstat(STDIN_FILENO, &info)
                                      : ::stat(path.c_str(), &info);
    if (status != 0) continue;
    if (!S_ISREG(info.st_mode)) return false;
    bytes += static_cast<std::uint64_t>(info.st_size);
  }
  return InMemoryNeed(bytes) <= budget;
}

int RunExternal(const ExternalJob& job, ItemCounts& counts) {
  ItemList list;
  ItemList other;
  InputReader other_input(job.other ? std::vector<std::string>{*job.other}
                                    : std::vector<std::string>{},
                          other, job);
  InputReader input(
      job.files.empty() ? std::vector<std::string>{kStdin} : job.files, list,
      job);
  bool opened = other_input.Open();
  opened = input.Open() && opened;
  if (!opened) return kExitFailure;
  const std::uint64_t known_bytes =
      input.known_bytes() + other_input.known_bytes();

  using Stream = ExternalJob::Stream;
  try {
    bool external = InMemoryNeed(known_bytes) > job.budget;
    const bool fits =
        !external && input.sizes_known() && other_input.sizes_known();
    auto over = [&] {
      return InMemoryNeed(list) + InMemoryNeed(other) > job.budget;
    };
    int status;
    if (job.stream == Stream::kPerItem) {
      status = StreamBlocks(job, input, list, counts);
    } else if (job.stream != Stream::kNo && fits) {
      status = StreamPastSet(job, input, other_input, list, other, counts);
    } else {
      while (!external && other_input.ReadBlock()) external = over();
      while (!external && input.ReadBlock()) external = over();
      if (external) {
        status = RunPartitioned(job, input, other_input, list, other,
                                known_bytes, counts);
      } else {
        counts.read = static_cast<std::uint64_t>(list.ListCount());
        status = job.in_memory(list, other);
        counts.written = static_cast<std::uint64_t>(list.ListCount());
      }
    }
    return status;
  } catch (const InputError& e) {
    std::cerr << e.what() << '\n';
  } catch (const SpillError& e) {
    std::cerr << "karvello-cli: " << e.what() << '\n';
  }
  return kExitFailure;
}

}  // namespace karvello
