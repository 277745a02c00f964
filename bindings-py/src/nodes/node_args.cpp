#include "nodes/node_args.hpp"

#include "kit/convert.hpp"
#include "kit/errors.hpp"
#include "nodes/node.hpp"

namespace korvalinth::py {

namespace {
// A dep must be a Node: downcast_node raises the TypeError naming it.
void require_node(kit::BorrowedRef item) { downcast_node(item); }
}  // namespace

std::vector<kit::OwnedRef> extract_deps(kit::BorrowedRef object) {
  return kit::extract_sequence(object, kit::SequenceCheck::Protocol, require_node);
}

DepRefs extract_dep_refs(kit::BorrowedRef object) {
  DepRefs refs;
  // A lambda, so the check is inlined into the item loop.
  kit::extract_sequence_into(refs, object, kit::SequenceCheck::Protocol,
                             [](kit::BorrowedRef item) { downcast_node(item); });
  return refs;
}

kit::BorrowedRef downcast_node(kit::BorrowedRef object) {
  if (!is_node(object)) kit::throw_downcast_error(object, "Node");
  return object;
}

namespace {
// Inlined into the loops that make a node's deps.
[[gnu::always_inline]] inline NodeHandle counted_target(kit::BorrowedRef dep) {
  NodeBorrow node(dep);
  return node->target().promote_counted();
}
}  // namespace

NodeHandle dep_handle_of(kit::BorrowedRef dep) { return counted_target(dep); }

std::vector<NodeHandle> dep_handles_of(std::span<const kit::OwnedRef> deps) {
  std::vector<NodeHandle> handles;
  handles.reserve(deps.size());
  for (const kit::OwnedRef& dep : deps) handles.push_back(counted_target(dep.borrow()));
  return handles;
}

DepList dep_list_of(std::span<const kit::OwnedRef> deps) {
  return DepList::made(deps.size(), [&](std::size_t i) { return counted_target(deps[i].borrow()); });
}

NodeRef extract_node_ref(kit::BorrowedRef object) {
  NodeBorrow node(downcast_node(object));
  NodeRef out{node->fatal_share(), std::nullopt, NodeHandle()};
  if (const LookupTarget* found = node->lookup_target()) out.lookup_target = found->promote_counted();
  out.primary = node->primary().promote_counted();
  return out;
}

NodeOptions node_options_from_py(NodeOptionArgs args) {
  NodeOptions options = NodeOptions::named(std::move(args.name));
  options.partial = args.partial;
  options.complete_when_deps_complete = args.complete_when_deps_complete;
  options.error_when_deps_error = args.error_when_deps_error;
  options.terminal_as_real_input = args.terminal_as_real_input;
  if (args.pausable) {
    const std::string& mode = *args.pausable;
    if (mode == "true") {
      options.pause_mode = Pausable::True;
    } else if (mode == "resumeAll") {
      options.pause_mode = Pausable::ResumeAll;
    } else if (mode == "false") {
      options.pause_mode = Pausable::False;
    } else {
      kit::throw_error(PyExc_ValueError, "pausable must be true, 'resumeAll', or false");
    }
  }
  options.pull_id = std::move(args.pull_id);
  return options;
}

}  // namespace korvalinth::py
