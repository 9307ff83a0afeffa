#include "pipeline/ReadAhead.h"

#include <system_error>
#include <utility>

#include "lists/Threads.h"
#include "lists/internal/PodBuffer.h"

namespace karvello {

namespace {

// How often a reading that waits for a pipe looks whether it was stopped.
constexpr int kStopCheckMilliseconds = 50;

}  // namespace

ReadAhead::ReadAhead(Inputs* other, Inputs& inputs, const KeyRules& keys,
                     const TextSet::Hasher& hasher, bool ahead)
    : other_(other),
      inputs_(inputs),
      keys_(keys),
      hasher_(hasher),
      ahead_(ahead) {
  if (!ahead_) return;
  try {
    thread_ = StartThread([this] { ReadAll(); });
  } catch (const std::system_error&) {
    // No thread to be had: the blocks are read as they are asked for.
    ahead_ = false;
  }
}

ReadAhead::~ReadAhead() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_.store(true, std::memory_order_relaxed);
  }
  room_.notify_one();
  thread_.join();
}

KeyedBlock* ReadAhead::Next() {
  if (!thread_.joinable()) return Fill(blocks_[0]) ? &blocks_[0] : nullptr;
  std::unique_lock lock(mutex_);
  if (std::exchange(holding_, false)) {
    ++released_;
    room_.notify_one();
  }
  ready_.wait(lock, [this] { return published_ > released_ || finished_; });
  if (published_ > released_) {
    holding_ = true;
    return &blocks_[released_ % kBlocks];
  }
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  return nullptr;
}

bool ReadAhead::Fill(KeyedBlock& block) {
  if (!WaitForMore() || !Read(block)) return false;
  Key(block);
  return true;
}

bool ReadAhead::Read(KeyedBlock& block) {
  // What the block held goes first, so that no third block is held.
  block.items_.Clear();
  block.keys_.Clear();
  reading_.Clear();
  // Room for a whole block at once keeps the list's storage in the
  // allocator's reuse from block to block.
  reading_.Reserve(Inputs::kBlockBytes / 16, Inputs::kBlockBytes + (64 << 10));
  Inputs* from = other_ != nullptr ? other_ : &inputs_;
  while (!from->ReadBlock(reading_)) {
    if (from == &inputs_) return false;
    from = &inputs_;
    other_ = nullptr;
  }
  std::swap(block.items_, reading_);
  block.other_ = from != &inputs_;
  block.waiting_ = from->waiting();
  waiting_on_ = block.waiting_ ? from : nullptr;
  return true;
}

void ReadAhead::StopKeying() {
  std::lock_guard lock(mutex_);
  keying_ = false;
}

void ReadAhead::Key(KeyedBlock& block) {
  bool keying;
  {
    std::lock_guard lock(mutex_);
    keying = keying_;
  }
  block.unkeyed_ = !keying;
  const KeyRules rules = block.other_ ? keys_.ForKeys() : keys_;
  block.keyed_ = keying && !rules.Exact();
  if (block.keyed_) block.keys_ = KeysOf(block.items_, rules);
  // Hashed only ahead: in the caller's thread the set hashes
  // each key as it fetches its slot.
  block.hashed_ = keying && ahead_;
  if (!block.hashed_) return;
  const ItemList& keys = block.keys();
  const auto count = static_cast<std::size_t>(keys.ListCount());
  if (block.hashes_room_ < count) {
    block.hashes_ = std::make_unique_for_overwrite<std::uint64_t[]>(count);
    block.hashes_room_ = count;
  }
  for (std::size_t i = 0; i < count; ++i) {
    block.hashes_[i] =
        hasher_(keys.UncheckedItem(static_cast<ItemList::Index>(i)));
  }
}

bool ReadAhead::WaitForMore() {
  // Only a thread of its own waits here: in the caller's thread, the read
  // itself waits, as the caller has nothing else to do.
  if (waiting_on_ == nullptr || !ahead_) return true;
  while (!waiting_on_->WaitForMore(kStopCheckMilliseconds)) {
    if (stop_.load(std::memory_order_relaxed)) return false;
  }
  return true;
}

void ReadAhead::ReadAll() {
  std::exception_ptr failure;
  try {
    for (KeyedBlock* block = Room(); block != nullptr && Fill(*block);
         block = Room()) {
      Publish();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  Finish(failure);
}

KeyedBlock* ReadAhead::Room() {
  std::unique_lock lock(mutex_);
  while (true) {
    room_.wait(lock, [this] {
      return published_ - released_ < kBlocks || !prefault_.empty() ||
             stop_.load(std::memory_order_relaxed);
    });
    if (stop_.load(std::memory_order_relaxed)) return nullptr;
    // A block the caller may soon wait for comes first.
    if (published_ - released_ < kBlocks) return &blocks_[published_ % kBlocks];
    const std::span<char> room = std::exchange(prefault_, {});
    lock.unlock();
    internal::PrefaultBlock(room.data(), room.size());
    lock.lock();
  }
}

void ReadAhead::Prefault(std::span<char> room) {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    prefault_ = room;
  }
  room_.notify_one();
}

void ReadAhead::Publish() {
  {
    std::lock_guard lock(mutex_);
    ++published_;
  }
  ready_.notify_one();
}

void ReadAhead::Finish(std::exception_ptr failure) {
  {
    std::lock_guard lock(mutex_);
    failure_ = std::move(failure);
    finished_ = true;
  }
  ready_.notify_one();
}

}  // namespace karvello
