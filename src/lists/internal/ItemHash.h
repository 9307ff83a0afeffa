// Where the item hash's key comes from, with a seam for tests: the system's
// random source, or a fallback when that fails.

#ifndef KARVELLO_LISTS_INTERNAL_ITEMHASH_H_
#define KARVELLO_LISTS_INTERNAL_ITEMHASH_H_

#include <cstddef>

#include "lists/ItemHash.h"

namespace karvello::internal {

// Fills `size` bytes at `buffer` with random bytes and returns true, or
// returns false.
using RandomSource = bool (*)(void* buffer, std::size_t size);

// Fills from getrandom(2), retrying when interrupted; on Windows from
// BCryptGenRandom.
bool SystemRandom(void* buffer, std::size_t size) noexcept;

// A key from `source`; when it fails, a key mixed from the clocks, the
// process id, addresses (which the system places at random) and a count of
// calls, so that even then two keys, and two processes' keys, differ.
HashKey MakeHashKey(RandomSource source) noexcept;

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_ITEMHASH_H_
