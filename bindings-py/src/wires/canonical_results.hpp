#pragma once
// CanonicalProtobufValidation and CanonicalProtobufRoundtrip: the verdicts of
// the canonical protobuf check functions as Python objects. Fixed when made;
// made only by those functions. A failure carries the category's name and
// the codec error's display text ("{category}: {message}").

#include <optional>
#include <string>

#include "kit/python.hpp"
#include "kit/refs.hpp"
#include "wire/codec/bytes.hpp"
#include "wire/codec/canonical_error.hpp"

namespace korvalinth::py {

struct PyCanonicalProtobufValidation {
  bool ok = false;
  std::optional<std::string> category;
  std::optional<std::string> message;
};

struct PyCanonicalProtobufRoundtrip {
  bool ok = false;
  std::optional<Bytes> bytes;
  std::optional<std::string> category;
  std::optional<std::string> message;
};

PyTypeObject* canonical_protobuf_validation_type();
PyTypeObject* canonical_protobuf_roundtrip_type();

kit::OwnedRef make_validation_result(const CanonicalResult<void>& outcome);
kit::OwnedRef make_roundtrip_result(CanonicalResult<Bytes> outcome);

}  // namespace korvalinth::py
