#include "graphs/detached_core.hpp"

#include "dispatcher/dispatcher.hpp"
#include "node/arena/construct.hpp"

namespace korvalinth::py {

const CoreRef& detached_core() {
  thread_local CoreRef core = GraphCore::create();
  return core;
}

NodeHandle make_detached_placeholder() {
  return construct_node(detached_core(), {}, std::nullopt, Dispatcher::thread_default(), nullptr, NodeSpec{});
}

}  // namespace korvalinth::py
