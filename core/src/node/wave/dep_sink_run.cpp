// A DATA to a run of dep sinks of one core, recorded under one borrow.

#include "node/wave/dep_sink.hpp"
#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/stack_guard.hpp"

namespace korvalinth {

const SinkEntry* DepSink::call_run(const SinkEntry* self, const SinkEntry* const end, const Message& message) {
  if (delivery_depth() == 0) {
    call(message);
    return self + 1;
  }
  check_stack_headroom();
  GraphCore& core = *raw_core_;
  const SinkEntry* e = self;
  // The first sink whose DATA is not a plain one: called as alone once the
  // borrow is given back (it finds its DATA not plain again, with nothing
  // changed), and the run ends with it.
  DepSink* other = nullptr;
  {
    // Each record calls no sink, callback or Python, so one borrow holds
    // them all, in the list's order. Every dep sink of a list is of this
    // core: a node's deps are of its own graph.
    auto a = core.borrow_mut();
    for (; e != end && e->dep; ++e) {
      DepSink& sink = static_cast<DepSink&>(*e->sink);
      if (sink.detached()) continue;
      dep_sink_steps::NoHold hold;
      if (dep_sink_steps::enter_node(*a, sink, hold) != dep_sink_steps::Entered::Yes ||
          !dep_sink_steps::record_plain_data(*a, sink, core, sink.cell_->value, message)) {
        other = &sink;
        break;
      }
    }
  }
  if (!other) return e;
  // Not inlined again here: this rare road is the whole general one.
  other->call(message);
  return e + 1;
}

}  // namespace korvalinth
