// The payload cases of WireBridgeEnvelope: their messages, read and written.

#include <string_view>

#include "wire/codec/envelope_codec.hpp"
#include "wire/codec/field_scanner.hpp"
#include "wire/codec/field_writer.hpp"

namespace korvalinth {
namespace {

using Category = CanonicalProtobufErrorCategory;

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

// The bytes field of a nack/status/error/close message, or none when absent.
CanonicalResult<std::optional<ByteView>> scan_bytes_payload(ByteView bytes, std::string_view case_name) {
  const std::string message_name = "WireBridge" + std::string(case_name) + "Payload";
  auto scanned = decode_canonical_fields(bytes, kBytesPayloadTable, message_name);
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  const ScannedField& field = scanned->field(kBytesField);
  if (!field.present) return std::optional<ByteView>();
  return std::optional<ByteView>(field.bytes);
}

CanonicalResult<std::optional<Bytes>> decode_optional_bytes_payload(ByteView bytes, std::string_view case_name) {
  auto field = scan_bytes_payload(bytes, case_name);
  if (!field) return std::unexpected(std::move(field.error()));
  if (!*field) return std::optional<Bytes>();
  if ((*field)->empty()) {
    return refuse(Category::DefaultEmission, case_text(case_name, " optional bytes default value was emitted"));
  }
  return std::optional<Bytes>(copy_bytes(**field));
}

CanonicalResult<Bytes> decode_required_bytes_payload(ByteView bytes, std::string_view case_name) {
  auto field = scan_bytes_payload(bytes, case_name);
  if (!field) return std::unexpected(std::move(field.error()));
  if (!*field) return refuse(Category::MissingRequired, case_text(case_name, " payload missing required bytes"));
  if ((*field)->empty()) return refuse(Category::MissingRequired, case_text(case_name, " payload bytes must be non-empty"));
  return copy_bytes(**field);
}

CanonicalResult<WireBridgeDataBody> decode_data_body(ByteView bytes) {
  auto scanned = decode_canonical_fields(bytes, kDataPayloadTable, "WireBridgeDataPayload");
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  const ScannedField& raw = scanned->field(kBodyBytes);
  const ScannedField& frame = scanned->field(kBodyFrame);
  if (raw.present && frame.present) return refuse(Category::InvalidOneof, "WireBridgeDataPayload body has multiple cases");
  if (!raw.present && !frame.present) return refuse(Category::MissingRequired, "WireBridgeDataPayload missing body");
  if (raw.present) return WireBridgeDataBody(copy_bytes(raw.bytes));
  auto decoded = decode_wire_edge_frame(frame.bytes);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  return WireBridgeDataBody(std::move(*decoded));
}

template <class Case, class Content>
CanonicalResult<WireBridgeCodecPayload> as_payload(CanonicalResult<Content>&& content) {
  if (!content) return std::unexpected(std::move(content.error()));
  return WireBridgeCodecPayload(Case{std::move(*content)});
}

CanonicalResult<WireBridgeCodecPayload> decode_empty_case(ByteView bytes, std::string_view case_name,
                                                          WireBridgeCodecPayload payload) {
  if (!bytes.empty()) return refuse(Category::UnknownField, case_text(case_name, " payload must be empty"));
  return payload;
}

void write_optional_bytes_message(Bytes& out, const std::optional<Bytes>& bytes) {
  if (bytes) write_bytes_field(out, kBytesField, *bytes);
}

}  // namespace

CanonicalResult<WireBridgeCodecPayload> decode_envelope_payload(std::uint32_t field_number, ByteView bytes) {
  namespace c = envelope_case;
  switch (field_number) {
    case 3: return decode_empty_case(bytes, "start", c::Start{});
    case 4: return as_payload<c::Data>(decode_data_body(bytes));
    case 5: return decode_empty_case(bytes, "ack", c::Ack{});
    case 6: return as_payload<c::Nack>(decode_optional_bytes_payload(bytes, "nack"));
    case 7: return as_payload<c::Status>(decode_required_bytes_payload(bytes, "status"));
    case 8: return as_payload<c::Error>(decode_required_bytes_payload(bytes, "error"));
    case 9: return as_payload<c::Close>(decode_optional_bytes_payload(bytes, "close"));
  }
  return refuse(Category::UnknownField, "WireBridgeEnvelope contains unknown field " + std::to_string(field_number));
}

CanonicalResult<void> check_payload_encodable(const WireBridgeCodecPayload& payload) {
  namespace c = envelope_case;
  if (const auto* data = std::get_if<c::Data>(&payload)) {
    if (const auto* frame = std::get_if<WireEdgeFrame>(&data->body)) return check_wire_edge_frame(*frame);
  } else if (const auto* nack = std::get_if<c::Nack>(&payload)) {
    if (nack->bytes && nack->bytes->empty()) return refuse(Category::DefaultEmission, "nack optional bytes default value was emitted");
  } else if (const auto* status = std::get_if<c::Status>(&payload)) {
    if (status->bytes.empty()) return refuse(Category::MissingRequired, "status payload bytes must be non-empty");
  } else if (const auto* error = std::get_if<c::Error>(&payload)) {
    if (error->bytes.empty()) return refuse(Category::MissingRequired, "error payload bytes must be non-empty");
  } else if (const auto* close = std::get_if<c::Close>(&payload)) {
    if (close->bytes && close->bytes->empty()) return refuse(Category::DefaultEmission, "close optional bytes default value was emitted");
  }
  return {};
}

void append_envelope_payload(Bytes& out, const WireBridgeCodecPayload& payload) {
  namespace c = envelope_case;
  const auto field_number = kFirstPayloadField + static_cast<std::uint32_t>(payload.index());
  write_message_field(out, field_number, [&](Bytes& inner) {
    if (const auto* data = std::get_if<c::Data>(&payload)) {
      if (const auto* raw = std::get_if<Bytes>(&data->body)) {
        write_bytes_field(inner, kBodyBytes, *raw);
      } else {
        write_message_field(inner, kBodyFrame, [&](Bytes& frame) {
          append_wire_edge_frame(frame, std::get<WireEdgeFrame>(data->body));
        });
      }
    } else if (const auto* nack = std::get_if<c::Nack>(&payload)) {
      write_optional_bytes_message(inner, nack->bytes);
    } else if (const auto* status = std::get_if<c::Status>(&payload)) {
      write_bytes_field(inner, kBytesField, status->bytes);
    } else if (const auto* error = std::get_if<c::Error>(&payload)) {
      write_bytes_field(inner, kBytesField, error->bytes);
    } else if (const auto* close = std::get_if<c::Close>(&payload)) {
      write_optional_bytes_message(inner, close->bytes);
    }
  });
}

}  // namespace korvalinth
