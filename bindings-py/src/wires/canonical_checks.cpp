#include "wires/canonical_checks.hpp"

#include "kit/convert.hpp"
#include "wire/codec/edge_frame.hpp"
#include "wire/codec/envelope_checked.hpp"
#include "wires/canonical_results.hpp"

namespace korvalinth::py {

namespace {

// The bytes of a bytes object (or subclass instance), read in place; the
// caller's argument keeps them alive. bytearray and the rest are refused.
ByteView exact_bytes(kit::BorrowedRef object) {
  if (!PyBytes_Check(object.get())) kit::throw_downcast_error(object, "bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  kit::check_status(PyBytes_AsStringAndSize(object.get(), &data, &size));
  return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

ByteView bytes_argument(const kit::Args& args) { return args.convert(0, exact_bytes); }

}  // namespace

kit::OwnedRef validate_canonical_wire_bridge_envelope_function(const kit::Args& args) {
  return make_validation_result(validate_canonical_wire_bridge_envelope(bytes_argument(args)));
}

kit::OwnedRef validate_canonical_wire_edge_frame_function(const kit::Args& args) {
  return make_validation_result(validate_canonical_wire_edge_frame(bytes_argument(args)));
}

kit::OwnedRef roundtrip_canonical_wire_bridge_envelope_function(const kit::Args& args) {
  return make_roundtrip_result(roundtrip_canonical_wire_bridge_envelope(bytes_argument(args)));
}

kit::OwnedRef roundtrip_canonical_wire_edge_frame_function(const kit::Args& args) {
  return make_roundtrip_result(roundtrip_canonical_wire_edge_frame(bytes_argument(args)));
}

}  // namespace korvalinth::py
