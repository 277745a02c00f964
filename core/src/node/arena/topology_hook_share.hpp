#pragma once
// A node's share of its topology hook, in one word. Nodes given the same
// share (a graph gives every node it registers its own one) count their
// holds in one box, which keeps one share of the hook: the hook then goes
// when the last of its holders goes, exactly as with a share each. The box
// is counted without atomics: the nodes holding one are one graph's, and a
// graph is used by one thread.

#include <cstddef>
#include <utility>

#include "base/relocatable.hpp"
#include "node/arena/sink.hpp"

namespace korvalinth {

class TopologyHookShare {
 public:
  TopologyHookShare() noexcept = default;
  // A share of its own for the hook (none for a null hook).
  TopologyHookShare(TopologyHook hook) : box_(hook ? new Box{std::move(hook), 1} : nullptr) {}
  TopologyHookShare(const TopologyHookShare& o) noexcept : box_(o.box_) {
    if (box_) ++box_->holders;
  }
  TopologyHookShare(TopologyHookShare&& o) noexcept : box_(std::exchange(o.box_, nullptr)) {}
  TopologyHookShare& operator=(TopologyHookShare o) noexcept {
    std::swap(box_, o.box_);
    return *this;
  }
  ~TopologyHookShare() {
    if (box_ && --box_->holders == 0) delete box_;
  }

  explicit operator bool() const noexcept { return box_ != nullptr; }
  const TopologyHook& hook() const noexcept { return box_ ? box_->hook : none(); }
  operator TopologyHook() const { return hook(); }
  friend bool operator==(const TopologyHookShare& share, const TopologyHook& hook) noexcept {
    return share.hook() == hook;
  }
  // This holder's share as a share of the hook itself, the holder left
  // empty: the hook stays alive throughout.
  TopologyHook take() && {
    Box* box = std::exchange(box_, nullptr);
    if (!box) return nullptr;
    if (--box->holders != 0) return box->hook;
    TopologyHook hook = std::move(box->hook);
    delete box;
    return hook;
  }

 private:
  struct Box {
    TopologyHook hook;
    std::size_t holders;
  };
  static const TopologyHook& none() noexcept {
    static const TopologyHook kNone;
    return kNone;
  }
  Box* box_ = nullptr;
};
template <>
inline constexpr bool relocatable_as_bytes<TopologyHookShare> = true;

}  // namespace korvalinth
