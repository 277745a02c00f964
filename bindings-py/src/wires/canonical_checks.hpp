#pragma once
// The module functions that check bytes against the canonical protobuf forms
// of the wire edge frame and the bridge envelope. Every codec verdict comes
// back as a result object; only a wrong argument raises (TypeError: the
// argument must be bytes or a bytes subclass).

#include "kit/args.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

kit::OwnedRef validate_canonical_wire_bridge_envelope_function(const kit::Args& args);
kit::OwnedRef validate_canonical_wire_edge_frame_function(const kit::Args& args);
kit::OwnedRef roundtrip_canonical_wire_bridge_envelope_function(const kit::Args& args);
kit::OwnedRef roundtrip_canonical_wire_edge_frame_function(const kit::Args& args);

}  // namespace korvalinth::py
