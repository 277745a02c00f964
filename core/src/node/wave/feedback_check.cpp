#include "node/wave/feedback_check.hpp"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "node/arena/dep_match.hpp"
#include "node/wave/activation_forecast.hpp"
#include "node/wave/dep_rules.hpp"
#include "node/wave/dep_sink.hpp"
#include "node/wave/down.hpp"
#include "node/wave/forecast_state.hpp"
#include "node/wave/pending.hpp"
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
// batch takes (its late kinds while the batch collects, else the whole list
// behind the messages the ending batch holds for the node); and the kinds
// the node holds back.
struct DownPlan {
  KindSet reaching;
  KindSet batched;
  KindSet held;
};

// The plan of a down from a node whose state and entries read so now; its
// own function delivers as running. collecting: whether a batch collects
// then.
DownPlan plan_down(const NodeState& state, const LiveSlotsWithAux& s, KindSet kinds, bool running, bool collecting) {
  DownPlan plan;
  if (state.terminal()) return plan;
  bool dirty = kinds.has(kDirty);
  if (collecting && defers_into_batch(running)) {
    // The batch takes the late kinds, and DIRTY goes out now.
    plan.batched = kinds.only(is_late_kind);
    if (!plan.batched.empty()) {
      kinds = KindSet();
      dirty = true;
    }
  } else if (!collecting && waits_behind_batch_flush(state)) {
    // The whole list goes out when the batch's end flushes the node.
    plan.batched = kinds;
    return plan;
  }
  if (holds_back(s, running)) {
    plan.held = kinds.only(is_held_kind);
    kinds = kinds.except(is_held_kind);
  }
  dirty = dirty || dirty_goes_first(kinds.carries_data_or_resolved(), running, state.serving_pull());
  if (dirty && !state.dirty_sent()) plan.reaching = plan.reaching.with(kDirty);
  for (MessageKind k : {kData, kResolved, kInvalidate, kComplete, kError, kTeardown})
    if (kinds.has(k)) plan.reaching = plan.reaching.with(k);
  return plan;
}

// What the rules read of a node's aux entry, copied for the forecast to
// change: its pause locks and pulls (a pull's params play no part).
AuxEntry copy_for_rules(const AuxEntry& aux) {
  AuxEntry copy;
  if (const AuxRare* rare = aux.rare_if_made()) {
    AuxRare& c = copy.edit_rare();
    c.pause_locks = rare->pause_locks.copy();
    if (rare->pending_pull) c.pending_pull = PullRequest{rare->pending_pull->pull_id, nullptr};
    if (rare->current_pull) c.current_pull = PullRequest{rare->current_pull->pull_id, nullptr};
  }
  return copy;
}

// A node the delivery reaches, as the forecast leaves it: its entries, with
// copies of its state and of what the rules read of its aux entry.
struct Forecast {
  Forecast(const LiveSlotsWithAux& slots, std::uint64_t i)
      : topology(slots.topology),
        call(slots.call),
        config(slots.config),
        run(slots.run),
        edge(slots.edge),
        sinks(slots.aux.sinks),
        aux(copy_for_rules(slots.aux)),
        c(slots.edge, slots.topology.deps.size()),
        index(i) {
    for (const MessageList& l : slots.aux.rare().held) held.push_back(KindSet::of_list(l));
  }

  // The entries the rules read, the aux entry's copy among them.
  LiveSlotsWithAux rules() { return LiveSlotsWithAux{topology, call, config, run, edge, aux}; }
  RunInputs inputs() {
    RunInputs in = c.inputs(rules());
    in.fn_present |= fn_given;
    return in;
  }
  // The position a dep sink's own index names now: a rewire forecast moves
  // the kept deps and drops the removed ones (kNoDepIndex).
  std::uint64_t position(std::uint64_t i) const { return moved.empty() ? i : i < moved.size() ? moved[i] : kNoDepIndex; }

  TopologyEntry& topology;
  CallEntry& call;
  ConfigEntry& config;
  std::uint8_t& run;
  EdgeEntry& edge;
  const SinkList& sinks;
  AuxEntry aux;
  std::vector<KindSet> held;  // the lists it holds back, each as its kinds
  StateCopy c;
  std::uint64_t index;
  std::vector<std::uint64_t> moved;  // after a rewire forecast: each old dep position's new one
  bool fn_given = false;  // a rewire forecast gave it a function
  bool run_check_queued = false;
  bool resolve_check_queued = false;

  // Whether it waits in the forecast's queue for a check of that kind.
  bool& queued(PendingKind kind) { return kind == PendingKind::RunCheck ? run_check_queued : resolve_check_queued; }
  // What a terminal node drops: the lists it held back and its pulls.
  void drop_held_and_pulls() {
    held.clear();
    if (AuxRare* rare = aux.rare_if_made()) {
      rare->pending_pull = std::nullopt;
      rare->current_pull = std::nullopt;
    }
  }
};

// The delivery of a call, forecast in the order the delivery makes it: each
// message to the node's sinks in their order, what a dep sink does with it
// at once, then the drain of the checks it queued, runs and all. It stops
// at the first run of a node whose function is on the stack.
class DeliveryForecast {
 public:
  // The checks waiting in the queue come first: the delivery's drain takes
  // them with its own.
  DeliveryForecast(Arena& a, const GraphCore& core) : a_(a), core_(core) {
    each_waiting_item(pending_state(), core_.id(), [&](SlotKey key, PendingKind kind) {
      Forecast* y = node(key);
      if (y == nullptr) return;
      queue_check(*y, kind);
    });
  }

  bool reruns_running_node() const { return reruns_; }

  // The down of kinds from target, joining the wave as a call; faults as
  // down does when what goes out now mixes DATA and RESOLVED.
  void down_from_target(SlotKey target, KindSet kinds) {
    Forecast& t = *node(target);
    const bool running = t.c.state.running();
    const DownPlan plan = plan_down(t.c.state, t.rules(), kinds, running, collecting_);
    if (plan.reaching.has(kData) && plan.reaching.has(kResolved)) fault(kMixedDataResolved);
    deliver_plan(t, plan, running);
    end_batch();
  }

  // The up of messages from target as up handles them, in list order.
  void up_from_target(SlotKey target, const MessageList& messages, std::optional<std::uint64_t> toward) {
    PullVisits visits;
    for (const Message& m : messages) handle_up(target, m, toward, visits);
    end_batch();
  }

  // The apply of the rewire of target onto deps, as rewire_apply makes it:
  // the removed deps leave, the added ones connect and give what an
  // activation gives, then the node re-evaluates or resolves.
  void rewire_target(SlotKey target, const std::vector<NodeHandle>& deps) {
    Forecast& m = *node(target);
    const DepList& old_deps = m.topology.deps;
    if (same_dep_lists(old_deps, deps)) return;  // only its function changes
    // The apply registers the new function before it connects anything.
    m.fn_given = true;
    const std::vector<std::optional<std::size_t>> match = match_deps(old_deps, deps);
    NodeState& st = m.c.state;
    st.begin_mutation();
    bool removed_pending = false;
    StateCopy& c = m.c;
    const std::size_t n = deps.size();
    std::vector<DepSlot> now(n);
    std::vector<std::uint8_t> wave(n, 0), has_latest(n, 0), restored(n, 0);
    std::vector<bool> kept(n, false);
    m.moved.assign(match.size(), kNoDepIndex);
    for (std::size_t i = 0; i < match.size(); ++i) {
      if (!match[i]) {
        if (i < c.deps.size() && st.dep_settled(c.deps[i])) removed_pending = true;
        continue;
      }
      const std::size_t j = *match[i];
      kept[j] = true;
      m.moved[i] = j;
      if (i >= c.deps.size()) continue;
      now[j] = std::move(c.deps[i]);
      wave[j] = c.wave[i];
      has_latest[j] = c.has_latest[i];
      restored[j] = c.restored[i];
    }
    c.deps = std::move(now);
    c.wave = std::move(wave);
    c.has_latest = std::move(has_latest);
    c.restored = std::move(restored);
    if (st.activated()) {
      ActivationForecast activation(a_, core_);
      for (std::size_t j = 0; j < n && !st.terminal(); ++j) {
        if (kept[j] || &deps[j].core_ref() != &core_ || !a_.current_with_every_entry(deps[j].key())) continue;
        const Gives given = activation.gives(deps[j].index());
        if (activation.reruns) reruns_ = true;
        if (reruns_) return;
        connect(m, j, given);
        if (reruns_) return;
      }
    }
    if (!st.terminal()) {
      const bool released = removed_pending && st.dirty_without_pending();
      if (released && n > 0) st.rerun_after_mutation();
      st.end_mutation();
      if (st.take_rerun()) {
        reevaluate(m);
      } else if (released) {
        if (st.dirty_sent())
          send(m, KindSet::of(kResolved), st.running());
        else
          st.settle_status();
      }
    }
    end_batch();
  }

 private:
  struct Queued {
    std::uint64_t index;
    PendingKind kind;
  };
  struct PullVisit {
    std::string pull_id;
    std::uint64_t index;
  };
  using PullVisits = std::vector<PullVisit>;

  // The node's forecast, made when the delivery first reaches it; null for
  // a node the delivery cannot enter.
  Forecast* node(SlotKey key) {
    if (const auto it = nodes_.find(key.index); it != nodes_.end()) return &it->second;
    if (!a_.current_with_every_entry(key)) return nullptr;
    Forecast& f = nodes_.try_emplace(key.index, whole_slots_with_aux(a_, key.index), key.index).first->second;
    if (runs_ended_) end_run_if_since_batch(f);
    return &f;
  }
  // A node reached already.
  Forecast& reached(std::uint64_t index) { return nodes_.at(index); }

  // A down from x (running: from its own function).
  void send(Forecast& x, KindSet kinds, bool running) {
    deliver_plan(x, plan_down(x.c.state, x.rules(), kinds, running, collecting_), running);
  }

  void deliver_plan(Forecast& x, const DownPlan& plan, bool running) {
    if (reruns_ || x.c.state.terminal()) return;
    check_stack_headroom();
    NodeState& st = x.c.state;
    if (!plan.held.empty()) {
      st.hold_outgoing();
      x.held.push_back(plan.held);
    }
    if (!plan.batched.empty()) defer(x, plan.batched);
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
    if (r.has(kError) && st.terminate(true)) end_node(x, kError);
    if (r.has(kComplete) && st.terminate(false)) end_node(x, kComplete);
    if (r.has(kTeardown)) deliver(x, kTeardown);
    depth_ -= 1;
    if (depth_ == 0) drain();
    if (!running && plan.batched.empty()) st.end_wave();
  }

  // A COMPLETE or ERROR of x: its pulls and held lists go, then its sinks take it.
  void end_node(Forecast& x, MessageKind kind) {
    x.drop_held_and_pulls();
    deliver(x, kind);
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
  // list that mixes DATA and RESOLVED stops it. It comes before the
  // functions that ran when the batch was opened return, and after those
  // started since have returned: a batch opened outside any function ends
  // when none runs.
  void end_batch() {
    if (deferred_.empty() || batch_mark_ == nullptr) return;
    collecting_ = false;
    runs_ended_ = true;
    for (auto& [index, f] : nodes_) end_run_if_since_batch(f);
    for (const auto& [index, lists] : deferred_) {
      Forecast& x = reached(index);
      x.c.state.leave_batch();
      for (KindSet kinds : lists) {
        if (reruns_ || (kinds.has(kData) && kinds.has(kResolved))) return;
        send(x, kinds, x.c.state.running());
      }
    }
  }

  // x's run, when it started since the batch was opened, has returned by
  // the batch's end.
  void end_run_if_since_batch(Forecast& x) {
    if (!x.c.state.running() || !x.call.key) return;
    const NodeFn* fn = x.call.dispatcher()->lookup_for_run(*x.call.key).fn;
    if (fn == nullptr || !FnRunClaim::runs_only_since(batch_mark_, fn)) return;
    x.c.take_wave_values();
    x.c.state.end_run_and_wave();
  }

  // Calls f(dependent, dep index) for each dep sink of x, in the order of
  // its sink list.
  template <class F>
  void each_dep_sink(const Forecast& x, F&& f) {
    for (const SinkEntry& e : x.sinks.entries()) {
      if (reruns_) return;
      if (!e.dep) continue;
      const auto& sink = static_cast<const DepSink&>(*e.sink);
      if (sink.detached() || sink.dependent_core_id() != core_.id() || !a_.is_current(sink.dependent())) continue;
      Forecast* y = node(sink.dependent());
      if (y == nullptr) continue;
      const std::uint64_t i = y->position(sink.dep_index());
      if (i < y->c.deps.size()) f(*y, i);
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
        if (take_dirty(y, i)) turned.push_back(&y);
      });
    }
  }

  // Dep i of y turned dirty: true when y turns dirty itself.
  bool take_dirty(Forecast& y, std::uint64_t i) { return !y.c.state.terminal() && y.c.dep_dirty(i, y.aux); }

  void deliver(Forecast& x, MessageKind kind) {
    each_dep_sink(x, [&](Forecast& y, std::uint64_t i) { receive(y, i, kind); });
  }

  // A new dep sink of m at position j takes what its dep gives it.
  void connect(Forecast& m, std::uint64_t j, const Gives& given) {
    if (given.dirty && take_dirty(m, j)) flood_dirty(m);
    depth_ += 1;
    if (given.data)
      receive(m, j, kData);
    else if (given.resolved)
      receive(m, j, kResolved);
    depth_ -= 1;
    if (depth_ == 0) drain();
  }

  // What a dep sink of y records of a message of dep i, then what y does.
  void receive(Forecast& y, std::uint64_t i, MessageKind kind) {
    NodeState& st = y.c.state;
    if (st.terminal()) {
      if (kind == kTeardown) deliver(y, kTeardown);
      return;
    }
    const ConfigEntry& config = y.config;
    const bool pull_check = config.pull_id.has_value();
    DepSlot& d = y.c.deps[i];
    switch (kind) {
      case MessageKind::Data:
      case MessageKind::Resolved:
        if (kind == kData && y.c.restored[i]) {
          // A restored dep's DATA only becomes its latest value.
          d.has_value = 1;
          y.c.has_latest[i] = 1;
          y.c.wave[i] = 0;
          return;
        }
        y.c.dep_settled(i, kind == kData);
        if (!deps_settled_or_owe_run(st, config, y.aux)) return;
        queue_check(y, PendingKind::RunCheck);
        if (pull_check) serve_pull(y);
        return;
      case MessageKind::Invalidate: {
        d.has_value = 0;
        y.c.has_latest[i] = 0;
        y.c.wave[i] = 0;
        st.dep_settled(d);
        if (!y.c.any_wave_value()) st.forgive_run();
        const bool had_data = st.has_data();
        const OwedAfterInvalidate owed = owed_after_invalidate(st, had_data);
        if (invalidates_through_down(had_data, config, y.aux)) {
          send(y, KindSet::of(kInvalidate), st.running());
        } else if (st.invalidate()) {
          deliver(y, kInvalidate);
        }
        if (owed == OwedAfterInvalidate::ForgetDirty) st.forget_dirty();
        if (owed == OwedAfterInvalidate::Resolved) send(y, KindSet::of(kResolved), st.running());
        if (pull_check) serve_pull(y);
        return;
      }
      case MessageKind::Complete:
      case MessageKind::Error: {
        d.record_terminal(TerminalRecord{true, nullptr});
        st.dep_settled(d);
        bool all_terminal = true;
        for (const DepSlot& other : y.c.deps) all_terminal &= other.terminal_present();
        switch (dep_end_step(kind == kError, config, all_terminal)) {
          case DepEndStep::Error:
            send(y, KindSet::of(kError), st.running());
            break;
          case DepEndStep::RunCheck:
            queue_check(y, PendingKind::RunCheck);
            break;
          case DepEndStep::Complete:
            send(y, KindSet::of(kComplete), st.running());
            break;
          case DepEndStep::ResolveCheck:
            queue_check(y, PendingKind::ResolveCheck);
            break;
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

  void queue_check(Forecast& y, PendingKind kind) {
    if (std::exchange(y.queued(kind), true)) return;
    queue_.push_back({y.index, kind});
  }

  // The pull service, at once: serves y's pending pull when it may.
  void serve_pull(Forecast& y) {
    NodeState& st = y.c.state;
    if (reruns_ || st.pull_in_progress()) return;
    const RunInputs in = y.inputs();
    if (!serves_pending_pull(st, y.config, y.aux, in)) return;
    AuxRare& rare = y.aux.edit_rare();
    rare.current_pull = std::move(rare.pending_pull);
    rare.pending_pull = std::nullopt;
    st.begin_pull();
    const std::vector<KindSet> held = std::exchange(y.held, {});
    if (!held.empty()) {
      // The newest list alone for a pausable node, else each in turn.
      if (y.config.pausable == Pausable::True) {
        send(y, held.back(), st.running());
      } else {
        for (KindSet kinds : held) send(y, kinds, st.running());
      }
    } else if (st.serve_pull(in)) {
      carry_out(y, st.settled_decision(y.inputs()));
    }
    rare.current_pull = std::nullopt;
    st.end_pull();
  }

  // What a run check's decision makes y do.
  void carry_out(Forecast& y, RunDecision decision) {
    switch (decision) {
      case RunDecision::Nothing:
        return;
      case RunDecision::Run:
        run(y);
        return;
      case RunDecision::Settle:
        if (first_dep_settle_value(y.c)) send(y, KindSet::of(kData), false);
        return;
      case RunDecision::Resolve:
        send(y, KindSet::of(kResolved), y.c.state.running());
        return;
    }
  }

  // A run of y, taken to send DATA: what its function sends cannot be told
  // beforehand, and a run in the wave's partition that sends nothing after
  // a DIRTY sends RESOLVED, which settles its dependents as well. A node
  // whose function runs already is the feedback cycle.
  void run(Forecast& y) {
    NodeState& st = y.c.state;
    if (st.running()) {
      reruns_ = true;
      return;
    }
    st.begin_run();
    send(y, KindSet::of(kData), true);
    y.c.take_wave_values();
    st.end_run();
    end_wave_after_run(st);
  }

  void run_check(Forecast& y) {
    carry_out(y, y.c.state.decide_run(y.inputs(), run_held_back(y.config, y.aux)));
  }

  // A rewired node's run check, without the pull condition: a node that
  // runs announces DIRTY first.
  void reevaluate(Forecast& m) {
    NodeState& st = m.c.state;
    if (m.config.pausable == Pausable::True && m.aux.paused()) {
      st.owe_run();
      return;
    }
    const RunDecision decision = st.settled_decision(m.inputs());
    if (decision != RunDecision::Run) return carry_out(m, decision);
    if (st.mark_dirty_for_rerun()) flood_dirty(m);
    run(m);
  }

  // The drain of the queued checks, as the outermost delivery's end makes
  // it: all run checks, then all resolve checks, each in queue order, and
  // again for what they queued.
  void drain() {
    while (!queue_.empty() && !reruns_) {
      const std::vector<Queued> taken = std::exchange(queue_, {});
      for (const Queued& q : taken) reached(q.index).queued(q.kind) = false;
      for (PendingKind pass : {PendingKind::RunCheck, PendingKind::ResolveCheck}) {
        for (const Queued& q : taken) {
          if (reruns_) return;
          Forecast& y = reached(q.index);
          if (q.kind != pass || y.c.state.terminal()) continue;
          if (pass == PendingKind::RunCheck) {
            run_check(y);
          } else if (y.c.state.owes_resolved()) {
            if (y.c.any_wave_value()) run_check(y);
            if (!reruns_ && y.c.state.dirty_sent()) send(y, KindSet::of(kResolved), y.c.state.running());
          }
        }
      }
    }
  }

  // One message of an up at the node key, as up handles it there.
  void handle_up(SlotKey key, const Message& m, std::optional<std::uint64_t> toward, PullVisits& visits) {
    if (reruns_) return;
    check_stack_headroom();
    Forecast* x = node(key);
    if (x == nullptr) return;
    switch (m.kind()) {
      case MessageKind::Pause:
        x->aux.edit_rare().pause_locks.insert(m.lock_id());
        return;
      case MessageKind::Resume: {
        PauseLocks& locks = x->aux.edit_rare().pause_locks;
        if (!locks.contains(m.lock_id())) return forward_up(*x, m, toward, visits);
        locks.erase(m.lock_id());
        if (locks.empty()) return resume_fully(*x);
        return serve_pull(*x);
      }
      case MessageKind::Pull: {
        const std::string& id = m.pull_request().pull_id;
        if (!x->config.pull_id || *x->config.pull_id != id) return forward_up(*x, m, toward, visits);
        for (const PullVisit& v : visits)
          if (v.index == x->index && v.pull_id == id) return;
        visits.push_back(PullVisit{id, x->index});
        if (x->c.state.pull_in_progress()) return;
        x->aux.edit_rare().pending_pull = PullRequest{id, nullptr};
        return serve_pull(*x);
      }
      case MessageKind::Dirty:
      case MessageKind::Invalidate:
      case MessageKind::Teardown:
        if (!x->topology.deps.empty()) return forward_up(*x, m, toward, visits);
        if (m.kind() == kInvalidate) send(*x, KindSet::of(kInvalidate), x->c.state.running());
        return;
      default:
        return;
    }
  }

  // The message on to x's deps (only the one toward names, when given)
  // that are current and held.
  void forward_up(Forecast& x, const Message& m, std::optional<std::uint64_t> toward, PullVisits& visits) {
    const DepList& deps = x.topology.deps;
    for (std::size_t i = 0; i < deps.size() && !reruns_; ++i) {
      if (toward && *toward != i) continue;
      const UncountedNode& d = deps[i];
      if (!a_.is_current(d.key())) continue;
      if (d.count()->count == 0 && a_.pin_count(d.index()) == 0) continue;
      handle_up(d.key(), m, std::nullopt, visits);
    }
  }

  // x lost its last pause lock: without a pull id it sends what it held
  // and makes the run it owes (a terminal node drops both); then the pull
  // service.
  void resume_fully(Forecast& x) {
    NodeState& st = x.c.state;
    if (!x.config.pull_id) {
      if (st.terminal()) {
        x.drop_held_and_pulls();
        st.drop_pull();
      } else {
        for (KindSet kinds : std::exchange(x.held, {})) send(x, kinds, st.running());
        if (!reruns_ && st.take_run_owed()) carry_out(x, st.settled_decision(x.inputs()));
      }
    }
    serve_pull(x);
  }

  Arena& a_;
  const GraphCore& core_;
  bool collecting_ = batch_collecting();
  const FnRunClaim* batch_mark_ = batch_open_claim();
  bool runs_ended_ = false;  // the forecast is past the batch's end
  std::vector<std::pair<std::uint64_t, std::vector<KindSet>>> deferred_;
  // A map's elements keep their addresses as it grows: the forecast holds them.
  std::unordered_map<std::uint64_t, Forecast> nodes_;
  std::vector<Queued> queue_;
  int depth_ = 0;
  bool reruns_ = false;
};

// A forecast of node's core under a shared borrow: forecast(f, a) fills f,
// which changes only copies.
template <class Make>
bool forecast_reruns(const UncountedNode& node, Make&& make) {
  auto held = node.core_ref().borrow();
  // Only reads: the shared borrow suffices.
  Arena& a = const_cast<Arena&>(*held);
  // Faults as the operation's reads of the node would.
  live_slots_with_aux(a, node.key());
  DeliveryForecast forecast(a, node.core_ref());
  make(forecast);
  return forecast.reruns_running_node();
}

}  // namespace

bool down_reruns_running_node(const UncountedNode& node, KindSet kinds) {
  return forecast_reruns(node, [&](DeliveryForecast& f) { f.down_from_target(node.key(), kinds); });
}

void refuse_feedback_into_running_nodes(const UncountedNode& node, KindSet kinds) {
  if (down_reruns_running_node(node, kinds)) fault(kReentrantRun);
}

bool up_reruns_running_node(const UncountedNode& node, const MessageList& messages,
                            std::optional<std::uint64_t> toward) {
  return forecast_reruns(node, [&](DeliveryForecast& f) { f.up_from_target(node.key(), messages, toward); });
}

void refuse_up_feedback(const UncountedNode& node, const MessageList& messages, std::optional<std::uint64_t> toward) {
  if (up_reruns_running_node(node, messages, toward)) fault(kReentrantRun);
}

bool rewire_reruns_running_node(const UncountedNode& node, const std::vector<NodeHandle>& deps) {
  return forecast_reruns(node, [&](DeliveryForecast& f) { f.rewire_target(node.key(), deps); });
}

void refuse_rewire_feedback(const UncountedNode& node, const std::vector<NodeHandle>& deps) {
  if (rewire_reruns_running_node(node, deps)) fault(kReentrantRun);
}

}  // namespace korvalinth
