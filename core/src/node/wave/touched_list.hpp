#pragma once
// The touched nodes of a wave scope, in touch order. Unlike a vector it
// lets the wave's end drop each record in the pass that lowers its pin, so
// a clean wave's end walks its records once.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "node/arena/node_handle.hpp"

namespace korvalinth {

// One unit of a touched node's pin count. It holds the node's count record,
// and its core only when that is not the owning operation's core: the
// owner's core outlives the wave, so the common record does not copy it.
// The owning operation's node, touched first, gets a record only when the
// wave's end puts one back at the head, and that one holds no count.
struct TouchedNode {
  CoreRef other_core;  // empty: the owner's core
  SharedCount count;   // empty: the owning operation's node's record put back
  SlotKey key;
  CoreId core = 0;

  const CoreRef& core_ref(const CoreRef& owner) const noexcept { return other_core ? other_core : owner; }
  const SharedCount& count_ref(const SharedCount& owner) const noexcept { return count ? count : owner; }
};

class TouchedList {
 public:
  TouchedList() noexcept = default;
  TouchedList(TouchedList&& o) noexcept
      : begin_(std::exchange(o.begin_, nullptr)), end_(std::exchange(o.end_, nullptr)),
        last_(std::exchange(o.last_, nullptr)) {}
  TouchedList& operator=(TouchedList&& o) noexcept {
    TouchedList(std::move(o)).swap(*this);
    return *this;
  }
  TouchedList(const TouchedList&) = delete;
  TouchedList& operator=(const TouchedList&) = delete;
  ~TouchedList() {
    clear();
    ::operator delete(begin_);
  }

  bool empty() const noexcept { return begin_ == end_; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(end_ - begin_); }
  std::size_t capacity() const noexcept { return begin_ ? static_cast<std::size_t>(last_ - begin_) + 1 : 0; }
  TouchedNode* data() noexcept { return begin_; }
  TouchedNode* begin() noexcept { return begin_; }
  TouchedNode* end() noexcept { return end_; }
  const TouchedNode* begin() const noexcept { return begin_; }
  const TouchedNode* end() const noexcept { return end_; }

  void swap(TouchedList& o) noexcept {
    std::swap(begin_, o.begin_);
    std::swap(end_, o.end_);
    std::swap(last_, o.last_);
  }

  // Whether the list has room for a record with a slot to spare past it.
  bool has_room() const noexcept { return end_ < last_; }
  // Whether n records go in one after another, each in the room has_room
  // tells of, with no growth.
  bool has_room_for(std::size_t n) const noexcept {
    return begin_ != nullptr && n <= static_cast<std::size_t>(last_ - end_);
  }
  // Adds a record in the room has_room tells of.
  template <class... A>
  void emplace_reserved(A&&... a) noexcept {
    ::new (static_cast<void*>(end_)) TouchedNode(std::forward<A>(a)...);
    ++end_;
  }

  // Puts t before every record. It takes the slot kept spare, so it
  // cannot fail once the list holds a buffer.
  void push_front(TouchedNode t) {
    if (begin_ == nullptr || end_ > last_) grow();
    emplace_reserved(std::move(t));
    std::rotate(begin_, end_ - 1, end_);
  }

  // Doubles the buffer (eight records at first).
  [[gnu::noinline]] void grow() {
    const std::size_t capacity = this->capacity() == 0 ? 8 : this->capacity() * 2;
    auto* data = static_cast<TouchedNode*>(::operator new(capacity * sizeof(TouchedNode)));
    end_ = relocate(begin_, end_, data);
    ::operator delete(begin_);
    begin_ = data;
    last_ = data + capacity - 1;
  }

  void clear() noexcept {
    std::destroy(begin_, end_);
    end_ = begin_;
  }

  // Drops the records of the owner's core from the front, each right after
  // pass(record) returns true for it; the first record holding a core or
  // that pass returns false for, and those after it, stay, moved to the
  // front. pass must not throw. A dropped record's core reference is empty,
  // so only its count goes. HoldsCores: whether any record may hold a core;
  // a list known to hold none spares each record that test.
  template <bool HoldsCores, class Pass>
  void drop_owner_core_front_while(Pass&& pass) noexcept {
    TouchedNode* const last = end_;  // no pass or drop reaches the list
    TouchedNode* it = begin_;
    for (; it != last; ++it) {
      if ((HoldsCores && it->other_core) || !pass(*it)) break;
      std::destroy_at(&it->count);
    }
    if (it == last) {
      end_ = begin_;
      return;
    }
    if (it != begin_) close_front(it);
  }

 private:
  // Moves the records of [first, last) to the room from to on, ending each
  // moved-from one; returns the end of the moved records.
  static TouchedNode* relocate(TouchedNode* first, TouchedNode* const last, TouchedNode* to) noexcept {
    for (; first != last; ++first, ++to) {
      ::new (static_cast<void*>(to)) TouchedNode(std::move(*first));
      std::destroy_at(first);
    }
    return to;
  }

  // Moves the records from first on to the front, those before it gone.
  [[gnu::noinline]] void close_front(TouchedNode* first) noexcept { end_ = relocate(first, end_, begin_); }

  TouchedNode* begin_ = nullptr;
  TouchedNode* end_ = nullptr;
  TouchedNode* last_ = nullptr;  // the buffer's last slot; null with no buffer
};

}  // namespace korvalinth
