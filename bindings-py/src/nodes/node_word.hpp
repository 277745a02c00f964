#pragma once
// What a Node keeps beside its node's name, packed into one word: a share of
// its graph's pending fatal slot, whether the name holds a unit of the
// node's count, and, on graph lookup handles only, the node found (out of
// line, with the slot's share beside it). A Node is made for every node
// built: the one word keeps it in a smaller allocation class.

#include <cstdint>
#include <utility>

#include "boundary/core_holds.hpp"
#include "boundary/pending_fatal.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

// The node a graph lookup handle found, with the share of the handle's
// reference to that node's core.
struct LookupTarget : NodeHandle {
  explicit LookupTarget(NodeHandle found) : NodeHandle(std::move(found)), share(core(), 1) {}
  CoreShare share;
};

class NodeWord {
 public:
  NodeWord(SharedFatalSlot fatal, bool counted) noexcept
      : bits_(reinterpret_cast<std::uintptr_t>(fatal.release()) | (counted ? kCounted : 0)) {}
  NodeWord(SharedFatalSlot fatal, NodeHandle found, bool counted)
      : bits_(reinterpret_cast<std::uintptr_t>(new Lookup{LookupTarget(std::move(found)), std::move(fatal)}) | kLookup |
              (counted ? kCounted : 0)) {}
  NodeWord(NodeWord&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
  NodeWord& operator=(NodeWord&&) = delete;
  ~NodeWord() { drop(); }

  bool counted() const noexcept { return bits_ & kCounted; }
  const LookupTarget* lookup_target() const noexcept { return lookup() ? &lookup()->target : nullptr; }
  PendingFatalSlot& fatal() const noexcept { return lookup() ? *lookup()->fatal : *slot(); }
  // A share of the slot of its own.
  SharedFatalSlot fatal_share() const noexcept {
    if (const Lookup* l = lookup()) return l->fatal;
    return SharedFatalSlot::share_of(slot());
  }

  // Lets go of the slot's share, then of the lookup target. Whether the
  // name held a unit is its holder's to act on: read counted() first.
  void drop() noexcept {
    const std::uintptr_t bits = std::exchange(bits_, 0);
    if (!bits) return;
    if (bits & kLookup) {
      delete reinterpret_cast<Lookup*>(bits & ~kTags);
    } else {
      SharedFatalSlot::adopt(reinterpret_cast<PendingFatalSlot*>(bits & ~kTags)).reset();
    }
  }

 private:
  // Members drop in reverse: the slot's share first, then the target.
  struct Lookup {
    LookupTarget target;
    SharedFatalSlot fatal;
  };
  static constexpr std::uintptr_t kCounted = 1;
  static constexpr std::uintptr_t kLookup = 2;
  static constexpr std::uintptr_t kTags = kCounted | kLookup;
  static_assert(alignof(PendingFatalSlot) > kTags && alignof(Lookup) > kTags);

  const Lookup* lookup() const noexcept {
    return (bits_ & kLookup) ? reinterpret_cast<const Lookup*>(bits_ & ~kTags) : nullptr;
  }
  PendingFatalSlot* slot() const noexcept { return reinterpret_cast<PendingFatalSlot*>(bits_ & ~kTags); }

  std::uintptr_t bits_ = 0;
};

static_assert(sizeof(NodeWord) == sizeof(void*));

}  // namespace korvalinth::py
