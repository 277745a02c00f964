#pragma once
// The memory of dropped instances of one collected class, kept (a few, no
// more) for the next instance of that class: a class made and dropped once
// per node built then skips the collector's allocation and its free. Used
// only with the GIL held. A kept block is untracked and holds no record, and
// no type reference once its dealloc ends; PyObject_Init makes it an object
// again (its new reference, its type reference and the tracing allocator's
// record of it).

#include <array>
#include <cstddef>

#include "kit/python.hpp"

namespace korvalinth::kit {

template <std::size_t Capacity>
class InstanceStock {
 public:
  // A kept block made an instance of `type` again, or null when none is kept.
  PyObject* take(PyTypeObject* type) noexcept {
    if (count_ == 0) return nullptr;
    return PyObject_Init(blocks_[--count_], type);
  }
  // Keeps the block of an instance whose record is gone; the caller drops
  // the instance's type reference right after, kept or not. False when the
  // stock is full (the caller frees the block).
  bool keep(PyObject* block) noexcept {
    if (count_ == Capacity) return false;
    blocks_[count_++] = block;
    return true;
  }

 private:
  std::array<PyObject*, Capacity> blocks_{};
  std::size_t count_ = 0;
};

}  // namespace korvalinth::kit
