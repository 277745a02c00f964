#include "node/wave/up.hpp"

#include <string>
#include <vector>

#include "node/wave/batch.hpp"
#include "node/wave/dep_sink.hpp"
#include "node/wave/down.hpp"
#include "node/wave/feedback_check.hpp"
#include "node/wave/stack_guard.hpp"

namespace korvalinth {

namespace {

struct PullVisit {
  std::string pull_id;
  NodeId node;
};
using PullVisits = std::vector<PullVisit>;

struct DepCopy {
  SlotKey key;
  SharedCount count;
};

void handle_up_message(const UncountedNode& node, Message message, std::optional<std::uint64_t> toward,
                       PullVisits& visits);

void forward_up_to_dep(const UncountedNode& node, const DepCopy& dep, Message message, PullVisits& visits) {
  const CoreRef& core = node.core();
  {
    auto a = core->borrow_mut();
    if (!a->is_current(dep.key)) return;
    if (dep.count->count == 0 && a->pin_count(dep.key.index) == 0) return;
    a->add_pin(dep.key.index);
  }
  PinnedNode pin(core, dep.count, dep.key);
  UncountedNode handle(core, dep.count, dep.key);
  bool current;
  {
    auto a = core->borrow();
    current = a->is_current(dep.key);
  }
  if (current) handle_up_message(handle, std::move(message), std::nullopt, visits);
  handle.drop();
  pin.unpin();
}

void forward_up(const UncountedNode& node, Message message, std::optional<std::uint64_t> toward, PullVisits& visits) {
  SmallVec<DepCopy, 4> deps;
  {
    auto a = node.core_ref().borrow();
    a->require_wave_entries(node.key());
    const TopologyEntry& t = a->topology_at(node.index());
    for (const UncountedNode& d : t.deps) deps.push_back(DepCopy{d.key(), d.count()});
  }
  if (!toward) {
    if (!is_control_kind(message.kind()))
      fault("internal error: entered unreachable code: up forwards only control messages, got " +
            std::string(message.kind_name()));
    for (const DepCopy& d : deps) forward_up_to_dep(node, d, message.copy_control(), visits);
    return;
  }
  if (*toward < deps.size()) forward_up_to_dep(node, deps[*toward], std::move(message), visits);
}

void full_resume(const UncountedNode& node) {
  GraphCore& core = node.core_ref();
  bool has_pull_id;
  {
    auto a = core.borrow();
    a->check(node.key());
    has_pull_id = a->config_at(node.index()).pull_id.has_value();
  }
  if (has_pull_id) {
    if (batch_is_active()) batch_register_core(node.core());
    handle_dep_message(node);
    return;
  }
  bool terminal;
  {
    auto a = core.borrow();
    terminal = a->wave_edge(node.key()).state.terminal();
  }
  if (terminal) {
    std::optional<PullRequest> old_pending, old_current;
    std::vector<MessageList> old_held;
    auto a = core.borrow_mut();
    a->check(node.key());
    AuxEntry& x = a->aux_at(node.index());
    old_pending = x.take(&AuxRare::pending_pull);
    old_current = x.take(&AuxRare::current_pull);
    a->edge_at(node.index()).state.drop_pull();
    old_held = x.take(&AuxRare::held);
    a.release();
  } else {
    std::vector<MessageList> held;
    {
      auto a = core.borrow_mut();
      a->check(node.key());
      AuxEntry& x = a->aux_at(node.index());
      held = x.take(&AuxRare::held);
    }
    for (MessageList& l : held) down(node, std::move(l));
    bool run_owed;
    {
      auto a = core.borrow_mut();
      a->check(node.key());
      run_owed = a->edge_at(node.index()).state.take_run_owed();
    }
    if (run_owed) run_or_settle(node);
  }
  if (batch_is_active()) batch_register_core(node.core());
  handle_dep_message(node);
}

void handle_up_message(const UncountedNode& node, Message message, std::optional<std::uint64_t> toward,
                       PullVisits& visits) {
  check_stack_headroom();
  GraphCore& core = node.core_ref();
  std::size_t dep_count;
  {
    CheckedLive live = check_live(node);
    dep_count = live.topology.deps.size();
  }
  switch (message.kind()) {
    case MessageKind::Pause: {
      auto a = core.borrow_mut();
      a->check(node.key());
      a->aux_at(node.index()).edit_rare().pause_locks.insert(message.lock_id());
      return;
    }
    case MessageKind::Resume: {
      bool found;
      {
        auto a = core.borrow();
        a->check(node.key());
        found = a->aux_at(node.index()).rare().pause_locks.contains(message.lock_id());
      }
      if (!found) {
        forward_up(node, std::move(message), toward, visits);
        return;
      }
      bool remain;
      {
        auto a = core.borrow_mut();
        a->check(node.key());
        auto& locks = a->aux_at(node.index()).edit_rare().pause_locks;
        locks.erase(message.lock_id());
        remain = !locks.empty();
      }
      if (remain)
        handle_dep_message(node);
      else
        full_resume(node);
      return;
    }
    case MessageKind::Pull: {
      bool matches;
      {
        auto a = core.borrow();
        a->check(node.key());
        const auto& pull_id = a->config_at(node.index()).pull_id;
        matches = pull_id && *pull_id == message.pull_request().pull_id;
      }
      if (!matches) {
        forward_up(node, std::move(message), toward, visits);
        return;
      }
      const NodeId id = node.id();
      for (const PullVisit& v : visits)
        if (v.node == id && v.pull_id == message.pull_request().pull_id) return;
      visits.push_back(PullVisit{message.pull_request().pull_id, id});
      {
        std::optional<PullRequest> old_pending;  // dropped right after the borrow
        auto a = core.borrow_mut();
        LiveSlotsWithAux s = live_slots_with_aux(*a, node.key());
        if (s.edge.state.pull_in_progress()) return;
        const PullRequest& req = message.pull_request();
        old_pending = std::exchange(s.aux.edit_rare().pending_pull, PullRequest{req.pull_id, req.params});
        a.release();
      }
      handle_dep_message(node);
      return;
    }
    case MessageKind::Dirty:
    case MessageKind::Invalidate:
    case MessageKind::Teardown:
      if (dep_count > 0) {
        forward_up(node, std::move(message), toward, visits);
      } else if (message.kind() == MessageKind::Invalidate) {
        down(node, Message::invalidate());
      }
      return;
    default:
      return;
  }
}

}  // namespace

namespace {

// Every message is checked before any is handled.
void check_control_kinds(const MessageList& messages) {
  for (const Message& m : messages) {
    if (!is_control_kind(m.kind()))
      fault("ctx.up: " + std::string(m.kind_name()) + " is down-only; up carries control tiers only (R-ctx-up)");
  }
}

void handle_each(const UncountedNode& node, MessageList& messages, std::optional<std::uint64_t> toward_dep) {
  PullVisits visits;
  for (Message& m : messages) handle_up_message(node, std::move(m), toward_dep, visits);
}

}  // namespace

void up(const UncountedNode& node, MessageList messages, std::optional<std::uint64_t> toward_dep) {
  check_control_kinds(messages);
  handle_each(node, messages, toward_dep);
}

void up_refusing_feedback(const UncountedNode& node, MessageList messages, std::optional<std::uint64_t> toward_dep) {
  check_control_kinds(messages);
  if (joins_running_function()) refuse_up_feedback(node, messages, toward_dep);
  handle_each(node, messages, toward_dep);
}

}  // namespace korvalinth
