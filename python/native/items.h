// Archive.items(): every file, or the listed ones, as (id, data) pairs in
// the order the files lie in the archive, read through the library's
// for_each_file so that neighbouring files come in one read.
//
// The pass runs in chunks of about 256 KiB, each one for_each_file call with
// the GIL released, so the iterator holds one chunk at a time however
// large the archive. Before a chunk is read, a bytes object of the size
// its entry records is made for each file whose size is known (stored
// bytes, or a file stored as given), and the pass copies each file
// straight from its window into its object: one copy, as the C++ pass
// makes. Other files (decompressed, or read short) are copied after.

#ifndef QUILLSTONE_DAT_PYTHON_ITEMS_H_
#define QUILLSTONE_DAT_PYTHON_ITEMS_H_

#include <pybind11/pybind11.h>

#include <memory>

#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::python {

namespace py = pybind11;

// The iterator of archive.items(ids, raw); `archive` is the Archive that
// `database` belongs to.
py::object make_items(py::object archive,
                      std::shared_ptr<const DatDatabase> database,
                      py::handle ids, bool raw);

void bind_items(py::module_& module);

}  // namespace quillstone_dat::python

#endif  // QUILLSTONE_DAT_PYTHON_ITEMS_H_
