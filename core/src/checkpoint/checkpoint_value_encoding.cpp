#include "checkpoint/checkpoint_value_encoding.hpp"

#include <cmath>
#include <exception>
#include <mutex>
#include <unordered_map>

#include "base/fault.hpp"
#include "json/json_value.hpp"

namespace korvalinth {

namespace {

constexpr const char* kPoisoned = "checkpoint JSON encoder registry poisoned";

struct EncoderRegistry {
  std::mutex mutex;
  bool poisoned = false;
  std::unordered_map<const TypeTag*, CheckpointJsonEncoder> encoders;
};

// Created on first use and never torn down, so late users at exit stay safe.
EncoderRegistry& encoder_registry() {
  static EncoderRegistry* registry = new EncoderRegistry();
  return *registry;
}

// Holds the lock; poisons the registry if a fault unwinds while it is held.
class RegistryLock {
 public:
  explicit RegistryLock(EncoderRegistry& r) : registry_(r), lock_(r.mutex), exceptions_(std::uncaught_exceptions()) {}
  ~RegistryLock() {
    if (std::uncaught_exceptions() > exceptions_) registry_.poisoned = true;
  }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  EncoderRegistry& registry_;
  std::lock_guard<std::mutex> lock_;
  int exceptions_;
};

std::string not_strict(std::string_view path) {
  return "checkpoint: value at " + std::string(path) + " is not strict JSON compatible";
}

std::expected<GraphCheckpointValue, std::string> data_if_strict(Json json, std::string_view path) {
  if (auto r = checkpoint_error(json, path); !r) return std::unexpected(r.error());
  return GraphCheckpointValue::of_data(std::move(json));
}

std::expected<GraphCheckpointValue, std::string> encode_builtin(const Value& v, std::string_view path) {
  if (const Json* json = json_value_cast(v)) {
    // Checked before copying, so an over-deep tree is refused before any deep copy.
    if (auto r = checkpoint_error(*json, path); !r) return std::unexpected(r.error());
    return GraphCheckpointValue::of_data(*json);
  }
  if (const auto* s = value_cast<std::string>(v)) return GraphCheckpointValue::of_data(Json(*s));
  if (const auto* b = value_cast<bool>(v)) return GraphCheckpointValue::of_data(Json(*b));
  if (const auto* i = value_cast<std::int32_t>(v)) return GraphCheckpointValue::of_data(Json(std::int64_t{*i}));
  if (const auto* i = value_cast<std::int64_t>(v)) return GraphCheckpointValue::of_data(Json(*i));
  if (const auto* u = value_cast<std::uint32_t>(v)) return GraphCheckpointValue::of_data(Json(std::uint64_t{*u}));
  if (const auto* u = value_cast<std::uint64_t>(v)) return GraphCheckpointValue::of_data(Json(*u));
  if constexpr (!std::is_same_v<std::size_t, std::uint64_t>) {
    if (const auto* u = value_cast<std::size_t>(v))
      return GraphCheckpointValue::of_data(Json(static_cast<std::uint64_t>(*u)));
  }
  if (const auto* d = value_cast<double>(v)) {
    if (!std::isfinite(*d)) return std::unexpected(not_strict(path));
    return data_if_strict(Json(*d), path);
  }
  return std::unexpected(not_strict(path));
}

}  // namespace

void register_checkpoint_json_encoder(const TypeTag* type, CheckpointJsonEncoder encoder) {
  EncoderRegistry& registry = encoder_registry();
  CheckpointJsonEncoder replaced;
  {
    RegistryLock lock(registry);
    if (registry.poisoned) fault(kPoisoned);
    CheckpointJsonEncoder& slot = registry.encoders[type];
    replaced = std::exchange(slot, std::move(encoder));
  }
  // The replaced encoder is dropped outside the lock: its teardown may run foreign code.
  replaced.reset();
}

std::expected<void, std::string> checkpoint_error(const Json& value, std::string_view path) {
  if (auto r = strict_json_check(value, path, 0); !r) return std::unexpected("checkpoint: " + r.error().display());
  return {};
}

std::expected<GraphCheckpointValue, std::string> encode_checkpoint_value(const SharedValue& stored, bool has_data,
                                                                         std::string_view path) {
  if (!has_data) return GraphCheckpointValue::sentinel();
  if (!stored) return std::unexpected("checkpoint: value at " + std::string(path) + " is marked DATA but absent");

  CheckpointJsonEncoder encoder;
  {
    EncoderRegistry& registry = encoder_registry();
    RegistryLock lock(registry);
    if (registry.poisoned) return std::unexpected(std::string(kPoisoned));
    if (!registry.encoders.empty()) {
      auto it = registry.encoders.find(stored->type_tag());
      if (it != registry.encoders.end()) encoder = it->second;
    }
  }
  if (!encoder) return encode_builtin(*stored, path);
  auto json = (*encoder)(stored, path);
  encoder.reset();
  if (!json) return std::unexpected(std::move(json.error()));
  return data_if_strict(std::move(*json), path);
}

}  // namespace korvalinth
