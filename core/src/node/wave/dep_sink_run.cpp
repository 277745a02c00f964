// A DATA or DIRTY to a run of dep sinks of one core, taken under one borrow.

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

RunEnd DepSink::call_dirty_run(const SinkEntry* self, const SinkEntry* const end) {
  // A detached first sink takes nothing: no borrow for it.
  if (detached()) return {self + 1, nullptr};
  check_stack_headroom();
  GraphCore& core = *raw_core_;
  const SinkEntry* e = self;
  // Each mark calls nothing, so one borrow holds them all, in the list's
  // order. The run ends at the first sink whose node needs a hold, is of
  // another core, or has sinks the DIRTY goes on to: the caller calls it
  // once the borrow is given back, so that an onward DIRTY takes the lone
  // DIRTY's frames and a chain too deep still faults in its DIRTY.
  auto a = core.borrow_mut();
  for (; e != end && e->dep; ++e) {
    DepSink& sink = static_cast<DepSink&>(*e->sink);
    if (sink.detached()) continue;
    if (sink.raw_core_ != &core || !dep_sink_steps::enter_and_mark_quiet_dirty(*a, sink, sink.cell_->value))
      return {e + 1, &sink};
  }
  return {e, nullptr};
}

}  // namespace korvalinth
