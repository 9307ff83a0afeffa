#include "lists/ItemHash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "lists/internal/ItemHash.h"
#ifndef _WIN32
#include "support/Processes.h"
#endif

namespace karvello::internal {
namespace {

// 32-byte items whose first 8 bytes are the multiplier the hash once used
// unkeyed: that block zeroed its state, so that all such items of one
// length and one tail had the same hash.
std::string ZeroingItem(int number) {
  static const char kMultiplier[] = "\xc9\xac\x2e\x96\x93\x4b\xb8\x8b";
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08x", number);
  return std::string(kMultiplier, 8) + digits + "@example.org.xx!";
}

TEST(ItemHashTest, ItemsBuiltToCollideDoNot) {
  const ItemHasher hasher;
  std::set<std::uint64_t> hashes;
  std::set<std::uint64_t> tops;
  constexpr int kItems = 4000;
  for (int k = 0; k < kItems; ++k) {
    const std::string item = ZeroingItem(k);
    ASSERT_EQ(item.size(), 32u);
    hashes.insert(hasher(item));
    // The buckets of the big lists come from the top bits.
    tops.insert(hasher(item) >> 52);
  }
  EXPECT_EQ(hashes.size(), static_cast<std::size_t>(kItems));
  // 4096 buckets: a fair spread fills most of them.
  EXPECT_GT(tops.size(), 2000u);
}

TEST(ItemHashTest, EveryWordOfTheKeyChangesEveryHash) {
  const HashKey key{{0x0123456789abcdefULL, 0xfedcba9876543210ULL, 42}};
  std::string text;
  for (int size = 0; size <= 40; ++size) {
    for (int word = 0; word < 3; ++word) {
      HashKey other = key;
      other.words[word] ^= std::uint64_t{1} << (size % 64);
      EXPECT_NE(HashBytes(text.data(), text.size(), key),
                HashBytes(text.data(), text.size(), other))
          << "size " << size << ", word " << word;
    }
    text.push_back(static_cast<char>('a' + size % 26));
  }
}

TEST(ItemHashTest, EqualTextsHashAlikeWhateverSurroundsThem) {
  const ItemHasher hasher;
  for (int size = 0; size <= 40; ++size) {
    std::string text;
    for (int k = 0; k < size; ++k) text.push_back(static_cast<char>(k * 7));
    // The same bytes at another alignment, between bytes that differ: a
    // hash that read outside the text would tell the copies apart.
    std::string before(3, '\xff');
    std::string after(9, '\x01');
    const std::string padded = before + text + after;
    const std::string other_padded =
        std::string(1, '\x7f') + text + std::string(9, '\x02');
    EXPECT_EQ(hasher(padded.data() + 3, text.size()),
              hasher(other_padded.data() + 1, text.size()))
        << "size " << size;
    EXPECT_EQ(hasher(text), hasher(padded.data() + 3, text.size()));
  }
}

bool FailingSource(void*, std::size_t) { return false; }
bool PatternSource(void* buffer, std::size_t size) {
  std::memset(buffer, 0x5a, size);
  return true;
}

bool SameKey(const HashKey& a, const HashKey& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(ItemHashTest, KeyComesFromTheRandomSourceOrElseDiffersAnyway) {
  const HashKey from_source = MakeHashKey(&PatternSource);
  for (const std::uint64_t word : from_source.words) {
    EXPECT_EQ(word, 0x5a5a5a5a5a5a5a5aULL);
  }

  // Without a random source, two keys still differ, and none is all zero;
  // so do the first keys of two processes that start out alike (a child
  // forked before either made one; Windows cannot fork).
  auto key_bytes = [] {
    const HashKey key = MakeHashKey(&FailingSource);
    return std::string(reinterpret_cast<const char*>(&key), sizeof key);
  };
#ifndef _WIN32
  const std::string in_child = testing::RunInChild(key_bytes).written;
#endif
  const std::string first = key_bytes();
#ifndef _WIN32
  EXPECT_EQ(in_child.size(), first.size());
  EXPECT_NE(in_child, first);
#endif
  EXPECT_NE(key_bytes(), first);
  EXPECT_NE(first, std::string(sizeof(HashKey), '\0'));

  EXPECT_FALSE(SameKey(MakeHashKey(&SystemRandom), MakeHashKey(&SystemRandom)));
  EXPECT_TRUE(SameKey(ProcessHashKey(), ProcessHashKey()));
  const std::string text = "same text";
  EXPECT_EQ(ItemHasher()(text), ItemHasher()(text));
}

}  // namespace
}  // namespace karvello::internal
