#pragma once
// What a protobuf link makes of the values that pass through it, each made
// once. Two of the link's nodes read every inbound value (the one that feeds
// the bridge and the one that reports on it) and two read every outbound
// envelope (the one that hands out its bytes and the one that reports on
// it): they share one reading per value, so each inbound value is decoded
// once and each outbound envelope encoded once.

#include <memory>
#include <optional>
#include <vector>

#include "base/value.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/codec/envelope_checked.hpp"

namespace korvalinth {

inline constexpr const char* kInboundRequiresBytes = "wire_bridge_protobuf inbound_bytes requires bytes";

// One inbound value: the BridgeInbound the bridge takes (the envelope, or why
// the value is none) and the codec's issues (none when it decoded).
struct InboundReading {
  SharedValue inbound;
  std::vector<CanonicalProtobufIssue> issues;
};

// The bytes of the value, or none when it held no bytes.
InboundReading read_inbound(std::optional<ByteView> bytes);

// Readings by value identity, each kept while its value lives (until newer
// ones push it out): a reader run again over a value it has read (connected
// again and handed its dep's value anew) gets the reading it got the first
// time, so the node that feeds the bridge hands on the value it handed on
// then, which the bridge knows. A value that has gone never matches, so a
// reused address is no hit.
template <class Reading>
class ReadingsByValue {
 public:
  template <class Read>
  std::shared_ptr<const Reading> of(const SharedValue& value, Read&& read) {
    std::erase_if(entries_, [](const Entry& e) { return e.value.expired(); });
    for (const Entry& entry : entries_)
      if (entry.identity == value.get()) return entry.reading;
    auto reading = std::make_shared<const Reading>(read());
    if (entries_.size() == kKept) entries_.erase(entries_.begin());
    entries_.push_back(Entry{value, value.get(), reading});
    return reading;
  }

 private:
  // Past its wave a value lives on only as a node's cached value: a few suffice.
  static constexpr std::size_t kKept = 16;
  struct Entry {
    WeakValue value;
    const Value* identity;
    std::shared_ptr<const Reading> reading;
  };
  std::vector<Entry> entries_;
};

struct LinkReadings {
  ReadingsByValue<InboundReading> inbound;
  ReadingsByValue<EnvelopeEncodeChecked> outbound;
};

}  // namespace korvalinth
