#include "wire/codec/canonical_error.hpp"

namespace korvalinth {

std::string_view category_name(CanonicalProtobufErrorCategory category) noexcept {
  switch (category) {
    case CanonicalProtobufErrorCategory::UnknownField: return "unknown_field";
    case CanonicalProtobufErrorCategory::DuplicateSingular: return "duplicate_singular";
    case CanonicalProtobufErrorCategory::NoncanonicalBytes: return "noncanonical_bytes";
    case CanonicalProtobufErrorCategory::InvalidOneof: return "invalid_oneof";
    case CanonicalProtobufErrorCategory::MissingRequired: return "missing_required";
    case CanonicalProtobufErrorCategory::InvalidWireEdge: return "invalid_wire_edge";
    case CanonicalProtobufErrorCategory::DefaultEmission: return "default_emission";
    case CanonicalProtobufErrorCategory::Malformed: return "malformed";
  }
  return "malformed";
}

std::string CanonicalProtobufError::display() const {
  std::string out(category_name(category));
  out += ": ";
  out += message;
  return out;
}

CanonicalProtobufIssue to_issue(const CanonicalProtobufError& error) { return {error.display(), error.category}; }

}  // namespace korvalinth
