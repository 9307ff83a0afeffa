#include "lists/TextSet.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "lists/internal/PodBuffer.h"
#include "support/ItemLists.h"

namespace karvello {
namespace {

using testing::ListOf;

// Texts that differ late, by length only, by a NUL, and long ones: the
// comparison reads eight bytes at a time and must still see every byte.
std::string RandomText(std::mt19937& random) {
  const int kind = static_cast<int>(random() % 6);
  std::string text =
      "prefix-shared-by-many-texts-" + std::to_string(random() % 5000);
  if (kind == 1) text.resize(random() % 9);
  if (kind == 2) text += std::string(1, '\0');
  if (kind == 3) text.assign(random() % 40, 'x');
  if (kind == 4) text += std::string(100 + random() % 100, 'y');
  return text;
}

TEST(TextSetTest, KeepsExactlyOneCopyOfEachTextAcrossGrowth) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    TextSet set;
    std::set<std::string> reference;
    // One at a time, then in batches, so that both paths see a table that
    // grows several times over.
    for (int i = 0; i < 20000; ++i) {
      const std::string text = RandomText(random);
      ASSERT_EQ(set.Insert(text), reference.insert(text).second) << i;
    }
    for (int batch = 0; batch < 10; ++batch) {
      std::vector<std::string> texts;
      for (int i = 0; i < 3000; ++i) texts.push_back(RandomText(random));
      std::vector<std::uint8_t> added(texts.size());
      set.InsertAll(ListOf(texts), added.data());
      for (std::size_t i = 0; i < texts.size(); ++i) {
        // A text repeated within the batch is added only the first time.
        ASSERT_EQ(added[i] != 0, reference.insert(texts[i]).second) << i;
      }
    }
    EXPECT_EQ(set.size(), reference.size());

    std::vector<std::string> probes;
    for (int i = 0; i < 5000; ++i) probes.push_back(RandomText(random));
    probes.push_back("");
    probes.push_back("prefix-shared-by-many-texts-");
    std::vector<std::uint8_t> found(probes.size());
    set.FindAll(ListOf(probes), found.data());
    for (std::size_t i = 0; i < probes.size(); ++i) {
      const bool in = reference.contains(probes[i]);
      EXPECT_EQ(found[i] != 0, in) << probes[i];
      EXPECT_EQ(set.Contains(probes[i]), in) << probes[i];
    }
  }
}

TEST(TextSetTest, EmptySetFindsNothingAndTheEmptyTextIsAText) {
  TextSet set;
  EXPECT_FALSE(set.Contains(""));
  std::vector<std::uint8_t> found(2, 7);
  set.FindAll(ListOf({"", "a"}), found.data());
  EXPECT_THAT(found, ::testing::ElementsAre(0, 0));
  EXPECT_TRUE(set.Insert(""));
  EXPECT_FALSE(set.Insert(""));
  EXPECT_TRUE(set.Contains(""));
  EXPECT_FALSE(set.Contains(std::string(1, '\0')));
  EXPECT_TRUE(set.Insert("Apple"));
  EXPECT_TRUE(set.Insert("apple"));
  EXPECT_TRUE(set.Insert("apple "));
  EXPECT_EQ(set.size(), 4u);
}

// Texts that agree on their length, and often on all bytes but one: with
// hashes that collide, only the byte comparison tells them apart.
std::string SameLengthText(std::mt19937& random, unsigned pool) {
  std::string text = "id-" + std::to_string(100000 + random() % pool);
  if (random() % 4 == 0) text.back() = '\0';
  if (random() % 8 == 0) text.resize(3);
  return text;
}

std::vector<std::uint64_t> HashesOf(const TextSet::Hasher& hasher,
                                    const std::vector<std::string>& texts) {
  std::vector<std::uint64_t> hashes;
  for (const std::string& text : texts) hashes.push_back(hasher(text));
  return hashes;
}

// Inserting, one at a time and in batches that repeat texts within
// themselves, then looking up, against a reference set: with each item's
// fate decided by the bytes when the hashes agree.
void CheckAgainstReference(std::uint64_t hash_bits, unsigned pool,
                           int batches) {
  std::mt19937 random(static_cast<unsigned>(hash_bits) ^ pool);
  TextSet set = TextSet::WithHashBitsForTesting(hash_bits);
  std::set<std::string> reference;
  for (int batch = 0; batch < batches; ++batch) {
    for (int i = 0; i < 20; ++i) {
      const std::string text = SameLengthText(random, pool);
      ASSERT_EQ(set.Insert(text), reference.insert(text).second) << text;
    }
    std::vector<std::string> texts;
    const int size = static_cast<int>(random() % 400);
    for (int i = 0; i < size; ++i)
      texts.push_back(SameLengthText(random, pool));
    std::vector<std::uint8_t> added(texts.size());
    // Every other batch comes with its hashes made beforehand by a copy of
    // the set's hasher, as a reading thread makes them.
    const std::vector<std::uint64_t> hashes = HashesOf(set.hasher(), texts);
    if (batch % 2 == 0) {
      set.InsertAll(ListOf(texts), added.data());
    } else {
      set.InsertAll(ListOf(texts), hashes.data(), added.data());
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(added[i] != 0, reference.insert(texts[i]).second)
          << "batch " << batch << ", item " << i << ": " << texts[i];
    }
  }
  EXPECT_EQ(set.size(), reference.size());
  std::vector<std::string> probes;
  for (int i = 0; i < 2000; ++i)
    probes.push_back(SameLengthText(random, pool * 2));
  std::vector<std::uint8_t> found(probes.size(), 7);
  set.FindAll(ListOf(probes), found.data());
  std::vector<std::uint8_t> found_hashed(probes.size(), 7);
  set.FindAll(ListOf(probes), HashesOf(set.hasher(), probes).data(),
              found_hashed.data());
  for (std::size_t i = 0; i < probes.size(); ++i) {
    const bool in = reference.contains(probes[i]);
    EXPECT_EQ(found[i], in ? 1 : 0) << probes[i];
    EXPECT_EQ(found_hashed[i], in ? 1 : 0) << probes[i];
    EXPECT_EQ(set.Contains(probes[i]), in) << probes[i];
  }
}

TEST(TextSetTest, BytesDecideWhenHashesCollide) {
  // One hash for every text: every text of a length is a candidate for
  // every other.
  {
    SCOPED_TRACE("one hash");
    CheckAgainstReference(0, 300, 6);
  }
  // One home slot, tags that differ.
  {
    SCOPED_TRACE("one home");
    CheckAgainstReference(0xffffffff00000000, 300, 6);
  }
  // Homes that differ, one tag: texts that share a run of slots and a
  // length collide, in a table that grows several times over.
  {
    SCOPED_TRACE("one tag");
    CheckAgainstReference(0x00000000ffffffff, 20000, 60);
  }
}

// Another thread faults in the room ahead while the set goes on: the room
// stays where it is while what is inserted fits it, and faulting pages in,
// even over texts already stored, changes no byte of any text.
TEST(TextSetTest, RoomAheadStaysAndFaultingItInChangesNoText) {
  TextSet set;
  std::vector<std::string> texts;
  // Past the size from which the storage is a mapping of its own.
  while (set.TextBytes() < (std::size_t{5} << 20)) {
    texts.push_back("text number " + std::to_string(texts.size()));
    ASSERT_TRUE(set.Insert(texts.back()));
  }
  const std::size_t stored = set.TextBytes();
  const std::span<char> room = set.RoomAhead(std::size_t{1} << 20);
  ASSERT_GE(room.size(), std::size_t{1} << 20);
  internal::PrefaultBlock(room.data() - stored, stored + room.size());
  const std::size_t before = texts.size();
  while (set.TextBytes() - stored < (std::size_t{1} << 19)) {
    texts.push_back("later " + std::to_string(texts.size()));
    ASSERT_TRUE(set.Insert(texts.back()));
  }
  EXPECT_EQ(set.RoomAhead(0).data(), room.data() + (set.TextBytes() - stored));
  internal::PrefaultBlock(room.data() - stored, stored + room.size());
  std::vector<std::string> kept;
  set.ForEach([&](std::string_view text) { kept.emplace_back(text); });
  EXPECT_EQ(kept, texts);
  EXPECT_FALSE(set.Insert(texts[before - 1]));
  EXPECT_FALSE(set.Insert(texts.back()));
}

}  // namespace
}  // namespace karvello
