#include "errors.h"

#include <string>

namespace quillstone_dat::python {
namespace {

// Borrowed from quillstone_dat._errors for the life of the process; never
// released, so that no Python object is touched after the interpreter has
// finalised.
PyObject* dat_error_class = nullptr;
PyObject* not_found_class = nullptr;

}  // namespace

void load_error_classes() {
  py::module_ errors = py::module_::import("quillstone_dat._errors");
  dat_error_class = py::object(errors.attr("DatError")).release().ptr();
  not_found_class = py::object(errors.attr("NotFound")).release().ptr();
}

py::object to_exception(const DatError& error) {
  PyObject* const cls = error.kind() == DatError::Kind::kNotFound
                            ? not_found_class
                            : dat_error_class;
  const std::optional<std::uint32_t> id = error.file_id();
  return py::reinterpret_borrow<py::object>(cls)(
      error.message(), std::string(to_string(error.kind())), error.debug(),
      id ? py::object(py::int_(*id)) : py::object(py::none()));
}

void raise(const DatError& error) {
  py::object exception = to_exception(error);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())),
                  exception.ptr());
  throw py::error_already_set();
}

}  // namespace quillstone_dat::python
