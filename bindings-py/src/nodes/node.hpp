#pragma once
// The Python class Node: the face of one node of a graph. A Node made by a
// node factory names its node with `primary`. A graph lookup handle (made by
// Graph._find) names the node it found with `lookup_target` and a placeholder
// of the thread's detached core with `primary`: readers and subscribe go to
// the found node, the value and flow operations are refused, and the message
// hooks act on the placeholder.

#include <optional>
#include <utility>

#include "boundary/core_anchor.hpp"
#include "boundary/pending_fatal.hpp"
#include "kit/instance.hpp"
#include "kit/refs.hpp"
#include "node/arena/graph_core.hpp"
#include "node/arena/node_handle.hpp"
#include "nodes/node_word.hpp"
#include "nodes/primary_node.hpp"

namespace korvalinth::py {

// A Node's record: its primary node with the word beside it (see
// nodes/primary_node.hpp for what it holds and the order it drops in), and
// the anchor of the primary node's core, whose host hold the primary node
// counts (boundary/core_holds.hpp).
class PyNode {
 public:
  PyNode(SharedFatalSlot fatal, std::optional<NodeHandle> lookup_target, HeldNode primary)
      : anchor_(anchor_of(primary)),
        node_(lookup_target ? PrimaryNode(std::move(fatal), std::move(*lookup_target), std::move(primary))
                            : PrimaryNode(std::move(fatal), std::move(primary))) {}
  // A node factory's Node: no lookup target; the slot is shared straight
  // into the record.
  template <FactoryHandle Handle>
  PyNode(const SharedFatalSlot& fatal, Handle&& primary) : anchor_(anchor_of(primary)), node_(fatal, std::move(primary)) {}
  PyNode(PyNode&&) noexcept = default;
  PyNode& operator=(PyNode&&) = delete;

  // The anchors of the cores the Node holds.
  int visit_anchors(visitproc visit, void* arg) const noexcept {
    if (int stop = anchor_.visit(visit, arg)) return stop;
    const LookupTarget* found = lookup_target();
    return found ? found->share.visit(visit, arg) : 0;
  }

  // The node this Node stands for.
  const UncountedNode& primary() const noexcept { return node_.name(); }
  // Only on graph lookup handles: the node found.
  const LookupTarget* lookup_target() const noexcept { return node_.word().lookup_target(); }
  bool is_lookup_handle() const noexcept { return lookup_target() != nullptr; }
  // The graph node this Node stands for: the found node, else the primary.
  const UncountedNode& target() const noexcept {
    const LookupTarget* found = lookup_target();
    return found ? found->uncounted() : node_.name();
  }
  PendingFatalSlot& fatal() const noexcept { return node_.word().fatal(); }
  SharedFatalSlot fatal_share() const noexcept { return node_.word().fatal_share(); }

 private:
  // Made first: a Node whose anchor cannot be made takes nothing of its handle.
  template <class Handle>
  static kit::StandInRef anchor_of(const Handle& primary) {
    const CoreRef& core = primary.uncounted().core();
    return core ? core_anchor_of(core) : kit::StandInRef();
  }

  kit::StandInRef anchor_;
  PrimaryNode node_;
};

// The name the creating-thread check gives in its refusal.
inline constexpr const char* kNodeInternalName = "_native::PyNode";

PyTypeObject* node_type();

// A new Node of a node factory: the graph's slot and the node's handle,
// both taken into the new record without a copy on the way (made for both
// handle kinds in node.cpp).
template <FactoryHandle Handle>
kit::OwnedRef make_node_object(const SharedFatalSlot& fatal, Handle&& primary);
// A new Node from its three fields (graph lookup handles).
kit::OwnedRef make_node_object(PyNode&& record);

// Whether the object is a Node (or of a subtype).
bool is_node(kit::BorrowedRef object);

// The record of an object known to be a Node, after the creating-thread
// check.
class NodeBorrow {
 public:
  // Inline: every dep of a node built is borrowed once.
  explicit NodeBorrow(kit::BorrowedRef node) : record_(checked(node)) {}
  NodeBorrow(const NodeBorrow&) = delete;
  NodeBorrow& operator=(const NodeBorrow&) = delete;
  PyNode& get() const noexcept { return record_; }
  PyNode* operator->() const noexcept { return &record_; }

 private:
  static PyNode& checked(kit::BorrowedRef node) {
    kit::Instance<PyNode>* instance = kit::Instance<PyNode>::of(node.get());
    kit::check_owner_thread(instance->owner, kNodeInternalName);
    return instance->record();
  }

  PyNode& record_;
};

}  // namespace korvalinth::py
