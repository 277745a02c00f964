#pragma once
// A node's dep states, read like a vector of them, in a block of their own.
//
// A node holds none until it first needs them: most built nodes are never
// connected and never run. They are made at the node's first connection to
// its deps or its first run, whichever comes first (a restore and a rewire
// make fresh ones, as a deactivation does); from then on the node keeps
// states for each of its deps. A reader that can meet a node without them
// reads none as states that hold nothing: no value, nothing pending.

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "base/relocatable.hpp"
#include "node/arena/dep_slot.hpp"

namespace korvalinth {

class DepStates {
 public:
  DepStates() noexcept = default;
  // n empty states in a block of their own.
  explicit DepStates(std::size_t n) : size_(static_cast<std::uint32_t>(n)) {
    if (n == 0) return;
    slots_ = static_cast<DepSlot*>(::operator new(n * sizeof(DepSlot)));
    fill_empty();
  }
  // A run's inputs lent from moved states keep their values first: the
  // states may go, or their values move on, before the run ends.
  DepStates(DepStates&& o) noexcept
      : slots_(std::exchange(o.slots_, nullptr)), size_(std::exchange(o.size_, 0)) {
    if (slots_) StockedDepInputs::keep_lent_inputs(slots_);
  }
  DepStates& operator=(DepStates&& o) noexcept {
    if (this != &o) {
      clear();
      if (o.slots_) StockedDepInputs::keep_lent_inputs(o.slots_);
      slots_ = std::exchange(o.slots_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  DepStates(const DepStates&) = delete;
  DepStates& operator=(const DepStates&) = delete;
  // Moved-from states (left by a slot's release or a move-assign) hold nothing:
  // the test stays inline.
  ~DepStates() {
    if (slots_) drop();
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  DepSlot* data() noexcept { return slots_; }
  DepSlot* begin() noexcept { return slots_; }
  DepSlot* end() noexcept { return slots_ + size_; }
  const DepSlot* begin() const noexcept { return slots_; }
  const DepSlot* end() const noexcept { return slots_ + size_; }
  DepSlot& operator[](std::size_t i) noexcept { return slots_[i]; }
  const DepSlot& operator[](std::size_t i) const noexcept { return slots_[i]; }

  // Drops the states front to back (as a vector's clear does), then their
  // block.
  void clear() noexcept {
    if (slots_) drop();
  }

 private:
  static_assert(std::is_nothrow_default_constructible_v<DepSlot>);
  // Out of line: inlined, it makes its callers' frames bigger than it saves.
  [[gnu::noinline]] void drop() noexcept {
    StockedDepInputs::keep_lent_inputs(slots_);
    DepSlot* s = std::exchange(slots_, nullptr);
    const std::size_t n = std::exchange(size_, 0);
    if (any_to_drop(s, n)) [[unlikely]]
      drop_slots(s, n);
    ::operator delete(s);
  }
  // The fresh states a deactivation leaves hold nothing to drop: one pass
  // that calls nothing tells so, and their destructors, which would drop
  // nothing, are not called.
  static bool any_to_drop(const DepSlot* s, std::size_t n) noexcept {
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) any |= !s[i].holds_nothing_to_drop();
    return any;
  }
  [[gnu::noinline]] static void drop_slots(DepSlot* s, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) s[i].~DepSlot();
  }
  // Value-initialised, as a vector's sized constructor makes them.
  void fill_empty() noexcept {
    for (std::size_t i = 0; i < size_; ++i) ::new (slots_ + i) DepSlot();
  }

  // The count fits a deps list's own (32 bits).
  DepSlot* slots_ = nullptr;
  std::uint32_t size_ = 0;
};
static_assert(sizeof(DepStates) == 2 * sizeof(void*));

// Relocated as bytes by the columns: the states stay where they are, and a
// lent input points at them, not at this; so the keep a move makes is not owed.
template <>
inline constexpr bool relocatable_as_bytes<DepStates> =
    made_of_relocatable_parts<DepStates, DepSlot*, std::uint32_t>;

}  // namespace korvalinth
