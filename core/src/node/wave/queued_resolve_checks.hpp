#pragma once
// The resolve checks in the thread's pending queue, found by node in
// constant time: a fan-out may queue one per node in one wave, and a search
// of the queue for each would cost the square of that.

#include <cstdint>
#include <vector>

#include "node/arena/node_handle.hpp"

namespace korvalinth {

// An open-addressed table of nodes whose entries count only while their
// epoch is the queue's (see queue_epoch): taking the queue empties it at
// once, with no walk.
class QueuedResolveChecks {
 public:
  // Records the node's check in epoch; false when it is recorded there
  // already.
  bool insert(CoreId core, SlotKey key, std::uint64_t epoch);

 private:
  struct Entry {
    std::uint64_t epoch = 0;  // no queue epoch is 0: a new entry is free
    CoreId core = 0;
    SlotKey key;
  };

  std::size_t home(CoreId core, SlotKey key) const noexcept;
  // Doubles the table, keeping the entries of epoch.
  void grow(std::uint64_t epoch);

  std::vector<Entry> entries_;  // a power of two in size, or empty
  std::size_t live_ = 0;        // entries of live_epoch_
  std::uint64_t live_epoch_ = 0;
};

}  // namespace korvalinth
