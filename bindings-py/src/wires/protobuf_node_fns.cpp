#include "wires/protobuf_node_fns.hpp"

#include <optional>
#include <vector>

#include "kit/convert.hpp"
#include "node/wave/down.hpp"
#include "node/topology/node_ops.hpp"
#include "values/value_conversions.hpp"
#include "wire/bridge/dep_values.hpp"
#include "wires/projections.hpp"

namespace korvalinth::py {

namespace {

constexpr const char* kInbound = "inbound";
constexpr const char* kOutbound = "outbound";

// Runs f(reading) for each Python value dep 0 delivered. The GIL is held
// while a value's bytes are read (and decoded, the first time).
template <class F>
void for_each_inbound_reading(const RunContext& ctx, LinkReadings& readings, F&& f) {
  for (const SharedValue& value : delivered_values(ctx, 0)) {
    const auto* object = value_cast<PyObjectValue>(value);
    if (!object) continue;
    std::shared_ptr<const InboundReading> reading;
    {
      kit::GilGuard gil;
      if (!gil.held()) return;
      reading = readings.inbound.of(value, [&] {
        std::optional<Bytes> bytes = extract_bytes_like(object->object());
        return read_inbound(bytes ? std::optional<ByteView>(*bytes) : std::nullopt);
      });
    }
    f(*reading);
  }
}

// Runs f(encoded) for each envelope record of the dep.
template <class F>
void for_each_outbound_encoding(const RunContext& ctx, std::size_t dep, LinkReadings& readings, F&& f) {
  for (const SharedValue& value : delivered_values(ctx, dep)) {
    const auto* envelope = value_cast<BridgeEnvelope>(value);
    if (!envelope) continue;
    f(*readings.outbound.of(value, [&] { return encode_envelope_checked(*envelope); }));
  }
}

void emit_event(const RunContext& ctx, ProtobufAdapterEvent event) { emit_data_record(ctx, std::move(event)); }

// The issues of one value, then its "invalid" status.
void emit_issues(const RunContext& ctx, const char* direction, const std::vector<CanonicalProtobufIssue>& issues) {
  for (const CanonicalProtobufIssue& issue : issues) {
    emit_event(ctx, ProtobufIssueEvent{direction, std::string(category_name(issue.category)), issue.message});
  }
  emit_event(ctx, ProtobufStatusEvent{direction, "invalid"});
}

template <class Run>
SharedNodeFn node_fn(Run run) {
  class Fn final : public NodeFn {
   public:
    explicit Fn(Run run) : run_(std::move(run)) {}
    void run(RunContext& ctx) override { run_(ctx); }

   private:
    Run run_;
  };
  return std::make_shared<Fn>(std::move(run));
}

}  // namespace

SharedNodeFn make_protobuf_decoded_inbound_fn(SharedLinkReadings readings) {
  return node_fn([readings = std::move(readings)](RunContext& ctx) {
    for_each_inbound_reading(ctx, *readings, [&](const InboundReading& reading) {
      down(ctx.node, Message::data(reading.inbound));
    });
  });
}

SharedNodeFn make_protobuf_events_fn(SharedLinkReadings readings) {
  return node_fn([readings = std::move(readings)](RunContext& ctx) {
    for_each_inbound_reading(ctx, *readings, [&](const InboundReading& reading) {
      if (reading.issues.empty()) {
        emit_event(ctx, ProtobufStatusEvent{kInbound, "valid"});
      } else {
        emit_issues(ctx, kInbound, reading.issues);
      }
    });
    for_each_outbound_encoding(ctx, 1, *readings, [&](const EnvelopeEncodeChecked& encoded) {
      if (encoded.bytes) {
        emit_event(ctx, ProtobufStatusEvent{kOutbound, "valid"});
      } else {
        emit_issues(ctx, kOutbound, encoded.issues);
      }
    });
  });
}

SharedNodeFn make_protobuf_outbound_bytes_fn(SharedLinkReadings readings) {
  return node_fn([readings = std::move(readings)](RunContext& ctx) {
    for_each_outbound_encoding(ctx, 0, *readings, [&](const EnvelopeEncodeChecked& encoded) {
      if (!encoded.bytes) return;  // the events node reports it
      kit::GilGuard gil;
      if (!gil.held()) return;
      down(ctx.node, Message::data(make_py_value(py_bytes(*encoded.bytes))));
    });
  });
}

SharedNodeFn make_protobuf_status_fn(SharedFatalSlot fatal) {
  return make_projection_fn<ProtobufAdapterEvent>(std::move(fatal), [](const ProtobufAdapterEvent& event) {
    const auto* status = std::get_if<ProtobufStatusEvent>(&event);
    if (!status) return kit::OwnedRef();
    return DictBuilder()
        .set("direction", kit::to_py_str(status->direction))
        .set("state", kit::to_py_str(status->state))
        .take();
  });
}

SharedNodeFn make_protobuf_issues_fn(SharedFatalSlot fatal) {
  return make_projection_fn<ProtobufAdapterEvent>(std::move(fatal), [](const ProtobufAdapterEvent& event) {
    const auto* issue = std::get_if<ProtobufIssueEvent>(&event);
    if (!issue) return kit::OwnedRef();
    return DictBuilder()
        .set("direction", kit::to_py_str(issue->direction))
        .set("category", kit::to_py_str(issue->category))
        .set("message", kit::to_py_str(issue->message))
        .take();
  });
}

}  // namespace korvalinth::py
