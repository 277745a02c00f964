#include "wire/codec/envelope_checked.hpp"

#include "base/thread_block.hpp"
#include "wire/codec/field_scanner.hpp"
#include "wire/codec/scratch_record.hpp"
#include "wire/codec/utf8.hpp"

namespace korvalinth {

namespace {

void repair_text(Bytes& bytes) {
  if (!is_valid_utf8(bytes)) bytes = bytes_of_text(text_from_bytes_lossy(bytes));
}

void repair_texts(BridgeEnvelope& envelope) {
  if (!envelope.payload) return;
  if (auto* text = std::get_if<bridge_payload::Bytes>(&*envelope.payload)) {
    repair_text(text->bytes);
  } else if (auto* status = std::get_if<bridge_payload::StatusBytes>(&*envelope.payload)) {
    repair_text(status->bytes);
  } else if (auto* close = std::get_if<bridge_payload::CloseBytes>(&*envelope.payload)) {
    if (close->bytes) repair_text(*close->bytes);
  }
}

}  // namespace

EnvelopeDecodeChecked decode_envelope_checked(ByteView input) {
  auto decoded = decode_wire_bridge_envelope(input);
  if (!decoded) return {std::nullopt, {to_issue(decoded.error())}, true};
  repair_texts(*decoded);
  return {std::move(*decoded), {}, false};
}

EnvelopeEncodeChecked encode_envelope_checked(const BridgeEnvelope& envelope) {
  auto encoded = encode_wire_bridge_envelope(envelope);
  if (!encoded) return {std::nullopt, {to_issue(encoded.error())}, true};
  return {std::move(*encoded), {}, false};
}

CanonicalResult<void> validate_canonical_wire_bridge_envelope(ByteView input) {
  // The verdict alone: an envelope kept per thread lends its buffers.
  return ThreadBlock<ScratchRecord<BridgeEnvelope>>::get().use(input.size(), [&](BridgeEnvelope& envelope) { return decode_wire_bridge_envelope_into(input, envelope); });
}

// A successful decode means the input is the canonical encoding of what it
// decoded to, so those bytes are the input's. (Encoding the record instead
// would give a nack without bytes the "remote nack" reason it reads as.)
CanonicalResult<Bytes> roundtrip_canonical_wire_bridge_envelope(ByteView input) {
  if (auto decoded = validate_canonical_wire_bridge_envelope(input); !decoded) {
    return std::unexpected(std::move(decoded.error()));
  }
  return copy_bytes(input);
}

}  // namespace korvalinth
