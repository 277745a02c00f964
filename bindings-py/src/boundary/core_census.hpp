#pragma once
// The references to a core that native parts held by Python objects keep,
// counted when the collector visits the core's anchor (what those parts hold
// changes as they are attached and released, so nothing is told in advance).
// A part that several holders share (a graph's container, a wire bridge, a
// topology group) counts its own references only once every share of it is
// found among the holders and the parts counted so far. A part that cannot
// be read (borrowed for a change) spoils the count: the anchor then visits
// nothing.

#include <cstddef>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

class CoreCensus {
 public:
  explicit CoreCensus(const GraphCore& core) noexcept : core_(&core) {}
  CoreCensus(const CoreCensus&) = delete;
  CoreCensus& operator=(const CoreCensus&) = delete;

  const GraphCore& core() const noexcept { return *core_; }
  // A handle that a holder, or a part counted, owns outright: a reference to
  // the core when the handle names one of its nodes.
  void handle(const UncountedNode& node) noexcept { refs_ += node.core().get() == core_; }
  // n references to the core, owned outright.
  void core_refs(std::size_t n) noexcept { refs_ += n; }
  void spoil() noexcept { spoiled_ = true; }

  // n shares of a part; once every share of it is found, count_refs(part,
  // census) (found by argument-dependent lookup) counts what the part holds.
  template <class T>
  void share(const std::shared_ptr<T>& part, std::size_t n = 1) {
    if (!part) return;
    Part& p = parts_[part.get()];
    if (p.found == 0) {
      p.shares = static_cast<std::size_t>(part.use_count());
      p.count = +[](const void* counted, CoreCensus& census) { count_refs(*static_cast<const T*>(counted), census); };
    }
    p.found += n;
    if (p.found == p.shares) ready_.push_back(part.get());
  }

  // The references counted, after every part found whole was counted; none
  // once spoiled.
  std::optional<std::size_t> settle();

 private:
  struct Part {
    std::size_t found = 0;
    std::size_t shares = 0;
    void (*count)(const void*, CoreCensus&) = nullptr;
  };

  const GraphCore* core_;
  std::size_t refs_ = 0;
  bool spoiled_ = false;
  std::unordered_map<const void*, Part> parts_;
  std::vector<const void*> ready_;
};

}  // namespace korvalinth::py
