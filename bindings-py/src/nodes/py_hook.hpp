#pragma once
// A Python callable that the runtime calls without arguments on a node's
// behalf (invalidate and deactivation hooks). It names its node weakly: the
// node's own aux slot keeps the hook, and a counted handle there would keep
// the node from ever being released; a reference to the core there would
// hide the core's holders from the cycle collector. Its callback is reported
// to that collector with the node's other hooks (the collector tears down
// what it frees, hooks run, before it clears any object: kit/instance.hpp).

#include "base/host_refs.hpp"
#include "boundary/pending_fatal.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_handle.hpp"
#include "node/arena/weak_node.hpp"

namespace korvalinth::py {

class PyHook final : public HostRefOwner {
 public:
  PyHook(kit::OwnedRef callback, const UncountedNode& node, SharedFatalSlot slot) noexcept
      : node_(WeakNodeHandle::of(node)), slot_(std::move(slot)), callback_(std::move(callback)) {}

  // An Exception of the callback goes down from the node as ERROR, unless
  // the node has been released meanwhile (then there is no one to tell).
  void call() const;
  int visit_host_refs(HostRefVisit visit) const override { return visit(callback_.get()); }

 private:
  // The callback still runs; only a BaseException other than Exception has
  // anywhere to go.
  void call_detached() const;

  WeakNodeHandle node_;
  SharedFatalSlot slot_;
  kit::AnywhereRef callback_;  // the runtime drops hooks anywhere (a later run, a release)
};

}  // namespace korvalinth::py
