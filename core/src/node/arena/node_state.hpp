#pragma once
// NodeState: a node's wave and lifecycle state (status, pending deps, the
// flags a wave sets and clears) and the rules that read it. Only its verbs
// change it: each names a transition and says what the caller must deliver,
// which the caller does after releasing the core's borrow.

#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "node/arena/dep_slot.hpp"
#include "node/arena/message.hpp"

namespace korvalinth {

// Whether a node whose deps settled runs, settles from its first dep, waits,
// or resolves: held by its first-run gate after its DIRTY went out, it
// answers that DIRTY with RESOLVED.
enum class RunDecision : std::uint8_t { Nothing = 0, Settle = 1, Run = 2, Resolve = 3 };

// What the run rules read besides the node's own state, gathered under the
// borrow (see run_inputs). The rules read any inputs through these names:
// a reader of a node's entries (EntryRunInputs) reads each only when asked.
struct RunInputs {
  std::span<const DepSlot> dep_states;
  bool fn_present;
  bool ran_before;
  bool partial_input;
  bool terminals_count;  // a dep's terminal counts as its input
  bool without_deps;

  std::span<const DepSlot> deps() const noexcept { return dep_states; }
  bool has_fn() const noexcept { return fn_present; }
  bool has_run() const noexcept { return ran_before; }
  bool partial() const noexcept { return partial_input; }
  bool terminal_as_input() const noexcept { return terminals_count; }
  bool no_deps() const noexcept { return without_deps; }
};

class NodeState {
 public:
  enum class Flag : std::uint16_t {
    HasData = 1 << 0,
    Terminal = 1 << 1,
    DirtySent = 1 << 2,          // DIRTY went out this wave
    Emitted = 1 << 3,            // DATA or RESOLVED went out (or was held) this wave
    Running = 1 << 4,            // the node's function is on the stack
    MutationInFlight = 1 << 5,   // a rewire of its deps is being applied
    RunAfterMutation = 1 << 6,   // a run check came during that rewire
    BatchQueued = 1 << 7,        // the open batch holds messages of the node
    Activated = 1 << 8,          // connected to its deps
    PullInProgress = 1 << 9,
    ServingPull = 1 << 10,       // the pull is served by a run or settle
    RunOwed = 1 << 11,           // a run waits for a resume or a pull
    DepFlagsMaySet = 1 << 12,    // a dep's restore flag may be set (clear: none is)
    DirtyToQuietSinks = 1 << 13,  // set with DirtySent by a dep's DIRTY whose sinks were quiet
    HasPullId = 1 << 14,          // its config holds a pull id (noted wherever the config gets one)
  };

  // A node built with an initial value.
  static NodeState with_value() noexcept;
  // The state a checkpoint restores: no wave in progress.
  static NodeState restored(NodeStatus status, bool has_data, bool terminal, bool activated) noexcept;

  NodeStatus status() const noexcept { return status_; }
  std::uint32_t pending_count() const noexcept { return pending_count_; }
  bool has_data() const noexcept { return has(Flag::HasData); }
  bool terminal() const noexcept { return has(Flag::Terminal); }
  bool dirty_sent() const noexcept { return has(Flag::DirtySent); }
  // A dep's DIRTY turned it dirty while its sinks were a lone dep sink or
  // none that heeds it (whatever road that DIRTY took); cleared with the
  // dirty mark. Its RESOLVED may then go without a delivery, if its sinks
  // are so still.
  bool dirty_went_to_quiet_sinks() const noexcept { return has(Flag::DirtyToQuietSinks); }
  // That, and no batch holds messages of the node (its RESOLVED would wait
  // behind them): the RESOLVED may go without a delivery.
  bool may_resolve_quietly() const noexcept {
    return (flags_ & (bits(Flag::DirtyToQuietSinks) | bits(Flag::BatchQueued))) == bits(Flag::DirtyToQuietSinks);
  }
  bool emitted() const noexcept { return has(Flag::Emitted); }
  bool running() const noexcept { return has(Flag::Running); }
  // Outside its run, live, its DIRTY gone out, nothing of it held in a
  // batch: a settle or a flushed DATA may take a plain road.
  bool past_run_with_dirty_out() const noexcept {
    return !running() && !terminal() && !batch_queued() && dirty_sent();
  }
  bool mutation_in_flight() const noexcept { return has(Flag::MutationInFlight); }
  bool batch_queued() const noexcept { return has(Flag::BatchQueued); }
  bool activated() const noexcept { return has(Flag::Activated); }
  bool pull_in_progress() const noexcept { return has(Flag::PullInProgress); }
  bool serving_pull() const noexcept { return has(Flag::ServingPull); }
  bool run_owed() const noexcept { return has(Flag::RunOwed); }
  // Whether a DATA must read its dep's restore flag: the flags are set
  // only by a restore, so most nodes never read them.
  bool dep_flags_may_be_set() const noexcept { return has(Flag::DepFlagsMaySet); }
  // Whether its config holds a pull id: a wave's DATA and DIRTY ask it with
  // the flags they read, not the config.
  bool has_pull_id() const noexcept { return has(Flag::HasPullId); }

  // --- Rules ---
  // The first-run gate: a node runs once it ran before, takes partial input,
  // has no deps, or every dep gave an input. A node with deps and no dep
  // states yet has had no input from any.
  // Gathered inputs walk the deps inline, as the pull and rerun frames were
  // sized for; a reader of the entries walks them out of line.
  template <class In>
  static bool may_run(const In& in) noexcept {
    if (in.has_run() || in.partial() || in.no_deps()) return true;
    if constexpr (std::is_same_v<In, RunInputs>)
      return every_dep_gave_input(in.deps(), in.terminal_as_input());
    else
      return every_dep_gave_input_apart(in.deps(), in.terminal_as_input());
  }
  static bool every_dep_gave_input(std::span<const DepSlot> deps, bool terminal_as_input) noexcept {
    for (const DepSlot& d : deps) {
      if (d.has_value) continue;
      if (terminal_as_input && d.terminal_present()) continue;
      return false;
    }
    return !deps.empty();
  }
  // Out of line, its arguments in registers: only a first run walks the deps.
  [[gnu::noinline]] static bool every_dep_gave_input_apart(std::span<const DepSlot> deps,
                                                           bool terminal_as_input) noexcept;
  // Deps settled: settle from the first dep (no function) or run; held by
  // the first-run gate, answer the DIRTY it sent with RESOLVED, or wait when
  // it sent none (nothing is owed to its sinks).
  template <class In>
  RunDecision settled_decision(const In& in) const noexcept {
    if (pending_count_ > 0) return RunDecision::Nothing;
    if (!in.has_fn()) return RunDecision::Settle;
    if (may_run(in)) return RunDecision::Run;
    return dirty_sent() ? RunDecision::Resolve : RunDecision::Nothing;
  }
  // It told its sinks DIRTY and no dep is pending: a RESOLVED is owed.
  bool owes_resolved() const noexcept { return pending_count_ == 0 && dirty_sent(); }
  // After a run: dirty was sent and nothing emitted, so RESOLVED goes out.
  bool resolves_after_run() const noexcept { return dirty_sent() && !emitted() && !terminal(); }
  // Its dep change released the last pending dep of a dirty node.
  bool dirty_without_pending() const noexcept { return pending_count_ == 0 && status_ == NodeStatus::Dirty; }
  // Nothing of a wave, rewire or batch is in progress on the node.
  bool quiescent() const noexcept;
  // As decide_run: the node owes its run instead of running now.
  bool run_waits(bool held_back) const noexcept { return mutation_in_flight() || held_back; }
  // What the run check would decide now, changing nothing: Nothing while
  // its run waits (see run_waits), else as settled_decision.
  template <class In>
  RunDecision run_check_outcome(const In& in, bool held_back) const noexcept {
    return run_waits(held_back) ? RunDecision::Nothing : settled_decision(in);
  }

  // --- Transitions of its own messages (down) ---
  // True when DIRTY must go out (it was not sent this wave).
  bool mark_dirty() noexcept {
    if (dirty_sent()) return false;
    turn_dirty(bits(Flag::DirtySent));
    return true;
  }
  // A rerun after a rewire: status dirty; true when DIRTY must go out.
  bool mark_dirty_for_rerun() noexcept {
    status_ = NodeStatus::Dirty;
    return mark_dirty();
  }
  void take_data() noexcept {
    status_ = NodeStatus::Settled;
    flags_ |= bits(Flag::HasData) | bits(Flag::Emitted);
  }
  void take_resolved() noexcept {
    status_ = has_data() ? NodeStatus::Resolved : NodeStatus::Sentinel;
    set(Flag::Emitted, true);
  }
  // Clears the value; true when there was one (callbacks and INVALIDATE go out).
  bool invalidate() noexcept {
    if (!has_data()) return false;
    status_ = NodeStatus::Sentinel;
    set(Flag::HasData, false);
    return true;
  }
  // False when already terminal; ends any pull and owed run.
  bool terminate(bool errored) noexcept;
  // DATA, RESOLVED or INVALIDATE held back counts as emitted; so does a
  // DATA or RESOLVED of its run that waits behind an ending batch's flush.
  void hold_outgoing() noexcept { set(Flag::Emitted, true); }
  // The wave on the node ended: dirty and emitted clear.
  void end_wave() noexcept { flags_ &= static_cast<std::uint16_t>(~(kDirtyMarks | bits(Flag::Emitted))); }
  // As end_wave, unless the node emitted or queued into a batch meanwhile.
  void end_wave_unless_settled() noexcept {
    if (!emitted() && !batch_queued()) end_wave();
  }
  void forget_dirty() noexcept { flags_ &= static_cast<std::uint16_t>(~kDirtyMarks); }
  // A settle without a wave: the status follows the value.
  void settle_status() noexcept { status_ = has_data() ? NodeStatus::Settled : NodeStatus::Sentinel; }
  void queue_in_batch() noexcept { set(Flag::BatchQueued, true); }
  // True when it was queued.
  bool leave_batch() noexcept {
    const bool was = batch_queued();
    set(Flag::BatchQueued, false);
    return was;
  }

  // --- Transitions of dep messages ---
  // A dep turned dirty: true when DIRTY must go out. sinks_quiet() is asked
  // only then, before the writes (so the caller's own reads of the sinks
  // serve it): whether the DIRTY goes to a lone dep sink or to no sink that
  // heeds it.
  template <class SinksQuiet>
  bool dep_dirty(DepSlot& dep, bool pull_gated, const SinksQuiet& sinks_quiet) noexcept {
    if (dep.pending) return false;
    const bool turns_dirty = !pull_gated && !dirty_sent();
    const bool quiet = turns_dirty && sinks_quiet();
    dep.pending = 1;
    pending_count_ += 1;
    if (!turns_dirty) return false;
    turn_dirty(quiet ? kDirtyMarks : bits(Flag::DirtySent));
    return true;
  }
  // The dep is no longer pending (a value, RESOLVED, INVALIDATE, terminal,
  // or removed); true when it was.
  bool dep_settled(DepSlot& dep) noexcept {
    if (!dep.pending) return false;
    dep.pending = 0;
    pending_count_ -= 1;
    return true;
  }
  // After a dep settled: true when no dep is pending (a run check is due);
  // else a held-back node owes its run. held_back() is asked only then: the
  // usual settle, of the last pending dep, reads nothing more.
  template <class HeldBack>
  bool deps_settled_or_owe(const HeldBack& held_back) noexcept {
    if (pending_count_ == 0) return true;
    if (!mutation_in_flight() && held_back()) owe_run();
    return false;
  }
  // Whether a dep other than dep is pending.
  bool owes_dep_besides(const DepSlot& dep) const noexcept { return pending_count_ > (dep.pending ? 1u : 0u); }
  // The node's dep restore flags were all set (on) or all cleared.
  void note_dep_flags(bool on) noexcept { set(Flag::DepFlagsMaySet, on); }
  // The node's config now holds a pull id (on) or none.
  void note_pull_id(bool on) noexcept { set(Flag::HasPullId, on); }
  // No dep value is left for a run: the owed run is dropped.
  void forgive_run() noexcept { set(Flag::RunOwed, false); }

  // --- Runs ---
  // The run check: waits during a rewire (rerun after it) or while held back
  // (run owed), else as settled_decision.
  template <class In>
  RunDecision decide_run(const In& in, bool held_back) noexcept {
    if (mutation_in_flight()) {
      set(Flag::RunAfterMutation, true);
      return RunDecision::Nothing;
    }
    if (held_back) {
      owe_run();
      return RunDecision::Nothing;
    }
    return settled_decision(in);
  }
  void owe_run() noexcept { set(Flag::RunOwed, true); }
  // True when a run was owed; it no longer is.
  bool take_run_owed() noexcept {
    const bool was = run_owed();
    set(Flag::RunOwed, false);
    return was;
  }
  void begin_run() noexcept {
    set(Flag::Emitted, false);
    set(Flag::Running, true);
  }
  void end_run() noexcept { set(Flag::Running, false); }
  // end_run and end_wave in one write.
  void end_run_and_wave() noexcept {
    flags_ &= static_cast<std::uint16_t>(~(bits(Flag::Running) | kDirtyMarks | bits(Flag::Emitted)));
  }

  // --- Pulls ---
  void begin_pull() noexcept { set(Flag::PullInProgress, true); }
  // Serves the pull by a run or settle when one is owed and may happen, or
  // the node has a function; true when it is served so.
  bool serve_pull(const RunInputs& in) noexcept;
  void end_pull() noexcept;
  // As end_pull, and no run is owed.
  void drop_pull() noexcept;

  // --- Lifecycle and rewire ---
  void activate() noexcept { set(Flag::Activated, true); }
  // Disconnected from its deps: no wave, pull or owed run is left, and the
  // value goes when clear_value.
  void deactivate(bool clear_value) noexcept;
  // A wave that faulted or was aborted: its per-wave state clears, in the
  // first n deps too.
  void abort_wave(std::span<DepSlot> deps, std::size_t n) noexcept;
  void begin_mutation() noexcept {
    set(Flag::MutationInFlight, true);
    set(Flag::RunAfterMutation, false);
  }
  void end_mutation() noexcept { set(Flag::MutationInFlight, false); }
  void rerun_after_mutation() noexcept { set(Flag::RunAfterMutation, true); }
  // True when a run check came during the rewire; it is taken.
  bool take_rerun() noexcept {
    const bool was = has(Flag::RunAfterMutation);
    set(Flag::RunAfterMutation, false);
    return was;
  }

 private:
  static constexpr std::uint16_t bits(Flag f) noexcept { return static_cast<std::uint16_t>(f); }
  // What a DIRTY marks, cleared together.
  static constexpr std::uint16_t kDirtyMarks =
      static_cast<std::uint16_t>(Flag::DirtySent) | static_cast<std::uint16_t>(Flag::DirtyToQuietSinks);
  bool has(Flag f) const noexcept { return (flags_ & bits(f)) != 0; }
  // Status dirty, with the given dirty marks set.
  void turn_dirty(std::uint16_t marks) noexcept {
    flags_ |= marks;
    status_ = NodeStatus::Dirty;
  }
  void set(Flag f, bool on) noexcept {
    if (on)
      flags_ |= bits(f);
    else
      flags_ &= static_cast<std::uint16_t>(~bits(f));
  }

  std::uint32_t pending_count_ = 0;  // deps whose pending flag is set
  std::uint16_t flags_ = 0;
  NodeStatus status_ = NodeStatus::Sentinel;

  friend struct NodeStateTestAccess;  // tests that plant a state
};

}  // namespace korvalinth
