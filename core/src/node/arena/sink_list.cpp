#include "node/arena/sink_list.hpp"

namespace korvalinth {

namespace {

// Four calls a step: a wide fan-out spends its wave here, and a loop's own
// test and step cost as much as a call's set-up. Out of line, so that a
// short list (a diamond's two) keeps the plain loop's frame.
[[gnu::noinline]] void deliver_wide(const SinkEntry* e, const SinkEntry* const end, const Message& message) {
  for (const SinkEntry* const quads_end = e + ((end - e) & ~std::ptrdiff_t{3}); e != quads_end; e += 4) {
    e[0].sink->call(message);
    e[1].sink->call(message);
    e[2].sink->call(message);
    e[3].sink->call(message);
  }
  for (; e != end; ++e) e->sink->call(message);
}

// A DATA to a list with dep sinks: a dep sink takes the run of entries it
// can after it. Out of line, so that the plain loops keep their frames.
[[gnu::noinline]] void deliver_data_runs(const SinkEntry* e, const SinkEntry* const end, const Message& message) {
  while (e != end) {
    if (e->dep) {
      const RunEnd run = e->sink->call_run(e, end, message);
      e = run.next;
      if (run.stopped_at) run.stopped_at->call(message);
    } else {
      e->sink->call(message);
      ++e;
    }
  }
}

// A DIRTY to a wide list with dep sinks: a dep sink marks the run of
// entries it can after it, and the sink a run stopped at is called here,
// as the wide loop would, so an onward DIRTY nests as deep as there. Two
// runs in a row that stop at their own entries find a list of dependants
// whose DIRTY goes on: the rest of it takes the wide loop, not a run per
// entry. One is not enough: the first entry's call may touch what the
// rest's DIRTY goes on to, after which their runs take it.
[[gnu::noinline]] void deliver_dirty_runs(const SinkEntry* e, const SinkEntry* const end, const Message& message) {
  bool last_took_none = false;
  while (e != end) {
    if (e->dep) {
      const RunEnd run = e->sink->call_dirty_run(e, end);
      const bool took_none = run.stopped_at == e->sink.get();
      e = run.next;
      if (run.stopped_at) run.stopped_at->call(message);
      if (took_none && last_took_none) return deliver_wide(e, end, message);
      last_took_none = took_none;
    } else {
      e->sink->call(message);
      ++e;
    }
  }
}

}  // namespace

void SinkList::Reading::deliver_each(const Block& block, const Message& message) {
  const SinkEntry* e = block.entries.data();
  const SinkEntry* const end = e + block.entries.size();
  if (block.dep_sinks && message.kind() == MessageKind::Data) return deliver_data_runs(e, end, message);
  if (end - e >= 4) {
    if (block.dep_sinks && message.kind() == MessageKind::Dirty) return deliver_dirty_runs(e, end, message);
    return deliver_wide(e, end, message);
  }
  for (; e != end; ++e) e->sink->call(message);
}

std::span<const SinkEntry> SinkList::entries() const noexcept {
  if (!block_) return {};
  return block_->entries;
}

SinkList::Block& SinkList::own_block() {
  if (!block_) {
    block_ = Held(new Block);
  } else if (block_->holders > 1) {
    // Readings hold the list: it passes to them, and the node edits a copy.
    block_ = Held(new Block{block_->entries, 1, block_->dep_sinks, block_->ignored_only, block_->lone_dep});
  }
  return *block_;
}

bool SinkList::only_ignoring(const std::vector<SinkEntry>& entries) noexcept {
  for (const SinkEntry& e : entries)
    if (!e.sink->ignores_messages()) return false;
  return true;
}

Sink* SinkList::lone_dep_of(const std::vector<SinkEntry>& entries) noexcept {
  return entries.size() == 1 && entries.front().dep ? entries.front().sink.get() : nullptr;
}

void SinkList::add(SinkEntry entry) {
  const bool dep = entry.dep != 0;
  const bool ignored = entry.sink->ignores_messages();
  Block& b = own_block();
  const bool was_ignored_only = b.entries.empty() || b.ignored_only;
  b.entries.push_back(std::move(entry));
  b.dep_sinks |= dep;
  b.ignored_only = was_ignored_only && ignored;
  b.lone_dep = lone_dep_of(b.entries);
}

}  // namespace korvalinth
