#include "wires/canonical_results.hpp"

#include "kit/class_table.hpp"
#include "kit/convert.hpp"

namespace korvalinth::py {

namespace {

kit::OwnedRef optional_str(const std::optional<std::string>& text) {
  return text ? kit::to_py_str(*text) : kit::py_none();
}

kit::OwnedRef py_bool(bool value) { return kit::OwnedRef::new_ref(value ? Py_True : Py_False); }

kit::OwnedRef validation_ok(PyCanonicalProtobufValidation& self) { return py_bool(self.ok); }
kit::OwnedRef validation_category(PyCanonicalProtobufValidation& self) { return optional_str(self.category); }
kit::OwnedRef validation_message(PyCanonicalProtobufValidation& self) { return optional_str(self.message); }

kit::OwnedRef roundtrip_ok(PyCanonicalProtobufRoundtrip& self) { return py_bool(self.ok); }
kit::OwnedRef roundtrip_bytes(PyCanonicalProtobufRoundtrip& self) {
  if (!self.bytes) return kit::py_none();
  return kit::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(self.bytes->data()),
                                              static_cast<Py_ssize_t>(self.bytes->size())));
}
kit::OwnedRef roundtrip_category(PyCanonicalProtobufRoundtrip& self) { return optional_str(self.category); }
kit::OwnedRef roundtrip_message(PyCanonicalProtobufRoundtrip& self) { return optional_str(self.message); }

struct ValidationClass {
  using Record = PyCanonicalProtobufValidation;
  static constexpr const char* name = "CanonicalProtobufValidation";
  static constexpr const char* internal_name = "_native::PyCanonicalProtobufValidation";
  static constexpr kit::Getter<Record> getters[] = {
      {"ok", validation_ok},
      {"category", validation_category},
      {"message", validation_message},
  };
};

struct RoundtripClass {
  using Record = PyCanonicalProtobufRoundtrip;
  static constexpr const char* name = "CanonicalProtobufRoundtrip";
  static constexpr const char* internal_name = "_native::PyCanonicalProtobufRoundtrip";
  static constexpr kit::Getter<Record> getters[] = {
      {"ok", roundtrip_ok},
      {"bytes", roundtrip_bytes},
      {"category", roundtrip_category},
      {"message", roundtrip_message},
  };
};

}  // namespace

PyTypeObject* canonical_protobuf_validation_type() { return kit::type_object<ValidationClass>(); }
PyTypeObject* canonical_protobuf_roundtrip_type() { return kit::type_object<RoundtripClass>(); }

kit::OwnedRef make_validation_result(const CanonicalResult<void>& outcome) {
  PyCanonicalProtobufValidation record;
  record.ok = outcome.has_value();
  if (!outcome) {
    record.category = std::string(category_name(outcome.error().category));
    record.message = outcome.error().display();
  }
  return kit::make_instance<ValidationClass>(std::move(record));
}

kit::OwnedRef make_roundtrip_result(CanonicalResult<Bytes> outcome) {
  PyCanonicalProtobufRoundtrip record;
  record.ok = outcome.has_value();
  if (outcome) {
    record.bytes = std::move(*outcome);
  } else {
    record.category = std::string(category_name(outcome.error().category));
    record.message = outcome.error().display();
  }
  return kit::make_instance<RoundtripClass>(std::move(record));
}

}  // namespace korvalinth::py
