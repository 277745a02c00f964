#include "wires/canonical_results.hpp"

#include "kit/class_table.hpp"
#include "kit/convert.hpp"

namespace korvalinth::py {

namespace {

kit::OwnedRef optional_str(const std::optional<std::string>& text) {
  return text ? kit::to_py_str(*text) : kit::py_none();
}

// Both result classes share ok, category and message.
template <class Result>
kit::OwnedRef result_ok(Result& self) {
  return kit::OwnedRef::new_ref(self.ok ? Py_True : Py_False);
}
template <class Result>
kit::OwnedRef result_category(Result& self) {
  return optional_str(self.category);
}
template <class Result>
kit::OwnedRef result_message(Result& self) {
  return optional_str(self.message);
}
template <class Result>
void set_error(Result& record, const CanonicalProtobufError& error) {
  record.category = std::string(category_name(error.category));
  record.message = error.display();
}

kit::OwnedRef roundtrip_bytes(PyCanonicalProtobufRoundtrip& self) {
  if (!self.bytes) return kit::py_none();
  return kit::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(self.bytes->data()),
                                              static_cast<Py_ssize_t>(self.bytes->size())));
}

struct ValidationClass {
  using Record = PyCanonicalProtobufValidation;
  static constexpr const char* name = "CanonicalProtobufValidation";
  static constexpr const char* internal_name = "_native::PyCanonicalProtobufValidation";
  static constexpr kit::Getter<Record> getters[] = {
      {"ok", result_ok<Record>},
      {"category", result_category<Record>},
      {"message", result_message<Record>},
  };
};

struct RoundtripClass {
  using Record = PyCanonicalProtobufRoundtrip;
  static constexpr const char* name = "CanonicalProtobufRoundtrip";
  static constexpr const char* internal_name = "_native::PyCanonicalProtobufRoundtrip";
  static constexpr kit::Getter<Record> getters[] = {
      {"ok", result_ok<Record>},
      {"bytes", roundtrip_bytes},
      {"category", result_category<Record>},
      {"message", result_message<Record>},
  };
};

}  // namespace

PyTypeObject* canonical_protobuf_validation_type() { return kit::type_object<ValidationClass>(); }
PyTypeObject* canonical_protobuf_roundtrip_type() { return kit::type_object<RoundtripClass>(); }

kit::OwnedRef make_validation_result(const CanonicalResult<void>& outcome) {
  PyCanonicalProtobufValidation record;
  record.ok = outcome.has_value();
  if (!outcome) set_error(record, outcome.error());
  return kit::make_instance<ValidationClass>(std::move(record));
}

kit::OwnedRef make_roundtrip_result(CanonicalResult<Bytes> outcome) {
  PyCanonicalProtobufRoundtrip record;
  record.ok = outcome.has_value();
  if (outcome) {
    record.bytes = std::move(*outcome);
  } else {
    set_error(record, outcome.error());
  }
  return kit::make_instance<RoundtripClass>(std::move(record));
}

}  // namespace korvalinth::py
