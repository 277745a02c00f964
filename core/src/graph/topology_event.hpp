#pragma once
// Topology events: changes of a graph's shape, numbered by the graph's
// sequence counter and delivered synchronously to the observers registered
// on it. Observers are called outside every borrow of the graph, so they may
// register nodes, add or drop observers and raise further events (queued and
// delivered after the current one).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/cell.hpp"

namespace korvalinth {

class GraphContainer;
using GraphRef = std::shared_ptr<GraphContainer>;
using WeakGraph = std::weak_ptr<GraphContainer>;

enum class TopologyEventKind : std::uint8_t {
  NodeAdded = 0,
  DepsChanged = 1,
  NodeRemoved = 2,
  MountAdded = 3,
};

struct TopologyEvent {
  std::string id;                                       // node id, or the mount path
  std::vector<std::string> deps;                        // dep ids in dep order
  std::optional<std::vector<std::string>> previous_deps;  // DepsChanged only
  std::optional<std::string> factory;                   // the row's kind, or "mount"
  std::uint64_t seq = 0;
  TopologyEventKind kind = TopologyEventKind::NodeAdded;
  bool operator==(const TopologyEvent&) const = default;
};

// Each call receives its own copy of the event. Identity is the shared object.
using TopologyObserverFn = std::function<void(TopologyEvent)>;
using TopologyObserver = std::shared_ptr<const TopologyObserverFn>;

inline TopologyObserver make_topology_observer(TopologyObserverFn fn) {
  return std::make_shared<const TopologyObserverFn>(std::move(fn));
}

// A scoped observer sees only events whose id is the scope or lies under it
// ("{scope}::...").
struct ObserverSlot {
  std::optional<std::string> scope;
  TopologyObserver observer;
};

// The graph's sequence counter, shared with the observer sinks of observe.
using SeqCounter = std::shared_ptr<Cell<std::uint64_t>>;

// The counter's value; the counter advances by one (wrapping).
std::uint64_t take_seq(const SeqCounter& counter);

// A registered observer; dropping (or reset()) unregisters it. Keeps its
// graph alive.
class TopologyObserverHandle {
 public:
  TopologyObserverHandle() noexcept = default;
  TopologyObserverHandle(GraphRef graph, std::size_t slot) noexcept;
  TopologyObserverHandle(TopologyObserverHandle&& o) noexcept;
  TopologyObserverHandle& operator=(TopologyObserverHandle&& o) noexcept;
  TopologyObserverHandle(const TopologyObserverHandle&) = delete;
  TopologyObserverHandle& operator=(const TopologyObserverHandle&) = delete;
  ~TopologyObserverHandle();

  // Unregisters now; faults (borrow conflicts) propagate. Later calls do nothing.
  void reset();

  bool active() const noexcept { return active_; }
  std::size_t slot() const noexcept { return slot_; }
  const GraphRef& graph() const noexcept { return graph_; }

 private:
  GraphRef graph_;
  std::size_t slot_ = 0;
  bool active_ = false;
};

}  // namespace korvalinth
