#include <gtest/gtest.h>

#include <functional>

#include "node/value.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/bridge/bridge_state.hpp"
#include "wire/bridge/envelope_conversion.hpp"
#include "wire/codec/envelope_checked.hpp"
#include "wire_test_support.hpp"

using namespace korvalinth;
using Type = WireBridgeEnvelopeType;

namespace {

namespace p = bridge_payload;

BridgeEnvelope valid_data_envelope() {
  return {"s", 1, 0, "k", 1, 2, std::nullopt, std::nullopt, std::nullopt, Type::Data, p::Data{Bytes{1}}};
}

BridgeEnvelopeParts parts_of(const BridgeEnvelope& e) {
  return {e.session_id, e.seq,         e.cursor,     e.idempotency_key, e.attempt, e.max_attempts,
          e.sent_at,    e.ack_for_seq, e.request_id, e.envelope_type,   e.payload};
}

struct Refusal {
  std::function<void(BridgeEnvelope&)> change;
  const char* validated;  // display text, or "ok"
  const char* built;      // new_bridge_envelope's verdict on the same parts
};

const Refusal kRefusals[] = {
    {[](BridgeEnvelope&) {}, "ok", "ok"},
    {[](BridgeEnvelope& e) { e.session_id.clear(); }, "wireBridgeEnvelope: session_id must be non-empty",
     "wireBridgeEnvelope: session_id must be non-empty"},
    {[](BridgeEnvelope& e) { e.session_id.clear(), e.seq = 0; }, "wireBridgeEnvelope: session_id must be non-empty",
     "wireBridgeEnvelope: session_id must be non-empty"},
    {[](BridgeEnvelope& e) { e.seq = 0; }, "wireBridgeEnvelope: seq must be positive",
     "wireBridgeEnvelope: seq must be positive"},
    {[](BridgeEnvelope& e) { e.idempotency_key.clear(); }, "wireBridgeEnvelope: idempotency_key must be non-empty",
     "wireBridgeEnvelope: idempotency_key must be non-empty"},
    {[](BridgeEnvelope& e) { e.idempotency_key.clear(), e.payload = p::Bytes{}; },
     "wireBridgeEnvelope: idempotency_key must be non-empty",
     "wireBridgeEnvelope: payload kind does not match envelope type"},
    {[](BridgeEnvelope& e) { e.attempt = e.max_attempts = 0; }, "wireBridgeEnvelope: attempt must be positive",
     "wireBridgeEnvelope: attempt must be positive"},
    {[](BridgeEnvelope& e) { e.attempt = 3; }, "wireBridgeEnvelope: max_attempts must be >= attempt",
     "wireBridgeEnvelope: max_attempts must be >= attempt"},
    {[](BridgeEnvelope& e) { e.attempt = 2; }, "ok", "ok"},
    {[](BridgeEnvelope& e) { e.ack_for_seq = 0; }, "wireBridgeEnvelope: ack_for_seq must be positive",
     "wireBridgeEnvelope: ack_for_seq must be positive"},
    {[](BridgeEnvelope& e) { e.ack_for_seq = 5; }, "ok", "ok"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Ack, e.payload.reset(), e.ack_for_seq = 0; },
     "wireBridgeEnvelope: ack_for_seq must be positive", "wireBridgeEnvelope: ack_for_seq must be positive"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Ack, e.payload.reset(); },
     "wireBridgeEnvelope: ack/nack requires ack_for_seq", "wireBridgeEnvelope: ack/nack requires ack_for_seq"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Start; },
     "wireBridgeEnvelope: envelope type must not carry a payload",
     "wireBridgeEnvelope: envelope type must not carry a payload"},
    {[](BridgeEnvelope& e) { e.payload.reset(); }, "wireBridgeEnvelope: envelope type requires a payload",
     "wireBridgeEnvelope: envelope type requires a payload"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Close, e.payload = p::CloseBytes{}; }, "ok", "ok"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Close, e.payload = p::CloseBytes{Bytes{}}; }, "ok", "ok"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Close, e.payload.reset(); },
     "wireBridgeEnvelope: envelope type requires a payload", "wireBridgeEnvelope: envelope type requires a payload"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Close, e.payload = p::Bytes{}; },
     "wireBridgeEnvelope: payload kind does not match envelope type",
     "wireBridgeEnvelope: payload kind does not match envelope type"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Nack, e.ack_for_seq = 3, e.payload = p::Bytes{}; }, "ok", "ok"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Nack, e.ack_for_seq = 3, e.payload = p::StatusBytes{}; },
     "wireBridgeEnvelope: payload kind does not match envelope type",
     "wireBridgeEnvelope: payload kind does not match envelope type"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Status, e.payload = p::StatusBytes{}; }, "ok", "ok"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Error, e.payload = p::StatusBytes{}; },
     "wireBridgeEnvelope: payload kind does not match envelope type",
     "wireBridgeEnvelope: payload kind does not match envelope type"},
};

template <class T>
std::string verdict_of(const std::expected<T, WireBridgeEnvelopeError>& result) {
  return result ? "ok" : std::string(display_text(result.error()));
}

TEST(WireBridgeEnvelope, ValidationAndConstructionRefuseInTheirOwnOrder) {
  for (std::size_t i = 0; i < std::size(kRefusals); ++i) {
    BridgeEnvelope envelope = valid_data_envelope();
    kRefusals[i].change(envelope);
    EXPECT_EQ(verdict_of(validate_bridge_envelope(envelope)), kRefusals[i].validated) << "row " << i;
    auto built = new_bridge_envelope(parts_of(envelope));
    EXPECT_EQ(verdict_of(built), kRefusals[i].built) << "row " << i;
    if (built) EXPECT_EQ(*built, envelope) << "row " << i;
  }
  EXPECT_EQ(debug_name(WireBridgeEnvelopeError::MaxAttemptsBeforeAttempt), "MaxAttemptsBeforeAttempt");
}

TEST(WireBridgeEnvelope, DefaultKeyIsTheSessionAndSeqAsAJsonPair) {
  const std::pair<const char*, const char*> cases[] = {{"s-1", R"(["s-1","7"])"}, {"a\"b\x01", R"(["a\"b\u0001","7"])"}};
  for (const auto& [session, key] : cases) {
    BridgeEnvelopeParts parts = parts_of(valid_data_envelope());
    parts.session_id = session, parts.seq = 7, parts.idempotency_key.reset();
    EXPECT_EQ(new_bridge_envelope(std::move(parts))->idempotency_key, key);
  }
}

TEST(WireBridgeEnvelope, RecordsCrossTheCodecByTheirPayloadCase) {
  namespace c = envelope_case;
  const WireEdgeFrame frame{WireEdgeFrameKind::Data, "e", "c", Bytes{}};
  struct Case {
    WireBridgeCodecPayload codec;
    Type type;
    std::optional<BridgePayload> payload;
  };
  const Case cases[] = {
      {c::Start{}, Type::Start, std::nullopt},
      {c::Data{frame}, Type::Data, p::Data{frame}},
      {c::Ack{}, Type::Ack, std::nullopt},
      {c::Nack{Bytes{'n', 0xFF}}, Type::Nack, p::Bytes{{'n', 0xFF}}},
      {c::Status{Bytes{'u'}}, Type::Status, p::StatusBytes{{'u'}}},
      {c::Error{Bytes{0xFF}}, Type::Error, p::Bytes{{0xFF}}},
      {c::Close{std::nullopt}, Type::Close, p::CloseBytes{}},
      {c::Close{Bytes{'x'}}, Type::Close, p::CloseBytes{Bytes{'x'}}},
  };
  for (const Case& k : cases) {
    WireBridgeCodecEnvelope codec{"s", 2, 1, "k", 1, 3, 5, 9, "r", k.codec};
    BridgeEnvelope record = bridge_envelope_from_codec(codec);
    EXPECT_EQ(record.envelope_type, k.type);
    EXPECT_EQ(record.payload, k.payload);
    EXPECT_EQ(validate_bridge_envelope(record).has_value(), true);
    EXPECT_EQ(codec_envelope_from_bridge(record), codec);
  }
  // A nack without bytes reaches the bridge with a reason of its own.
  WireBridgeCodecEnvelope nack{"s", 2, 1, "k", 1, 3, 5, 9, "r", c::Nack{}};
  EXPECT_EQ(bridge_envelope_from_codec(nack).payload, BridgePayload(p::Bytes{bytes_of_text("remote nack")}));
}

TEST(WireBridgeRecords, StartFreshCopyDeeplyAndStayApartByType) {
  const WireBridgeState state;
  EXPECT_EQ(state.next_outbound_seq, 1u);
  EXPECT_EQ(state.inbound_cursor + state.peer_cursor, 0u);
  EXPECT_TRUE(state.pending.empty());
  EXPECT_FALSE(state.deactivation_hook_armed);

  for (std::optional<Bytes> value : {std::optional<Bytes>(), std::optional<Bytes>(Bytes{})}) {
    const WireBridgeCommand command =
        bridge_command::Data{WireEdgeFrame{WireEdgeFrameKind::Data, "e", "c", value}, std::nullopt, std::nullopt};
    const WireBridgeCommand copy = command;
    EXPECT_EQ(std::get<WireEdgeFrame>(std::get<bridge_command::Data>(copy).payload).value, value);
  }
  const SharedValue inbound = make_value<BridgeInbound>(bridge_inbound::Failure{"bad bytes"});
  EXPECT_EQ(value_cast<WireBridgeCommand>(inbound), nullptr);
  EXPECT_NE(value_cast<BridgeInbound>(inbound), nullptr);
  EXPECT_NE(value_cast<BridgeStateCell>(make_bridge_state_value()), nullptr);
}

}  // namespace
