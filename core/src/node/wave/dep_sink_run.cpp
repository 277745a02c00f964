// A DATA to a run of dep sinks of one core, recorded under one borrow.

#include "node/wave/dep_sink.hpp"
#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/stack_guard.hpp"

namespace korvalinth {

RunEnd DepSink::call_run(const SinkEntry* self, const SinkEntry* const end, const Message& message) {
  if (delivery_depth() == 0) return {self + 1, this};
  check_stack_headroom();
  GraphCore& core = *raw_core_;
  const SinkEntry* e = self;
  // Each record calls no sink, callback or Python, so one borrow holds
  // them all, in the list's order. The run ends at the first sink whose
  // DATA is not a plain one, or that is of another core: the caller calls
  // it once the borrow is given back (it finds its DATA not plain again,
  // with nothing changed).
  auto a = core.borrow_mut();
  for (; e != end && e->dep; ++e) {
    DepSink& sink = static_cast<DepSink&>(*e->sink);
    if (sink.detached()) continue;
    if (sink.raw_core_ != &core ||
        !dep_sink_steps::enter_and_record_plain_data(*a, sink, core, sink.cell_->value, message))
      return {e + 1, &sink};
  }
  return {e, nullptr};
}

}  // namespace korvalinth
