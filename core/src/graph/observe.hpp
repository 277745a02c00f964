#pragma once
// Graph.observe: one observer sink on every registered node of a graph and
// of its mounts, each sink built by the caller for the node's qualified path
// and sharing the graph's sequence counter (which also numbers topology
// events). The sinks carry the observe flag: group release drops them
// instead of counting them as subscribers.

#include <functional>
#include <string>
#include <vector>

#include "graph/graph_container.hpp"
#include "node/arena/sink.hpp"
#include "node/arena/unsubscribe_fn.hpp"

namespace korvalinth {

// Builds the sink of one node: its qualified path and the counter from
// which the sink draws one number per message.
using ObserverSinkFactory = std::function<SharedSink(std::string path, SeqCounter seq)>;

// One action per observed node, in walk order; run them first to last.
using ObserveUnsubscribeList = std::vector<UnsubscribeFn>;

// Subscribes an observer sink to each node in walk order, each in a wave
// scope of its own unless a wave is running (so every node's START and the
// messages of its activation arrive before the next node is subscribed).
// A fault that ends the call first unsubscribes the sinks attached so far.
ObserveUnsubscribeList observe(GraphContainer& graph, const ObserverSinkFactory& make_sink);

}  // namespace korvalinth
