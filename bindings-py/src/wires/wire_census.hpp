#pragma once
// What the wire adapters' native parts hold of their graph's core, for the
// census of its anchor (boundary/core_census.hpp): each part counts its own
// handles and its shares of the parts it holds.

#include <initializer_list>

#include "boundary/core_anchor.hpp"
#include "graph/topology_group.hpp"
#include "kit/class_table.hpp"
#include "nodes/node.hpp"
#include "wire/bridge/wire_bridge.hpp"
#include "wire/edge_group/wire_edge_group.hpp"
#include "wires/sink_subscriptions.hpp"

namespace korvalinth::py {

void count_refs(const WireBridge& bridge, CoreCensus& census);
void count_refs(const ProducerList& producers, CoreCensus& census);
void count_refs(const TopologyGroup& group, CoreCensus& census);
void count_refs(const WireEdgeGroup& group, CoreCensus& census);
void count_refs(const SinkSubscriptions& subscriptions, CoreCensus& census);

// An adapter object's references to its core's anchor: those its Nodes
// hold, then its census entry's.
inline int visit_adapter_anchors(std::initializer_list<const PyNode*> nodes, const CensusEntry& census,
                                 visitproc visit, void* arg) noexcept {
  for (const PyNode* node : nodes) {
    if (int stop = node->visit_anchors(visit, arg)) return stop;
  }
  return census.visit(visit, arg);
}

// A new adapter object of the class from its record, whose census entry is
// then made in place: the record's count_refs reports its parts, on the
// core of its `status` Node.
template <class Cls>
kit::OwnedRef make_adapter_object(typename Cls::Record record) {
  using Record = typename Cls::Record;
  kit::OwnedRef object = kit::make_instance<Cls>(std::move(record));
  Record& made = kit::checked_record<Cls>(object.borrow());
  CensusReport report = +[](const void* counted, CoreCensus& census) {
    count_refs(*static_cast<const Record*>(counted), census);
  };
  made.census.enter(made.status.primary().core(), &made, report);
  return object;
}

}  // namespace korvalinth::py
