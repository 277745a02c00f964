#include "wires/ack_driver_projections.hpp"

#include "kit/convert.hpp"
#include "kit/entry.hpp"
#include "wires/ack_timeouts.hpp"
#include "wires/projections.hpp"

namespace korvalinth::py {

namespace {

namespace event = ack_driver_event;

kit::OwnedRef timeout_dict(const event::Timeout& timeout) {
  return DictBuilder()
      .set("seq", py_int(timeout.seq))
      .set("attempt", py_int(timeout.attempt))
      .set("observed_at_ms", py_int(timeout.observed_at_ms))
      .take();
}

kit::OwnedRef status_dict(std::uint64_t timeout_ms, const char* state, std::uint64_t pending,
                          const std::optional<std::uint64_t>& now_ms, kit::OwnedRef last_timeout) {
  return DictBuilder()
      .set("timeout_ms", py_int(timeout_ms))
      .set("state", kit::to_py_str(state))
      .set("pending", py_int(pending))
      .set("now_ms", py_optional_int(now_ms))
      .set("last_timeout", std::move(last_timeout))
      .take();
}

}  // namespace

SharedNodeFn make_ack_driver_timeouts_fn(SharedFatalSlot fatal) {
  return make_projection_fn<AckDriverEvent>(std::move(fatal), [](const AckDriverEvent& e) {
    const auto* timeout = std::get_if<event::Timeout>(&e);
    return timeout ? timeout_dict(*timeout) : kit::OwnedRef();
  });
}

SharedNodeFn make_ack_driver_issues_fn(SharedFatalSlot fatal) {
  return make_projection_fn<AckDriverEvent>(std::move(fatal), [](const AckDriverEvent& e) {
    const auto* issue = std::get_if<event::Issue>(&e);
    if (!issue) return kit::OwnedRef();
    return DictBuilder().set("code", kit::to_py_str(issue->code)).set("message", kit::to_py_str(issue->message)).take();
  });
}

SharedNodeFn make_ack_driver_status_fn(SharedFatalSlot fatal, std::uint64_t timeout_ms) {
  return make_projection_fn<AckDriverEvent>(std::move(fatal), [timeout_ms](const AckDriverEvent& e) {
    if (const auto* timeout = std::get_if<event::Timeout>(&e)) {
      return status_dict(timeout_ms, "ready", timeout->pending, timeout->now_ms, timeout_dict(*timeout));
    }
    if (const auto* clock = std::get_if<event::Clock>(&e)) {
      return status_dict(timeout_ms, "ready", clock->pending, clock->now_ms, kit::py_none());
    }
    const auto& issue = std::get<event::Issue>(e);
    return status_dict(timeout_ms, "issues", issue.pending, issue.now_ms, kit::py_none());
  });
}

}  // namespace korvalinth::py
