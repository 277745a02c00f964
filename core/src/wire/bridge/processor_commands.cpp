// Commands become sends (START, DATA, ACK, NACK, CLOSE) or ack-timeout
// handling. START, DATA and CLOSE await an acknowledgement; CLOSE forgets
// every pending envelope first.

#include "wire/bridge/bridge_processor.hpp"

namespace korvalinth {

namespace {

using Type = WireBridgeEnvelopeType;

OutboundSendRequest awaited(Type type, std::optional<BridgePayload> payload, std::optional<std::string> key,
                            std::optional<std::string> request_id) {
  return OutboundSendRequest{std::nullopt, std::move(key), std::move(request_id), std::move(payload), true, false, type};
}

OutboundSendRequest acknowledging(Type type, std::uint64_t ack_for_seq, std::optional<BridgePayload> payload,
                                  std::optional<std::string> key, std::optional<std::string> request_id) {
  return OutboundSendRequest{ack_for_seq, std::move(key), std::move(request_id), std::move(payload), false, false, type};
}

// The send a send command asks for; none when it is refused (reported).
std::optional<OutboundSendRequest> send_request_of(const RunContext& ctx, WireBridgeCommand command) {
  namespace c = bridge_command;
  if (auto* start = std::get_if<c::Start>(&command))
    return awaited(Type::Start, std::nullopt, std::move(start->idempotency_key), std::move(start->request_id));
  if (auto* data = std::get_if<c::Data>(&command))
    return awaited(Type::Data, bridge_payload::Data{std::move(data->payload)}, std::move(data->idempotency_key),
                   std::move(data->request_id));
  if (auto* ack = std::get_if<c::Ack>(&command)) {
    if (ack->ack_for_seq == 0) {
      emit_protocol_error(ctx, "wireBridge: ack command ack_for_seq must be positive");
      return std::nullopt;
    }
    return acknowledging(Type::Ack, ack->ack_for_seq, std::nullopt, std::move(ack->idempotency_key),
                         std::move(ack->request_id));
  }
  if (auto* nack = std::get_if<c::Nack>(&command)) {
    if (nack->ack_for_seq == 0) {
      emit_protocol_error(ctx, "wireBridge: nack command ack_for_seq must be positive");
      return std::nullopt;
    }
    return acknowledging(Type::Nack, nack->ack_for_seq, bridge_payload::Bytes{std::move(nack->reason)},
                         std::move(nack->idempotency_key), std::move(nack->request_id));
  }
  auto& close = std::get<c::Close>(command);
  OutboundSendRequest request = awaited(Type::Close, bridge_payload::CloseBytes{std::move(close.reason)},
                                        std::move(close.idempotency_key), std::nullopt);
  request.clear_pending = true;
  return request;
}

}  // namespace

void handle_command_value(const RunContext& ctx, const BridgeStateCell& state, const BridgeSession& session,
                          const SharedValue& value) {
  const WireBridgeCommand* command = value_cast<WireBridgeCommand>(value);
  if (!command) {
    emit_protocol_error(ctx, "wireBridge: command DATA must carry a wire bridge command");
    return;
  }
  if (const auto* timeout = std::get_if<bridge_command::AckTimeout>(command)) {
    handle_ack_timeout(ctx, state, timeout->seq, timeout->attempt, timeout->observed_at_ms, session);
    return;
  }
  std::optional<OutboundSendRequest> request = send_request_of(ctx, *command);
  if (request) send_outbound(ctx, state, std::move(*request), session.session_id, session.max_attempts, session.clock);
}

}  // namespace korvalinth
