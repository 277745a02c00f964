#include "wire/bridge/replay_filter.hpp"

#include <algorithm>

#include "node/arena/graph_core.hpp"
#include "wire/bridge/dep_values.hpp"

namespace korvalinth {

namespace {

std::vector<SlotKey> dep_keys(const UncountedNode& node) {
  std::vector<SlotKey> keys;
  CheckedLive live = check_live(node);
  for (const UncountedNode& dep : live.topology.deps) keys.push_back(dep.key());
  return keys;
}

}  // namespace

std::vector<std::vector<SharedValue>> ReplayFilter::fresh_values(const RunContext& ctx) {
  std::vector<std::vector<SharedValue>> out;
  std::vector<std::pair<SlotKey, SharedValue>> now_passed;
  const std::vector<SlotKey> keys = dep_keys(ctx.node);
  for (std::size_t dep = 0; dep < keys.size(); ++dep) {
    std::vector<SharedValue> values = delivered_values(ctx, dep);
    auto known = std::ranges::find(last_passed_, keys[dep], &std::pair<SlotKey, SharedValue>::first);
    SharedValue last = known == last_passed_.end() ? SharedValue() : known->second;
    if (!values.empty() && last && values.front() == last) values.erase(values.begin());
    if (!values.empty()) last = values.back();
    now_passed.emplace_back(keys[dep], std::move(last));
    out.push_back(std::move(values));
  }
  last_passed_ = std::move(now_passed);
  return out;
}

}  // namespace korvalinth
