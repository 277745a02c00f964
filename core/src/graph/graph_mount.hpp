#pragma once
// A child graph mounted in a parent under a path. The child keeps its own
// core and ids; outside it, its ids are qualified as "{path}::{id}".

#include <memory>
#include <optional>
#include <string>

#include "base/cell.hpp"
#include "graph/topology_event.hpp"

namespace korvalinth {

struct GraphMount {
  std::string path;
  GraphRef child;
  // The registration of this mount's forwarder in the child: present while
  // the parent has observers.
  std::unique_ptr<Cell<std::optional<TopologyObserverHandle>>> forwarder;

  GraphMount(std::string path, GraphRef child);
  GraphMount(GraphMount&&) noexcept = default;
  GraphMount& operator=(GraphMount&&) = delete;
  ~GraphMount();
};

}  // namespace korvalinth
