#include "wires/protobuf_node_fns.hpp"

#include <optional>
#include <vector>

#include "kit/convert.hpp"
#include "node/down.hpp"
#include "node/node_ops.hpp"
#include "values/value_conversions.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/bridge/envelope_conversion.hpp"
#include "wire/codec/envelope_checked.hpp"
#include "wire/codec/utf8.hpp"
#include "wires/projections.hpp"

namespace korvalinth::py {

namespace {

constexpr const char* kInbound = "inbound";
constexpr const char* kOutbound = "outbound";

// What one inbound Python value turned out to be: no bytes at all, or the
// checked decode of its bytes.
using InboundReading = std::optional<EnvelopeDecodeChecked>;

// Runs f(reading) for each Python value dep 0 delivered, with the GIL held
// while the value is read and dealt with.
template <class F>
void for_each_inbound_value(const RunContext& ctx, F&& f) {
  for (const auto& value : collect_dep_values<PyObjectValue>(ctx, 0)) {
    kit::GilGuard gil;
    if (!gil.held()) return;
    InboundReading reading;
    if (auto bytes = extract_bytes_like(value->object())) reading = decode_envelope_checked(*bytes);
    f(std::move(reading));
  }
}

// Peer bytes that the bridge holds as text (nack reasons, status, error and
// close texts) are read lossily: invalid UTF-8 becomes U+FFFD.
void repair_text(Bytes& bytes) {
  if (!is_valid_utf8(bytes)) bytes = bytes_of_text(text_from_bytes_lossy(bytes));
}

BridgeEnvelope bridge_record_of(WireBridgeCodecEnvelope decoded) {
  BridgeEnvelope envelope = bridge_envelope_from_codec(std::move(decoded));
  if (!envelope.payload) return envelope;
  if (auto* text = std::get_if<bridge_payload::Bytes>(&*envelope.payload)) {
    repair_text(text->bytes);
  } else if (auto* status = std::get_if<bridge_payload::StatusBytes>(&*envelope.payload)) {
    repair_text(status->bytes);
  } else if (auto* close = std::get_if<bridge_payload::CloseBytes>(&*envelope.payload)) {
    if (close->bytes) repair_text(*close->bytes);
  }
  return envelope;
}

std::string joined_messages(const std::vector<CanonicalProtobufIssue>& issues) {
  std::string out;
  for (const CanonicalProtobufIssue& issue : issues) {
    if (!out.empty()) out += "; ";
    out += issue.message;
  }
  return out;
}

void emit_event(const RunContext& ctx, ProtobufAdapterEvent event) { emit_data_record(ctx, std::move(event)); }

// The issues of one value, then its "invalid" status.
void emit_issues(const RunContext& ctx, const char* direction, const std::vector<CanonicalProtobufIssue>& issues) {
  for (const CanonicalProtobufIssue& issue : issues) {
    emit_event(ctx, ProtobufIssueEvent{direction, std::string(category_name(issue.category)), issue.message});
  }
  emit_event(ctx, ProtobufStatusEvent{direction, "invalid"});
}

EnvelopeEncodeChecked encode_outbound(const BridgeEnvelope& envelope) {
  return encode_envelope_checked(codec_envelope_from_bridge(envelope));
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

SharedNodeFn make_protobuf_decoded_inbound_fn() {
  return node_fn([](RunContext& ctx) {
    for_each_inbound_value(ctx, [&](InboundReading reading) {
      BridgeInbound inbound;
      if (!reading) {
        inbound = bridge_inbound::Failure{kInboundRequiresBytes};
      } else if (!reading->envelope) {
        inbound = bridge_inbound::Failure{joined_messages(reading->issues)};
      } else {
        inbound = bridge_inbound::Envelope{bridge_record_of(std::move(*reading->envelope))};
      }
      emit_data_record(ctx, std::move(inbound));
    });
  });
}

SharedNodeFn make_protobuf_events_fn() {
  return node_fn([](RunContext& ctx) {
    for_each_inbound_value(ctx, [&](InboundReading reading) {
      if (!reading) {
        emit_issues(ctx, kInbound, {{kInboundRequiresBytes, CanonicalProtobufErrorCategory::Malformed}});
      } else if (!reading->envelope) {
        emit_issues(ctx, kInbound, reading->issues);
      } else {
        emit_event(ctx, ProtobufStatusEvent{kInbound, "valid"});
      }
    });
    for (const auto& envelope : collect_dep_values<BridgeEnvelope>(ctx, 1)) {
      EnvelopeEncodeChecked encoded = encode_outbound(*envelope);
      if (encoded.bytes) {
        emit_event(ctx, ProtobufStatusEvent{kOutbound, "valid"});
      } else {
        emit_issues(ctx, kOutbound, encoded.issues);
      }
    }
  });
}

SharedNodeFn make_protobuf_outbound_bytes_fn() {
  return node_fn([](RunContext& ctx) {
    for (const auto& envelope : collect_dep_values<BridgeEnvelope>(ctx, 0)) {
      EnvelopeEncodeChecked encoded = encode_outbound(*envelope);
      if (!encoded.bytes) continue;  // the events node reports it
      kit::GilGuard gil;
      if (!gil.held()) return;
      down(ctx.node, Message::data(make_py_value(py_bytes(*encoded.bytes))));
    }
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
