#pragma once
// The dep sink: the Sink an active node attaches to each dep. It records
// what dep i delivers in the node's per-dep state and decides from it
// whether the node becomes dirty, runs, settles, is queued, forwards a
// terminal or TEARDOWN, invalidates, or serves a pending pull.

#include <memory>

#include "node/arena/graph_core.hpp"
#include "node/arena/sink.hpp"
#include "node/wave/pending.hpp"

namespace korvalinth {

// What a quiet DIRTY marks: the dep's state in its node, when there is any.
struct QuietDirtyMark {
  NodeState* state = nullptr;
  DepSlot* dep = nullptr;
  bool pull_gated = false;

  // Marks the dep dirty, as the sink's call would. A mark that turns its
  // node dirty is made only for a node whose sinks ignore the DIRTY.
  [[gnu::always_inline]] void apply() const noexcept {
    if (state) state->dep_dirty(*dep, pull_gated, [] { return true; });
  }
};

// The node a run's hops entered last, under the run's borrow (entries
// null: none yet). A hop into it again asks only of its own dep: while the
// borrow only marks, what let the first hop in (the wave's touch, the
// node's entries) stays so.
struct QuietHop {
  SlotKey key{};
  EdgeEntry* edge = nullptr;
  const ConfigEntry* config = nullptr;
  const AuxEntry* aux = nullptr;
};

class DepSink final : public Sink {
 public:
  DepSink(std::uint64_t dep_index, const CoreRef& core, SharedCount count, SlotKey key)
      : cell_{dep_index}, core_(core), raw_core_(core.get()), count_(std::move(count)), key_(key) {}
  void call(const Message& message) override;
  // A DATA inside the delivery frame whose id is frame, as call takes it:
  // recorded in place when it is a plain one; else call_any. A caller that
  // knows both is spared call's tests of them.
  [[gnu::noinline]] void call_data(const Message& message, std::uint64_t frame);
  // call_data up to its call_any: records a plain DATA (frame: its frame's
  // id, open or not yet) and says true; false, with nothing changed, when it
  // is no plain one. Its stack check stands for call_any's frame, whose
  // caller's frame ends at at (call_any's CFA). Out of line: the one body
  // of call_data and of a caller that opens no frame for a plain DATA.
  [[gnu::noinline]] bool take_data_plainly_at(const Message& message, std::uint64_t frame, std::uintptr_t at);
  // Any message; a plain DATA is taken by call_data.
  [[gnu::noinline]] void call_any(const Message& message);
  // Takes the following dep sinks of its core too, recording their DATAs
  // under one borrow while each is a plain one; the first that is not ends
  // the run, left for the caller to call.
  RunEnd call_run(const SinkEntry* self, const SinkEntry* end, const Message& message) override;
  // A DIRTY: marks the following dep sinks of its core under one borrow
  // while each node's DIRTY goes no further, or no further than past a lone
  // dep sink that takes it quietly; the first that goes further ends the
  // run, left for the caller to call.
  RunEnd call_dirty_run(const SinkEntry* self, const SinkEntry* end) override;

  // A set's DIRTY, with core borrowed as a: true when this sink's call, in
  // the wave the set opens, would only touch its node and mark the dep
  // dirty (mark tells what), passing nothing on and leaving no release due
  // at the wave's end; a detached sink's call does nothing (mark is left
  // empty). Inline, in dep_sink_plain.hpp.
  bool takes_dirty_quietly(Arena& a, const GraphCore& core, QuietDirtyMark& mark) const noexcept;
  // The same, for a run's hop into this sink's node (touched by the wave)
  // that hop notes: a node it noted is not entered again.
  bool hop_takes_dirty_quietly(Arena& a, const GraphCore& core, QuietHop& hop, QuietDirtyMark& mark) const noexcept;
  // A flushed DATA, with core borrowed as a: when this sink's call, in the
  // wave the flush opens, would only record the value in its node, which
  // still owes another dep after it (nothing runs, is queued, is replaced
  // or falls due for release), records it so in the delivery frame the
  // caller opened. A detached sink's call does nothing. False, with nothing
  // recorded, for any other. Inline, in dep_sink_plain.hpp.
  bool record_data_quietly(Arena& a, GraphCore& core, const Message& m) const;
  // Whether a wave's touch of this sink's node, with core borrowed as a,
  // may be skipped: its entries all there, and no release falling due as
  // the touch's pin is lowered.
  bool enters_quietly(Arena& a, const GraphCore& core) const noexcept;
  // A RESOLVED, with core borrowed as a, in the frame whose id is frame
  // (one of its own): recorded when this sink's call would only settle the
  // dep in its node, touched by the running wave, which still owes another
  // dep after it: nothing runs, is queued or grows. A detached sink's call,
  // or one to a terminal node, does nothing. False, with nothing recorded,
  // for any other.
  bool record_resolved_quietly(Arena& a, const GraphCore& core, std::uint64_t frame) const;

  // The node this sink feeds, in the dep's own core.
  const SlotKey& dependent() const noexcept { return key_; }
  // Its core and count record, for a handle made only when needed.
  const WeakCore& dependent_core() const noexcept { return core_; }
  CoreId dependent_core_id() const noexcept { return raw_core_->id(); }
  const SharedCount& dependent_count() const noexcept { return count_; }
  // Deactivation or a rewire detached it: it passes nothing on.
  bool detached() const noexcept { return cell_.value >= kDetachedDep; }
  // The dep index the node's link rewrites (it holds the sink for it).
  DepIndexCell& index_cell() noexcept { return cell_; }
  // The dep's position among its node's deps.
  std::uint64_t dep_index() const noexcept { return cell_.value; }

 private:
  // The dep sinks from e on, taken in the list's order under one borrow of
  // core by take(arena, sink) while each is of core and take accepts it;
  // the first that is not ends the run, left for the caller to call.
  template <class Take>
  static RunEnd take_under_one_borrow(GraphCore& core, const SinkEntry* e, const SinkEntry* end, Take&& take);
  // hop_takes_dirty_quietly into a node hop has not noted.
  bool first_hop_takes_dirty_quietly(Arena& a, const GraphCore& core, QuietHop& hop,
                                     QuietDirtyMark& mark) const noexcept;
  // takes_dirty_quietly's ask of the dep, its node entered (entries e,
  // config, aux).
  bool dep_takes_dirty_quietly(EdgeEntry& e, const ConfigEntry& config, const AuxEntry& aux,
                               QuietDirtyMark& mark) const noexcept;
  // The stack call_any takes below its caller's call (return address,
  // saved registers and frame, as this build lays it out).
  static constexpr std::uintptr_t kCallAnyStack = 448;
  // A DIRTY to this sink's node that needs no hold, going on down a line
  // of lone dep sinks; false, with nothing changed, when it needs a hold.
  bool call_dirty_no_hold();
  // The line from sink on, under the borrow a of its core, charged hop per
  // node from the stack position top.
  [[gnu::noinline]] static void descend_line(RefMut<Arena>& a, DepSink* sink, std::uintptr_t top, std::uintptr_t hop);

  // A dep index this high or above marks the sink detached.
  static constexpr std::uint64_t kDetachedDep = std::uint64_t{1} << 63;

  // Inside the sink, not in a block of its own: every DIRTY and DATA reads
  // it with the sink's other fields, where a block apart cost each node of a
  // deep line one more cache miss, waited on before the node goes on.
  DepIndexCell cell_;
  WeakCore core_;
  // The same core, for the call: a dep sink is only ever called by a dep of
  // its own core, whose caller holds that core.
  GraphCore* raw_core_;
  // The node's count record (it holds no reference, so this makes no cycle):
  // a sink of a released node finds its key no longer current.
  SharedCount count_;
  SlotKey key_;
};

// The run check made at once (pull service, resume).
void run_or_settle(const UncountedNode& node);
// The pull service: serves the node's pending pull when it may.
void handle_dep_message(const UncountedNode& node);

}  // namespace korvalinth
