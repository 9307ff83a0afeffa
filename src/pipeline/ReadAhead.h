// The reading half of a streamed run past a set (dedupe, subtract,
// keep-matches): the blocks of OTHER, if any, then those of the inputs, in
// order, each with the keys of its items and, when read ahead, their hashes.
//
// Read ahead, the reading runs on a thread of its own, at most one block
// ahead of the caller: while the caller looks a block's items up in its set
// and writes them, the next block is read, split into items, keyed and
// hashed. Otherwise each block is read when it is asked for, in the caller's
// thread, and comes without hashes, as a plain loop would read it. Either
// way the blocks, and what fails, come in the same order, and no more than
// two blocks are held at a time.
//
//   ReadAhead blocks(nullptr, inputs, keys, set.hasher(), UsableCpus() >= 2);
//   while (KeyedBlock* block = blocks.Next()) Use(*block);
//
// A read that fails, or memory that runs out, while a block is read is
// thrown by the Next() that would have returned that block, after every
// block read before it; the items read of it are lost. The destructor stops
// the reading, also while it waits for a pipe, and waits for its thread.

#ifndef KARVELLO_PIPELINE_READAHEAD_H_
#define KARVELLO_PIPELINE_READAHEAD_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "lists/ItemKey.h"
#include "lists/ItemList.h"
#include "lists/TextSet.h"
#include "pipeline/Inputs.h"

namespace karvello {

class KeyedBlock {
 public:
  // The items, as read.
  const ItemList& items() const noexcept { return items_; }
  // Item i's key at index i: the items themselves when the keys are.
  const ItemList& keys() const noexcept { return keyed_ ? keys_ : items_; }
  // The set's hash of each key, or nullptr when the block comes without.
  const std::uint64_t* hashes() const noexcept {
    return hashed_ ? hashes_.get() : nullptr;
  }
  // A block of OTHER, whose items are keys already (KeyRules::ForKeys).
  bool other() const noexcept { return other_; }
  // Its input had nothing more to give when the block was read: what is
  // ready should be passed on before the next block is waited for.
  bool waiting() const noexcept { return waiting_; }
  // Read after StopKeying(), without keys or hashes.
  bool unkeyed() const noexcept { return unkeyed_; }

  // Room for the caller's marks on the items, one each.
  std::vector<std::uint8_t> marks;

 private:
  friend class ReadAhead;

  ItemList items_;
  ItemList keys_;
  std::unique_ptr<std::uint64_t[]> hashes_;
  std::size_t hashes_room_ = 0;
  bool keyed_ = false;
  bool hashed_ = false;
  bool other_ = false;
  bool waiting_ = false;
  bool unkeyed_ = false;
};

class ReadAhead {
 public:
  // Reads `other` (when not null) and then `inputs`, which must outlive
  // this and are read by it alone until it is destroyed. The keys are made
  // under `keys`, and, read ahead, hashed by `hasher`. When no thread can
  // be started, reads as when not ahead.
  ReadAhead(Inputs* other, Inputs& inputs, const KeyRules& keys,
            const TextSet::Hasher& hasher, bool ahead);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next block, or nullptr after the last; valid until the next call.
  KeyedBlock* Next();

  // The blocks read from now on come unkeyed, without keys and hashes,
  // which the caller no longer needs.
  void StopKeying();

  // Has the reading thread fault in the pages of `room` while it waits for
  // the caller (internal::PrefaultBlock), which then writes to them without
  // the faults and the zeroing of fresh pages. Replaces a room not yet
  // faulted in; ignored when not read ahead.
  void Prefault(std::span<char> room);

 private:
  // Two blocks: the one the caller holds, and the one being read.
  static constexpr std::size_t kBlocks = 2;

  // Reads, keys and hashes the next block into `block`; false when no input
  // is left, or when the reading was stopped.
  bool Fill(KeyedBlock& block);
  bool Read(KeyedBlock& block);
  void Key(KeyedBlock& block);
  // Waits, as long as the reading is not stopped, until the input that the
  // last block waited for has more; false when stopped.
  bool WaitForMore();
  // The thread's loop and the steps that pass blocks between the threads.
  void ReadAll();
  KeyedBlock* Room();
  void Publish();
  void Finish(std::exception_ptr failure);

  Inputs* other_;  // null once OTHER is read
  Inputs& inputs_;
  const KeyRules keys_;
  const TextSet::Hasher hasher_;
  bool ahead_;                    // set before the thread starts
  Inputs* waiting_on_ = nullptr;  // the input the last block waited for
  // The list the inputs append to: always this one, which an input's reader
  // keeps appending to until the input ends; each block's items are
  // swapped out of it.
  ItemList reading_;

  KeyedBlock blocks_[kBlocks];
  std::mutex mutex_;
  std::condition_variable ready_;  // a block is published, or the end
  std::condition_variable room_;   // the caller gave a block back, or stop
  std::span<char> prefault_;       // the room to fault in, if any
  bool keying_ = true;             // until StopKeying()
  std::uint64_t published_ = 0;    // blocks the reading has published
  std::uint64_t released_ = 0;     // blocks the caller has given back
  bool holding_ = false;           // the caller holds a block
  bool finished_ = false;          // the reading published its last block
  std::exception_ptr failure_;     // what ended the reading, if anything
  std::atomic<bool> stop_{false};
  std::thread thread_;  // not joinable when not read ahead
};

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_READAHEAD_H_
