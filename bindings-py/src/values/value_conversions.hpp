#pragma once
// Runtime values back to Python. Two concrete value types reach Python code:
// PyObjectValue (the object itself comes back) and the JSON value that
// restore puts into caches and ctx states (new objects are built from it).
// All of these need the GIL and return new references.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/value.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_fn.hpp"
#include "node/arena/node_handle.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

inline constexpr const char* kForeignCachedValue = "cached value is not owned by the Python binding foundation";
inline constexpr const char* kDepDataAbsent = "dependency DATA is absent at the Python callback boundary";

// A cached value or DATA payload as Python; any other type is the TypeError
// "cached value is not owned by the Python binding foundation".
kit::OwnedRef cached_value_to_py(const SharedValue& value);

// The node's ctx state as Python; none when there is none or it is of a
// foreign type. A JSON conversion error passes up.
std::optional<kit::OwnedRef> value_to_py(const UncountedNode& node);

// Each dep's newest DATA, in dep order, laid out as vectorcall arguments
// with the spare leading slot that lets the callee prepend without copying.
// The object a PyObjectValue holds is borrowed: the run's inputs keep that
// value for the whole run, so the arguments must not outlive `inputs`. An
// object made from a JSON value is owned until the arguments go. A dep
// without DATA, or with DATA of a foreign type, is the RuntimeError
// "dependency DATA is absent at the Python callback boundary"; what was made
// before is released. Room for the usual few deps without a heap allocation.
class DepArguments {
 public:
  // Inline, with the rare work out of line: one of these is built per run.
  explicit DepArguments(const DepInputs& inputs) : count_(inputs.size()) {
    PyObject** slots = count_ > kInlineArgs ? heap_.take(count_ + 1) : inline_;
    slots_ = slots;
    *slots = nullptr;
    // One walk over the outputs, the input beside it: a fan-in runs it per dep.
    const DepInput* input = inputs.data();
    PyObject** out = slots + 1;
    PyObject** const end = out + count_;
    // Python values four at a time, with one step of the walk per four; the
    // first group holding anything else, and the rest, go one by one. The
    // groups' ends are found once: a test per group is then a compare. A
    // wide run's value blocks lie apart in memory: while a group kAhead
    // inputs on exists, each group first asks for that group's blocks.
    PyObject** const groups_end = out + (count_ & ~std::size_t{3});
    PyObject** const asking_end = count_ >= kAhead + 4 ? out + ((count_ - kAhead) & ~std::size_t{3}) : out;
    if (take_groups<true>(out, input, asking_end)) take_groups<false>(out, input, groups_end);
    for (; out != end; ++out, ++input) {
      const PyObjectValue* held = py_object_value_cast(input->current);
      *out = held ? held->object().get() : made_from(input->current);
    }
  }
  DepArguments(const DepArguments&) = delete;
  DepArguments& operator=(const DepArguments&) = delete;

  PyObject* const* argv() const noexcept { return slots_ + 1; }
  std::size_t nargsf() const noexcept { return count_ | PY_VECTORCALL_ARGUMENTS_OFFSET; }

 private:
  static constexpr std::size_t kInlineArgs = 4;
  static constexpr std::size_t kAhead = 32;

  // The objects of the groups of four inputs from input on, until out
  // reaches groups_end (true) or a group holds anything but Python values
  // (false); out and input are left at that group. Ask: each group first
  // asks for the value blocks of the group kAhead inputs on.
  template <bool Ask>
  [[gnu::always_inline]] static bool take_groups(PyObject**& out, const DepInput*& input,
                                                 PyObject** const groups_end) noexcept {
    for (; out != groups_end; out += 4, input += 4) {
      // Written here: a helper holding only these was dropped as doing nothing.
      if constexpr (Ask) {
        __builtin_prefetch(input[kAhead].current.get());
        __builtin_prefetch(input[kAhead + 1].current.get());
        __builtin_prefetch(input[kAhead + 2].current.get());
        __builtin_prefetch(input[kAhead + 3].current.get());
      }
      if (!is_py_object_value_seen_at_once(input[0].current) || !is_py_object_value_seen_at_once(input[1].current) ||
          !is_py_object_value_seen_at_once(input[2].current) || !is_py_object_value_seen_at_once(input[3].current))
        return false;
      out[0] = object_of(input[0]);
      out[1] = object_of(input[1]);
      out[2] = object_of(input[2]);
      out[3] = object_of(input[3]);
    }
    return true;
  }

  // The object of an input whose value was seen at once as a Python value.
  static PyObject* object_of(const DepInput& input) noexcept {
    return static_cast<const PyObjectValue&>(*input.current).object().get();
  }

  // The slots of a run with more deps than fit inline: the thread's spare
  // slots when they are enough, given back when the arguments go (the bigger
  // of the two kept), so that a fan-in's runs allocate only once.
  class HeapSlots {
   public:
    HeapSlots() = default;
    HeapSlots(const HeapSlots&) = delete;
    HeapSlots& operator=(const HeapSlots&) = delete;
    ~HeapSlots() {
      if (slots_) give_back();
    }
    PyObject** take(std::size_t count);

   private:
    void give_back() noexcept;

    std::unique_ptr<PyObject*[]> slots_;
    std::size_t size_ = 0;
  };

  // The object made from a JSON value, owned here; any other value (or
  // none) is the RuntimeError.
  PyObject* made_from(const SharedValue& data);

  PyObject* inline_[kInlineArgs + 1];
  PyObject** slots_ = inline_;
  std::size_t count_ = 0;
  HeapSlots heap_;
  // Made on the first JSON value: a run of Python values pays one word.
  std::unique_ptr<std::vector<kit::OwnedRef>> made_;
};

// The bytes of a bytes (or subclass) or bytearray (or subclass); nothing for
// anything else. Never sets an exception.
std::optional<std::vector<std::uint8_t>> extract_bytes_like(kit::BorrowedRef object);

}  // namespace korvalinth::py
