// The payload cases of WireBridgeEnvelope: their messages, read and written.

#include <string_view>

#include "wire/codec/envelope_codec.hpp"
#include "wire/codec/field_scanner.hpp"
#include "wire/codec/field_writer.hpp"

namespace korvalinth {
namespace {

using Category = CanonicalProtobufErrorCategory;
namespace p = bridge_payload;

// nack, status, error and close carry one bytes field.
constexpr std::uint32_t kBytesField = 1;
constexpr FieldTable<1> kBytesPayloadTable{{{kBytesField, WireType::LengthDelimited}}};

enum DataBodyField : std::uint32_t { kBodyBytes = 1, kBodyFrame = 2 };
constexpr FieldTable<2> kDataPayloadTable{{
    {kBodyBytes, WireType::LengthDelimited},
    {kBodyFrame, WireType::LengthDelimited},
}};

std::string case_text(std::string_view case_name, std::string_view tail) {
  std::string out(case_name);
  out += tail;
  return out;
}

// The scanner's name of a payload message: the case name is not capitalised.
std::string_view payload_message_name(std::string_view case_name) {
  if (case_name == "nack") return "WireBridgenackPayload";
  if (case_name == "status") return "WireBridgestatusPayload";
  if (case_name == "error") return "WireBridgeerrorPayload";
  return "WireBridgeclosePayload";
}

// The bytes field of a nack/status/error/close message, or none when absent.
CanonicalResult<std::optional<ByteView>> scan_bytes_payload(ByteView bytes, std::string_view case_name,
                                                           bool& canonical) {
  ScannedMessage scanned(kBytesPayloadTable);
  if (auto read = decode_canonical_fields(bytes, scanned, payload_message_name(case_name)); !read) {
    return std::unexpected(std::move(read.error()));
  }
  if (!scanned.canonical()) canonical = false;
  const ScannedField& field = scanned.field(kBytesField);
  if (!field.present) return std::optional<ByteView>();
  return std::optional<ByteView>(field.bytes);
}

CanonicalResult<std::optional<ByteView>> decode_optional_bytes_payload(ByteView bytes, std::string_view case_name,
                                                                       bool& canonical) {
  auto field = scan_bytes_payload(bytes, case_name, canonical);
  if (!field) return field;
  if (*field && (*field)->empty()) {
    return refuse(Category::DefaultEmission, case_text(case_name, " optional bytes default value was emitted"));
  }
  return field;
}

CanonicalResult<ByteView> decode_required_bytes_payload(ByteView bytes, std::string_view case_name, bool& canonical) {
  auto field = scan_bytes_payload(bytes, case_name, canonical);
  if (!field) return std::unexpected(std::move(field.error()));
  if (!*field) return refuse(Category::MissingRequired, case_text(case_name, " payload missing required bytes"));
  if ((*field)->empty()) return refuse(Category::MissingRequired, case_text(case_name, " payload bytes must be non-empty"));
  return **field;
}

// The alternative T of a variant, made only when it holds another: decoding
// into a record reuses the buffers a previous decode left in it.
template <class T, class Variant>
T& holding(Variant& variant) {
  if (!std::holds_alternative<T>(variant)) variant.template emplace<T>();
  return std::get<T>(variant);
}

template <class Kind>
Kind& payload_kind(BridgeEnvelope& envelope) {
  if (!envelope.payload) envelope.payload.emplace(std::in_place_type<Kind>);
  return holding<Kind>(*envelope.payload);
}

CanonicalResult<void> decode_data_body(ByteView bytes, WireBridgeDataBody& body, bool& canonical) {
  ScannedMessage scanned(kDataPayloadTable);
  if (auto read = decode_canonical_fields(bytes, scanned, "WireBridgeDataPayload"); !read) return read;
  if (!scanned.canonical()) canonical = false;
  const ScannedField& raw = scanned.field(kBodyBytes);
  const ScannedField& frame = scanned.field(kBodyFrame);
  if (raw.present && frame.present) return refuse(Category::InvalidOneof, "WireBridgeDataPayload body has multiple cases");
  if (!raw.present && !frame.present) return refuse(Category::MissingRequired, "WireBridgeDataPayload missing body");
  if (raw.present) {
    assign_bytes(holding<Bytes>(body), raw.bytes);
    return {};
  }
  return decode_wire_edge_frame_into(frame.bytes, holding<WireEdgeFrame>(body), canonical);
}

CanonicalResult<void> check_empty_case(ByteView bytes, std::string_view case_name) {
  if (!bytes.empty()) return refuse(Category::UnknownField, case_text(case_name, " payload must be empty"));
  return {};
}

// A case without content: the type alone.
CanonicalResult<void> set_empty_case(BridgeEnvelope& envelope, WireBridgeEnvelopeType type, ByteView bytes,
                                     std::string_view case_name) {
  if (auto empty = check_empty_case(bytes, case_name); !empty) return empty;
  envelope.envelope_type = type;
  envelope.payload.reset();
  return {};
}

// A case whose content is bytes: `Kind` holding them.
template <class Kind>
CanonicalResult<void> set_bytes_case(BridgeEnvelope& envelope, WireBridgeEnvelopeType type,
                                     CanonicalResult<ByteView>&& content) {
  if (!content) return std::unexpected(std::move(content.error()));
  envelope.envelope_type = type;
  assign_bytes(payload_kind<Kind>(envelope).bytes, *content);
  return {};
}

CanonicalResult<void> set_nack_case(BridgeEnvelope& envelope, CanonicalResult<std::optional<ByteView>>&& reason) {
  if (!reason) return std::unexpected(std::move(reason.error()));
  const std::string_view remote = kRemoteNackReason;
  const ByteView bytes = *reason ? **reason : ByteView(reinterpret_cast<const std::uint8_t*>(remote.data()), remote.size());
  return set_bytes_case<p::Bytes>(envelope, WireBridgeEnvelopeType::Nack, bytes);
}

CanonicalResult<void> set_close_case(BridgeEnvelope& envelope, CanonicalResult<std::optional<ByteView>>&& reason) {
  if (!reason) return std::unexpected(std::move(reason.error()));
  envelope.envelope_type = WireBridgeEnvelopeType::Close;
  std::optional<Bytes>& bytes = payload_kind<p::CloseBytes>(envelope).bytes;
  if (*reason) {
    assign_bytes(bytes ? *bytes : bytes.emplace(), **reason);
  } else {
    bytes.reset();
  }
  return {};
}

CanonicalResult<void> set_data_case(BridgeEnvelope& envelope, ByteView bytes, bool& canonical) {
  envelope.envelope_type = WireBridgeEnvelopeType::Data;
  return decode_data_body(bytes, payload_kind<p::Data>(envelope).body, canonical);
}

template <class Kind>
const Kind* payload_as(const BridgeEnvelope& e) {
  return e.payload ? std::get_if<Kind>(&*e.payload) : nullptr;
}

// The content of each case as the encoder writes it (see encode_wire_bridge_envelope).
std::optional<ByteView> nack_bytes(const BridgeEnvelope& e) {
  const auto* reason = payload_as<p::Bytes>(e);
  return reason ? std::optional<ByteView>(reason->bytes) : std::nullopt;
}
ByteView status_bytes(const BridgeEnvelope& e) {
  const auto* status = payload_as<p::StatusBytes>(e);
  return status ? ByteView(status->bytes) : ByteView();
}
ByteView error_bytes(const BridgeEnvelope& e) {
  const auto* detail = payload_as<p::Bytes>(e);
  return detail ? ByteView(detail->bytes) : ByteView();
}
std::optional<ByteView> close_bytes(const BridgeEnvelope& e) {
  const auto* close = payload_as<p::CloseBytes>(e);
  return close && close->bytes ? std::optional<ByteView>(*close->bytes) : std::nullopt;
}

void write_optional_bytes_message(Bytes& out, std::optional<ByteView> bytes) {
  if (bytes) write_bytes_field(out, kBytesField, *bytes);
}

}  // namespace

CanonicalResult<void> decode_envelope_payload(std::uint32_t field_number, ByteView bytes, BridgeEnvelope& envelope,
                                              bool& canonical) {
  using T = WireBridgeEnvelopeType;
  switch (field_number) {
    case 3: return set_empty_case(envelope, T::Start, bytes, "start");
    case 4: return set_data_case(envelope, bytes, canonical);
    case 5: return set_empty_case(envelope, T::Ack, bytes, "ack");
    case 6: return set_nack_case(envelope, decode_optional_bytes_payload(bytes, "nack", canonical));
    case 7: return set_bytes_case<p::StatusBytes>(envelope, T::Status, decode_required_bytes_payload(bytes, "status", canonical));
    case 8: return set_bytes_case<p::Bytes>(envelope, T::Error, decode_required_bytes_payload(bytes, "error", canonical));
    case 9: return set_close_case(envelope, decode_optional_bytes_payload(bytes, "close", canonical));
  }
  return refuse(Category::UnknownField, "WireBridgeEnvelope contains unknown field " + std::to_string(field_number));
}

CanonicalResult<void> check_payload_encodable(const BridgeEnvelope& e) {
  switch (e.envelope_type) {
    case WireBridgeEnvelopeType::Data:
      if (const auto* data = payload_as<p::Data>(e)) {
        if (const auto* frame = std::get_if<WireEdgeFrame>(&data->body)) return check_wire_edge_frame(*frame);
      }
      break;
    case WireBridgeEnvelopeType::Nack:
      if (auto reason = nack_bytes(e); reason && reason->empty())
        return refuse(Category::DefaultEmission, "nack optional bytes default value was emitted");
      break;
    case WireBridgeEnvelopeType::Status:
      if (status_bytes(e).empty()) return refuse(Category::MissingRequired, "status payload bytes must be non-empty");
      break;
    case WireBridgeEnvelopeType::Error:
      if (error_bytes(e).empty()) return refuse(Category::MissingRequired, "error payload bytes must be non-empty");
      break;
    case WireBridgeEnvelopeType::Close:
      if (auto reason = close_bytes(e); reason && reason->empty())
        return refuse(Category::DefaultEmission, "close optional bytes default value was emitted");
      break;
    case WireBridgeEnvelopeType::Start:
    case WireBridgeEnvelopeType::Ack: break;
  }
  return {};
}

void append_envelope_payload(Bytes& out, const BridgeEnvelope& e) {
  const auto field_number = kFirstPayloadField + static_cast<std::uint32_t>(e.envelope_type);
  write_message_field(out, field_number, [&](Bytes& inner) {
    switch (e.envelope_type) {
      case WireBridgeEnvelopeType::Data: {
        const auto* data = payload_as<p::Data>(e);
        const auto* frame = data ? std::get_if<WireEdgeFrame>(&data->body) : nullptr;
        if (frame) {
          write_message_field(inner, kBodyFrame, [&](Bytes& out_frame) { append_wire_edge_frame(out_frame, *frame); });
        } else {
          write_bytes_field(inner, kBodyBytes, data ? ByteView(std::get<Bytes>(data->body)) : ByteView());
        }
        break;
      }
      case WireBridgeEnvelopeType::Nack: write_optional_bytes_message(inner, nack_bytes(e)); break;
      case WireBridgeEnvelopeType::Status: write_bytes_field(inner, kBytesField, status_bytes(e)); break;
      case WireBridgeEnvelopeType::Error: write_bytes_field(inner, kBytesField, error_bytes(e)); break;
      case WireBridgeEnvelopeType::Close: write_optional_bytes_message(inner, close_bytes(e)); break;
      case WireBridgeEnvelopeType::Start:
      case WireBridgeEnvelopeType::Ack: break;
    }
  });
}

}  // namespace korvalinth
