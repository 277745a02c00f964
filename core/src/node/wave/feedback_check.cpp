#include "node/wave/feedback_check.hpp"

#include <unordered_set>
#include <vector>

#include "node/wave/dep_sink.hpp"
#include "node/wave/run_wave.hpp"

namespace korvalinth {

namespace {

// As the run check decides: such a node owes its run instead of running now.
bool run_would_wait(const Arena& a, std::uint64_t i) {
  const NodeState& state = a.edge_at(i).state;
  if (state.mutation_in_flight()) return true;  // settings not read then
  return state.run_waits(run_held_back(a.config_at(i), a.aux_at(i)));
}

}  // namespace

void refuse_feedback_into_running_nodes(const UncountedNode& target) {
  if (!node_function_running()) return;
  auto a = target.core_ref().borrow();
  a->check(target.key());
  std::vector<std::uint64_t> reached{target.index()};
  std::unordered_set<std::uint64_t> seen{target.index()};
  while (!reached.empty()) {
    const std::uint64_t i = reached.back();
    reached.pop_back();
    if (a->edge_at(i).state.terminal()) continue;  // passes nothing on
    for (const SinkEntry& entry : a->aux_at(i).sinks) {
      const auto* dep_sink = dynamic_cast<const DepSink*>(entry.sink.get());
      if (dep_sink == nullptr || dep_sink->detached()) continue;
      const SlotKey dependent = dep_sink->dependent();
      if (!a->is_current(dependent) || !seen.insert(dependent.index).second) continue;
      if (a->edge_at(dependent.index).state.terminal() || run_would_wait(*a, dependent.index)) continue;
      if (a->edge_at(dependent.index).state.running()) fault(kReentrantRun);
      reached.push_back(dependent.index);
    }
  }
}

}  // namespace korvalinth
