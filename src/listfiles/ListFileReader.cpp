#include "listfiles/ListFileReader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace karvello {

namespace {

constexpr std::size_t kMinSpace = std::size_t{64} << 10;

// The first byte in [p, end) equal to a, b or c, or end. Items are short, so
// this runs once or twice per item: sixteen bytes per step keeps the load
// near memory speed (BM_LoadListFileOnly in bench/Form1Bench.cpp).
template <char A, char B, char C>
const char* FindAny(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(A);
  const __m128i vb = _mm_set1_epi8(B);
  const __m128i vc = _mm_set1_epi8(C);
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
        _mm_cmpeq_epi8(chunk, vc));
    const int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  for (; p != end; ++p) {
    if (*p == A || *p == B || *p == C) return p;
  }
  return end;
}

const char* FindFieldEnd(const char* p, const char* end) {
  return FindAny<',', '\n', '\r'>(p, end);
}

const char* FindLineEnd(const char* p, const char* end) {
  return FindAny<'\n', '\r', '\r'>(p, end);
}

const char* FindQuoteOrLineEnd(const char* p, const char* end) {
  return FindAny<'"', '\n', '\r'>(p, end);
}

// Where a scan for a run of unchanged lines ended: `end` is just past the
// last line end of the run (its start when there is none), `stop` the first
// byte that breaks it (a byte that ends a field otherwise, a line end of
// another kind) or the end of the bytes.
struct LineRun {
  const char* end;
  const char* stop;
  std::size_t lines;  // in the run
};

// Scans [p, end) for the longest run of whole lines each ending in CR LF
// (`crlf`) or LF and holding no CR or LF otherwise, nor, with `commas`, a
// comma or a double quote. A CR as the last byte breaks the run, since its
// LF may be yet to come.
// One piece, past 50 lines: the 64-byte loop and the byte loop share the
// run's state (its end, its lines, a CR carried over), and the byte loop
// takes up exactly where the wide one stopped.
LineRun FindLineRun(const char* p, const char* const end, bool crlf,
                    bool commas) {
  const char* run_end = p;
  std::size_t lines = 0;
  bool after_cr = false;
#if defined(__SSE2__)
  // 64 bytes a step, as bit masks: in CR LF mode every LF must sit just
  // after a CR and every CR just before an LF, so the LF mask equals the CR
  // mask moved on by one bit.
  auto mask = [](const char* at, char byte) {
    const __m128i v = _mm_set1_epi8(byte);
    std::uint64_t bits = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i chunk =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * k));
      bits |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(
                  _mm_movemask_epi8(_mm_cmpeq_epi8(chunk, v))))
              << (16 * k);
    }
    return bits;
  };
  std::uint64_t carry = 0;
  while (end - p >= 64) {
    const std::uint64_t lf = mask(p, '\n');
    const std::uint64_t cr = mask(p, '\r');
    std::uint64_t bad = commas ? mask(p, ',') | mask(p, '"') : 0;
    bad |= crlf ? lf ^ ((cr << 1) | carry) : cr;
    const std::uint64_t ends = bad == 0 ? lf : lf & ((bad & -bad) - 1);
    if (ends != 0) run_end = p + 64 - __builtin_clzll(ends);
    lines += static_cast<std::size_t>(__builtin_popcountll(ends));
    if (bad != 0) return {run_end, p + __builtin_ctzll(bad), lines};
    carry = crlf ? cr >> 63 : 0;
    p += 64;
  }
  after_cr = carry != 0;
#endif
  for (; p != end; ++p) {
    const char c = *p;
    if (c == '\n') {
      if (crlf && !after_cr) break;
      run_end = p + 1;
      ++lines;
      after_cr = false;
    } else if (after_cr || (c == '\r' && !crlf) ||
               (commas && (c == ',' || c == '"'))) {
      break;
    } else {
      after_cr = c == '\r';
    }
  }
  return {run_end, p, lines};
}

}  // namespace

ListFileReader::ListFileReader(ItemList& list, FieldSplit split)
    : list_(list), split_(split) {}

const char* ListFileReader::FindEnd(const char* p, const char* end) const {
  if (split_ == FieldSplit::kNul) {
    const void* nul = std::memchr(p, '\0', static_cast<std::size_t>(end - p));
    return nul != nullptr ? static_cast<const char*>(nul) : end;
  }
  return split_ == FieldSplit::kLines ? FindLineEnd(p, end)
                                      : FindFieldEnd(p, end);
}

void ListFileReader::EnsureFree(std::size_t n) {
  if (capacity_ - end_ >= n) return;
  // Slide the unfinished field to the front before growing: a field rarely
  // fills a block, so the buffer stays one block for the whole file.
  if (begin_ != 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (capacity_ - end_ >= n) return;
  // Input fed from memory may be a few bytes; a file gets kMinSpace at once.
  std::size_t grown = std::max({end_ + n, capacity_ * 2, std::size_t{256}});
  auto bigger = std::make_unique_for_overwrite<char[]>(grown);
  if (end_ != 0) std::memcpy(bigger.get(), buffer_.get(), end_);
  buffer_ = std::move(bigger);
  capacity_ = grown;
}

std::span<char> ListFileReader::Space() {
  EnsureFree(kMinSpace);
  return {buffer_.get() + end_, capacity_ - end_};
}

void ListFileReader::Feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t n = std::min(kMinSpace, bytes.size());
    EnsureFree(n);
    std::memcpy(buffer_.get() + end_, bytes.data(), n);
    Commit(n);
    bytes.remove_prefix(n);
  }
}

void ListFileReader::Commit(std::size_t n) {
  end_ += n;
  if (encoding_ == Encoding::kUndecided) {
    // Three bytes tell a byte-order mark from text.
    if (end_ - begin_ < 3) return;
    DetectEncoding();
  } else if (encoding_ != Encoding::kBytes) {
    utf16_raw_.append(buffer_.get() + end_ - n, n);
    end_ -= n;
    DecodeUtf16();
  }
  Parse();
}

void ListFileReader::Finish() {
  finished_ = true;
  if (encoding_ == Encoding::kUndecided) DetectEncoding();
  if (encoding_ == Encoding::kUtf16Le || encoding_ == Encoding::kUtf16Be) {
    DecodeUtf16();
  }
  Parse();
}

void ListFileReader::PassRunsTo(std::string_view line_end, RunFunction run,
                                std::size_t shortest) {
  pass_line_end_ = line_end;
  pass_run_ = std::move(run);
  pass_shortest_ = std::max<std::size_t>(shortest, 1);
}

void ListFileReader::DetectEncoding() {
  const auto* b = reinterpret_cast<const unsigned char*>(buffer_.get());
  const std::size_t held = end_ - begin_;
  encoding_ = Encoding::kBytes;
  if (split_ == FieldSplit::kNul) return;
  if (held >= 3 && b[begin_] == 0xEF && b[begin_ + 1] == 0xBB &&
      b[begin_ + 2] == 0xBF) {
    begin_ += 3;
  } else if (held >= 2 && ((b[begin_] == 0xFF && b[begin_ + 1] == 0xFE) ||
                           (b[begin_] == 0xFE && b[begin_ + 1] == 0xFF))) {
    encoding_ = b[begin_] == 0xFF ? Encoding::kUtf16Le : Encoding::kUtf16Be;
    utf16_raw_.assign(buffer_.get() + begin_ + 2, held - 2);
    begin_ = end_ = 0;
    DecodeUtf16();
  }
}

void ListFileReader::AppendUtf8(char32_t c) {
  char* out = buffer_.get() + end_;
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    end_ += 1;
  } else if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    end_ += 2;
  } else if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    end_ += 3;
  } else {
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    end_ += 4;
  }
}

void ListFileReader::DecodeUtf16() {
  constexpr char32_t kReplacement = 0xFFFD;
  const bool little = encoding_ == Encoding::kUtf16Le;
  const auto* raw = reinterpret_cast<const unsigned char*>(utf16_raw_.data());
  const std::size_t size = utf16_raw_.size();
  // Each code unit gives at most three UTF-8 bytes (a pair of four bytes
  // gives four), so 1.5 times the raw size is always enough.
  EnsureFree(size / 2 * 3 + 3);
  auto unit = [&](std::size_t at) -> char32_t {
    return little ? raw[at] | (raw[at + 1] << 8) : (raw[at] << 8) | raw[at + 1];
  };
  std::size_t i = 0;
  while (size - i >= 2) {
    const char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (size - i < 4) {
        if (!finished_) break;  // its pair may come with the next block
        AppendUtf8(kReplacement);
        i += 2;
        continue;
      }
      const char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 4;
      } else {
        AppendUtf8(kReplacement);
        i += 2;
      }
    } else {
      AppendUtf8(u >= 0xDC00 && u <= 0xDFFF ? kReplacement : u);
      i += 2;
    }
  }
  if (finished_ && size - i == 1) {
    AppendUtf8(kReplacement);
    i += 1;
  }
  utf16_raw_.erase(0, i);
}

bool ListFileReader::PassRun(const char*& p, const char* end,
                             const char*& try_run_from) {
  const LineRun run = FindLineRun(p, end, pass_line_end_.size() == 2,
                                  split_ == FieldSplit::kCommasAndLines);
  if (static_cast<std::size_t>(run.end - p) < pass_shortest_) {
    try_run_from = run.stop == end ? end : run.stop + 1;
    return false;
  }
  pass_run_(std::string_view(p, run.end - p), run.lines);
  p = run.end;
  after_comma_ = false;
  return true;
}

// Inlined into Parse's loop: a call for every field costs several percent of
// a load (BM_LoadListFileOnly in bench/Form1Bench.cpp).
[[gnu::always_inline]] inline const char* ListFileReader::ParseField(
    const char* field, const char* end) {
  // Where the scan of this field stopped for want of input last time; only
  // the first field of a call can have one.
  const std::size_t scanned = std::exchange(scanned_, 0);
  const std::size_t close_at = std::exchange(close_quote_, 0);
  if (*field == '"' && split_ == FieldSplit::kCommasAndLines) {
    const char* close =
        close_at != 0 ? field + close_at
                      : FindQuoteOrLineEnd(
                            field + std::max<std::size_t>(scanned, 1), end);
    if (close == end && !finished_) {  // the closing quote may still come
      scanned_ = static_cast<std::size_t>(end - field);
      return nullptr;
    }
    if (close != end && *close == '"') {
      return ParseQuoted(field, close, scanned, end);
    }
  }
  // A field that opens with an unclosed quote is read again from its start;
  // its line end, or the end of input, is already in view.
  const char* field_end = FindEnd(*field == '"' ? field : field + scanned, end);
  if (field_end == end && !finished_) {
    scanned_ = static_cast<std::size_t>(end - field);
    return nullptr;
  }
  list_.AddItem(std::string_view(field, field_end - field));
  return field_end;
}

const char* ListFileReader::ParseQuoted(const char* field, const char* close,
                                        std::size_t scanned, const char* end) {
  const char* field_end =
      FindFieldEnd(std::max(close + 1, field + scanned), end);
  if (field_end == end && !finished_) {
    close_quote_ = static_cast<std::size_t>(close - field);
    scanned_ = static_cast<std::size_t>(end - field);
    return nullptr;
  }
  if (field_end == close + 1) {
    list_.AddItem(std::string_view(field + 1, close - field - 1));
  } else {
    scratch_.assign(field + 1, close);
    scratch_.append(close + 1, field_end);
    list_.AddItem(scratch_);
  }
  return field_end;
}

const char* ListFileReader::SkipDelimiter(const char* p, const char* end) {
  if (p == end) {
    after_comma_ = false;
    return p;
  }
  const char delimiter = *p++;
  after_comma_ = delimiter == ',';
  if (delimiter == '\r') {
    if (p != end) {
      if (*p == '\n') ++p;
    } else if (!finished_) {
      pending_lf_ = true;
    }
  }
  return p;
}

void ListFileReader::Parse() {
  // No buffer means no byte ever came, so there is no field either.
  if (encoding_ == Encoding::kUndecided || buffer_ == nullptr) return;
  const char* const base = buffer_.get();
  const char* p = base + begin_;
  const char* const end = base + end_;
  if (pending_lf_ && p != end) {
    if (*p == '\n') ++p;
    pending_lf_ = false;
  }
  // Past a byte that broke a run, the next try starts beyond it, so that
  // no byte is scanned for runs more than once.
  const char* try_run_from = pass_run_ ? p : end;
  while (p != end) {
    if (p >= try_run_from && scanned_ == 0 && PassRun(p, end, try_run_from)) {
      continue;
    }
    const char* const field_end = ParseField(p, end);
    if (field_end == nullptr) break;
    p = SkipDelimiter(field_end, end);
  }
  if (p == end && finished_ && after_comma_) {
    list_.AddItem({});
    after_comma_ = false;
  }
  begin_ = static_cast<std::size_t>(p - base);
  if (begin_ == end_) begin_ = end_ = 0;
}

void ReadListFields(std::string_view bytes, ItemList& list, FieldSplit split) {
  ListFileReader reader(list, split);
  reader.Feed(bytes);
  reader.Finish();
}

int ReadListStream(const ReadFunction& read, ItemList& list,
                   std::size_t size_hint, FieldSplit split) {
  // The file's size bounds the text it holds, so the list's byte arena grows
  // once; the per-item arrays grow in place as they fill. The reservation
  // only saves time: a size that cannot be reserved (a sparse file, say)
  // leaves the list to grow as the items come.
  if (size_hint != 0) {
    try {
      list.Reserve(0, size_hint);
    } catch (const std::bad_alloc&) {
    }
  }
  ListFileReader reader(list, split);
  while (true) {
    std::span<char> space = reader.Space();
    const long n = read(space.data(), space.size());
    if (n < 0) return errno != 0 ? errno : EIO;
    if (n == 0) break;
    reader.Commit(static_cast<std::size_t>(n));
  }
  reader.Finish();
  return 0;
}

int ReadListFd(int fd, ItemList& list, std::size_t size_hint,
               FieldSplit split) {
  return ReadListStream(
      [fd](char* buffer, std::size_t size) -> long {
#ifdef _WIN32
        // The C runtime's read takes an unsigned int count.
        size = std::min<std::size_t>(size, std::size_t{1} << 30);
#endif
        while (true) {
          const ssize_t n = ::read(fd, buffer, size);
          if (n >= 0 || errno != EINTR) return static_cast<long>(n);
        }
      },
      list, size_hint, split);
}

}  // namespace karvello
