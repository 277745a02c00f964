#pragma once
// The node functions of the protobuf adapter, between Python code that moves
// canonical envelope bytes and a wire bridge that works on envelope records:
//   decoded_inbound  inbound Python values -> BridgeInbound (an envelope, or
//                    why the value was not one), which the bridge's inbound
//                    node takes as inbound traffic
//   events           both directions classified: per inbound value and per
//                    outbound envelope, its issues, then one status
//   outbound_bytes   the bridge's outbound envelopes -> Python bytes
//   status, issues   the events as Python dicts
// Codec verdicts are values here, never exceptions. The decoding, encoding
// and checks are the core's (wire/bridge/link_readings.hpp): these functions
// hand it bytes and take records or bytes back, each value read once for the
// nodes that share its readings.

#include <memory>
#include <string>
#include <variant>

#include "boundary/pending_fatal.hpp"
#include "node/arena/node_fn.hpp"
#include "wire/bridge/link_readings.hpp"

namespace korvalinth::py {

// One inbound value or outbound envelope judged valid or invalid.
struct ProtobufStatusEvent {
  const char* direction;  // "inbound" or "outbound"
  const char* state;      // "valid" or "invalid"
};

// One codec error (or a value that is not bytes) on its way through.
struct ProtobufIssueEvent {
  const char* direction;
  std::string category;
  std::string message;  // names its category once: "{category}: {text}"
};

using ProtobufAdapterEvent = std::variant<ProtobufStatusEvent, ProtobufIssueEvent>;

using SharedLinkReadings = std::shared_ptr<LinkReadings>;

SharedNodeFn make_protobuf_decoded_inbound_fn(SharedLinkReadings readings);
SharedNodeFn make_protobuf_events_fn(SharedLinkReadings readings);
SharedNodeFn make_protobuf_outbound_bytes_fn(SharedLinkReadings readings);
SharedNodeFn make_protobuf_status_fn(SharedFatalSlot fatal);
SharedNodeFn make_protobuf_issues_fn(SharedFatalSlot fatal);

}  // namespace korvalinth::py
