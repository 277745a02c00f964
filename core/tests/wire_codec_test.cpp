#include <gtest/gtest.h>

#include "wire/codec/edge_frame.hpp"
#include "wire/codec/envelope_checked.hpp"
#include "wire/codec/utf8.hpp"
#include "wire_test_support.hpp"

using namespace korvalinth;
using test::hex;
using Category = CanonicalProtobufErrorCategory;

namespace {

// Canonical metadata: seq 1, cursor 0, key "k", attempt 1, max_attempts 1.
#define META "08 01 10 00 1A 01 6B 20 01 28 01"
#define ENV "0A 01 73 12 [" META
#define FRAME "08 01 12 01 65 1A 01 63"

struct Vector {
  char message_kind;  // 'F' frame, 'E' envelope
  const char* bytes;
  Category category;
  const char* text;
};

// The bytes come from another process: every category, and the order of the
// checks where one input breaks two rules.
const Vector kVectors[] = {
    {'F', "", Category::MissingRequired, "WireEdgeFrame missing required fields"},
    {'F', "00", Category::UnknownField, "WireEdgeFrame contains unknown field 0"},
    {'F', FRAME " 2A 00", Category::UnknownField, "WireEdgeFrame contains unknown field 5"},
    {'F', "F8 FF FF FF 7F 00", Category::UnknownField, "WireEdgeFrame contains unknown field 4294967295"},
    {'F', "80 80 80 80 80 01", Category::Malformed, "field number is too large"},
    {'F', "09 01", Category::Malformed, "WireEdgeFrame field 1 has wrong wire type"},
    {'F', "0D 01 00 00 00", Category::Malformed, "WireEdgeFrame field 1 has wrong wire type"},
    {'F', "08", Category::Malformed, "truncated varint"},
    {'F', "08 80", Category::Malformed, "truncated varint"},
    {'F', "08 FF FF FF FF FF FF FF FF FF 02", Category::Malformed, "varint exceeds 64 bits"},
    {'F', "08 FF FF FF FF FF FF FF FF FF 81 00", Category::Malformed, "varint exceeds 64 bits"},
    {'F', "08 FF FF FF FF FF FF FF FF FF 01 12 01 65 1A 01 63", Category::InvalidWireEdge, "WireEdgeFrame kind is invalid"},
    {'F', "08 01 12 02 65", Category::Malformed, "length-delimited field is truncated"},
    {'F', "08 01 12 FF FF FF FF FF FF FF FF FF 01", Category::Malformed, "length-delimited field length overflows"},
    {'F', "08 01 08 01 12 01 65 1A 01 63", Category::DuplicateSingular, "WireEdgeFrame field 1 is duplicated"},
    {'F', "08 01 08", Category::DuplicateSingular, "WireEdgeFrame field 1 is duplicated"},
    {'F', "12 01 65 1A 01 63", Category::MissingRequired, "WireEdgeFrame missing required fields"},
    {'F', "08 00 12 01 65 1A 01 63", Category::InvalidWireEdge, "WireEdgeFrame kind is invalid"},
    {'F', "08 03 12 01 65 1A 01 63", Category::InvalidWireEdge, "WireEdgeFrame kind is invalid"},
    {'F', FRAME " 22 00", Category::InvalidWireEdge, "DIRTY WireEdgeFrame must not carry value"},
    {'F', "08 02 12 01 65 1A 01 63", Category::InvalidWireEdge, "DATA WireEdgeFrame requires value"},
    {'F', "08 00 12 00 1A 01 63", Category::MissingRequired, "edge_id must be non-empty"},
    {'F', "08 01 12 01 65 1A 01 FF", Category::Malformed, "cause_id is not valid utf-8"},
    {'F', "08 81 00 12 01 65 1A 01 63", Category::NoncanonicalBytes, "WireEdgeFrame bytes are not canonical deterministic protobuf"},
    {'F', "12 01 65 08 01 1A 01 63", Category::NoncanonicalBytes, "WireEdgeFrame bytes are not canonical deterministic protobuf"},
    {'F', "08 02 12 01 65 22 00 1A 01 63", Category::NoncanonicalBytes, "WireEdgeFrame bytes are not canonical deterministic protobuf"},
    {'F', "08 01 12 80 00 1A 01 63", Category::MissingRequired, "edge_id must be non-empty"},

    {'E', "08 01", Category::Malformed, "WireBridgeEnvelope field 1 has wrong wire type"},
    {'E', ENV "] 1A 00 52 00", Category::UnknownField, "WireBridgeEnvelope contains unknown field 10"},
    {'E', "12 [" META "] 1A 00", Category::MissingRequired, "WireBridgeEnvelope missing required fields"},
    {'E', ENV "]", Category::MissingRequired, "WireBridgeEnvelope missing required fields"},
    {'E', "0A 01 73 1A 00 2A 00", Category::MissingRequired, "WireBridgeEnvelope missing required fields"},
    {'E', ENV "] 1A 00 2A 00", Category::InvalidOneof, "WireBridgeEnvelope payload oneof has multiple cases"},
    {'E', ENV "] 1A 00 1A 00", Category::DuplicateSingular, "WireBridgeEnvelope field 3 is duplicated"},
    {'E', "0A 00 12 [" META "] 1A 00", Category::MissingRequired, "session_id must be non-empty"},
    {'E', "0A 01 C0 12 [" META "] 1A 00", Category::Malformed, "session_id is not valid utf-8"},
    {'E', "0A 01 73 12 [0A 00] 1A 00", Category::Malformed, "WireBridgeMetadata field 1 has wrong wire type"},
    {'E', "0A 01 73 12 [08 01 1A 01 6B 20 01 28 01] 1A 00", Category::MissingRequired, "WireBridgeMetadata missing required fields"},
    {'E', ENV " 30 00] 1A 00", Category::DefaultEmission, "optional metadata default value was emitted"},
    {'E', ENV " 38 00] 2A 00", Category::DefaultEmission, "optional metadata default value was emitted"},
    {'E', ENV " 42 00] 1A 00", Category::DefaultEmission, "optional metadata default value was emitted"},
    {'E', "0A 01 73 12 [08 01 10 00 1A 01 FF 20 01 28 01] 1A 00", Category::Malformed, "idempotency_key is not valid utf-8"},
    {'E', "0A 01 73 12 [08 01 10 00 1A 01 6B 20 80 80 80 80 10 28 01] 1A 00", Category::Malformed, "attempt exceeds uint32"},
    {'E', "0A 01 73 12 [08 01 10 00 1A 01 6B 20 01 28 80 80 80 80 10] 1A 00", Category::Malformed, "max_attempts exceeds uint32"},
    {'E', ENV " 42 01 FF] 1A 00", Category::Malformed, "request_id is not valid utf-8"},
    {'E', ENV "] 1A [08 01]", Category::UnknownField, "start payload must be empty"},
    {'E', ENV " 38 01] 2A [00]", Category::UnknownField, "ack payload must be empty"},
    {'E', ENV "] 22 00", Category::MissingRequired, "WireBridgeDataPayload missing body"},
    {'E', ENV "] 22 [0A 00 12 [" FRAME "]]", Category::InvalidOneof, "WireBridgeDataPayload body has multiple cases"},
    {'E', ENV "] 22 [18 00]", Category::UnknownField, "WireBridgeDataPayload contains unknown field 3"},
    {'E', ENV "] 22 [12 [08 00 12 01 65 1A 01 63]]", Category::InvalidWireEdge, "WireEdgeFrame kind is invalid"},
    {'E', ENV " 38 01] 32 [0A 00]", Category::DefaultEmission, "nack optional bytes default value was emitted"},
    {'E', ENV " 38 01] 32 [12 00]", Category::UnknownField, "WireBridgenackPayload contains unknown field 2"},
    {'E', ENV "] 3A 00", Category::MissingRequired, "status payload missing required bytes"},
    {'E', ENV "] 3A [0A 00]", Category::MissingRequired, "status payload bytes must be non-empty"},
    {'E', ENV "] 42 00", Category::MissingRequired, "error payload missing required bytes"},
    {'E', ENV "] 42 [0A 00]", Category::MissingRequired, "error payload bytes must be non-empty"},
    {'E', ENV "] 4A [0A 00]", Category::DefaultEmission, "close optional bytes default value was emitted"},
    {'E', ENV "] 4A [0A 01 FF 0A 01 FF]", Category::DuplicateSingular, "WireBridgeclosePayload field 1 is duplicated"},
    {'E', "0A 01 73 12 [08 00 10 00 1A 01 6B 20 01 28 01] 1A 00", Category::MissingRequired, "WireBridgeEnvelope required semantics are invalid"},
    {'E', "0A 01 73 12 [08 01 10 00 1A 01 6B 20 00 28 01] 1A 00", Category::MissingRequired, "WireBridgeEnvelope required semantics are invalid"},
    {'E', "0A 01 73 12 [08 01 10 00 1A 01 6B 20 03 28 02] 1A 00", Category::MissingRequired, "WireBridgeEnvelope required semantics are invalid"},
    {'E', ENV "] 2A 00", Category::MissingRequired, "ACK/NACK requires metadata.ack_for_seq"},
    {'E', ENV "] 32 00", Category::MissingRequired, "ACK/NACK requires metadata.ack_for_seq"},
    {'E', "0A 01 73 12 [08 81 00 10 00 1A 01 6B 20 01 28 01] 1A 00", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'E', "12 [" META "] 0A 01 73 1A 00", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'E', ENV "] 22 [12 [12 01 65 08 01 1A 01 63]]", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'E', "0A 01 73 12 [10 00 08 01 1A 01 6B 20 01 28 01] 1A 00", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'E', "0A 81 00 73 12 [" META "] 1A 00", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'E', ENV "] 9A 00 00", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'E', ENV "] 1A 80 00", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'E', ENV "] 3A [0A 81 00 75]", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'E', ENV "] 22 [0A 80 00]", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'E', ENV "] 22 [12 [08 82 80 80 80 80 80 80 80 80 00 12 01 65 1A 01 63 22 00]]", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'E', "0A 01 73 12 [08 01 10 80 00 1A 01 6B 20 01 28 01] 1A 00", Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf"},
    {'F', "08 82 80 80 80 80 80 80 80 80 00 12 01 65 1A 01 63 22 00", Category::NoncanonicalBytes, "WireEdgeFrame bytes are not canonical deterministic protobuf"},
    {'F', "08 02 12 01 65 1A 81 00 63 22 00", Category::NoncanonicalBytes, "WireEdgeFrame bytes are not canonical deterministic protobuf"},
    {'E', "12 [" META "] 0A 01 73 1A 00 2A", Category::Malformed, "truncated varint"},  // the byte form is judged last

    // One input, several faults: the first rule in the checks' order wins,
    // and the byte form (field order, varint length) is judged after all.
    {'F', "12 00 08 03", Category::MissingRequired, "WireEdgeFrame missing required fields"},
    {'F', "08 03 12 00 1A 01 FF", Category::MissingRequired, "edge_id must be non-empty"},
    {'F', "08 01 12 01 65 22 00 1A 01 63", Category::InvalidWireEdge, "DIRTY WireEdgeFrame must not carry value"},
    {'F', "12 01 65 08 81 00 12 01 65", Category::DuplicateSingular, "WireEdgeFrame field 2 is duplicated"},
    {'F', "12 01 65 2A 00 08 01", Category::UnknownField, "WireEdgeFrame contains unknown field 5"},
    {'F', "12 01 65 0D 01 00 00 00 2A 00", Category::Malformed, "WireEdgeFrame field 1 has wrong wire type"},
    {'F', "1A 01 63 08 82 00 12 01 65", Category::InvalidWireEdge, "DATA WireEdgeFrame requires value"},
    {'E', "12 [" META "] 0A 01 73 1A 00 52 00", Category::UnknownField, "WireBridgeEnvelope contains unknown field 10"},
    {'E', "0A 01 73 12 [08 81 00 08 01 10 00 1A 01 6B 20 01 28 01] 1A 00", Category::DuplicateSingular, "WireBridgeMetadata field 1 is duplicated"},
    {'E', ENV " 30 00 39] 1A 00", Category::Malformed, "WireBridgeMetadata field 7 has wrong wire type"},
    {'E', "0A 01 73 12 [10 00 08 01 1A 01 6B 20 01 28 01 30 00] 1A 00", Category::DefaultEmission, "optional metadata default value was emitted"},
    {'E', "0A 01 73 12 [08 01 10 00 1A 01 FF 20 01 28 01 42 00] 1A 00", Category::DefaultEmission, "optional metadata default value was emitted"},
    {'E', "0A 01 73 12 [08 01 10 00 1A 00 20 80 80 80 80 10 28 01] 1A 00", Category::MissingRequired, "idempotency_key must be non-empty"},
    {'E', "0A 01 73 12 [08 01 10 00 1A 01 6B 20 80 80 80 80 10 28 01 42 01 FF] 1A 00", Category::Malformed, "attempt exceeds uint32"},
    {'E', "0A 01 73 12 [08 01 10 00 1A 01 6B 20 00 28 80 80 80 80 10] 1A 00", Category::Malformed, "max_attempts exceeds uint32"},
    {'E', "0A 01 C0 12 [08 01] 1A 00", Category::Malformed, "session_id is not valid utf-8"},
    {'E', "0A 01 73 1A 00 1A 00", Category::DuplicateSingular, "WireBridgeEnvelope field 3 is duplicated"},
    {'E', ENV "] 1A [08 01] 2A 00", Category::InvalidOneof, "WireBridgeEnvelope payload oneof has multiple cases"},
    {'E', "0A 01 73 12 [08 81 00 10 00 1A 01 6B 20 01 28 01] 3A 00", Category::MissingRequired, "status payload missing required bytes"},
    {'E', "12 [" META " 38 01] 0A 01 73 32 [12 00]", Category::UnknownField, "WireBridgenackPayload contains unknown field 2"},
    {'E', "12 [" META "] 0A 01 73 1A [08 01]", Category::UnknownField, "start payload must be empty"},
    {'E', "12 [" META "] 0A 01 73 2A 00", Category::MissingRequired, "ACK/NACK requires metadata.ack_for_seq"},
    {'E', "0A 01 73 12 [08 00 10 00 1A 01 6B 20 01 28 01] 22 [12 [12 01 65 08 01 1A 01 63]]", Category::MissingRequired, "WireBridgeEnvelope required semantics are invalid"},
    {'E', "0A 01 73 12 [08 00 10 00 1A 01 6B 20 01 28 01] 2A 00", Category::MissingRequired, "WireBridgeEnvelope required semantics are invalid"},
    {'E', "0A 01 73 12 [08 00 10 00 1A 01 6B 20 01 28 01] 42 [0A 00]", Category::MissingRequired, "error payload bytes must be non-empty"},
    {'E', ENV "] 22 [12 [08 80 00 12 01 65 1A 01 63]]", Category::InvalidWireEdge, "WireEdgeFrame kind is invalid"},
    {'E', ENV "] 22 [12 [12 01 65 08 01 1A 01 63 22 00]]", Category::InvalidWireEdge, "DIRTY WireEdgeFrame must not carry value"},
    {'E', ENV "] 22 [12 [08 01 12 00] 0A 00]", Category::InvalidOneof, "WireBridgeDataPayload body has multiple cases"},
    {'E', ENV "] 22 [12 [08 01 12 00 1A 01 63]]", Category::MissingRequired, "edge_id must be non-empty"},
    {'E', ENV "] 4A [0A 00 12 00]", Category::UnknownField, "WireBridgeclosePayload contains unknown field 2"},
    {'E', ENV "] 4A [0A 80 00]", Category::DefaultEmission, "close optional bytes default value was emitted"},
};

CanonicalResult<void> verdict(char message_kind, ByteView bytes) {
  return message_kind == 'F' ? validate_canonical_wire_edge_frame(bytes) : validate_canonical_wire_bridge_envelope(bytes);
}

TEST(WireCodec, RefusesEachMalformedVectorWithItsCategoryAndText) {
  for (const Vector& v : kVectors) {
    const Bytes bytes = hex(v.bytes);
    auto result = verdict(v.message_kind, bytes);
    ASSERT_FALSE(result.has_value()) << v.bytes;
    EXPECT_EQ(result.error().message, v.text) << v.bytes;
    EXPECT_EQ(category_name(result.error().category), category_name(v.category)) << v.bytes;
  }
}

TEST(WireCodec, ErrorsDisplayCategoryFirstAndBecomeIssues) {
  const CanonicalProtobufError error{"truncated varint", Category::Malformed};
  EXPECT_EQ(error.display(), "malformed: truncated varint");
  const EnvelopeDecodeChecked checked = decode_envelope_checked(hex("08"));
  EXPECT_TRUE(checked.invalid);
  EXPECT_FALSE(checked.envelope);
  EXPECT_EQ(checked.issues, (std::vector<CanonicalProtobufIssue>{
                                {"malformed: WireBridgeEnvelope field 1 has wrong wire type", Category::Malformed}}));
}

TEST(WireCodec, FramesEncodeToTheirCanonicalBytes) {
  EXPECT_EQ(encode_wire_edge_frame({WireEdgeFrameKind::Dirty, "e", "c", std::nullopt}), hex(FRAME));
  EXPECT_EQ(encode_wire_edge_frame({WireEdgeFrameKind::Data, "e", "c", Bytes{}}), hex("08 02 12 01 65 1A 01 63 22 00"));
  for (const char* canonical : {FRAME, "08 02 12 01 65 1A 01 63 22 00", "08 02 12 01 65 1A 02 63 64 22 02 00 FF"}) {
    EXPECT_EQ(roundtrip_canonical_wire_edge_frame(hex(canonical)), hex(canonical)) << canonical;
  }
  EXPECT_EQ(check_wire_edge_frame({WireEdgeFrameKind::Data, "", "c", Bytes{}}).error().message,
            "WireEdgeFrame edge_id/cause_id must be non-empty");
}

using Type = WireBridgeEnvelopeType;
namespace p = bridge_payload;

BridgeEnvelope envelope_with(Type type, std::optional<BridgePayload> payload = std::nullopt) {
  BridgeEnvelope e{"s", 1, 0, "k", 1, 1, std::nullopt, std::nullopt, std::nullopt, type, std::move(payload)};
  if (type == Type::Ack || type == Type::Nack) e.ack_for_seq = 4;
  return e;
}

TEST(WireCodec, StartEnvelopeHasItsCanonicalBytes) {
  const Bytes expected = hex("0A 01 73 12 0B 08 01 10 00 1A 01 6B 20 01 28 01 1A 00");
  EXPECT_EQ(encode_wire_bridge_envelope(envelope_with(Type::Start)), expected);
  EXPECT_EQ(decode_wire_bridge_envelope(expected), envelope_with(Type::Start));
}

TEST(WireCodec, EveryPayloadKindRoundTrips) {
  const WireEdgeFrame dirty{WireEdgeFrameKind::Dirty, "edge", "cause", std::nullopt};
  const WireEdgeFrame data{WireEdgeFrameKind::Data, "edge", "cause", Bytes{0, 1, 0xFF}};
  std::vector<BridgeEnvelope> envelopes = {
      envelope_with(Type::Start),
      envelope_with(Type::Data, p::Data{Bytes{}}),
      envelope_with(Type::Data, p::Data{Bytes(300, 7)}),
      envelope_with(Type::Data, p::Data{dirty}),
      envelope_with(Type::Data, p::Data{data}),
      envelope_with(Type::Ack),
      envelope_with(Type::Nack),  // a nack case without bytes
      envelope_with(Type::Nack, p::Bytes{{'n', 0xFF}}),
      envelope_with(Type::Status, p::StatusBytes{{'u', 'p'}}),
      envelope_with(Type::Error, p::Bytes{{'x'}}),
      envelope_with(Type::Close, p::CloseBytes{}),
      envelope_with(Type::Close, p::CloseBytes{Bytes{'b', 'y', 'e'}}),
  };
  BridgeEnvelope full = envelope_with(Type::Start);
  full.seq = ~std::uint64_t{0}, full.cursor = 1u << 20, full.attempt = full.max_attempts = ~std::uint32_t{0};
  full.sent_at = 9, full.ack_for_seq = 128, full.request_id = "req";
  envelopes.push_back(full);

  for (const BridgeEnvelope& envelope : envelopes) {
    const EnvelopeEncodeChecked encoded = encode_envelope_checked(envelope);
    ASSERT_TRUE(encoded.bytes) << encoded.issues.front().message;
    EXPECT_FALSE(encoded.invalid);
    const EnvelopeDecodeChecked decoded = decode_envelope_checked(*encoded.bytes);
    ASSERT_TRUE(decoded.envelope) << decoded.issues.front().message;
    BridgeEnvelope expected = envelope;
    if (expected.envelope_type == Type::Nack && !expected.payload) expected.payload = p::Bytes{bytes_of_text("remote nack")};
    if (expected.envelope_type == Type::Nack && expected.payload == BridgePayload(p::Bytes{{'n', 0xFF}})) {
      expected.payload = p::Bytes{bytes_of_text("n\xEF\xBF\xBD")};  // the bridge reads it lossily
    }
    EXPECT_EQ(*decoded.envelope, expected);
    EXPECT_EQ(roundtrip_canonical_wire_bridge_envelope(*encoded.bytes), *encoded.bytes);
  }
  // Decoding into a record that held another envelope leaves nothing of it.
  BridgeEnvelope reused;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
      const Bytes bytes = *encode_wire_bridge_envelope(envelopes[pass == 0 ? i : envelopes.size() - 1 - i]);
      ASSERT_TRUE(decode_wire_bridge_envelope_into(bytes, reused).has_value());
      EXPECT_EQ(reused, *decode_wire_bridge_envelope(bytes));
    }
  }
}

TEST(WireCodec, EncoderRefusesWhatTheDecoderWouldRefuse) {
  struct Case {
    BridgeEnvelope envelope;
    const char* text;
  };
  BridgeEnvelope over = envelope_with(Type::Start);
  over.attempt = 2;
  BridgeEnvelope no_key = envelope_with(Type::Start);
  no_key.idempotency_key.clear();
  BridgeEnvelope nack = envelope_with(Type::Nack);
  nack.ack_for_seq.reset();
  BridgeEnvelope empty_request = envelope_with(Type::Start);
  empty_request.request_id = "";
  // Several faults at once: the check order decides which is reported.
  BridgeEnvelope zero_seq_nack = envelope_with(Type::Nack, p::Bytes{});
  zero_seq_nack.seq = 0;
  zero_seq_nack.ack_for_seq.reset();
  BridgeEnvelope bare_nack = envelope_with(Type::Nack, p::Bytes{});
  bare_nack.ack_for_seq.reset();
  bare_nack.sent_at = 0;
  BridgeEnvelope defaults_and_status = envelope_with(Type::Status, p::StatusBytes{});
  defaults_and_status.request_id = "";
  const Case cases[] = {
      {over, "missing_required: WireBridgeEnvelope required semantics are invalid"},
      {no_key, "missing_required: WireBridgeEnvelope required semantics are invalid"},
      {nack, "missing_required: ACK/NACK requires metadata.ack_for_seq"},
      {empty_request, "default_emission: optional metadata default value was emitted"},
      {envelope_with(Type::Nack, p::Bytes{}), "default_emission: nack optional bytes default value was emitted"},
      {envelope_with(Type::Close, p::CloseBytes{Bytes{}}), "default_emission: close optional bytes default value was emitted"},
      {envelope_with(Type::Status, p::StatusBytes{}), "missing_required: status payload bytes must be non-empty"},
      {envelope_with(Type::Error, p::Bytes{}), "missing_required: error payload bytes must be non-empty"},
      {envelope_with(Type::Data, p::Data{WireEdgeFrame{WireEdgeFrameKind::Dirty, "e", "c", Bytes{}}}),
       "invalid_wire_edge: DIRTY WireEdgeFrame must not carry value"},
      {envelope_with(Type::Data, p::Data{WireEdgeFrame{WireEdgeFrameKind::Data, "e", "c", std::nullopt}}),
       "invalid_wire_edge: DATA WireEdgeFrame requires value"},
      {zero_seq_nack, "missing_required: WireBridgeEnvelope required semantics are invalid"},
      {bare_nack, "missing_required: ACK/NACK requires metadata.ack_for_seq"},
      {defaults_and_status, "default_emission: optional metadata default value was emitted"},
      {envelope_with(Type::Data, p::Data{WireEdgeFrame{WireEdgeFrameKind::Dirty, "", "c", Bytes{}}}),
       "missing_required: WireEdgeFrame edge_id/cause_id must be non-empty"},
  };
  for (const Case& c : cases) {
    const EnvelopeEncodeChecked encoded = encode_envelope_checked(c.envelope);
    EXPECT_TRUE(encoded.invalid);
    EXPECT_FALSE(encoded.bytes);
    ASSERT_EQ(encoded.issues.size(), 1u);
    EXPECT_EQ(encoded.issues.front().message, c.text);
  }
}

TEST(WireCodec, BytesBecomeTextLossily) {
  const std::pair<const char*, const char*> cases[] = {
      {"ok \xC3\xA9", "ok \xC3\xA9"},
      {"\xFF", "\xEF\xBF\xBD"},
      {"a\xE2\x82", "a\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF0\x9F\x98" "a", "\xEF\xBF\xBD" "a"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& [in, out] : cases) {
    const std::string_view text(in);
    EXPECT_EQ(text_from_bytes_lossy(bytes_of_text(text)), out) << in;
    EXPECT_EQ(is_valid_utf8(bytes_of_text(text)), text == out) << in;
  }
}

}  // namespace
