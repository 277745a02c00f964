#pragma once
// Sinks: what a node delivers its messages to. A binding implements Sink
// (final classes preferred) for subscribers and observers; the runtime's own
// sinks are the dep sink and the do-nothing keep-alive sink (noop_sink.hpp).
// A sink is called with one message by reference and must not keep it beyond
// the call; it may subscribe, unsubscribe and deliver while being called.

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "base/host_refs.hpp"
#include "node/arena/message.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth {

struct SinkEntry;
class Sink;

// Where a run ended: the entry to go on from, and the sink just before it
// that the run stopped at without calling (null when none). The caller
// calls that one, so that its road does not nest inside the run's frame.
struct RunEnd {
  const SinkEntry* next;
  Sink* stopped_at;
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void call(const Message& message) = 0;
  // A DATA for the entry self, marked dep in its list: the sink may take
  // the entries after it too, called in order as call would. Only a dep
  // sink is marked so; any other sink faults here.
  virtual RunEnd call_run(const SinkEntry* self, const SinkEntry* end, const Message& message);
  // A DIRTY for the entry self, marked dep in a wide list: as call_run.
  // A sink that takes no run leaves itself to be called.
  virtual RunEnd call_dirty_run(const SinkEntry* self, const SinkEntry* end);
  // True for a sink whose call does nothing with any message (the
  // keep-alive sink): a DIRTY may pass it by.
  virtual bool ignores_messages() const noexcept { return false; }
  // The host references the sink owns (base/host_refs.hpp).
  virtual int visit_host_refs(HostRefVisit) const { return 0; }
};

using SharedSink = std::shared_ptr<Sink>;

struct SinkEntry {
  SharedSink sink;
  std::uint64_t id = 0;
  std::uint8_t observer = 0;  // 1 only for Graph.observe
  std::uint8_t dep = 0;       // 1 only for a dep sink, whose DATAs run together
};

inline RunEnd Sink::call_run(const SinkEntry*, const SinkEntry*, const Message&) {
  fault("sink list: an entry marked dep whose sink takes no run");
}
inline RunEnd Sink::call_dirty_run(const SinkEntry* self, const SinkEntry*) { return {self + 1, this}; }

// A once-only callback run at deactivation or release, in registration
// order. One made by the host names what it owns of the host (`refs`, shared
// with the callable), for the host's cycle collector.
class ReleaseCallback {
 public:
  ReleaseCallback() noexcept = default;
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, ReleaseCallback> && std::invocable<F&>)
  ReleaseCallback(F&& fn) : fn_(std::forward<F>(fn)) {}  // NOLINT: a callable stands for one
  ReleaseCallback(std::move_only_function<void()> fn, std::shared_ptr<const HostRefOwner> refs) noexcept
      : fn_(std::move(fn)), refs_(std::move(refs)) {}

  void operator()() { fn_(); }
  int visit_host_refs(HostRefVisit visit) const { return refs_ ? refs_->visit_host_refs(visit) : 0; }

 private:
  std::move_only_function<void()> fn_;
  std::shared_ptr<const HostRefOwner> refs_;
};

// A callback run each time the node's value is invalidated, shared (a
// delivery runs a copy of the node's list); the host's names its refs as a
// ReleaseCallback does.
struct InvalidateHook {
  std::function<void()> fn;
  std::shared_ptr<const HostRefOwner> refs;

  void operator()() const { fn(); }
  int visit_host_refs(HostRefVisit visit) const { return refs ? refs->visit_host_refs(visit) : 0; }
};
using InvalidateCallback = std::shared_ptr<const InvalidateHook>;

inline InvalidateCallback make_invalidate_callback(std::function<void()> fn,
                                                   std::shared_ptr<const HostRefOwner> refs = nullptr) {
  return std::make_shared<const InvalidateHook>(InvalidateHook{std::move(fn), std::move(refs)});
}
// Called with (the node, old deps, new deps) when a rewire changes a node's
// deps; taking the node lets one hook serve every node of a graph.
using TopologyHook = std::shared_ptr<
    const std::function<void(const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&)>>;

}  // namespace korvalinth
