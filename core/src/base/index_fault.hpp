#pragma once
// The fault of an index outside a column or list.

#include <cstdint>
#include <string>

#include "base/fault.hpp"

namespace korvalinth {

[[noreturn]] inline void index_fault(std::uint64_t len, std::uint64_t index) {
  fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
        std::to_string(index));
}

inline void check_index(std::uint64_t len, std::uint64_t index) {
  if (index >= len) index_fault(len, index);
}

}  // namespace korvalinth
