// A DATA or a DIRTY to a run of dep sinks of one core, recorded under one
// borrow.

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

RunEnd DepSink::call_dirty_run(const SinkEntry* self, const SinkEntry* const end, const Message&) {
  // Each DIRTY passed on from here nests as deep as from a lone call.
  std::byte depth_reserve[dep_sink_steps::kDirtyDepthReserve];
  asm volatile("" : : "r"(depth_reserve));  // kept in the frame, never written
  check_stack_headroom();
  GraphCore& core = *raw_core_;
  const SinkEntry* e = self;
  // Marks the nodes in the list's order; a node whose DIRTY goes on to a
  // sink that hears it gets it once the borrow is given back, before the
  // next is marked, as from a lone call. The run ends at a sink of another
  // core or whose node needs a hold: the caller calls it, and it enters
  // its node again.
  while (e != end && e->dep) {
    SinkList::Reading heard;
    {
      auto a = core.borrow_mut();
      for (; e != end && e->dep; ++e) {
        DepSink& sink = static_cast<DepSink&>(*e->sink);
        if (sink.detached()) continue;
        dep_sink_steps::NoHold hold;
        if (sink.raw_core_ != &core || dep_sink_steps::enter_node(*a, sink, hold) != dep_sink_steps::Entered::Yes)
          return {e + 1, &sink};
        AuxEntry* aux = dep_sink_steps::record_dep_dirty(*a, sink.dependent().index, sink.cell_->value);
        if (aux && !aux->sinks.hears_nothing()) {
          heard = aux->sinks.read();
          ++e;
          break;
        }
      }
    }
    heard.deliver(dirty_message());
  }
  return {e, nullptr};
}

}  // namespace korvalinth
