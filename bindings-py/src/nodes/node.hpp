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

#include "boundary/pending_fatal.hpp"
#include "kit/instance.hpp"
#include "kit/refs.hpp"
#include "node/arena/graph_core.hpp"
#include "node/arena/node_handle.hpp"
#include "nodes/node_word.hpp"

namespace korvalinth::py {

// The handles a node factory gives a Node: a held one, or a counted one
// made straight into place (no handle of the other kind to move over and
// drop on the way).
template <class Handle>
concept FactoryHandle = std::same_as<Handle, HeldNode> || std::same_as<Handle, NodeHandle>;

// A Node's record: the node it stands for (uncounted when the node had only
// pins left as the Node was made), counting one host hold on its core
// (boundary/core_holds.hpp) while it names the node, and its word. It drops
// the slot, then the lookup target, then the primary handle, each once.
class PyNode {
 public:
  PyNode(SharedFatalSlot fatal, std::optional<NodeHandle> lookup_target, HeldNode primary)
      : word_(lookup_target ? NodeWord(std::move(fatal), std::move(*lookup_target), primary.counted())
                            : NodeWord(std::move(fatal), primary.counted())),
        primary_(adopted(primary.release().first)) {
    add_host_hold();
  }
  // A node factory's Node: no lookup target; the slot is shared straight
  // into the record.
  PyNode(const SharedFatalSlot& fatal, NodeHandle&& primary) noexcept
      : word_(fatal, primary.counted()), primary_(std::move(primary)) {
    add_host_hold();
  }
  PyNode(const SharedFatalSlot& fatal, HeldNode&& primary) noexcept
      : word_(fatal, primary.counted()), primary_(adopted(primary.release().first)) {
    add_host_hold();
  }
  // A moved-from record names no core, so the source gives back no hold.
  PyNode(PyNode&& other) noexcept : word_(std::move(other.word_)), primary_(std::move(other.primary_)) {}
  PyNode& operator=(PyNode&&) = delete;
  ~PyNode();

  // The node this Node stands for.
  const UncountedNode& primary() const noexcept { return primary_.uncounted(); }
  // Only on graph lookup handles: the node found.
  const LookupTarget* lookup_target() const noexcept { return word_.lookup_target(); }
  bool is_lookup_handle() const noexcept { return lookup_target() != nullptr; }
  // The graph node this Node stands for: the found node, else the primary.
  const UncountedNode& target() const noexcept {
    const LookupTarget* found = lookup_target();
    return found ? found->uncounted() : primary_.uncounted();
  }
  PendingFatalSlot& fatal() const noexcept { return word_.fatal(); }
  SharedFatalSlot fatal_share() const noexcept { return word_.fatal_share(); }

 private:
  void add_host_hold() noexcept {
    if (const CoreRef& core = primary_.core()) core->add_host_holds(1);
  }

  // The name as a counted handle, whether or not it holds a unit (the word
  // tells): the usual counted Node then drops as a handle does, and an
  // uncounted one lets go of the name unreturned first.
  static NodeHandle adopted(UncountedNode&& name) noexcept { return NodeHandle::adopting(std::move(name)); }

  NodeWord word_;
  NodeHandle primary_;
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
