#pragma once
// A node's sink list. A delivery calls the sinks straight from the list it
// found instead of copying it: while any delivery reads the list, a change
// edits a copy, and the list being read passes to its readers, the last of
// which frees it (the node and each reading hold the list: the last holder
// frees it). So each delivery still reaches exactly the sinks present
// when it began, and a sink taken off meanwhile lives until those deliveries
// end. A graph is used on one thread only, so the holder count is plain.

#include <cstdint>
#include <span>
#include <vector>

#include "base/block_ptr.hpp"
#include "base/relocatable.hpp"
#include "node/arena/sink.hpp"

namespace korvalinth {

class SinkList {
  struct Block {
    std::vector<SinkEntry> entries;
    // The node, while the list is its own, and each reading.
    std::uint32_t holders = 1;
    // Set once a dep sink was added: a DATA then takes the road that runs
    // dep sinks together, and any other list keeps the plain loop.
    bool dep_sinks = false;
    // Set while every entry ignores messages (keep-alives only): a DIRTY
    // run marks such a node and goes on. An edit through the vector clears
    // it, as it may put in anything; an edit given as a change sets it anew.
    bool ignored_only = false;
    // The sink of the one entry while that is all the list holds and a dep
    // sink: a DIRTY goes on to it in a loop. Null for any other list, and
    // while an edit through the vector runs.
    Sink* lone_dep = nullptr;
    // Lets go of one hold; the last holder frees the block.
    static void drop(Block* b) noexcept {
      if (b && --b->holders == 0) free_block(b);
    }
    // Out of line: a delivery's reading is rarely the last holder, and the
    // entries' drops inlined would crowd the delivery's registers.
    [[gnu::noinline]] static void free_block(Block* b) noexcept { delete b; }
  };
  // One hold of a block.
  using Held = BlockPtr<Block, &Block::drop>;

 public:
  // Keeps one list unchanged and alive while its sinks are called.
  class Reading {
   public:
    Reading() = default;
    // Calls each sink of the list with the message, in order. A list of one
    // (a node with one dependent) is called inline.
    void deliver(const Message& message) const {
      if (!block_) return;
      if (block_->entries.size() == 1) return block_->entries.front().sink->call(message);
      deliver_each(*block_, message);
    }
    // Whether it reads a list at all.
    explicit operator bool() const noexcept { return static_cast<bool>(block_); }

   private:
    friend class SinkList;
    // Takes the list, not the reading: a reading whose address is never
    // taken stays in a register through the sink calls.
    static void deliver_each(const Block& block, const Message& message);
    explicit Reading(Block* block) noexcept : block_(block) {
      if (block_) block_->holders += 1;
    }
    Held block_;
  };

  SinkList() = default;
  // Inline: a slot's release and reuse move lists, and a move is one
  // pointer's.
  SinkList(SinkList&& other) noexcept = default;
  SinkList& operator=(SinkList&& other) noexcept = default;
  ~SinkList() = default;

  // Read like a vector of its entries; every change goes through edit.
  std::span<const SinkEntry> entries() const noexcept;
  bool empty() const noexcept { return entries().empty(); }
  std::size_t size() const noexcept { return entries().size(); }
  const SinkEntry& operator[](std::size_t i) const noexcept { return entries()[i]; }
  const SinkEntry& back() const noexcept { return entries().back(); }
  auto begin() const noexcept { return entries().begin(); }
  auto end() const noexcept { return entries().end(); }
  // Applies change to the list's entries (a copy of its own while a
  // delivery reads it), then notes whether every entry left ignores
  // messages: a list left with keep-alives only lets a DIRTY pass it by.
  template <class Change>
  void edit(Change&& change) {
    Block& b = own_block();
    b.ignored_only = false;  // kept so if the change throws
    b.lone_dep = nullptr;
    change(b.entries);
    b.ignored_only = only_ignoring(b.entries);
    b.lone_dep = lone_dep_of(b.entries);
  }
  // Adds an entry at the end.
  void add(SinkEntry entry);
  Reading read() const noexcept { return Reading(block_.get()); }
  // The sink of the list's one entry when that is a dep sink: a DIRTY goes
  // on to it in a loop instead of a call. Null for any other list.
  Sink* lone_dep_sink() const noexcept { return block_ ? block_->lone_dep : nullptr; }
  // Whether a DIRTY has any entry to reach: none when the list is empty
  // or holds only sinks that ignore messages.
  bool heeds_dirty() const noexcept { return block_ && !block_->ignored_only; }
  // Whether a DIRTY reaches at most a lone dep sink: none heeds it, or the
  // list's one entry is a dep sink.
  bool lone_dep_or_ignoring() const noexcept { return !block_ || block_->ignored_only || block_->lone_dep; }

  // The columns relocate lists as bytes: a list is one hold of its block,
  // and a reading holds the block, not the list.
  static constexpr bool relocatable() noexcept { return made_of_relocatable_parts<SinkList, Held>; }

 private:
  // The block to change: a copy of its own while a delivery reads it.
  Block& own_block();
  static bool only_ignoring(const std::vector<SinkEntry>& entries) noexcept;
  static Sink* lone_dep_of(const std::vector<SinkEntry>& entries) noexcept;
  Held block_;
};

template <>
inline constexpr bool relocatable_as_bytes<SinkList> = SinkList::relocatable();

}  // namespace korvalinth
