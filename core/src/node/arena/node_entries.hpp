#pragma once
// The per-node entries of the GraphCore columns. Their fields are read and
// written by the runtime's operations (down, subscription, run_wave, dep sinks,
// upstream control, rewire), except the node's wave and lifecycle state, which
// only its own verbs change (node_state.hpp); this header only lays them out.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/heap_optional.hpp"
#include "base/index_fault.hpp"
#include "base/relocatable.hpp"
#include "dispatcher/dispatcher.hpp"
#include "node/arena/call_context.hpp"
#include "node/arena/dep_list.hpp"
#include "node/arena/dep_slot.hpp"
#include "node/arena/dep_states.hpp"
#include "node/arena/kind_text.hpp"
#include "node/arena/message.hpp"
#include "node/arena/node_fn.hpp"
#include "node/arena/node_handle.hpp"
#include "node/arena/node_state.hpp"
#include "node/arena/sink.hpp"
#include "node/arena/sink_list.hpp"
#include "node/arena/topology_hook_share.hpp"
#include "node/arena/unsubscribe_fn.hpp"
#include "node/arena/wave_deliveries.hpp"

namespace korvalinth {

struct TopologyEntry {
  DepList deps;
  TopologyHookShare hook;
};
template <>
inline constexpr bool relocatable_as_bytes<TopologyEntry> =
    made_of_relocatable_parts<TopologyEntry, DepList, TopologyHookShare>;
static_assert(relocatable_as_bytes<TopologyEntry>);

struct CallEntry {
  OptionalKindText kind;
  std::optional<DispatcherKey> key;
  SharedCallContext context = no_call_context();
  FoundRunFn found_fn;  // what the last run found under key; reset with the key

  const DispatcherRef& dispatcher() const noexcept { return context->dispatcher; }
  const SharedGraphHooks& hooks() const noexcept { return context->hooks; }
};
template <>
inline constexpr bool relocatable_as_bytes<CallEntry> =
    made_of_relocatable_parts<CallEntry, OptionalKindText, std::optional<DispatcherKey>, SharedCallContext, FoundRunFn>;
static_assert(relocatable_as_bytes<CallEntry>);

enum class Pausable : std::uint8_t { True = 0, ResumeAll = 1, False = 2 };

// A node's settings as its config slot keeps them; the construction record
// adds what only construction reads (the versioning form becomes the version
// slot's policy), so the settings are moved in once.
struct ConfigEntry {
  HeapOptional<std::string> pull_id;
  std::uint8_t partial = 0;
  std::uint8_t complete_when_deps_complete = 1;
  std::uint8_t error_when_deps_error = 1;
  std::uint8_t terminal_as_real_input = 0;
  Pausable pausable = Pausable::True;
};
template <>
inline constexpr bool relocatable_as_bytes<ConfigEntry> =
    made_of_relocatable_parts<ConfigEntry, HeapOptional<std::string>, std::uint8_t, std::uint8_t, std::uint8_t,
                              std::uint8_t, Pausable>;
static_assert(relocatable_as_bytes<ConfigEntry>);

// A dep sink's position among its node's deps; all-ones once detached.
struct DepIndexCell {
  std::uint64_t value = ~std::uint64_t{0};
};
inline constexpr std::uint64_t kNoDepIndex = ~std::uint64_t{0};

// The connection of one dep: its dep sink's unsubscribe action and index
// cell (none until the sink is connected), and the restore flag: while set,
// a DATA of the dep only becomes its latest value. The action is on the heap:
// deps of nodes never activated (most of a built graph) pay a pointer for it.
struct DepLink {
  HeapOptional<UnsubscribeFn> unsubscribe;
  std::shared_ptr<DepIndexCell> cell;
  std::uint8_t flag = 0;
};

// A node's dep links, read like a vector of them. They are sized when the
// node is first connected, which most built nodes never are: until then the
// node pays one null word for them.
class DepLinks {
 public:
  DepLinks() noexcept = default;
  DepLinks(std::vector<DepLink>&& links)
      : links_(links.empty() ? nullptr : std::make_unique<std::vector<DepLink>>(std::move(links))) {}

  std::size_t size() const noexcept { return links_ ? links_->size() : 0; }
  bool empty() const noexcept { return size() == 0; }
  DepLink& operator[](std::size_t i) noexcept { return (*links_)[i]; }
  const DepLink& operator[](std::size_t i) const noexcept { return (*links_)[i]; }
  DepLink* begin() noexcept { return links_ ? links_->data() : nullptr; }
  DepLink* end() noexcept { return links_ ? links_->data() + links_->size() : nullptr; }
  const DepLink* begin() const noexcept { return links_ ? links_->data() : nullptr; }
  const DepLink* end() const noexcept { return links_ ? links_->data() + links_->size() : nullptr; }
  // As vector::resize: links past n go, new ones are empty.
  void resize(std::size_t n) {
    if (!links_) {
      if (n == 0) return;
      links_ = std::make_unique<std::vector<DepLink>>();
    }
    links_->resize(n);
  }

 private:
  std::unique_ptr<std::vector<DepLink>> links_;
};
template <>
inline constexpr bool relocatable_as_bytes<DepLinks> =
    made_of_relocatable_parts<DepLinks, std::unique_ptr<std::vector<DepLink>>>;

struct EdgeEntry {
  DepStates dep_state;
  NodeState state;
  std::uint64_t run_check_epoch = 0;  // a run check is queued while this equals the queue's epoch
  DepLinks dep_links;
  SharedValue cache;
};
template <>
inline constexpr bool relocatable_as_bytes<EdgeEntry> =
    made_of_relocatable_parts<EdgeEntry, DepStates, NodeState, std::uint64_t, DepLinks, SharedValue>;
static_assert(relocatable_as_bytes<EdgeEntry>);

// The parts of a node's aux state that most nodes never use: callbacks,
// held messages, pulls, pause locks and ctx state. A node makes the record
// when it first needs one, so the rest pay one pointer.
struct AuxRare {
  std::vector<ReleaseCallback> release_callbacks;
  std::vector<InvalidateCallback> invalidate_callbacks;
  std::vector<MessageList> held;
  HeapOptional<PullRequest> pending_pull;
  HeapOptional<PullRequest> current_pull;
  PauseLocks pause_locks;
  SharedValue ctx_state;
  std::uint8_t ctx_state_persist = 0;
};

struct AuxEntry {
  SinkList sinks;
  std::uint64_t next_sink_id = 0;

  // For reading: the node's record, or an empty one when it has none.
  const AuxRare& rare() const noexcept { return rare_ ? *rare_ : empty_rare(); }
  // For changing: the node's record, made now if it has none.
  AuxRare& edit_rare() {
    if (!rare_) rare_ = std::make_unique<AuxRare>();
    return *rare_;
  }
  // What a wave asks of every node, answered without the record when it has none.
  bool paused() const noexcept { return rare_ && !rare_->pause_locks.empty(); }
  bool serving_pull() const noexcept { return rare_ && rare_->current_pull.has_value(); }
  // The record when the node has one: taking state out needs none made.
  AuxRare* rare_if_made() noexcept { return rare_.get(); }
  const AuxRare* rare_if_made() const noexcept { return rare_.get(); }
  // Takes one part out, leaving it empty.
  template <class T>
  T take(T AuxRare::*part) {
    return rare_ ? std::exchange((*rare_).*part, T{}) : T{};
  }

 private:
  static const AuxRare& empty_rare() noexcept;
  std::unique_ptr<AuxRare> rare_;
};
template <>
inline constexpr bool relocatable_as_bytes<AuxEntry> =
    made_of_relocatable_parts<AuxEntry, SinkList, std::uint64_t, std::unique_ptr<AuxRare>>;
static_assert(relocatable_as_bytes<AuxEntry>);

// What the run rules read of a node's entries, each read when a rule asks
// it: a node that ran before is told to run without its config, deps or dep
// states being read.
struct EntryRunInputs {
  const TopologyEntry& topology;
  const CallEntry& call;
  const ConfigEntry& config;
  const std::uint8_t& run;
  const EdgeEntry& edge;

  std::span<const DepSlot> deps() const noexcept { return edge.dep_state; }
  bool has_fn() const noexcept { return call.key.has_value(); }
  bool has_run() const noexcept { return (run & 1) != 0; }
  bool partial() const noexcept { return config.partial != 0; }
  bool terminal_as_input() const noexcept { return config.terminal_as_real_input != 0; }
  bool no_deps() const noexcept { return topology.deps.empty(); }

  // All of them at once.
  RunInputs gathered() const noexcept {
    return RunInputs{deps(), has_fn(), has_run(), partial(), terminal_as_input(), no_deps()};
  }
};

// The same, gathered.
inline RunInputs run_inputs(const TopologyEntry& topology, const CallEntry& call, const ConfigEntry& config,
                            std::uint8_t run, const EdgeEntry& edge) noexcept {
  return EntryRunInputs{topology, call, config, run, edge}.gathered();
}

// The state's note of what its config holds, which the wave's DATA and
// DIRTY ask in place of the config: made again wherever the config gets a
// pull id or the state is replaced.
inline void note_config(NodeState& state, const ConfigEntry& config) noexcept {
  state.note_pull_id(config.pull_id.has_value());
}

// Paused, or waiting for a pull: what may hold a node back, whatever its
// pause mode.
inline bool paused_or_pull_gated(const ConfigEntry& config, const AuxEntry& aux) noexcept {
  return (config.pull_id.has_value() && !aux.serving_pull()) || aux.paused();
}

// A pausable node owes its run, instead of running, while paused or waiting
// for a pull.
inline bool run_held_back(const ConfigEntry& config, const AuxEntry& aux) noexcept {
  if (config.pausable != Pausable::True) return false;
  return paused_or_pull_gated(config, aux);
}

// After a dep of the node settled: true when no dep is pending (a run
// check is due); else a node held back owes its run.
inline bool deps_settled_or_owe_run(NodeState& state, const ConfigEntry& config, const AuxEntry& aux) noexcept {
  return state.deps_settled_or_owe([&] { return run_held_back(config, aux); });
}

// Whether the pull service serves the node's pending pull now: it has a
// pull id and a pending pull, is live, no dep is pending, it is not paused,
// and a node with a function has passed its first-run gate.
inline bool serves_pending_pull(const NodeState& state, const ConfigEntry& config, const AuxEntry& aux,
                                const RunInputs& in) noexcept {
  if (!config.pull_id || state.terminal() || state.pending_count() > 0 || aux.paused()) return false;
  if (in.has_fn() && !NodeState::may_run(in)) return false;
  const AuxRare* rare = aux.rare_if_made();
  return rare && rare->pending_pull;
}

// Sizes the node's links to its n deps and sets every restore flag to flag.
inline void set_dep_flags(EdgeEntry& e, std::size_t n, std::uint8_t flag) {
  e.dep_links.resize(n);
  for (DepLink& link : e.dep_links) link.flag = flag;
  e.state.note_dep_flags(flag != 0);
}

// The empty per-dep state block for n deps.
DepStates new_dep_state(std::size_t n);

// A node holds no dep states or one for each of its n deps; any other count
// faults as the index past its states would.
inline void check_dep_state_count(const EdgeEntry& e, std::size_t n) {
  const std::size_t count = e.dep_state.size();
  if (count != 0 && count != n) [[unlikely]] index_fault(count, count);
}

// Makes the node's empty states for its n deps when it has none yet (see
// DepStates for when a node needs them).
inline void make_dep_states_if_none(EdgeEntry& e, std::size_t n) {
  check_dep_state_count(e, n);
  if (e.dep_state.empty()) e.dep_state = new_dep_state(n);
}

}  // namespace korvalinth
