#pragma once
// Node versioning: the policy a node is built with, the version it carries,
// and the pure operations the runtime applies to them. The GraphCore version
// column stores one NodeVersionSlot per slot; construction fills it with
// new_node_version_slot, `down` calls advance_node_version once per DATA.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json_fwd.hpp>

#include "base/relocatable.hpp"
#include "base/value.hpp"
#include "identity/identity_hasher.hpp"

namespace korvalinth {

// Counters stay within 2^53 - 1 so they remain safe JSON integers.
inline constexpr std::uint64_t kMaxVersionCounter = 9007199254740991ULL;

// The policy: tag 0 disabled, 1 counter only, 2 counter plus content ids.
struct NodeVersioning {
  enum class Mode : std::uint8_t { Disabled = 0, Level0 = 1, Level1 = 2 };
  Mode mode = Mode::Disabled;
  // Level1 only. Shared, never copied; null until construction supplies an
  // Fnv1a64Hasher for a level-1 policy given without one.
  SharedIdentityHasher hasher;

  static NodeVersioning disabled() { return {}; }
  static NodeVersioning level0() { return {Mode::Level0, nullptr}; }
  static NodeVersioning level1(SharedIdentityHasher hasher = nullptr) { return {Mode::Level1, std::move(hasher)}; }
};

// The current version of a node.
struct NodeVersion {
  enum class Level : std::uint8_t { Level0 = 0, Level1 = 1 };
  Level level = Level::Level0;
  std::uint64_t counter = 0;
  std::string cid;                  // Level1: "fnv1a64:" + 16 hex digits
  std::optional<std::string> prev;  // Level1: the cid before the last advance

  static NodeVersion level0(std::uint64_t counter) { return {Level::Level0, counter, {}, std::nullopt}; }
  static NodeVersion level1(std::string cid, std::optional<std::string> prev, std::uint64_t counter) {
    return {Level::Level1, counter, std::move(cid), std::move(prev)};
  }
  bool operator==(const NodeVersion&) const = default;
};

// One entry of the version column of a live node.
struct NodeVersionEntry {
  NodeVersioning versioning;
  std::optional<NodeVersion> current;  // none: no version (disabled policy)
};

// What one version slot keeps in a word: its state, its policy's mode, and
// the heap part only content ids use. Outside the slot so that the word can
// be declared relocatable before the slot's own check lists it.
namespace version_slot {

enum class State : std::uint8_t { Empty, NoVersion, Level0, Level1 };

// What only content ids use: the policy's hasher and the level-1 texts.
// Aligned so that its address leaves the slot's state and mode room.
struct alignas(16) ContentIdPart {
  SharedIdentityHasher hasher;
  std::string cid;
  std::optional<std::string> prev;
};

// The content-id part the slot owns (or none), with the slot's state and
// mode in the address's free low bits: one word instead of a pointer and
// two padded bytes. A move leaves the state and mode behind, as a move of
// separate fields did.
class PartWord {
 public:
  PartWord() noexcept = default;
  PartWord(PartWord&& o) noexcept : bits_(o.bits_) { o.bits_ &= kTagBits; }
  // Swaps with a moved-in word, which lets the old part go: a self-move keeps the part.
  PartWord& operator=(PartWord o) noexcept {
    std::swap(bits_, o.bits_);
    return *this;
  }
  ~PartWord() { delete get(); }

  static constexpr std::uintptr_t tags_of(State state, NodeVersioning::Mode mode) noexcept {
    return (static_cast<std::uintptr_t>(state) << 2) | static_cast<std::uintptr_t>(mode);
  }
  std::uintptr_t tags() const noexcept { return bits_ & kTagBits; }
  State state() const noexcept { return static_cast<State>((bits_ >> 2) & 3); }
  NodeVersioning::Mode mode() const noexcept { return static_cast<NodeVersioning::Mode>(bits_ & 3); }
  void set_state(State state) noexcept { bits_ = (bits_ & ~kStateBits) | (static_cast<std::uintptr_t>(state) << 2); }
  void set_mode(NodeVersioning::Mode mode) noexcept { bits_ = (bits_ & ~kModeBits) | static_cast<std::uintptr_t>(mode); }
  ContentIdPart* get() const noexcept { return reinterpret_cast<ContentIdPart*>(bits_ & ~kTagBits); }
  // Takes p (or none) in place of the part held, which goes.
  void reset(std::unique_ptr<ContentIdPart> p = nullptr) noexcept {
    ContentIdPart* old = get();
    bits_ = tags() | reinterpret_cast<std::uintptr_t>(p.release());
    delete old;
  }

 private:
  static constexpr std::uintptr_t kModeBits = 3;
  static constexpr std::uintptr_t kStateBits = 3 << 2;
  static constexpr std::uintptr_t kTagBits = kModeBits | kStateBits;
  static_assert(alignof(ContentIdPart) > kTagBits);
  static_assert(static_cast<std::uintptr_t>(NodeVersioning::Mode::Level1) <= kModeBits &&
                static_cast<std::uintptr_t>(State::Level1) <= (kStateBits >> 2));
  std::uintptr_t bits_ = 0;  // Empty, Disabled, no part
};

}  // namespace version_slot

// The word owns its part through the address alone.
template <>
inline constexpr bool relocatable_as_bytes<version_slot::PartWord> =
    made_of_relocatable_parts<version_slot::PartWord, std::uintptr_t>;

// The version column's element: a live node's policy and current version,
// empty for a released or never-filled slot. Compact: the hasher and the
// level-1 texts live on the heap, so a node without content ids pays for its
// mode and counter only.
class NodeVersionSlot {
  using State = version_slot::State;
  using ContentIdPart = version_slot::ContentIdPart;
  using PartWord = version_slot::PartWord;

 public:
  NodeVersionSlot() noexcept = default;
  explicit NodeVersionSlot(NodeVersionEntry entry);
  // The slot of a new node whose policy has no content ids (disabled or level
  // 0): its first version made in place, as the entry road would make it.
  static NodeVersionSlot without_content_ids(NodeVersioning versioning);

  bool present() const noexcept { return part_.state() != State::Empty; }
  // The policy's mode, read without sharing its hasher.
  NodeVersioning::Mode mode() const noexcept { return part_.mode(); }
  // The policy, sharing its hasher.
  NodeVersioning versioning() const {
    const ContentIdPart* content = part_.get();
    return NodeVersioning{part_.mode(), content ? content->hasher : nullptr};
  }
  std::optional<NodeVersion> current() const;
  // Puts v in place and hands back the version it replaces.
  std::optional<NodeVersion> exchange_current(std::optional<NodeVersion> v);
  // The version after one DATA under a policy without content ids (disabled
  // or level 0), made in place; faults before anything changes.
  void advance_without_content_ids() {
    if (advances_in_place()) return advance_in_place();
    advance_any_without_content_ids();
  }
  // Whether the next DATA's advance is the step every emit takes: a level-0
  // counter inside its range, or no version at all (its counter is never
  // read). Tested where a road is chosen, so the advance tests nothing.
  bool advances_in_place() const noexcept {
    const std::uintptr_t tags = part_.tags();
    return (tags == PartWord::tags_of(State::Level0, NodeVersioning::Mode::Level0) &&
            counter_ < kMaxVersionCounter - 1) ||
           tags == PartWord::tags_of(State::NoVersion, NodeVersioning::Mode::Disabled);
  }
  // That advance, for a slot found to advance in place.
  void advance_in_place() noexcept { counter_ += 1; }

  // The version column relocates slots as bytes: the content-id part is on the heap.
  static constexpr bool relocatable() noexcept {
    return made_of_relocatable_parts<NodeVersionSlot, std::uint64_t, PartWord>;
  }

 private:
  // The part a slot keeps for a hasher (none without one).
  static std::unique_ptr<ContentIdPart> content_part_for(SharedIdentityHasher hasher);
  void set(std::optional<NodeVersion> v);
  void advance_any_without_content_ids();
  // The level-1 texts go; the part too unless it keeps a hasher.
  void drop_texts() noexcept;

  std::uint64_t counter_ = 0;
  PartWord part_;  // a hasher or level-1 texts only, beside the state and mode
};
template <>
inline constexpr bool relocatable_as_bytes<NodeVersionSlot> = NodeVersionSlot::relocatable();
static_assert(relocatable_as_bytes<NodeVersionSlot>);

// "fnv1a64:..." of the value's strict canonical JSON; a null `value` stands
// for a node without a value (the absent-value marker is hashed instead).
std::expected<std::string, std::string> data_content_id(const IdentityHasher& hasher, const Value* value);

// The strict JSON form of a DATA value of one of the supported types.
std::expected<nlohmann::json, std::string> data_to_json_value(const Value& value);

// The strict canonical text of a DATA value, checked as data_to_json_value
// checks it (with its failure texts) but without copying the tree; an
// encoding failure gives "node versioning: DATA is not strict canonical JSON
// compatible (D112): {}".
std::expected<std::string, std::string> data_canonical_text(const Value& value);

// {"@korvalinth/node-version":"v1-absent"}
const nlohmann::json& absent_value_marker();

// First version at construction: none / level 0 counter 0 / level 1 counter 0
// with the cid of `initial` (null: the absent-value marker). Failure texts are
// the bare content-id texts; the caller faults with "node versioning: {}".
std::expected<std::optional<NodeVersion>, std::string> initial_node_version(const NodeVersioning& versioning,
                                                                           const Value* initial);

// The entry for a newly constructed node: resolves a level-1 policy without a
// hasher to a new Fnv1a64Hasher and computes the first version. Faults with
// "node versioning: {}" when the initial value has no content id.
NodeVersionEntry new_node_version_entry(NodeVersioning versioning, const Value* initial);
// The version slot of a newly constructed node, as new_node_version_entry
// makes it (same faults); counter-only policies skip the entry.
NodeVersionSlot new_node_version_slot(NodeVersioning versioning, const Value* initial);

// The version after one delivered DATA (null `value`: a DATA without a value,
// hashed as absent). Failure texts are returned; `down` faults with them
// before the DATA changes the node.
std::expected<std::optional<NodeVersion>, std::string> advance_node_version(const NodeVersioning& versioning,
                                                                           const std::optional<NodeVersion>& current,
                                                                           const Value* value);

// As advance_node_version for a value whose canonical text is known.
std::expected<std::optional<NodeVersion>, std::string> advance_node_version_with_text(
    const NodeVersioning& versioning, const std::optional<NodeVersion>& current, const std::string& canonical_text);

// "node versioning: counter overflow while advancing node runtime version (D109)"
std::string counter_overflow_error();

}  // namespace korvalinth
