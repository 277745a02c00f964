#pragma once
// The deliveries of one dep in the running wave, one list per delivery
// frame (a null value marks an INVALIDATE). The usual wave brings one frame
// with at most one value: that is kept inline, and so is a run of lists with
// no value (a dep that only settles, wave after wave, to a node that does not
// run): a count of them. Anything more moves to a heap block of lists.
// Values leave in list order, front to back. A run's input takes the whole
// set over by a move, so no list is built per run; a set with no value is
// made and dropped without touching either store.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "base/small_vec.hpp"
#include "base/value.hpp"

namespace korvalinth {

using DeliveryList = SmallVec<SharedValue, 2>;
using DeliveryLists = SmallVec<DeliveryList, 1>;
// The values of one delivery frame, read in place.
using DeliveryView = std::span<const SharedValue>;

class WaveDeliveries {
 public:
  class Iterator;

  WaveDeliveries() noexcept {}
  WaveDeliveries(WaveDeliveries&& o) noexcept { take(o); }
  WaveDeliveries& operator=(WaveDeliveries&& o) noexcept {
    if (this != &o) {
      WaveDeliveries old(std::move(*this));
      take(o);
    }
    return *this;
  }
  ~WaveDeliveries() { release(); }
  WaveDeliveries(const WaveDeliveries&) = delete;
  WaveDeliveries& operator=(const WaveDeliveries&) = delete;

  // No list yet.
  bool empty() const noexcept { return state_ == kNone; }

  // The number of lists.
  std::size_t size() const noexcept {
    switch (state_) {
      case kNone:
        return 0;
      case kEmpties:
        return empties_;
      case kOneValue:
        return 1;
      case kHeap:
        return heap_->size();
    }
    return 0;
  }

  // The lists front to back, each as a view of its values.
  Iterator begin() const noexcept;
  Iterator end() const noexcept;

  // Starts the list of a new delivery frame. Inline while no list holds a
  // value: the first list of a wave, the one nearly every dep opens, and
  // the empty lists of a dep that only settles.
  void open_list() {
    if (state_ == kNone) {
      empties_ = 1;
      state_ = kEmpties;
      return;
    }
    if (state_ == kEmpties) {
      empties_ += 1;
      return;
    }
    open_further_list();
  }

  // Whether open_list takes no room: no list holds a value yet.
  bool opens_list_in_place() const noexcept { return state_ == kNone || state_ == kEmpties; }

  // Opens the first list, holding v: open_list then push, for a set with
  // no list yet.
  void open_first_list_with(const SharedValue& v) noexcept {
    ::new (&single_) SharedValue(v);
    state_ = kOneValue;
  }
  void open_first_list_with(SharedValue&& v) noexcept {
    ::new (&single_) SharedValue(std::move(v));
    state_ = kOneValue;
  }

  // Appends a value to the newest list; one is open.
  // A value the caller keeps is shared without a copy of the handle first.
  void push(const SharedValue& v) { push_value(v); }
  void push(SharedValue&& v) { push_value(std::move(v)); }

  // Calls f with each value the lists hold (not the INVALIDATE marks), front
  // to back; a run of lists with no value costs nothing.
  template <class F>
  void for_each_value(F&& f) const {
    if (state_ == kOneValue) {
      if (single_) f(single_);
    } else if (state_ == kHeap) {
      for (const DeliveryList& l : *heap_)
        for (const SharedValue& v : l)
          if (v) f(v);
    }
  }

  // Whether any list holds a value (not an INVALIDATE mark).
  bool any_value() const noexcept {
    if (state_ == kOneValue) return static_cast<bool>(single_);
    if (state_ != kHeap) return false;
    for (const DeliveryList& l : *heap_)
      for (const SharedValue& v : l)
        if (v) return true;
    return false;
  }

 private:
  enum State : std::uint8_t { kNone, kEmpties, kOneValue, kHeap };

  // Which store is live goes by the state: empties_ in kEmpties, single_ in
  // kOneValue, heap_ in kHeap, none in kNone.
  // Each store is one word that only its owner drops: it moves as a copy
  // of its bits, the source left with none.
  void take(WaveDeliveries& o) noexcept {
    static_assert(sizeof(SharedValue) == sizeof(std::size_t) && sizeof(DeliveryLists*) == sizeof(std::size_t));
    // The bit copy stands for a move only while a handle is one pointer and
    // has no vtable; the source is forgotten, never destroyed.
    static_assert(sizeof(SharedValue) == sizeof(void*) && !std::is_polymorphic_v<SharedValue>);
    std::memcpy(static_cast<void*>(&empties_), static_cast<const void*>(&o.empties_), sizeof(std::size_t));
    state_ = std::exchange(o.state_, kNone);
  }
  // Inline: a set's end is mostly one value or none; the heap block's drop
  // stays out of line.
  [[gnu::always_inline]] void release() noexcept {
    if (state_ == kOneValue)
      single_.~SharedValue();
    else if (state_ == kHeap) [[unlikely]]
      drop_heap();
  }
  [[gnu::noinline]] void drop_heap() noexcept { delete heap_; }

  // The list at index i, which exists.
  DeliveryView list_at(std::size_t i) const noexcept {
    switch (state_) {
      case kOneValue:
        return {&single_, 1};
      case kHeap: {
        const DeliveryList& l = (*heap_)[i];
        return {l.data(), l.size()};
      }
      default:
        return {};
    }
  }

  template <class V>
  void push_value(V&& v) {
    switch (state_) {
      case kEmpties:
        if (empties_ > 1) {
          spill();
          heap_->back().push_back(std::forward<V>(v));
          return;
        }
        [[fallthrough]];
      case kNone:
        ::new (&single_) SharedValue(std::forward<V>(v));
        state_ = kOneValue;
        return;
      case kOneValue:
        spill();
        [[fallthrough]];
      case kHeap:
        heap_->back().push_back(std::forward<V>(v));
        return;
    }
  }

  // A list after the first: they all live in the heap block.
  [[gnu::noinline]] void open_further_list() {
    if (state_ != kHeap) spill();
    heap_->emplace_back();
  }

  // Moves the inline lists to the heap block.
  void spill() {
    auto lists = std::make_unique<DeliveryLists>();
    if (state_ == kEmpties) {
      lists->reserve(empties_);
      for (std::size_t i = 0; i < empties_; ++i) lists->emplace_back();
    } else {
      DeliveryList& first = lists->emplace_back();
      if (state_ == kOneValue) {
        first.push_back(std::move(single_));
        single_.~SharedValue();
      }
    }
    heap_ = lists.release();
    state_ = kHeap;
  }

  union {
    SharedValue single_;
    DeliveryLists* heap_;
    std::size_t empties_;
  };
  State state_ = kNone;
};

// Walks the lists of a set by index; the set outlives it.
class WaveDeliveries::Iterator {
 public:
  Iterator(const WaveDeliveries* set, std::size_t i) noexcept : set_(set), i_(i) {}
  DeliveryView operator*() const noexcept { return set_->list_at(i_); }
  Iterator& operator++() noexcept {
    ++i_;
    return *this;
  }
  bool operator==(const Iterator& o) const noexcept { return i_ == o.i_; }

 private:
  const WaveDeliveries* set_;
  std::size_t i_;
};

inline WaveDeliveries::Iterator WaveDeliveries::begin() const noexcept { return {this, 0}; }
inline WaveDeliveries::Iterator WaveDeliveries::end() const noexcept { return {this, size()}; }

}  // namespace korvalinth
