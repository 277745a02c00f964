#include "node/arena/node_state.hpp"

namespace korvalinth {

NodeState NodeState::with_value() noexcept {
  NodeState s;
  s.status_ = NodeStatus::Settled;
  s.set(Flag::HasData, true);
  return s;
}

NodeState NodeState::restored(NodeStatus status, bool has_data, bool terminal, bool activated) noexcept {
  NodeState s;
  s.status_ = status;
  s.set(Flag::HasData, has_data);
  s.set(Flag::Terminal, terminal);
  s.set(Flag::Activated, activated);
  return s;
}

bool NodeState::quiescent() const noexcept {
  constexpr std::uint16_t busy =
      bits(Flag::Running) | bits(Flag::MutationInFlight) | bits(Flag::RunAfterMutation) | bits(Flag::BatchQueued);
  return is_quiescent_status(status_) && pending_count_ == 0 && (flags_ & busy) == 0;
}

bool NodeState::terminate(bool errored) noexcept {
  if (terminal()) return false;
  set(Flag::Terminal, true);
  status_ = errored ? NodeStatus::Errored : NodeStatus::Completed;
  drop_pull();
  return true;
}

bool NodeState::every_dep_gave_input_apart(std::span<const DepSlot> deps, bool terminal_as_input) noexcept {
  return every_dep_gave_input(deps, terminal_as_input);
}

bool NodeState::serve_pull(const RunInputs& in) noexcept {
  if (run_owed()) {
    if (pending_count_ != 0 || (in.has_fn() && !may_run(in))) return false;
    set(Flag::RunOwed, false);
  } else if (!in.has_fn()) {
    return false;
  }
  set(Flag::ServingPull, true);
  forget_dirty();
  return true;
}

void NodeState::end_pull() noexcept {
  set(Flag::PullInProgress, false);
  set(Flag::ServingPull, false);
}

void NodeState::drop_pull() noexcept {
  end_pull();
  set(Flag::RunOwed, false);
}

void NodeState::deactivate(bool clear_value) noexcept {
  set(Flag::Activated, false);
  if (clear_value) {
    status_ = NodeStatus::Sentinel;
    set(Flag::HasData, false);
  }
  pending_count_ = 0;
  forget_dirty();
  drop_pull();
}

void NodeState::abort_wave(std::span<DepSlot> deps, std::size_t n) noexcept {
  flags_ &= static_cast<std::uint16_t>(~(kDirtyMarks | bits(Flag::Emitted) | bits(Flag::Running)));
  pending_count_ = 0;
  for (std::size_t i = 0; i < n && i < deps.size(); ++i) deps[i].pending = 0;
}

}  // namespace korvalinth
