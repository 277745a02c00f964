#pragma once
// The Python class Node: the face of one node of a graph. A Node made by a
// node factory names its node with `primary`. A graph lookup handle (made by
// Graph._find) names the node it found with `lookup_target` and a placeholder
// of the thread's detached core with `primary`: readers and subscribe go to
// the found node, the value and flow operations are refused, and the message
// hooks act on the placeholder.

#include <concepts>
#include <memory>
#include <optional>
#include <utility>

#include "boundary/core_holds.hpp"
#include "boundary/pending_fatal.hpp"
#include "kit/instance.hpp"
#include "kit/refs.hpp"
#include "node/arena/graph_core.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

// The node a graph lookup handle found, with the count of the handle's
// reference to that node's core.
struct LookupTarget : NodeHandle {
  explicit LookupTarget(NodeHandle found) : NodeHandle(std::move(found)), hold(core(), 1) {}
  CoreHold hold;
};

// The handles a node factory gives a Node: a held one, or a counted one
// made straight into place (no handle of the other kind to move over and
// drop on the way).
template <class Handle>
concept FactoryHandle = std::same_as<Handle, HeldNode> || std::same_as<Handle, NodeHandle>;

// The node a Node stands for, counting one host hold on its core
// (boundary/core_holds.hpp) while it holds the node: the hold needs no
// record of its own, and a move takes both.
class PrimaryNode : public HeldNode {
 public:
  // Taken by reference: the handle is moved once, into place.
  template <FactoryHandle Handle>
  explicit PrimaryNode(Handle&& node) noexcept : HeldNode(std::move(node)) {
    if (const CoreRef& core = uncounted().core()) core->add_host_holds(1);
  }
  // A moved-from handle names no core, so the source gives back no hold.
  PrimaryNode(PrimaryNode&& other) noexcept : HeldNode(std::move(other)) {}
  PrimaryNode& operator=(PrimaryNode&&) = delete;
  // Gives back the hold; the base then drops the node.
  ~PrimaryNode() {
    if (const CoreRef& core = uncounted().core()) core->drop_host_holds(1);
  }
};

struct PyNode {
  // The members drop in the reverse order: the slot, then the lookup
  // target, then the primary handle, each once.
  // Uncounted when the node had only pins left as the Node was made.
  PrimaryNode primary;
  // Only on graph lookup handles, so kept out of line with its core hold:
  // most Nodes pay one pointer for both.
  std::unique_ptr<LookupTarget> lookup_target;
  SharedFatalSlot fatal;

  PyNode(SharedFatalSlot fatal, std::optional<NodeHandle> lookup_target, HeldNode primary)
      : primary(std::move(primary)),
        lookup_target(lookup_target ? std::make_unique<LookupTarget>(std::move(*lookup_target)) : nullptr),
        fatal(std::move(fatal)) {}
  // A node factory's Node: no lookup target; the slot is shared straight
  // into the record.
  template <FactoryHandle Handle>
  PyNode(const SharedFatalSlot& fatal, Handle&& primary) noexcept : primary(std::move(primary)), fatal(fatal) {}
  PyNode(PyNode&&) noexcept = default;
  ~PyNode();

  bool is_lookup_handle() const noexcept { return lookup_target != nullptr; }
  // The graph node this Node stands for: the found node, else the primary.
  const UncountedNode& target() const noexcept { return lookup_target ? lookup_target->uncounted() : primary.uncounted(); }
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
