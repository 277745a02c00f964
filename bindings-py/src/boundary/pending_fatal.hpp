#pragma once
// The pending fatal error of a graph: the first exception raised by one of
// its callbacks that is a BaseException but not an Exception, kept until a
// guarded operation (or Graph.raise_pending_fatal) raises it. Shared by the
// Graph, its Nodes and Subscriptions and every callback adapter made for it.

#include <atomic>
#include <cstdint>
#include <utility>

#include "base/cell.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

class SharedFatalSlot;

struct PendingFatalSlot {
  PendingFatalSlot() = default;
  PendingFatalSlot(const PendingFatalSlot&) = delete;
  PendingFatalSlot& operator=(const PendingFatalSlot&) = delete;

  // Borrowed only for a take or a store. The last share of the slot may go
  // anywhere in the runtime.
  Cell<kit::AnywhereRef> exception;

 private:
  friend class SharedFatalSlot;
  // Shares (a slot made by SharedFatalSlot::make) may be taken and dropped on any thread.
  std::atomic<std::uint32_t> shares_{1};
};

// One share of a slot, in one word: every built Node and its node function
// hold one, so the count lives in the slot rather than in a record beside it.
class SharedFatalSlot {
 public:
  SharedFatalSlot() noexcept = default;
  SharedFatalSlot(const SharedFatalSlot& other) noexcept : slot_(other.slot_) {
    if (slot_) slot_->shares_.fetch_add(1, std::memory_order_relaxed);
  }
  SharedFatalSlot(SharedFatalSlot&& other) noexcept : slot_(std::exchange(other.slot_, nullptr)) {}
  SharedFatalSlot& operator=(SharedFatalSlot other) noexcept {
    std::swap(slot_, other.slot_);
    return *this;
  }
  ~SharedFatalSlot() { reset(); }

  // A new, empty slot with this one share.
  static SharedFatalSlot make() { return SharedFatalSlot(new PendingFatalSlot()); }
  // The share as a bare pointer, for a holder that packs it into a word of
  // its own; adopt() makes the share again.
  PendingFatalSlot* release() noexcept { return std::exchange(slot_, nullptr); }
  static SharedFatalSlot adopt(PendingFatalSlot* share) noexcept { return SharedFatalSlot(share); }
  // A new share of a slot whose share its holder keeps bare.
  static SharedFatalSlot share_of(PendingFatalSlot* slot) noexcept {
    if (slot) slot->shares_.fetch_add(1, std::memory_order_relaxed);
    return SharedFatalSlot(slot);
  }

  void reset() noexcept {
    PendingFatalSlot* slot = std::exchange(slot_, nullptr);
    if (slot && slot->shares_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete slot;
  }
  PendingFatalSlot& operator*() const noexcept { return *slot_; }
  PendingFatalSlot* operator->() const noexcept { return slot_; }
  explicit operator bool() const noexcept { return slot_ != nullptr; }
  long use_count() const noexcept {
    return slot_ ? static_cast<long>(slot_->shares_.load(std::memory_order_relaxed)) : 0;
  }

 private:
  explicit SharedFatalSlot(PendingFatalSlot* adopted) noexcept : slot_(adopted) {}
  PendingFatalSlot* slot_ = nullptr;
};

inline SharedFatalSlot make_pending_fatal_slot() { return SharedFatalSlot::make(); }

// Takes the stored exception out (empty when there is none).
kit::OwnedRef take_pending_fatal(const PendingFatalSlot& slot);

// Stores `exception` if the slot is empty; otherwise the first one wins and
// `exception` is released (after the slot's borrow has ended).
void record_pending_fatal(const PendingFatalSlot& slot, kit::OwnedRef exception);

// Raises the stored exception, if any, emptying the slot: the pre-drain and
// post-drain of guarded operations. An empty slot is seen inline, with its
// borrow mark and its reference tested at once: every guarded call drains
// twice. A borrowed slot goes the full road, which refuses it.
void raise_stored_fatal(const PendingFatalSlot& slot);
inline void raise_pending_fatal(const PendingFatalSlot& slot) {
  if (!(slot.exception.is_borrowed() | static_cast<bool>(slot.exception.unguarded()))) [[likely]] return;
  raise_stored_fatal(slot);
}

}  // namespace korvalinth::py
