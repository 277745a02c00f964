#include "node/wave/queued_resolve_checks.hpp"

namespace korvalinth {

namespace {
constexpr std::size_t kFirstSize = 16;
}  // namespace

std::size_t QueuedResolveChecks::home(CoreId core, SlotKey key) const noexcept {
  return NodeIdHash{}(NodeId{core, key.index, key.generation}) & (entries_.size() - 1);
}

void QueuedResolveChecks::grow(std::uint64_t epoch) {
  std::vector<Entry> old = std::move(entries_);
  entries_.assign(old.empty() ? kFirstSize : old.size() * 2, Entry{});
  for (const Entry& e : old) {
    if (e.epoch != epoch) continue;
    std::size_t i = home(e.core, e.key);
    while (entries_[i].epoch == epoch) i = (i + 1) & (entries_.size() - 1);
    entries_[i] = e;
  }
}

bool QueuedResolveChecks::insert(CoreId core, SlotKey key, std::uint64_t epoch) {
  if (live_epoch_ != epoch) {
    live_epoch_ = epoch;
    live_ = 0;
  }
  // At most half full, so a probe meets a free entry soon.
  if ((live_ + 1) * 2 > entries_.size()) grow(epoch);
  std::size_t i = home(core, key);
  for (; entries_[i].epoch == epoch; i = (i + 1) & (entries_.size() - 1)) {
    if (entries_[i].core == core && entries_[i].key == key) return false;
  }
  entries_[i] = Entry{epoch, core, key};
  ++live_;
  return true;
}

}  // namespace korvalinth
