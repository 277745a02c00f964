#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "wire/bridge/bridge_messages.hpp"
#include "wire/bridge/bridge_state.hpp"
#include "wire/bridge/link_readings.hpp"
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
  const char* validated;        // display text after "wireBridgeEnvelope: ", or "ok"
  const char* built = nullptr;  // new_bridge_envelope's verdict on the same parts, when it differs
};

const char* const kMismatch = "payload kind does not match envelope type";
const char* const kMissingPayload = "envelope type requires a payload";

const Refusal kRefusals[] = {
    {[](BridgeEnvelope&) {}, "ok"},
    {[](BridgeEnvelope& e) { e.session_id.clear(); }, "session_id must be non-empty"},
    {[](BridgeEnvelope& e) { e.session_id.clear(), e.seq = 0; }, "session_id must be non-empty"},
    {[](BridgeEnvelope& e) { e.seq = 0; }, "seq must be positive"},
    {[](BridgeEnvelope& e) { e.idempotency_key.clear(); }, "idempotency_key must be non-empty"},
    {[](BridgeEnvelope& e) { e.idempotency_key.clear(), e.payload = p::Bytes{}; }, "idempotency_key must be non-empty",
     kMismatch},
    {[](BridgeEnvelope& e) { e.attempt = e.max_attempts = 0; }, "attempt must be positive"},
    {[](BridgeEnvelope& e) { e.attempt = 3; }, "max_attempts must be >= attempt"},
    {[](BridgeEnvelope& e) { e.attempt = 2; }, "ok"},
    {[](BridgeEnvelope& e) { e.ack_for_seq = 0; }, "ack_for_seq must be positive"},
    {[](BridgeEnvelope& e) { e.ack_for_seq = 5; }, "ok"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Ack, e.payload.reset(), e.ack_for_seq = 0; },
     "ack_for_seq must be positive"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Ack, e.payload.reset(); }, "ack/nack requires ack_for_seq"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Start; }, "envelope type must not carry a payload"},
    {[](BridgeEnvelope& e) { e.payload.reset(); }, kMissingPayload},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Close, e.payload = p::CloseBytes{}; }, "ok"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Close, e.payload = p::CloseBytes{Bytes{}}; }, "ok"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Close, e.payload.reset(); }, kMissingPayload},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Close, e.payload = p::Bytes{}; }, kMismatch},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Nack, e.ack_for_seq = 3, e.payload = p::Bytes{}; }, "ok"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Nack, e.ack_for_seq = 3, e.payload = p::StatusBytes{}; }, kMismatch},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Status, e.payload = p::StatusBytes{}; }, "ok"},
    {[](BridgeEnvelope& e) { e.envelope_type = Type::Error, e.payload = p::StatusBytes{}; }, kMismatch},
};

template <class T>
std::string verdict_of(const std::expected<T, WireBridgeEnvelopeError>& result) {
  return result ? "ok" : std::string(display_text(result.error()));
}

std::string expected_verdict(const char* text) {
  return std::string_view(text) == "ok" ? "ok" : "wireBridgeEnvelope: " + std::string(text);
}

TEST(WireBridgeEnvelope, ValidationAndConstructionRefuseInTheirOwnOrder) {
  for (std::size_t i = 0; i < std::size(kRefusals); ++i) {
    BridgeEnvelope envelope = valid_data_envelope();
    kRefusals[i].change(envelope);
    const Refusal& row = kRefusals[i];
    EXPECT_EQ(verdict_of(validate_bridge_envelope(envelope)), expected_verdict(row.validated)) << "row " << i;
    auto built = new_bridge_envelope(parts_of(envelope));
    EXPECT_EQ(verdict_of(built), expected_verdict(row.built ? row.built : row.validated)) << "row " << i;
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
  const WireEdgeFrame frame{WireEdgeFrameKind::Data, "e", "c", Bytes{}};
  struct Case {
    Type type;
    std::optional<BridgePayload> payload;
    std::uint8_t case_field;  // the payload case's tag on the wire
  };
  const Case cases[] = {
      {Type::Start, std::nullopt, 0x1A},
      {Type::Data, p::Data{frame}, 0x22},
      {Type::Ack, std::nullopt, 0x2A},
      {Type::Nack, p::Bytes{{'n', 0xFF}}, 0x32},
      {Type::Status, p::StatusBytes{{'u'}}, 0x3A},
      {Type::Error, p::Bytes{{0xFF}}, 0x42},
      {Type::Close, p::CloseBytes{}, 0x4A},
      {Type::Close, p::CloseBytes{Bytes{'x'}}, 0x4A},
  };
  for (const Case& k : cases) {
    const BridgeEnvelope record{"s", 2, 1, "k", 1, 3, 5, 9, "r", k.type, k.payload};
    EXPECT_EQ(validate_bridge_envelope(record).has_value(), true);
    auto bytes = encode_wire_bridge_envelope(record);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_NE(std::ranges::find(*bytes, k.case_field), bytes->end());
    EXPECT_EQ(decode_wire_bridge_envelope(*bytes), record);
  }
  // A nack without bytes reaches the bridge with a reason of its own; its
  // round trip keeps the bytes it came in.
  const Bytes no_reason = *encode_wire_bridge_envelope(BridgeEnvelope{"s", 2, 1, "k", 1, 3, 5, 9, "r", Type::Nack, {}});
  EXPECT_EQ(decode_wire_bridge_envelope(no_reason)->payload, BridgePayload(p::Bytes{bytes_of_text("remote nack")}));
  EXPECT_EQ(roundtrip_canonical_wire_bridge_envelope(no_reason), no_reason);
  // The bridge reads peer texts lossily; the codec leaves them bytes.
  const Bytes bad_status = *encode_wire_bridge_envelope(
      BridgeEnvelope{"s", 2, 1, "k", 1, 3, 5, 9, "r", Type::Status, p::StatusBytes{{'u', 0xFF}}});
  EXPECT_EQ(decode_envelope_checked(bad_status).envelope->payload,
            BridgePayload(p::StatusBytes{bytes_of_text("u\xEF\xBF\xBD")}));
}

// Node readers tell the records apart by type; a fresh session starts at seq 1.
TEST(WireBridgeRecords, AreValuesOfTheirOwnTypes) {
  const SharedValue state = make_bridge_state_value();
  ASSERT_NE(value_cast<BridgeStateCell>(state), nullptr);
  EXPECT_EQ(value_cast<BridgeStateCell>(state)->borrow()->next_outbound_seq, 1u);
  const SharedValue inbound = make_value<BridgeInbound>(bridge_inbound::Failure{"bad bytes"});
  EXPECT_EQ(value_cast<WireBridgeCommand>(inbound), nullptr);
  EXPECT_EQ(value_cast<WireBridgeEvent>(inbound), nullptr);
}

}  // namespace

namespace {

// Two readers of one value share one reading; every other value is read anew.
TEST(WireLinkReadings, EachValueIsReadOnceForItsTwoReaders) {
  ReadingsByValue<int> readings;
  int reads = 0;
  auto read = [&] { return ++reads; };
  const SharedValue first = make_value<int>(1), second = make_value<int>(1);
  const auto a = readings.of(first, read);
  const auto b = readings.of(second, read);
  EXPECT_EQ(readings.of(first, read), a);
  EXPECT_EQ(readings.of(second, read), b);
  EXPECT_EQ(reads, 2);
  for (int i = 0; i < 40; ++i) readings.of(make_value<int>(i), read);  // gone values never match
  EXPECT_EQ(reads, 42);
}

TEST(WireLinkReadings, InboundBytesBecomeWhatTheBridgeTakes) {
  const Bytes start = *encode_wire_bridge_envelope(
      BridgeEnvelope{"s", 1, 0, "k", 1, 1, std::nullopt, std::nullopt, std::nullopt, Type::Start, std::nullopt});
  const InboundReading decoded = read_inbound(ByteView(start));
  const auto* envelope = std::get_if<bridge_inbound::Envelope>(value_cast<BridgeInbound>(decoded.inbound));
  ASSERT_NE(envelope, nullptr);
  EXPECT_TRUE(envelope->checked);
  EXPECT_EQ(envelope->envelope, *decode_wire_bridge_envelope(start));
  EXPECT_TRUE(decoded.issues.empty());

  const Bytes unknown{0x00};
  const std::pair<std::optional<ByteView>, std::string> refused[] = {
      {std::nullopt, "wire_bridge_protobuf inbound_bytes requires bytes"},
      {ByteView(unknown), "unknown_field: WireBridgeEnvelope contains unknown field 0"},
  };
  for (const auto& [bytes, text] : refused) {
    const InboundReading reading = read_inbound(bytes);
    EXPECT_EQ(value_cast<BridgeInbound>(reading.inbound)->index(), 1u);
    EXPECT_EQ(std::get<bridge_inbound::Failure>(*value_cast<BridgeInbound>(reading.inbound)).text, text);
    ASSERT_EQ(reading.issues.size(), 1u);
    EXPECT_EQ(reading.issues.front().message, text);
  }
}

}  // namespace
