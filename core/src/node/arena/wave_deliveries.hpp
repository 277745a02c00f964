#pragma once
// The deliveries of one dep in the running wave, one list per delivery
// frame (a null value marks an INVALIDATE). The usual wave brings one frame
// with at most one value: that is kept inline; anything more moves to a heap
// block of lists. Values leave in list order, front to back.

#include <cstdint>
#include <memory>
#include <utility>

#include "node/arena/node_fn.hpp"

namespace korvalinth {

class WaveDeliveries {
 public:
  WaveDeliveries() noexcept = default;
  WaveDeliveries(WaveDeliveries&& o) noexcept
      : single_(std::move(o.single_)), heap_(std::move(o.heap_)), state_(std::exchange(o.state_, kNone)) {}
  WaveDeliveries& operator=(WaveDeliveries&& o) noexcept {
    if (this != &o) {
      WaveDeliveries old(std::move(*this));
      single_ = std::move(o.single_);
      heap_ = std::move(o.heap_);
      state_ = std::exchange(o.state_, kNone);
    }
    return *this;
  }
  WaveDeliveries(const WaveDeliveries&) = delete;
  WaveDeliveries& operator=(const WaveDeliveries&) = delete;

  // No list yet.
  bool empty() const noexcept { return state_ == kNone; }

  // Starts the list of a new delivery frame.
  void open_list() {
    switch (state_) {
      case kNone:
        state_ = kOneEmpty;
        return;
      case kOneEmpty:
      case kOneValue:
        spill();
        [[fallthrough]];
      case kHeap:
        heap_->emplace_back();
        return;
    }
  }

  // Appends a value to the newest list; one is open.
  // A value the caller keeps is shared without a copy of the handle first.
  void push(const SharedValue& v) { push_value(v); }
  void push(SharedValue&& v) { push_value(std::move(v)); }

  // Whether any list holds a value (not an INVALIDATE mark).
  bool any_value() const noexcept {
    if (state_ == kOneValue) return static_cast<bool>(single_);
    if (state_ != kHeap) return false;
    for (const DeliveryList& l : *heap_)
      for (const SharedValue& v : l)
        if (v) return true;
    return false;
  }

  // The lists, moved out; none are left.
  DeliveryLists take() {
    DeliveryLists out;
    take_into(out);
    return out;
  }
  // As take, into an empty out (a run's input is filled in place).
  void take_into(DeliveryLists& out) {
    switch (std::exchange(state_, kNone)) {
      case kNone:
        break;
      case kOneEmpty:
        out.emplace_back();
        break;
      case kOneValue:
        out.emplace_back().push_back(std::move(single_));
        single_.reset();
        break;
      case kHeap:
        out = std::move(*heap_);
        heap_.reset();
        break;
    }
  }

 private:
  enum State : std::uint8_t { kNone, kOneEmpty, kOneValue, kHeap };

  template <class V>
  void push_value(V&& v) {
    switch (state_) {
      case kNone:
      case kOneEmpty:
        single_ = std::forward<V>(v);
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

  // Moves the inline list to the heap block.
  void spill() {
    auto lists = std::make_unique<DeliveryLists>();
    DeliveryList& first = lists->emplace_back();
    if (state_ == kOneValue) {
      first.push_back(std::move(single_));
      single_.reset();
    }
    heap_ = std::move(lists);
    state_ = kHeap;
  }

  SharedValue single_;
  std::unique_ptr<DeliveryLists> heap_;
  State state_ = kNone;
};

}  // namespace korvalinth
