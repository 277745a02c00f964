#include "wire/bridge/envelope_conversion.hpp"

namespace korvalinth {
namespace {

namespace c = envelope_case;
namespace p = bridge_payload;
using Type = WireBridgeEnvelopeType;

template <class Kind>
const Kind* payload_as(const BridgeEnvelope& e) {
  return e.payload ? std::get_if<Kind>(&*e.payload) : nullptr;
}

std::optional<BridgePayload> payload_of(WireBridgeCodecPayload&& payload) {
  switch (payload.index()) {
    case 1: return p::Data{std::move(std::get<c::Data>(payload).body)};
    case 3: {
      auto& reason = std::get<c::Nack>(payload).bytes;
      return p::Bytes{reason ? std::move(*reason) : bytes_of_text(kRemoteNackReason)};
    }
    case 4: return p::StatusBytes{std::move(std::get<c::Status>(payload).bytes)};
    case 5: return p::Bytes{std::move(std::get<c::Error>(payload).bytes)};
    case 6: return p::CloseBytes{std::move(std::get<c::Close>(payload).bytes)};
  }
  return std::nullopt;  // start, ack
}

WireBridgeCodecPayload case_of(const BridgeEnvelope& e) {
  switch (e.envelope_type) {
    case Type::Start: return c::Start{};
    case Type::Data: {
      const auto* data = payload_as<p::Data>(e);
      return c::Data{data ? data->body : WireBridgeDataBody(Bytes{})};
    }
    case Type::Ack: return c::Ack{};
    case Type::Nack: {
      const auto* reason = payload_as<p::Bytes>(e);
      return c::Nack{reason ? std::optional<Bytes>(reason->bytes) : std::nullopt};
    }
    case Type::Status: {
      const auto* status = payload_as<p::StatusBytes>(e);
      return c::Status{status ? status->bytes : Bytes{}};
    }
    case Type::Error: {
      const auto* detail = payload_as<p::Bytes>(e);
      return c::Error{detail ? detail->bytes : Bytes{}};
    }
    case Type::Close: {
      const auto* close = payload_as<p::CloseBytes>(e);
      return c::Close{close ? close->bytes : std::nullopt};
    }
  }
  return c::Start{};
}

}  // namespace

BridgeEnvelope bridge_envelope_from_codec(WireBridgeCodecEnvelope e) {
  const auto type = static_cast<Type>(e.payload.index());
  return BridgeEnvelope{std::move(e.session_id), e.seq,          e.cursor,
                        std::move(e.idempotency_key), e.attempt, e.max_attempts,
                        e.sent_at,               e.ack_for_seq,  std::move(e.request_id),
                        type,                    payload_of(std::move(e.payload))};
}

WireBridgeCodecEnvelope codec_envelope_from_bridge(const BridgeEnvelope& e) {
  return WireBridgeCodecEnvelope{e.session_id, e.seq,       e.cursor,      e.idempotency_key, e.attempt,
                                 e.max_attempts, e.sent_at, e.ack_for_seq, e.request_id,      case_of(e)};
}

}  // namespace korvalinth
