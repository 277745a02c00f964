#pragma once
// _WireBridge, made by Graph._wire_bridge: one session of the wire bridge
// protocol on the caller's graph (the core bridge's ten nodes) with two
// Python-facing nodes, "{}/py/status" and "{}/py/issues". The other wire
// adapters take it as their `bridge` argument and reach the core bridge
// through it. Its release() only marks it; nothing is taken down.

#include <memory>

#include "boundary/core_anchor.hpp"
#include "graphs/graph.hpp"
#include "kit/args.hpp"
#include "kit/instance.hpp"
#include "nodes/node.hpp"
#include "wire/bridge/wire_bridge.hpp"

namespace korvalinth::py {

struct PyWireBridge {
  std::shared_ptr<WireBridge> bridge;
  PyNode status;
  PyNode issues;
  bool released = false;
  CensusEntry census;  // its share of the bridge
};

PyTypeObject* wire_bridge_type();

// Graph._wire_bridge(session_id, name=None).
kit::OwnedRef graph_wire_bridge(PyGraph& self, const kit::Args& args);

// The `bridge` argument of the other builders: a _WireBridge (or subclass
// instance; else the TypeError naming _WireBridge), checked for its thread,
// with a reference of its own until the builder returns.
class WireBridgeArgument {
 public:
  explicit WireBridgeArgument(kit::BorrowedRef object);
  WireBridgeArgument(const WireBridgeArgument&) = delete;
  WireBridgeArgument& operator=(const WireBridgeArgument&) = delete;
  const PyWireBridge& get() const noexcept { return record_; }

 private:
  kit::OwnedRef object_;
  PyWireBridge& record_;
};

// The argument's type check alone, for Args::convert (which adds the note).
kit::BorrowedRef as_wire_bridge(kit::BorrowedRef object);

}  // namespace korvalinth::py
