// Fuzz harness of the wire decoders: bytes from another process must get a
// verdict, never a crash, an over-read or a runaway allocation, and what is
// accepted must be exactly its own canonical encoding. Built by `make fuzz`
// with libFuzzer; a finding becomes a vector of core/tests/wire_codec_test.cpp.

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "wire/bridge/bridge_envelope.hpp"
#include "wire/codec/edge_frame.hpp"
#include "wire/codec/envelope_checked.hpp"
#include "wire/codec/utf8.hpp"

using namespace korvalinth;

namespace {

void require(bool holds) {
  if (!holds) std::abort();
}

bool equal(const Bytes& a, ByteView b) { return std::ranges::equal(a, b); }

template <class T>
void require_verdict(const CanonicalResult<T>& result) {
  if (!result) require(!result.error().message.empty() && category_name(result.error().category) != "");
}

void fuzz_frame(ByteView input) {
  auto strict = decode_wire_edge_frame(input);
  auto canonical = check_canonical_wire_edge_frame(input);
  require_verdict(canonical);
  if (!canonical) return;
  require(strict && *strict == *canonical);
  require(check_wire_edge_frame(*canonical).has_value());
  require(equal(encode_wire_edge_frame(*canonical), input));
}

// The one record that cannot give back its bytes: a nack without bytes reads
// as the reason "remote nack".
bool is_nack_without_bytes(ByteView input, const BridgeEnvelope& decoded) {
  if (decoded.envelope_type != WireBridgeEnvelopeType::Nack) return false;
  BridgeEnvelope without = decoded;
  without.payload.reset();
  auto encoded = encode_wire_bridge_envelope(without);
  return encoded && equal(*encoded, input);
}

void fuzz_envelope(ByteView input) {
  auto decoded = decode_wire_bridge_envelope(input);
  require_verdict(decoded);
  require(decode_envelope_checked(input).invalid == !decoded);
  if (!decoded) return;
  // What the codec accepts is exactly its own encoding, it round-trips
  // unchanged, and the bridge accepts it too.
  auto encoded = encode_wire_bridge_envelope(*decoded);
  require(encoded && (equal(*encoded, input) || is_nack_without_bytes(input, *decoded)));
  auto roundtrip = roundtrip_canonical_wire_bridge_envelope(input);
  require(roundtrip && equal(*roundtrip, input));
  require(validate_bridge_envelope(*decoded).has_value());
  // And what the encoder writes, the decoder accepts as canonical.
  require(decode_wire_bridge_envelope(*encoded).has_value());
}

// The payload messages on their own, so that their rules are reached without
// a valid envelope around them.
void fuzz_payload(ByteView input) {
  if (input.empty()) return;
  const auto field = kFirstPayloadField + input[0] % 7;
  BridgeEnvelope envelope;
  bool canonical = true;
  require_verdict(decode_envelope_payload(field, input.subspan(1), envelope, canonical));
}

void fuzz_text(ByteView input) {
  const std::string text = text_from_bytes_lossy(input);
  const ByteView out(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  require(is_valid_utf8(out));
  if (is_valid_utf8(input)) require(std::ranges::equal(out, input));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  fuzz_frame(input);
  fuzz_envelope(input);
  fuzz_payload(input);
  fuzz_text(input);
  return 0;
}
