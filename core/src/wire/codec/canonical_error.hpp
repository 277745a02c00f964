#pragma once
// The verdicts of the canonical protobuf codecs: a category and a message.
// Every fault of a wire message is returned as one of these, never thrown.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace korvalinth {

enum class CanonicalProtobufErrorCategory : std::uint8_t {
  UnknownField,
  DuplicateSingular,
  NoncanonicalBytes,
  InvalidOneof,
  MissingRequired,
  InvalidWireEdge,
  DefaultEmission,
  Malformed,
};

// "unknown_field", "duplicate_singular", ... "malformed".
std::string_view category_name(CanonicalProtobufErrorCategory category) noexcept;

struct CanonicalProtobufError {
  std::string message;
  CanonicalProtobufErrorCategory category;

  // "{category name}: {message}".
  std::string display() const;
  bool operator==(const CanonicalProtobufError&) const = default;
};

// An error as the protobuf bridge reports it: `message` is the error's
// display text, so it names its category once.
struct CanonicalProtobufIssue {
  std::string message;
  CanonicalProtobufErrorCategory category;
  bool operator==(const CanonicalProtobufIssue&) const = default;
};

CanonicalProtobufIssue to_issue(const CanonicalProtobufError& error);

template <class T>
using CanonicalResult = std::expected<T, CanonicalProtobufError>;

inline std::unexpected<CanonicalProtobufError> refuse(CanonicalProtobufErrorCategory category, std::string message) {
  return std::unexpected(CanonicalProtobufError{std::move(message), category});
}

}  // namespace korvalinth
