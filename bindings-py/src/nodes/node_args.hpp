#pragma once
// Deps and node options as the node-building methods take them from Python.

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/small_vec.hpp"
#include "boundary/pending_fatal.hpp"
#include "graph/node_options.hpp"
#include "kit/args.hpp"
#include "kit/refs.hpp"
#include "node/arena/dep_list.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

// A list of Node objects (new references) in the object's iteration order;
// empty lists and repeats are allowed. Refuses a str ("Can't extract `str` to
// `Vec`"), a non-sequence (downcast error naming "Sequence") and an item that
// is not a Node (naming "Node"); errors of iteration pass up. No note: the
// caller converts through Args::convert, which names the parameter.
std::vector<kit::OwnedRef> extract_deps(kit::BorrowedRef object);

// The deps of a node factory call: nodes have few deps, so they stay inline.
using DepRefs = SmallVec<kit::OwnedRef, 4>;
// As extract_deps, with the same errors in the same order.
DepRefs extract_dep_refs(kit::BorrowedRef object);

// The object if it is a Node, else the downcast TypeError naming "Node".
kit::BorrowedRef downcast_node(kit::BorrowedRef object);

// A counted handle of the graph node a Node stands for (the found node of a
// lookup handle, else the primary), after the Node's thread check.
NodeHandle dep_handle_of(kit::BorrowedRef dep);
// dep_handle_of for each Node, in order.
std::vector<NodeHandle> dep_handles_of(std::span<const kit::OwnedRef> deps);
// The same, made straight into the node's deps list.
DepList dep_list_of(std::span<const kit::OwnedRef> deps);

// Copies of a Node's handles for code that keeps them.
struct NodeRef {
  SharedFatalSlot fatal;
  std::optional<NodeHandle> lookup_target;
  NodeHandle primary;
};

// Downcast, creating-thread check, counted clones.
NodeRef extract_node_ref(kit::BorrowedRef object);

// The option arguments of a node-building method, each already extracted
// with the method's "while processing" note: texts with
// kit::extract_optional_str, flags with kit::extract_bool; what a method's
// signature lacks keeps the default.
struct NodeOptionArgs {
  std::optional<std::string> name;
  bool partial = false;
  bool complete_when_deps_complete = true;
  bool error_when_deps_error = true;
  bool terminal_as_real_input = false;
  std::optional<std::string> pausable;
  std::optional<std::string> pull_id;
};

// The options record the node factories take. A pausable text other than
// "true", "resumeAll" and "false" is the ValueError "pausable must be true,
// 'resumeAll', or false" (without a note). No rule between options is
// checked here.
NodeOptions node_options_from_py(NodeOptionArgs args);

}  // namespace korvalinth::py
