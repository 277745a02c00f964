#include "boundary/core_census.hpp"

namespace korvalinth::py {

std::optional<std::size_t> CoreCensus::settle() {
  // Counting a part may find the last share of another.
  while (!ready_.empty() && !spoiled_) {
    const void* part = ready_.back();
    ready_.pop_back();
    parts_.at(part).count(part, *this);
  }
  if (spoiled_) return std::nullopt;
  return refs_;
}

}  // namespace korvalinth::py
