#include "node/arena/node_version.hpp"

#include <cmath>
#include <limits>

#include "base/fault.hpp"
#include "json/json_value.hpp"
#include "json/strict_json.hpp"

namespace korvalinth {

namespace {

constexpr std::uint64_t kLastAdvanceableCounter = kMaxVersionCounter - 1;

// The fault text of a DATA value without a strict canonical JSON form.
std::string not_canonical_data(const JsonCodecError& e) {
  return "node versioning: DATA is not strict canonical JSON compatible (D112): " + e.display();
}

const IdentityHasher& hasher_of(const NodeVersioning& v) {
  static const Fnv1a64Hasher fallback;
  return v.hasher ? *v.hasher : fallback;
}

template <class T>
bool is_type(const Value& v) noexcept {
  return v.type_tag() == type_tag_of<T>();
}

// Points at the JSON form of a DATA value: the held tree itself, or `scratch`
// filled with the conversion of a scalar.
std::expected<const Json*, std::string> view_data_json(const Value& v, Json& scratch) {
  if (const Json* j = json_value_cast(v)) return j;
  if (const auto* s = value_cast<std::string>(v)) {
    scratch = *s;
  } else if (const auto* b = value_cast<bool>(v)) {
    scratch = *b;
  } else if (const auto* i32 = value_cast<std::int32_t>(v)) {
    scratch = static_cast<std::int64_t>(*i32);
  } else if (const auto* i64 = value_cast<std::int64_t>(v)) {
    scratch = *i64;
  } else if (const auto* u32 = value_cast<std::uint32_t>(v)) {
    scratch = static_cast<std::uint64_t>(*u32);
  } else if (const auto* u64 = value_cast<std::uint64_t>(v)) {
    scratch = *u64;
  } else if (const std::size_t* usize = [&]() -> const std::size_t* {
               // size_t is its own type only where it differs from uint64_t.
               if constexpr (std::is_same_v<std::size_t, std::uint64_t>) return nullptr;
               else return value_cast<std::size_t>(v);
             }()) {
    scratch = static_cast<std::uint64_t>(*usize);
  } else if (const auto* d = value_cast<double>(v); d && std::isfinite(*d)) {
    scratch = *d;
  } else {
    return std::unexpected(std::string("node versioning: DATA at $ is not strict JSON compatible"));
  }
  return &scratch;
}

}  // namespace

const Json& absent_value_marker() {
  static const Json marker = Json::object({{"@korvalinth/node-version", "v1-absent"}});
  return marker;
}

std::expected<Json, std::string> data_to_json_value(const Value& value) {
  Json scratch;
  auto view = view_data_json(value, scratch);
  if (!view) return std::unexpected(view.error());
  // Checked before the copy, so an over-deep tree is never walked recursively.
  if (auto r = strict_json_check(**view, "$", 0); !r) return std::unexpected(not_canonical_data(r.error()));
  if (*view == &scratch) return scratch;
  return **view;
}

std::expected<std::string, std::string> data_canonical_text(const Value& value) {
  Json scratch;
  auto view = view_data_json(value, scratch);
  if (!view) return std::unexpected(view.error());
  if (auto r = strict_json_check(**view, "$", 0); !r) return std::unexpected(not_canonical_data(r.error()));
  auto text = strict_json_encode(**view);
  if (!text) return std::unexpected(not_canonical_data(text.error()));
  return std::move(*text);
}

std::expected<std::string, std::string> data_content_id(const IdentityHasher& hasher, const Value* value) {
  Json scratch;
  const Json* json = &absent_value_marker();
  if (value) {
    auto view = view_data_json(*value, scratch);
    if (!view) return std::unexpected(view.error());
    json = *view;
  }
  if (auto r = strict_json_check(*json, "$", 0); !r) return std::unexpected(not_canonical_data(r.error()));
  auto text = strict_json_encode(*json);
  if (!text) return std::unexpected(not_canonical_data(text.error()));
  return hasher.content_id(*text);
}

std::expected<std::optional<NodeVersion>, std::string> initial_node_version(const NodeVersioning& versioning,
                                                                           const Value* initial) {
  switch (versioning.mode) {
    case NodeVersioning::Mode::Disabled:
      return std::optional<NodeVersion>();
    case NodeVersioning::Mode::Level0:
      return std::optional<NodeVersion>(NodeVersion::level0(0));
    case NodeVersioning::Mode::Level1:
      break;
  }
  auto cid = data_content_id(hasher_of(versioning), initial);
  if (!cid) return std::unexpected(cid.error());
  return std::optional<NodeVersion>(NodeVersion::level1(std::move(*cid), std::nullopt, 0));
}

NodeVersionEntry new_node_version_entry(NodeVersioning versioning, const Value* initial) {
  if (versioning.mode == NodeVersioning::Mode::Level1 && !versioning.hasher) versioning.hasher = make_fnv1a64_hasher();
  auto first = initial_node_version(versioning, initial);
  if (!first) fault("node versioning: " + first.error());
  return NodeVersionEntry{std::move(versioning), std::move(*first)};
}

std::unique_ptr<NodeVersionSlot::ContentIdPart> NodeVersionSlot::content_part_for(SharedIdentityHasher hasher) {
  if (!hasher) return nullptr;
  return std::make_unique<ContentIdPart>(ContentIdPart{std::move(hasher), {}, std::nullopt});
}

NodeVersionSlot::NodeVersionSlot(NodeVersionEntry entry) {
  part_.set_mode(entry.versioning.mode);
  part_.reset(content_part_for(std::move(entry.versioning.hasher)));
  set(std::move(entry.current));
}

NodeVersionSlot NodeVersionSlot::without_content_ids(NodeVersioning versioning) {
  NodeVersionSlot slot;
  // No content id to take: the first version (none when disabled, else
  // counter 0 at level 0) is written straight, with no version record built.
  slot.part_.set_state(versioning.mode == NodeVersioning::Mode::Disabled ? State::NoVersion : State::Level0);
  slot.counter_ = 0;
  slot.part_.set_mode(versioning.mode);
  // Most policies carry no hasher: no call just to make no part.
  if (versioning.hasher) slot.part_.reset(content_part_for(std::move(versioning.hasher)));
  return slot;
}

NodeVersionSlot new_node_version_slot(NodeVersioning versioning, const Value* initial) {
  // Most nodes count versions only: nothing to hash, no texts to build.
  if (versioning.mode != NodeVersioning::Mode::Level1) return NodeVersionSlot::without_content_ids(std::move(versioning));
  return NodeVersionSlot(new_node_version_entry(std::move(versioning), initial));
}

void NodeVersionSlot::drop_texts() noexcept {
  ContentIdPart* content = part_.get();
  if (!content) return;
  if (!content->hasher) {
    part_.reset();
    return;
  }
  std::string gone = std::move(content->cid);
  content->prev.reset();
}

void NodeVersionSlot::set(std::optional<NodeVersion> v) {
  if (!v) {
    part_.set_state(State::NoVersion);
    counter_ = 0;
    drop_texts();
    return;
  }
  counter_ = v->counter;
  if (v->level == NodeVersion::Level::Level0) {
    part_.set_state(State::Level0);
    drop_texts();
    return;
  }
  part_.set_state(State::Level1);
  if (!part_.get()) part_.reset(std::make_unique<ContentIdPart>());
  ContentIdPart& content = *part_.get();
  content.cid = std::move(v->cid);
  content.prev = std::move(v->prev);
}

std::optional<NodeVersion> NodeVersionSlot::current() const {
  switch (part_.state()) {
    case State::Level0:
      return NodeVersion::level0(counter_);
    case State::Level1:
      return NodeVersion::level1(part_.get()->cid, part_.get()->prev, counter_);
    default:
      return std::nullopt;
  }
}

std::optional<NodeVersion> NodeVersionSlot::exchange_current(std::optional<NodeVersion> v) {
  std::optional<NodeVersion> old = current();
  set(std::move(v));
  return old;
}

void NodeVersionSlot::advance_any_without_content_ids() {
  if (part_.mode() == NodeVersioning::Mode::Disabled) return;
  std::uint64_t c = 0;
  if (part_.state() == State::Level0 || part_.state() == State::Level1) {
    c = counter_;
    if (c == std::numeric_limits<std::uint64_t>::max()) fault(counter_overflow_error());
    if (c > kLastAdvanceableCounter)
      fault("node versioning: counter exceeded the strict JSON safe-integer range (D109)");
  }
  // Level 0 of the new counter (level-1 texts of a restored version go).
  counter_ = c + 1;
  part_.set_state(State::Level0);
  drop_texts();
}

std::string counter_overflow_error() {
  return "node versioning: counter overflow while advancing node runtime version (D109)";
}

namespace {

// The advance of every policy; for level 1, content_id gives the new cid.
template <class ContentId>
std::expected<std::optional<NodeVersion>, std::string> advance_with(const NodeVersioning& versioning,
                                                                    const std::optional<NodeVersion>& current,
                                                                    ContentId&& content_id) {
  if (versioning.mode == NodeVersioning::Mode::Disabled) return current;
  std::uint64_t c = 0;
  if (current) {
    c = current->counter;
    if (c == std::numeric_limits<std::uint64_t>::max()) return std::unexpected(counter_overflow_error());
    if (c > kLastAdvanceableCounter)
      return std::unexpected(
          std::string("node versioning: counter exceeded the strict JSON safe-integer range (D109)"));
  }
  if (versioning.mode == NodeVersioning::Mode::Level0) return std::optional<NodeVersion>(NodeVersion::level0(c + 1));
  std::optional<std::string> prev;
  if (current && current->level == NodeVersion::Level::Level1) prev = current->cid;
  std::expected<std::string, std::string> cid = content_id();
  if (!cid) return std::unexpected(cid.error());
  return std::optional<NodeVersion>(NodeVersion::level1(std::move(*cid), std::move(prev), c + 1));
}

}  // namespace

std::expected<std::optional<NodeVersion>, std::string> advance_node_version(const NodeVersioning& versioning,
                                                                           const std::optional<NodeVersion>& current,
                                                                           const Value* value) {
  return advance_with(versioning, current, [&] { return data_content_id(hasher_of(versioning), value); });
}

std::expected<std::optional<NodeVersion>, std::string> advance_node_version_with_text(
    const NodeVersioning& versioning, const std::optional<NodeVersion>& current, const std::string& canonical_text) {
  return advance_with(versioning, current, [&]() -> std::expected<std::string, std::string> {
    return hasher_of(versioning).content_id(canonical_text);
  });
}

}  // namespace korvalinth
