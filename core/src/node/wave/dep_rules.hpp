#pragma once
// What a node does after its dep sink recorded a dep's INVALIDATE, COMPLETE
// or ERROR: the dep sink acts by these rules, and the feedback forecast
// (feedback_check.hpp) asks them.

#include <cstdint>

#include "node/arena/graph_core.hpp"

namespace korvalinth {

// After a dep's COMPLETE or ERROR: the node errors with its dep (ERROR),
// takes the end as an input (the run check), completes once every dep has
// ended (COMPLETE), or else checks whether it owes a RESOLVED.
enum class DepEndStep : std::uint8_t { Error, RunCheck, Complete, ResolveCheck };

inline DepEndStep dep_end_step(bool error, const ConfigEntry& config, bool every_dep_ended) noexcept {
  if (error && config.error_when_deps_error) return DepEndStep::Error;
  if (config.terminal_as_real_input) return DepEndStep::RunCheck;
  if (every_dep_ended && config.complete_when_deps_complete) return DepEndStep::Complete;
  return DepEndStep::ResolveCheck;
}

// After a dep's INVALIDATE, of a node that had data before it: whether the
// node's own INVALIDATE goes through down, which keeps it back while the
// node is held back in the resume-all mode; else it is applied at once.
inline bool invalidates_through_down(bool had_data, const ConfigEntry& config, const AuxEntry& aux) noexcept {
  return had_data && config.pausable == Pausable::ResumeAll && paused_or_pull_gated(config, aux);
}

// After a dep's INVALIDATE, what becomes of the RESOLVED the node owes (it
// told DIRTY and no dep is pending): with data before, its dirty marks are
// forgotten; without, RESOLVED goes out.
enum class OwedAfterInvalidate : std::uint8_t { Nothing, ForgetDirty, Resolved };

inline OwedAfterInvalidate owed_after_invalidate(const NodeState& state, bool had_data) noexcept {
  if (!state.owes_resolved()) return OwedAfterInvalidate::Nothing;
  return had_data ? OwedAfterInvalidate::ForgetDirty : OwedAfterInvalidate::Resolved;
}

}  // namespace korvalinth
