#pragma once
// Turns canonical bytes into identity texts. Content ids of level-1 node
// versioning use `content_id`; the other two operations exist for identities
// of nodes and edges and answer alike in the one implementation we ship.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace korvalinth {

class IdentityHasher {
 public:
  virtual ~IdentityHasher() = default;
  virtual std::string node_id(std::string_view bytes) const = 0;
  virtual std::string edge_id(std::string_view bytes) const = 0;
  virtual std::string content_id(std::string_view bytes) const = 0;
};

using SharedIdentityHasher = std::shared_ptr<const IdentityHasher>;

// FNV-1a 64 over the bytes.
std::uint64_t fnv1a64(std::string_view bytes) noexcept;
// "fnv1a64:" and the hash as 16 lowercase hex digits.
std::string fnv1a64_id(std::string_view bytes);

// Stateless; all three operations give fnv1a64_id.
class Fnv1a64Hasher final : public IdentityHasher {
 public:
  std::string node_id(std::string_view bytes) const override { return fnv1a64_id(bytes); }
  std::string edge_id(std::string_view bytes) const override { return fnv1a64_id(bytes); }
  std::string content_id(std::string_view bytes) const override { return fnv1a64_id(bytes); }
};

inline SharedIdentityHasher make_fnv1a64_hasher() { return std::make_shared<const Fnv1a64Hasher>(); }

}  // namespace korvalinth
