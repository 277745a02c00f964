#include "checkpoints/restore_registry.hpp"

#include <vector>

#include "checkpoint/restore_descriptors.hpp"
#include "checkpoint/restore_texts.hpp"
#include "checkpoints/py_restore_descriptor.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"

namespace korvalinth::py {

namespace {

// The entries of the Python descriptors that the registry alone holds (a
// restore under way shares them).
int restore_registry_traverse(const PyRestoreRegistry& self, visitproc visit, void* arg) {
  for (const auto& [ref, entry] : self.descriptors) {
    const auto* descriptor = std::get_if<SharedRestoreDescriptor>(&entry);
    if (!descriptor || descriptor->use_count() != 1) continue;
    const auto* python = dynamic_cast<const PyRestoreDescriptor*>(descriptor->get());
    if (!python) continue;
    if (int stop = python->visit_entry(visit, arg)) return stop;
  }
  return 0;
}

struct RestoreRegistryClass {
  using Record = PyRestoreRegistry;
  static constexpr const char* name = "RestoreRegistry";
  static constexpr const char* internal_name = "_native::PyRestoreRegistry";
  static constexpr auto traverse = restore_registry_traverse;
};

// The entry's 'ref' text; `create` is looked up only when it is called.
std::string entry_ref(kit::BorrowedRef entry) {
  kit::OwnedRef ref = kit::OwnedRef::steal(PyObject_GetAttrString(entry.get(), "ref"));
  if (!ref) {
    PyErr_Clear();
    kit::throw_error(PyExc_ValueError, kEntryWithoutRef);
  }
  if (!PyUnicode_Check(ref.get())) kit::throw_error(PyExc_ValueError, kEntryRefNotStr);
  return std::string(kit::str_view(ref.borrow()));
}

std::vector<kit::OwnedRef> extract_entries(kit::BorrowedRef object) {
  return kit::extract_sequence(object, kit::SequenceCheck::ProtocolOrAbc);
}

}  // namespace

PyTypeObject* restore_registry_type() { return kit::type_object<RestoreRegistryClass>(); }

kit::OwnedRef restore_registry_function(const kit::Args& args) {
  std::vector<kit::OwnedRef> entries = args.convert(0, extract_entries);
  const bool include_builtins = args.convert(1, kit::extract_bool);
  SharedFatalSlot fatal = make_pending_fatal_slot();

  std::vector<SharedRestoreDescriptor> descriptors;
  descriptors.reserve(entries.size() + 2);
  if (include_builtins) {
    descriptors.push_back(std::make_shared<BuiltinStateDescriptor>());
    descriptors.push_back(std::make_shared<BuiltinMapDescriptor>());
  }
  for (kit::OwnedRef& entry : entries) {
    std::string ref = entry_ref(entry.borrow());
    descriptors.push_back(std::make_shared<PyRestoreDescriptor>(std::move(ref), std::move(entry), fatal));
  }

  RestoreRegistry registry;
  for (SharedRestoreDescriptor& descriptor : descriptors) {
    std::string ref = descriptor->name();
    if (registry.contains(ref)) kit::throw_error(PyExc_ValueError, fill_text(kDuplicateRef, {ref}));
    registry.emplace(std::move(ref), std::move(descriptor));
  }
  return kit::make_instance<RestoreRegistryClass>(PyRestoreRegistry(std::move(registry), std::move(fatal)));
}

kit::BorrowedRef downcast_restore_registry(kit::BorrowedRef object) {
  if (!PyObject_TypeCheck(object.get(), restore_registry_type())) {
    kit::throw_downcast_error(object, "RestoreRegistry");
  }
  return object;
}

RestoreRegistryBorrow::RestoreRegistryBorrow(kit::BorrowedRef registry)
    : record_(kit::checked_record<RestoreRegistryClass>(registry)) {}

}  // namespace korvalinth::py
