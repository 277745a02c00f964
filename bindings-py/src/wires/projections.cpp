#include "wires/projections.hpp"

#include "base/fault.hpp"
#include "host_boundary/host_boundary.hpp"
#include "kit/convert.hpp"
#include "kit/entry.hpp"
#include "wire/codec/utf8.hpp"

namespace korvalinth::py {

namespace {

kit::OwnedRef made_or_fault(PyObject* object) {
  if (object == nullptr) {
    PyErr_Clear();
    fault("Python API call failed");
  }
  return kit::OwnedRef::steal(object);
}

}  // namespace

void abort_with_pending_fatal(const PendingFatalSlot& slot, kit::OwnedRef exception) {
  record_pending_fatal(slot, std::move(exception));
  host_boundary_abort();
}

DictBuilder::DictBuilder() : dict_(made_or_fault(PyDict_New())) {}

DictBuilder& DictBuilder::set(const char* key, kit::OwnedRef value) {
  kit::check_status(PyDict_SetItemString(dict_.get(), key, value.get()));
  return *this;
}

kit::OwnedRef py_int(std::uint64_t value) { return made_or_fault(PyLong_FromUnsignedLongLong(value)); }

kit::OwnedRef py_optional_int(const std::optional<std::uint64_t>& value) {
  return value ? py_int(*value) : kit::py_none();
}

kit::OwnedRef py_bytes(ByteView bytes) {
  return made_or_fault(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
}

kit::OwnedRef py_text_lossy(std::string_view text) {
  ByteView bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (is_valid_utf8(bytes)) return kit::to_py_str(text);
  return kit::to_py_str(text_from_bytes_lossy(bytes));
}

}  // namespace korvalinth::py
