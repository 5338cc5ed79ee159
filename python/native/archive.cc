#include "archive.h"

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.h"
#include "errors.h"
#include "file_bytes.h"
#include "items.h"

namespace quillstone_dat::python {
namespace {

// What the archive holds under `id`, NotFound raised when nothing.
const DatFileEntry& entry_or_raise(const DatDatabase& database,
                                   std::uint32_t id) {
  const DatFileEntry* const entry = database.files().find(id);
  if (entry == nullptr) raise(DatError::not_found(id));
  return *entry;
}

// The file's bytes, decompressed as get_file gives them or, when `raw`, as
// stored, as get_stored gives them.
py::bytes read_entry(const DatDatabase& database, const DatFileEntry& entry,
                     bool raw) {
  DatResult<std::vector<std::uint8_t>> read = [&] {
    py::gil_scoped_release unlocked;
    return raw ? database.get_stored(entry.id) : database.get_file(entry.id);
  }();
  return bytes_of(value_or_raise(std::move(read)));
}

}  // namespace

Archive::Archive(const std::filesystem::path& path) {
  DatResult<DatDatabase> opened = [&] {
    py::gil_scoped_release unlocked;
    return DatDatabase::open(path);
  }();
  database_ =
      std::make_shared<const DatDatabase>(value_or_raise(std::move(opened)));
}

std::shared_ptr<const DatDatabase> Archive::database() const {
  if (!database_) throw py::value_error("operation on a closed archive");
  return database_;
}

void bind_archive(py::module_& module) {
  py::class_<Archive>(module, "Archive", py::dynamic_attr())
      .def(py::init<const std::filesystem::path&>(), py::arg("path"),
           "Opens the archive at `path` (str or os.PathLike) read-only: "
           "reads its header and walks its whole directory. DatError when "
           "it cannot be opened or is damaged.")
      .def("close", &Archive::close,
           "Releases the archive; any use afterwards raises ValueError. "
           "Reads in flight on other threads finish first. Closing twice "
           "does nothing.")
      .def_property_readonly("closed", &Archive::closed)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](Archive& self, py::handle, py::handle, py::handle) {
             self.close();
             return false;
           })
      .def("__len__",
           [](const Archive& self) { return self.database()->files().size(); })
      .def(
          "__contains__",
          [](const Archive& self, py::handle id) {
            const auto database = self.database();
            const std::optional<std::uint32_t> file_id = file_id_of(id);
            return file_id && database->files().contains(*file_id);
          },
          "False for anything that is not an int from 0 to 2**32-1.")
      .def(
          "__getitem__",
          [](const Archive& self, py::handle id) {
            const auto database = self.database();
            const DatFileEntry& entry =
                entry_or_raise(*database, lookup_id(id));
            return read_entry(*database, entry, false);
          },
          "The file's bytes, decompressed; NotFound when absent.")
      .def(
          "__iter__",
          [](const Archive& self) {
            return py::iter(py::cast(self.database()->files().sorted_ids()));
          },
          "The ids, in ascending order.")
      .def(
          "get",
          [](const Archive& self, py::handle id,
             py::object default_value) -> py::object {
            const auto database = self.database();
            const std::optional<std::uint32_t> file_id = file_id_of(id);
            const DatFileEntry* const entry =
                file_id ? database->files().find(*file_id) : nullptr;
            if (entry == nullptr) return default_value;
            return read_entry(*database, *entry, false);
          },
          py::arg("id"), py::arg("default") = py::none(),
          "The file's bytes, decompressed, or `default` when the archive "
          "has no such file.")
      .def(
          "read",
          [](const Archive& self, py::handle id, bool raw) {
            const auto database = self.database();
            const DatFileEntry& entry =
                entry_or_raise(*database, lookup_id(id));
            return read_entry(*database, entry, raw);
          },
          py::arg("id"), py::arg("raw") = false,
          "The file's bytes: decompressed, or with raw=True exactly as "
          "stored (for a compressed file, the LRS payload with its size "
          "prefix). NotFound when absent.")
      .def(
          "entry",
          [](const Archive& self, py::handle id) {
            const auto database = self.database();
            return entry_or_raise(*database, lookup_id(id));
          },
          py::arg("id"), "The file's directory entry; NotFound when absent.")
      .def(
          "entries",
          [](const Archive& self) {
            return self.database()->files().sorted_entries();
          },
          "Every directory entry, in ascending id order.")
      .def(
          "ids",
          [](const Archive& self) {
            return self.database()->files().sorted_ids();
          },
          "Every id, in ascending order.")
      .def_property_readonly(
          "header",
          [](const Archive& self) { return self.database()->header(); },
          "The header record (Header).")
      .def(
          "check",
          [](const Archive& self, bool free_space) {
            const auto database = self.database();
            DatResult<CheckReport> report = [&] {
              py::gil_scoped_release unlocked;
              return database->check({.check_free_space = free_space});
            }();
            return value_or_raise(std::move(report));
          },
          py::arg("free_space") = false,
          "Checks the whole archive as it is now, following every chain and "
          "decoding every compressed payload, and reports what `verify` "
          "reports. free_space=True also checks the free list and reports "
          "blocks that nothing uses. DatError only when the directory can "
          "no longer be walked.")
      .def(
          "items",
          [](py::object self, py::object ids, bool raw) {
            return make_items(self, self.cast<const Archive&>().database(), ids,
                              raw);
          },
          py::arg("ids") = py::none(), py::arg("raw") = false,
          "An iterator over (id, data) for every file, or for the listed "
          "ids, in the order the files lie in the archive (listed ids the "
          "archive lacks first, each as NotFound). `data` is bytes "
          "(decompressed unless raw=True) or, for a file that cannot be "
          "read, the DatError instance, so that one damaged file does not "
          "end the pass. Neighbouring files are read together.");
}

}  // namespace quillstone_dat::python
