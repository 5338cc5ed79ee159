// The Archive class: one open DatDatabase shared by the Python threads
// that read it. Every read copies the database's shared pointer while it
// holds the GIL and then releases the GIL for the read, so close() may
// come from any thread at any time: it drops the archive's own reference,
// and the file is closed once the reads in flight are done.

#ifndef QUILLSTONE_DAT_PYTHON_ARCHIVE_H_
#define QUILLSTONE_DAT_PYTHON_ARCHIVE_H_

#include <pybind11/pybind11.h>

#include <filesystem>
#include <memory>

#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::python {

namespace py = pybind11;

class Archive {
 public:
  explicit Archive(const std::filesystem::path& path);

  // The open database; ValueError once the archive is closed.
  std::shared_ptr<const DatDatabase> database() const;

  void close() { database_.reset(); }
  bool closed() const { return database_ == nullptr; }

 private:
  std::shared_ptr<const DatDatabase> database_;
};

void bind_archive(py::module_& module);

}  // namespace quillstone_dat::python

#endif  // QUILLSTONE_DAT_PYTHON_ARCHIVE_H_
