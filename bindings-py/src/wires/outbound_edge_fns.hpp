#pragma once
// The node functions between an outbound wire edge group and its Python
// sources:
//   {}/py/outbound/{}  a source's bytes as the runtime's byte string, once per
//                      new runtime version of the source (what the core
//                      group snapshots)
//   {}/py/issues/{}    each source value that is not bytes, as an issue
//   {}/py/merged_issues  the core group's issues, then every edge's
//   {}/py/merged_status  the core group's status with the edges' issues
//                        folded in
// None of them raises into Python or touches the pending fatal.

#include <cstddef>
#include <string>
#include <vector>

#include "node/arena/node_fn.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

// source: the node whose runtime version decides freshness.
SharedNodeFn make_outbound_edge_fn(NodeHandle source);
SharedNodeFn make_outbound_edge_issues_fn(std::string base_name, std::string edge_name);
// Deps: the core group's issues node, then the edge_count per-edge issue nodes.
SharedNodeFn make_merged_issues_fn(std::size_t edge_count);
// Deps: the core group's status node, then the per-edge issue nodes, one per
// edge name.
SharedNodeFn make_merged_status_fn(std::vector<std::string> edge_names);

}  // namespace korvalinth::py
