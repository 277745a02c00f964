#pragma once
// A node's dep states, read like a vector of them. A build makes them in the
// room its deps block keeps for them (one block for both); a replacement
// (unsubscribe, restore, rewire) makes them in a block of their own.

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "base/relocatable.hpp"
#include "node/arena/dep_list.hpp"
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
  // Empty states for each of the deps, in the room their block keeps when
  // it has one, else in a block of their own.
  static DepStates beside(DepList& deps) {
    DepBlockHead* head = deps.block();
    if (!head || !head->has_state_room || head->states_live) return DepStates(deps.size());
    DepStates states;
    states.slots_ = static_cast<DepSlot*>(head->state_room());
    states.size_ = head->size;
    states.fill_empty();
    head->states_live = 1;
    states.in_deps_block_ = 1;
    return states;
  }
  // A run's inputs lent from moved states keep their values first: the
  // states may go, or their values move on, before the run ends.
  DepStates(DepStates&& o) noexcept
      : slots_(std::exchange(o.slots_, nullptr)), size_(std::exchange(o.size_, 0)),
        in_deps_block_(std::exchange(o.in_deps_block_, 0)) {
    if (slots_) StockedDepInputs::keep_lent_inputs(slots_);
  }
  DepStates& operator=(DepStates&& o) noexcept {
    if (this != &o) {
      clear();
      if (o.slots_) StockedDepInputs::keep_lent_inputs(o.slots_);
      slots_ = std::exchange(o.slots_, nullptr);
      size_ = std::exchange(o.size_, 0);
      in_deps_block_ = std::exchange(o.in_deps_block_, 0);
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
  // block, or, in a deps block, that block once its handles have gone too.
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
    if (std::exchange(in_deps_block_, 0)) {
      DepBlockHead* head = head_of_room(s, n);
      head->states_live = 0;
      if (!head->handles_live) DepBlockHead::give_back(head);
      return;
    }
    ::operator delete(s);
  }
  // The states of a node never connected (most of a built graph) hold
  // nothing to drop: one pass that calls nothing tells so, and their
  // destructors, which would drop nothing, are not called.
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

  // The deps block whose room holds n states at s: its head and handles
  // sit just before the room.
  static DepBlockHead* head_of_room(DepSlot* s, std::size_t n) noexcept {
    return reinterpret_cast<DepBlockHead*>(reinterpret_cast<NodeHandle*>(s) - n) - 1;
  }

  // The count fits a deps block's own (32 bits), and the block is found
  // from the room, not kept: every built node's edge entry is 8 bytes less.
  DepSlot* slots_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t in_deps_block_ = 0;  // the states live in their deps block's room
};
static_assert(sizeof(DepStates) == 2 * sizeof(void*));

// Relocated as bytes by the columns: the states stay where they are, and a
// lent input points at them, not at this; so the keep a move makes is not owed.
template <>
inline constexpr bool relocatable_as_bytes<DepStates> =
    made_of_relocatable_parts<DepStates, DepSlot*, std::uint32_t, std::uint32_t>;

}  // namespace korvalinth
