#pragma once
// The node a Node stands for and what goes with it: the node's name, the
// Node's word (slot share, lookup target, whether the name holds a unit of
// the count) and one host hold on the node's core (boundary/core_holds.hpp)
// while it names the node.

#include <concepts>
#include <utility>

#include "boundary/pending_fatal.hpp"
#include "node/arena/graph_core.hpp"
#include "node/arena/node_handle.hpp"
#include "nodes/node_word.hpp"

namespace korvalinth::py {

// The handles a node factory gives a Node: a held one, or a counted one
// made straight into place (no handle of the other kind to move over and
// drop on the way).
template <class Handle>
concept FactoryHandle = std::same_as<Handle, HeldNode> || std::same_as<Handle, NodeHandle>;

// The name is kept uncounted (a node with only pins left as the Node was
// made must not be counted back to life); when it came with a unit, the
// word says so and the unit is given back once, as the record goes.
class PrimaryNode {
 public:
  // The word reads whether the handle holds a unit before the name is
  // taken out of it: word_ is declared, so built, first.
  template <FactoryHandle Handle>
  PrimaryNode(SharedFatalSlot fatal, Handle&& node) noexcept
      : word_(std::move(fatal), node.counted()), name_(released(node)) {
    add_host_hold();
  }
  // A graph lookup handle's: the node found goes into the word too. When
  // the word's block can't be made, the handle keeps its unit.
  template <FactoryHandle Handle>
  PrimaryNode(SharedFatalSlot fatal, NodeHandle found, Handle&& node)
      : word_(std::move(fatal), std::move(found), node.counted()), name_(released(node)) {
    add_host_hold();
  }
  // A moved-from record names no core and has no word: it gives back nothing.
  PrimaryNode(PrimaryNode&& other) noexcept : word_(std::move(other.word_)), name_(std::move(other.name_)) {}
  PrimaryNode& operator=(PrimaryNode&&) = delete;
  // The slot share, then the lookup target, then the host hold, then the
  // node's unit (if the name came with one).
  ~PrimaryNode() {
    const bool counted = word_.counted();
    word_.drop();
    if (const CoreRef& core = name_.core()) core->drop_host_holds(1);
    if (counted) NodeHandle::adopting(std::move(name_));
  }

  const UncountedNode& name() const noexcept { return name_; }
  const NodeWord& word() const noexcept { return word_; }

 private:
  void add_host_hold() noexcept {
    if (const CoreRef& core = name_.core()) core->add_host_holds(1);
  }
  // The name, its unit (if any) going along unreturned.
  static UncountedNode released(NodeHandle& node) noexcept { return node.release_unit(); }
  static UncountedNode released(HeldNode& node) noexcept { return node.release().first; }

  NodeWord word_;
  UncountedNode name_;
};

}  // namespace korvalinth::py
