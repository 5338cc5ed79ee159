// The library's plain values as Python objects: Entry (DatFileEntry),
// Header (DatHeader), CheckReport and CheckProblem, and the summaries of a
// write and of a commit as dicts.

#ifndef QUILLSTONE_DAT_PYTHON_VALUES_H_
#define QUILLSTONE_DAT_PYTHON_VALUES_H_

#include <pybind11/pybind11.h>

#include "quillstone_dat/dat_editor.h"
#include "quillstone_dat/dat_writer.h"

namespace quillstone_dat::python {

namespace py = pybind11;

void bind_values(py::module_& module);

// The header's fields by name, in on-disk order.
py::dict header_dict(const DatHeader& header);

py::dict summary_dict(const ArchiveSummary& summary);
py::dict summary_dict(const CommitSummary& summary);

}  // namespace quillstone_dat::python

#endif  // QUILLSTONE_DAT_PYTHON_VALUES_H_
