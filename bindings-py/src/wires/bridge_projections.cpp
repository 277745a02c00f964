#include "wires/bridge_projections.hpp"

#include "kit/convert.hpp"
#include "wire/bridge/projection_records.hpp"
#include "wires/projections.hpp"

namespace korvalinth::py {

SharedNodeFn make_py_bridge_status_fn(SharedFatalSlot fatal) {
  return make_projection_fn<WireBridgeStatus>(std::move(fatal), [](const WireBridgeStatus& status) {
    return DictBuilder()
        .set("state", kit::to_py_str(status_state_name(status.state)))
        .set("session_id", py_text_lossy(status.session_id))
        .set("cursor", py_int(status.cursor))
        .set("next_seq", py_int(status.next_seq))
        .set("pending", py_int(status.pending))
        .set("attempts", py_int(status.attempts))
        .set("acked", py_int(status.acked))
        .set("nacked", py_int(status.nacked))
        .set("errors", py_int(status.errors))
        .set("last_seq", py_optional_int(status.last_seq))
        .set("last_delay_ms", py_optional_int(status.last_delay_ms))
        .take();
  });
}

SharedNodeFn make_py_bridge_issues_fn(SharedFatalSlot fatal, std::string code) {
  return make_projection_fn<std::string>(std::move(fatal), [code = std::move(code)](const std::string& text) {
    return DictBuilder().set("code", kit::to_py_str(code)).set("message", py_text_lossy(text)).take();
  });
}

}  // namespace korvalinth::py
