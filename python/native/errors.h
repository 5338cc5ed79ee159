// DatError values as the package's Python exceptions. The classes are
// defined in Python (quillstone_dat/_errors.py); a DatError becomes an
// instance of DatError, or of NotFound for that kind, carrying the kind's
// name, the debug form and the one-line message, all from the library.

#ifndef QUILLSTONE_DAT_PYTHON_ERRORS_H_
#define QUILLSTONE_DAT_PYTHON_ERRORS_H_

#include <pybind11/pybind11.h>

#include <utility>

#include "quillstone_dat/error.h"

namespace quillstone_dat::python {

namespace py = pybind11;

// Finds the exception classes; the module calls it once, at import.
void load_error_classes();

// The exception object for `error`, not raised: what items() hands over
// for a file that cannot be read.
py::object to_exception(const DatError& error);

// Raises `error` as its exception (by throwing py::error_already_set).
[[noreturn]] void raise(const DatError& error);

template <typename T>
T value_or_raise(DatResult<T>&& result) {
  if (!result) raise(result.error());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace quillstone_dat::python

#endif  // QUILLSTONE_DAT_PYTHON_ERRORS_H_
