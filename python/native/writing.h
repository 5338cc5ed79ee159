// Writer (DatWriter: a whole archive from a set of files) and Editor
// (DatEditor: files added, replaced and removed in place, one commit at a
// time). Each object serialises its own calls: a call releases the GIL
// before it takes the object's lock, so one thread's long write never
// holds up the interpreter.

#ifndef QUILLSTONE_DAT_PYTHON_WRITING_H_
#define QUILLSTONE_DAT_PYTHON_WRITING_H_

#include <pybind11/pybind11.h>

namespace quillstone_dat::python {

namespace py = pybind11;

void bind_writing(py::module_& module);

}  // namespace quillstone_dat::python

#endif  // QUILLSTONE_DAT_PYTHON_WRITING_H_
