#include "dispatcher/dispatcher.hpp"

#include <time.h>

#include "base/index_fault.hpp"

namespace korvalinth {

Dispatcher::Dispatcher(std::initializer_list<std::uint8_t> partition_flags) {
  auto& s = state_.unguarded();
  for (std::uint8_t flag : partition_flags) {
    DispatcherPartition p;
    p.flag = flag;
    s.partitions.push_back(std::move(p));
  }
}

Dispatcher::~Dispatcher() {
  if (!FnRunClaim::any()) return;
  for (DispatcherPartition& p : state_.unguarded().partitions) {
    for (DispatcherSlot& slot : p.slots) FnRunClaim::take_over_if_claimed(slot.fn);
  }
}

Dispatcher::RunLookup Dispatcher::find_again_for_run(const DispatcherKey& key, FoundRunFn& found) const {
  const RunLookup out = lookup_for_run(key);
  if (!out.timing) found = FoundRunFn{out.fn, state_.unguarded().found_epoch, out.partition_flag};
  return out;
}

DispatcherRef Dispatcher::thread_default() {
  thread_local DispatcherRef tls_default = std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1});
  return tls_default;
}

DispatcherKey Dispatcher::register_fn(std::uint32_t partition, SharedNodeFn fn) {
  SharedNodeFn replaced;  // dropped after the borrow is released
  DispatcherKey key;
  {
    auto s = state_.borrow_mut();
    check_index(s->partitions.size(), partition);
    DispatcherPartition& p = s->partitions[partition];
    if (p.last_freed != kNoFreeSlot) {
      const std::uint32_t slot = p.last_freed;
      check_index(p.slots.size(), slot);
      DispatcherSlot& reused = p.slots[slot];
      p.last_freed = reused.freed_before;
      replaced = std::move(reused.fn);
      reused.fn = std::move(fn);
      key = DispatcherKey{partition, slot, reused.generation};
    } else {
      std::uint32_t slot = static_cast<std::uint32_t>(p.slots.size());
      p.slots.push_back(DispatcherSlot{std::move(fn), 0});
      key = DispatcherKey{partition, slot, 0};
    }
  }
  return key;
}

void Dispatcher::free_slot(DispatcherKey key) {
  SharedNodeFn freed;  // dropped after the borrow is released
  {
    auto s = state_.borrow_mut();
    check_index(s->partitions.size(), key.partition);
    DispatcherPartition& p = s->partitions[key.partition];
    DispatcherSlot* slot = current_slot(p, key);
    if (slot && slot->fn) {
      freed = std::move(slot->fn);  // leaves the slot's share empty
      slot->generation += 1;  // wraps
      s->found_epoch += 1;
      slot->freed_before = p.last_freed;
      p.last_freed = key.slot;
    }
    if (!s->timing.empty()) s->timing.erase(key);  // empty unless timing was ever on
  }
  FnRunClaim::take_over_if_claimed(freed);
}

void Dispatcher::enable_fn_timing() {
  auto s = state_.borrow_mut();
  // What runs found untimed no longer holds.
  if (s->timing_flag != 1) s->found_epoch += 1;
  s->timing_flag = 1;
}

bool Dispatcher::timing_enabled() const { return state_.borrow()->timing_flag == 1; }

std::uint8_t Dispatcher::partition_flag(std::uint32_t partition) const {
  auto s = state_.borrow();
  check_index(s->partitions.size(), partition);
  return s->partitions[partition].flag;
}

void Dispatcher::partition_out_of_range(std::size_t len, std::uint32_t partition) { index_fault(len, partition); }

SharedNodeFn Dispatcher::lookup(DispatcherKey key) const {
  auto s = state_.borrow();
  const DispatcherSlot* slot = current_slot(partition_at(*s, key.partition), key);
  return slot ? slot->fn : nullptr;
}

std::optional<FnTimingStats> Dispatcher::timing_of(DispatcherKey key) const {
  auto s = state_.borrow();
  auto it = s->timing.find(key);
  if (it == s->timing.end()) return std::nullopt;
  return it->second;
}

std::uint64_t monotonic_now_ns() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::uint64_t(ts.tv_sec) * 1000000000ULL + std::uint64_t(ts.tv_nsec);
}

void record_fn_timing(std::uint64_t start_ns, const DispatcherRef& dispatcher, DispatcherKey key) {
  std::uint64_t now = monotonic_now_ns();
  std::uint64_t elapsed = now > start_ns ? now - start_ns : 0;
  auto s = dispatcher->state().borrow_mut();
  FnTimingStats& stats = s->timing[key];
  stats.calls += 1;  // wraps
  stats.total_ns += elapsed;
  stats.last_ns = elapsed;
}

}  // namespace korvalinth
