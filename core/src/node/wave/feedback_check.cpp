#include "node/wave/feedback_check.hpp"

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "node/wave/dep_sink.hpp"
#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/down.hpp"
#include "node/wave/forecast_state.hpp"
#include "node/wave/run_wave.hpp"
#include "node/wave/stack_guard.hpp"

namespace korvalinth {

namespace {

constexpr MessageKind kDirty = MessageKind::Dirty;
constexpr MessageKind kData = MessageKind::Data;
constexpr MessageKind kResolved = MessageKind::Resolved;
constexpr MessageKind kInvalidate = MessageKind::Invalidate;
constexpr MessageKind kComplete = MessageKind::Complete;
constexpr MessageKind kError = MessageKind::Error;
constexpr MessageKind kTeardown = MessageKind::Teardown;

// What down does with a list of kinds from a node: the kinds that reach its
// sinks now, DIRTY among them when it goes out first; the kinds the open
// batch takes; and whether the node holds some back.
struct DownPlan {
  KindSet reaching;
  KindSet deferred;
  KindSet waiting;  // behind the messages the ending batch holds for the node
  bool held = false;
};

// The plan of a down from a node whose state and entries read so now; its
// own function delivers as running. collecting: whether a batch collects
// then. may_hold: false while the node's pull is served: it waits for none.
DownPlan plan_down(const NodeState& state, const LiveSlotsWithAux& s, KindSet kinds, bool running, bool collecting,
                   bool may_hold = true) {
  DownPlan plan;
  if (state.terminal()) return plan;
  bool dirty = kinds.has(kDirty);
  if (collecting && defers_into_batch(running)) {
    // The batch takes the late kinds, and DIRTY goes out now.
    plan.deferred = kinds.only(is_late_kind);
    if (!plan.deferred.empty()) {
      kinds = KindSet();
      dirty = true;
    }
  } else if (!collecting && waits_behind_batch_flush(state)) {
    // The whole list goes out when the batch's end flushes the node.
    plan.waiting = kinds;
    return plan;
  }
  if (may_hold && holds_back(s, running)) {
    plan.held = !kinds.only(is_held_kind).empty();
    kinds = kinds.except(is_held_kind);
  }
  dirty = dirty || dirty_goes_first(kinds.carries_data_or_resolved(), running, state.serving_pull());
  if (dirty && !state.dirty_sent()) plan.reaching = plan.reaching.with(kDirty);
  for (MessageKind k : {kData, kResolved, kInvalidate, kComplete, kError, kTeardown})
    if (kinds.has(k)) plan.reaching = plan.reaching.with(k);
  return plan;
}

// A node the delivery reaches, as the forecast leaves it.
struct Forecast {
  Forecast(const LiveSlotsWithAux& slots, std::uint64_t i) : s(slots), c(slots.edge, slots.topology.deps.size()), index(i) {}

  LiveSlotsWithAux s;
  StateCopy c;
  std::uint64_t index;
  bool run_check_queued = false;
  bool resolve_check_queued = false;
  bool pull_served = false;
  bool serving_pull = false;  // its pull is served now: it waits for none
};

// The delivery of a down, forecast in the order the delivery makes it: each
// message to the node's sinks in their order, what a dep sink does with it
// at once, then the drain of the checks it queued, runs and all. It stops
// at the first run of a node whose function is on the stack.
class DeliveryForecast {
 public:
  DeliveryForecast(Arena& a, CoreId core) : a_(a), core_(core) {}

  bool reruns_running_node() const { return reruns_; }

  // The down of kinds from target, joining the wave as a call; faults as
  // down does when what goes out now mixes DATA and RESOLVED.
  void down_from_target(SlotKey target, KindSet kinds) {
    Forecast& t = *node(target);
    const bool running = t.c.state.running();
    const DownPlan plan = plan_down(t.c.state, t.s, kinds, running, collecting_);
    if (plan.reaching.has(kData) && plan.reaching.has(kResolved)) fault(kMixedDataResolved);
    deliver_plan(t, plan, running);
    end_batch();
  }

 private:
  enum class Check : std::uint8_t { Run, Resolve };
  struct Queued {
    std::uint64_t index;
    Check check;
  };

  // The node's forecast, made when the delivery first reaches it; null for
  // a node the delivery cannot enter.
  Forecast* node(SlotKey key) {
    if (const auto it = nodes_.find(key.index); it != nodes_.end()) return it->second.get();
    if (!a_.current_with_every_entry(key)) return nullptr;
    return nodes_.emplace(key.index, std::make_unique<Forecast>(whole_slots_with_aux(a_, key.index), key.index))
        .first->second.get();
  }
  // A node reached already.
  Forecast& reached(std::uint64_t index) { return *nodes_.at(index); }

  // A down from x (running: from its own function).
  void send(Forecast& x, KindSet kinds, bool running) {
    deliver_plan(x, plan_down(x.c.state, x.s, kinds, running, collecting_, !x.serving_pull), running);
  }

  void deliver_plan(Forecast& x, const DownPlan& plan, bool running) {
    if (reruns_ || x.c.state.terminal()) return;
    check_stack_headroom();
    NodeState& st = x.c.state;
    if (plan.held) st.hold_outgoing();
    if (!plan.deferred.empty()) defer(x, plan.deferred);
    if (!plan.waiting.empty()) defer(x, plan.waiting);
    const KindSet r = plan.reaching;
    if (r.has(kDirty) && st.mark_dirty()) flood_dirty(x);
    depth_ += 1;
    if (r.has(kData)) {
      st.take_data();
      deliver(x, kData);
    }
    if (r.has(kResolved)) {
      st.take_resolved();
      deliver(x, kResolved);
    }
    if (r.has(kInvalidate) && st.invalidate()) deliver(x, kInvalidate);
    if (r.has(kError) && st.terminate(true)) deliver(x, kError);
    if (r.has(kComplete) && st.terminate(false)) deliver(x, kComplete);
    if (r.has(kTeardown)) deliver(x, kTeardown);
    depth_ -= 1;
    if (depth_ == 0) drain();
    if (!running && plan.deferred.empty() && plan.waiting.empty()) st.end_wave();
  }

  // The open batch keeps the node's last deferred list, in the order the
  // nodes first deferred; lists made while it ends wait behind it.
  void defer(const Forecast& x, KindSet kinds) {
    for (auto& [index, lists] : deferred_) {
      if (index != x.index) continue;
      if (collecting_) lists.clear();
      lists.push_back(kinds);
      return;
    }
    deferred_.emplace_back(x.index, std::vector<KindSet>{kinds});
  }

  // The batch's end delivers each node's lists, nothing collecting then; a
  // list that mixes DATA and RESOLVED stops it. After the running functions
  // return, unless the batch was opened inside them: then before.
  void end_batch() {
    if (deferred_.empty() || !batch_ends_inside_runs()) return;
    collecting_ = false;
    for (const auto& [index, lists] : deferred_) {
      Forecast& x = reached(index);
      x.c.state.leave_batch();
      for (KindSet kinds : lists) {
        if (reruns_ || (kinds.has(kData) && kinds.has(kResolved))) return;
        send(x, kinds, x.c.state.running());
      }
    }
  }

  // Calls f(dependent, dep index) for each dep sink of x, in the order of
  // its sink list.
  template <class F>
  void each_dep_sink(const Forecast& x, F&& f) {
    for (const SinkEntry& e : x.s.aux.sinks.entries()) {
      if (reruns_) return;
      if (!e.dep) continue;
      const auto& sink = static_cast<const DepSink&>(*e.sink);
      if (sink.detached() || sink.dependent_core_id() != core_ || !a_.is_current(sink.dependent())) continue;
      Forecast* y = node(sink.dependent());
      if (y != nullptr && sink.dep_index() < y->c.deps.size()) f(*y, sink.dep_index());
    }
  }

  // DIRTY from x: each node that turns dirty passes it on. Only pending and
  // dirty marks change, whatever the order, so it goes in a loop.
  void flood_dirty(Forecast& x) {
    std::vector<Forecast*> turned{&x};
    while (!turned.empty()) {
      Forecast* from = turned.back();
      turned.pop_back();
      each_dep_sink(*from, [&](Forecast& y, std::uint64_t i) {
        NodeState& st = y.c.state;
        if (st.terminal()) return;
        if (st.dep_dirty(y.c.deps[i], dep_sink_steps::dirty_pull_gated(st, y.s.aux), [] { return false; }))
          turned.push_back(&y);
      });
    }
  }

  void deliver(Forecast& x, MessageKind kind) {
    each_dep_sink(x, [&](Forecast& y, std::uint64_t i) { receive(y, i, kind); });
  }

  // What a dep sink of y records of a message of dep i, then what y does.
  void receive(Forecast& y, std::uint64_t i, MessageKind kind) {
    NodeState& st = y.c.state;
    if (st.terminal()) {
      if (kind == kTeardown) deliver(y, kTeardown);
      return;
    }
    const ConfigEntry& config = y.s.config;
    const bool pull_check = config.pull_id.has_value();
    DepSlot& d = y.c.deps[i];
    switch (kind) {
      case MessageKind::Data:
      case MessageKind::Resolved:
        if (kind == kData && i < y.s.edge.dep_links.size() && y.s.edge.dep_links[i].flag) {
          // A restored dep's DATA only becomes its latest value.
          d.has_value = 1;
          y.c.latest[i] = 1;
          y.c.wave[i] = 0;
          return;
        }
        if (kind == kData) {
          dep_sink_steps::settle_with_value(st, d);
          y.c.wave[i] = 1;
        } else {
          st.dep_settled(d);
        }
        if (!deps_settled_or_owe_run(st, config, y.s.aux)) return;
        queue_run_check(y);
        if (pull_check) serve_pull(y);
        return;
      case MessageKind::Invalidate: {
        d.has_value = 0;
        y.c.latest[i] = 0;
        y.c.wave[i] = 0;
        st.dep_settled(d);
        if (!y.c.any_wave_value()) st.forgive_run();
        const bool had_data = st.has_data();
        const bool owes_resolved = st.owes_resolved();
        if (had_data && config.pausable == Pausable::ResumeAll && paused_or_pull_gated(config, y.s.aux)) {
          send(y, KindSet::of(kInvalidate), st.running());
        } else if (st.invalidate()) {
          deliver(y, kInvalidate);
        }
        if (owes_resolved && had_data) st.forget_dirty();
        if (owes_resolved && !had_data) send(y, KindSet::of(kResolved), st.running());
        if (pull_check) serve_pull(y);
        return;
      }
      case MessageKind::Complete:
      case MessageKind::Error: {
        d.record_terminal(TerminalRecord{true, nullptr});
        st.dep_settled(d);
        bool all_terminal = true;
        for (const DepSlot& other : y.c.deps) all_terminal &= other.terminal_present();
        if (kind == kError && config.error_when_deps_error) {
          send(y, KindSet::of(kError), st.running());
        } else if (config.terminal_as_real_input) {
          queue_run_check(y);
        } else if (all_terminal && config.complete_when_deps_complete) {
          send(y, KindSet::of(kComplete), st.running());
        } else if (!y.resolve_check_queued) {
          y.resolve_check_queued = true;
          queue_.push_back({y.index, Check::Resolve});
        }
        if (pull_check) serve_pull(y);
        return;
      }
      case MessageKind::Teardown:
        send(y, KindSet::of(kComplete).with(kTeardown), st.running());
        return;
      default:
        return;
    }
  }

  void queue_run_check(Forecast& y) {
    if (y.run_check_queued) return;
    y.run_check_queued = true;
    queue_.push_back({y.index, Check::Run});
  }

  // The pull service, at once: serves y's pending pull when it may, once.
  void serve_pull(Forecast& y) {
    NodeState& st = y.c.state;
    if (y.pull_served || st.pull_in_progress()) return;
    const RunInputs in = y.c.inputs(y.s);
    if (!serves_pending_pull(st, y.s.config, y.s.aux, in)) return;
    y.pull_served = true;
    y.serving_pull = true;
    st.begin_pull();
    const std::vector<MessageList>& held = y.s.aux.rare().held;
    if (!held.empty()) {
      // The newest list alone for a pausable node, else each in turn.
      if (y.s.config.pausable == Pausable::True) {
        send(y, KindSet::of_list(held.back()), st.running());
      } else {
        for (const MessageList& l : held) send(y, KindSet::of_list(l), st.running());
      }
    } else if (st.serve_pull(in)) {
      carry_out(y, st.settled_decision(y.c.inputs(y.s)));
    }
    y.serving_pull = false;
    st.end_pull();
  }

  // What a run check's decision makes y do.
  void carry_out(Forecast& y, RunDecision decision) {
    switch (decision) {
      case RunDecision::Nothing:
        return;
      case RunDecision::Run:
        if (y.c.state.running()) {
          reruns_ = true;
          return;
        }
        run(y);
        return;
      case RunDecision::Settle:
        if (y.c.settles_to_a_value()) send(y, KindSet::of(kData), false);
        return;
      case RunDecision::Resolve:
        send(y, KindSet::of(kResolved), y.c.state.running());
        return;
    }
  }

  // A run of y, taken to send DATA: what its function sends cannot be told
  // beforehand, and a run in the wave's partition that sends nothing after
  // a DIRTY sends RESOLVED, which settles its dependents as well.
  void run(Forecast& y) {
    NodeState& st = y.c.state;
    st.begin_run();
    send(y, KindSet::of(kData), true);
    y.c.take_wave_values();
    st.end_run_and_wave();
  }

  void run_check(Forecast& y) {
    carry_out(y, y.c.state.decide_run(y.c.inputs(y.s), run_held_back(y.s.config, y.s.aux)));
  }

  // The drain of the queued checks, as the outermost delivery's end makes
  // it: all run checks, then all resolve checks, each in queue order, and
  // again for what they queued.
  void drain() {
    while (!queue_.empty() && !reruns_) {
      const std::vector<Queued> taken = std::exchange(queue_, {});
      for (const Queued& q : taken) {
        Forecast& y = reached(q.index);
        if (q.check == Check::Run) y.run_check_queued = false;
        if (q.check == Check::Resolve) y.resolve_check_queued = false;
      }
      for (Check pass : {Check::Run, Check::Resolve}) {
        for (const Queued& q : taken) {
          if (reruns_) return;
          Forecast& y = reached(q.index);
          if (q.check != pass || y.c.state.terminal()) continue;
          if (pass == Check::Run) {
            run_check(y);
          } else if (y.c.state.owes_resolved()) {
            if (y.c.any_wave_value()) run_check(y);
            if (!reruns_ && y.c.state.dirty_sent()) send(y, KindSet::of(kResolved), y.c.state.running());
          }
        }
      }
    }
  }

  Arena& a_;
  CoreId core_;
  bool collecting_ = batch_collecting();
  std::vector<std::pair<std::uint64_t, std::vector<KindSet>>> deferred_;
  std::unordered_map<std::uint64_t, std::unique_ptr<Forecast>> nodes_;
  std::vector<Queued> queue_;
  int depth_ = 0;
  bool reruns_ = false;
};

}  // namespace

bool down_reruns_running_node(const UncountedNode& node, KindSet kinds) {
  auto held = node.core_ref().borrow();
  // Only reads: the shared borrow suffices.
  Arena& a = const_cast<Arena&>(*held);
  // Faults as down's reads of the node would.
  live_slots_with_aux(a, node.key());
  DeliveryForecast forecast(a, node.core_ref().id());
  forecast.down_from_target(node.key(), kinds);
  return forecast.reruns_running_node();
}

void refuse_feedback_into_running_nodes(const UncountedNode& node, KindSet kinds) {
  if (down_reruns_running_node(node, kinds)) fault(kReentrantRun);
}

}  // namespace korvalinth
