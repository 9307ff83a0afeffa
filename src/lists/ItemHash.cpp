#include "lists/internal/ItemHash.h"

#ifdef _WIN32
#include <windows.h>
// bcrypt.h needs windows.h first.
#include <bcrypt.h>
#else
#include <sys/random.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace karvello::internal {

namespace {

std::uint64_t SplitMix64(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Not secret against a local observer, but not knowable in advance by
// whoever wrote the list either.
HashKey FallbackKey() noexcept {
  static std::atomic<std::uint64_t> calls{0};
  const int local = 0;
  const std::uint64_t inputs[] = {
      static_cast<std::uint64_t>(
          std::chrono::system_clock::now().time_since_epoch().count()),
      static_cast<std::uint64_t>(
          std::chrono::steady_clock::now().time_since_epoch().count()),
      static_cast<std::uint64_t>(getpid()),
      reinterpret_cast<std::uintptr_t>(&local),
      reinterpret_cast<std::uintptr_t>(&FallbackKey),
      calls.fetch_add(1, std::memory_order_relaxed),
  };
  std::uint64_t state = 0;
  for (const std::uint64_t input : inputs) state = SplitMix64(state ^ input);
  HashKey key;
  for (std::uint64_t& word : key.words) word = state = SplitMix64(state);
  return key;
}

}  // namespace

bool SystemRandom(void* buffer, std::size_t size) noexcept {
  auto* out = static_cast<unsigned char*>(buffer);
#ifdef _WIN32
  while (size > 0) {
    const ULONG part = static_cast<ULONG>(std::min<std::size_t>(size, 1 << 30));
    if (BCryptGenRandom(nullptr, out, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG) <
        0) {
      return false;
    }
    out += part;
    size -= part;
  }
#else
  while (size > 0) {
    const ssize_t got = getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
#endif
  return true;
}

HashKey MakeHashKey(RandomSource source) noexcept {
  HashKey key;
  if (source(&key, sizeof key)) return key;
  return FallbackKey();
}

const HashKey& ProcessHashKey() noexcept {
  static const HashKey key = MakeHashKey(&SystemRandom);
  return key;
}

}  // namespace karvello::internal
