#pragma once
// Failure texts of checkpoint writing and restore, as templates whose "{}"
// placeholders are filled in order by fill_text.

#include <initializer_list>
#include <string>
#include <string_view>

namespace korvalinth {

// Replaces each "{}" of tmpl, left to right, with the next argument.
std::string fill_text(std::string_view tmpl, std::initializer_list<std::string_view> args);

// Writer.
inline constexpr std::string_view kNonQuiescentStatus =
    "{}: node '{}' has non-quiescent status '{}' that cannot be checkpoint-restored yet";
inline constexpr std::string_view kUnregisteredDep =
    "checkpoint: node '{}' has an unregistered dep; local-only auto-discovery restore is not implemented";
inline constexpr std::string_view kBackendStateFailed = "checkpoint: backendState at {}: {}";
inline constexpr std::string_view kErrorPayloadUnavailable =
    "checkpoint: ERROR payload for node '{}' is unavailable; cannot serialize a placeholder";
inline constexpr std::string_view kDiscoveredReason =
    "node is an unregistered live dependency auto-discovered from topology";
inline constexpr std::string_view kNoRestoreMetadataReason = "node was not constructed with restore metadata";

// Validation.
inline constexpr std::string_view kUnsupportedVersion = "restore_graph: unsupported checkpoint version at {}";
inline constexpr std::string_view kDuplicateNodeId = "restore_graph: duplicate node id '{}'";
inline constexpr std::string_view kChildLocalId =
    "restore_graph: mounted checkpoint at '{}' must use child-local node id '{}', not '{}'";
inline constexpr std::string_view kLocalOnlyFactory = "restore_graph: node '{}' uses local-only factory '{}' ({})";
inline constexpr std::string_view kMissingDescriptor = "restore_graph: missing registry descriptor for '{}' (node '{}')";
inline constexpr std::string_view kInvalidStatus = "restore_graph: node '{}' has invalid status '{}'";
inline constexpr std::string_view kMissingDep = "restore_graph: node '{}' has missing dep '{}'";
inline constexpr std::string_view kDuplicateEdge = "restore_graph: duplicate edge '{}' -> '{}'";
inline constexpr std::string_view kEdgeMissingNode = "restore_graph: edge '{}' -> '{}' references a missing node";
inline constexpr std::string_view kEdgeNotInDeps = "restore_graph: edge '{}' -> '{}' is not present in target deps";
inline constexpr std::string_view kDepMissingEdge = "restore_graph: node '{}' dep '{}' is missing its edge";
inline constexpr std::string_view kEmptyMountPath = "restore_graph: mount path at {}.mounts[] must not be empty";
inline constexpr std::string_view kDuplicateMountPath = "restore_graph: duplicate mount path '{}'";

// Descriptors.
inline constexpr std::string_view kMetaFieldNotString = "restore_graph: node '{}' meta field '{}' must be a string";
inline constexpr std::string_view kStateDeps = "restore_graph: state node '{}' cannot restore deps";
inline constexpr std::string_view kStateConfig = "restore_graph: built-in state descriptor does not accept config";
inline constexpr std::string_view kStateConfigVersion =
    "restore_graph: built-in state descriptor does not accept configVersion";
inline constexpr std::string_view kMapOneDep = "restore_graph: map node '{}' requires exactly one dep";
inline constexpr std::string_view kMapObjectConfig = "restore_graph: 'map' descriptor requires object config";
inline constexpr std::string_view kMapConfigVersion = "restore_graph: built-in map descriptor does not accept configVersion";
inline constexpr std::string_view kMapFnRef = "restore_graph: 'map' config.fn must be a string definition ref";
inline constexpr std::string_view kMissingFunctionDefinition =
    "restore_graph: missing function definition for '{}' (node '{}')";

// Build.
inline constexpr std::string_view kDependencyCycle = "restore_graph: dependency cycle at '{}'";
inline constexpr std::string_view kMissingPreparedNode = "restore_graph: missing prepared node '{}'";
inline constexpr std::string_view kDescriptorDepsMismatch =
    "restore_graph: descriptor '{}' registered node '{}' with deps that do not match the checkpoint";
inline constexpr std::string_view kTerminalStatusNeedsTerminal =
    "restore_graph: node '{}' terminal status requires terminal state";
inline constexpr std::string_view kCompleteNeedsCompleted =
    "restore_graph: node '{}' COMPLETE terminal requires completed status";
inline constexpr std::string_view kErrorTerminalUnsupported =
    "restore_graph: node '{}' carries an ERROR terminal payload that restore cannot preserve yet";
inline constexpr std::string_view kVersionRequired =
    "restore_graph: checkpoint node version metadata is required by the selected node versioning policy (D109)";
inline constexpr std::string_view kVersionWithDisabledPolicy =
    "restore_graph: checkpoint node version metadata is present but node versioning is disabled";
inline constexpr std::string_view kLevel1NeedsPolicy =
    "restore_graph: checkpoint node version level 1 requires matching node versioning policy";
inline constexpr std::string_view kLevel0NeedsPolicy =
    "restore_graph: checkpoint node version level 0 requires matching node versioning policy";
inline constexpr std::string_view kCidWithoutData =
    "restore_graph: checkpoint node version cid cannot be verified without current DATA under V1 versioning (D109)";
inline constexpr std::string_view kCidMismatch =
    "restore_graph: checkpoint node version cid does not match the selected node versioning hash policy (D109)";
inline constexpr std::string_view kBuiltWithoutPrepared = "built map only contains prepared nodes";

}  // namespace korvalinth
