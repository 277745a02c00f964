#pragma once
// Turning type-erased runtime values into strict JSON for checkpoints. Types
// the runtime does not know are taught to it through the process-wide
// encoder registry (the Python layer registers its value type at start-up).

#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/value.hpp"
#include "checkpoint/checkpoint_records.hpp"
#include "json/strict_json.hpp"

namespace korvalinth {

// Encodes one value of the type it was registered for (never null) at `path`;
// its error texts reach the checkpoint writer unchanged.
using CheckpointJsonEncoderFn = std::function<std::expected<Json, std::string>(const SharedValue& value,
                                                                                std::string_view path)>;
using CheckpointJsonEncoder = std::shared_ptr<const CheckpointJsonEncoderFn>;

// Registers `encoder` for values of `type`, replacing (and dropping) an encoder
// already registered for it. Faults with "checkpoint JSON encoder registry
// poisoned" when the registry's lock was poisoned.
void register_checkpoint_json_encoder(const TypeTag* type, CheckpointJsonEncoder encoder);

// "checkpoint: {}" around the strict check's text, or success.
std::expected<void, std::string> checkpoint_error(const Json& value, std::string_view path);

// Sentinel when `has_data` is false; else the value's strict JSON through a
// registered encoder or the built-in types. The registry's lock is never held
// while an encoder runs.
std::expected<GraphCheckpointValue, std::string> encode_checkpoint_value(const SharedValue& stored, bool has_data,
                                                                         std::string_view path);

}  // namespace korvalinth
