#include "writing.h"

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "arguments.h"
#include "errors.h"
#include "quillstone_dat/dat_editor.h"
#include "quillstone_dat/dat_writer.h"
#include "values.h"

namespace quillstone_dat::python {
namespace {

class Writer {
 public:
  Writer(std::uint32_t block_size, const py::dict& header_fields)
      : writer_(writer_options(block_size, header_fields)) {}

  void add(WriterFile file) {
    DatResult<void> added = [&] {
      py::gil_scoped_release unlocked;
      const std::lock_guard lock(mutex_);
      return writer_.add(std::move(file));
    }();
    value_or_raise(std::move(added));
  }

  py::dict write(const std::filesystem::path& target) {
    DatResult<ArchiveSummary> written = [&] {
      py::gil_scoped_release unlocked;
      const std::lock_guard lock(mutex_);
      return writer_.write(target);
    }();
    return summary_dict(value_or_raise(std::move(written)));
  }

  std::size_t file_count() {
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(mutex_);
    return writer_.file_count();
  }

 private:
  std::mutex mutex_;
  DatWriter writer_;
};

FreeBlockReuse free_block_reuse_named(const std::string& name) {
  if (name == "when_worthwhile") return FreeBlockReuse::kWhenWorthwhile;
  if (name == "always") return FreeBlockReuse::kAlways;
  if (name == "never") return FreeBlockReuse::kNever;
  throw py::value_error(
      "reuse_free_blocks is \"when_worthwhile\", \"always\" or \"never\", "
      "not " +
      py::repr(py::str(name)).cast<std::string>());
}

class Editor {
 private:
  // Runs `work` on the editor without the GIL, one call at a time;
  // ValueError once closed.
  template <typename Work>
  auto locked(Work&& work) {
    std::optional<std::invoke_result_t<Work, DatEditor&>> result;
    {
      py::gil_scoped_release unlocked;
      const std::lock_guard lock(mutex_);
      if (editor_) result.emplace(work(*editor_));
    }
    if (!result) throw py::value_error("operation on a closed editor");
    return std::move(*result);
  }

 public:
  Editor(const std::filesystem::path& path, const std::string& reuse) {
    const EditorOptions options{.free_block_reuse =
                                    free_block_reuse_named(reuse)};
    DatResult<DatEditor> opened = [&] {
      py::gil_scoped_release unlocked;
      return DatEditor::open(path, options);
    }();
    editor_.emplace(value_or_raise(std::move(opened)));
  }

  void put(WriterFile file) {
    value_or_raise(
        locked([&](DatEditor& editor) { return editor.put(std::move(file)); }));
  }

  void remove(std::uint32_t id) {
    value_or_raise(
        locked([&](DatEditor& editor) { return editor.remove(id); }));
  }

  py::dict commit() {
    return summary_dict(value_or_raise(
        locked([](DatEditor& editor) { return editor.commit(); })));
  }

  bool contains(py::handle id) {
    const std::optional<std::uint32_t> file_id = file_id_of(id);
    return locked([&](DatEditor& editor) {
      return file_id && editor.contains(*file_id);
    });
  }

  std::vector<DatFileEntry> entries() {
    return locked([](DatEditor& editor) { return editor.files(); });
  }

  // Drops the staged changes and the lock on the archive.
  void close() {
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(mutex_);
    editor_.reset();
  }

  bool closed() {
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(mutex_);
    return !editor_;
  }

 private:
  std::mutex mutex_;
  std::optional<DatEditor> editor_;
};

}  // namespace

void bind_writing(py::module_& module) {
  py::class_<Writer>(module, "Writer", py::dynamic_attr())
      .def(py::init<std::uint32_t, const py::dict&>(), py::arg("block_size"),
           py::arg("header_fields"))
      .def(
          "add",
          [](Writer& self, py::handle id, py::handle data,
             const std::string& storage, std::uint32_t bit_flags,
             std::uint32_t timestamp, std::uint32_t version) {
            self.add(
                writer_file(id, data, storage, bit_flags, timestamp, version));
          },
          py::arg("id"), py::arg("data"), py::kw_only(),
          py::arg("storage") = "plain", py::arg("bit_flags") = 0,
          py::arg("timestamp") = 0, py::arg("version") = 0)
      .def("write", &Writer::write, py::arg("path"))
      .def("__len__", &Writer::file_count);

  py::class_<Editor>(module, "Editor", py::dynamic_attr())
      .def(py::init<const std::filesystem::path&, const std::string&>(),
           py::arg("path"), py::arg("reuse_free_blocks"))
      .def(
          "put",
          [](Editor& self, py::handle id, py::handle data,
             const std::string& storage, std::uint32_t bit_flags,
             std::uint32_t timestamp, std::uint32_t version) {
            self.put(
                writer_file(id, data, storage, bit_flags, timestamp, version));
          },
          py::arg("id"), py::arg("data"), py::kw_only(),
          py::arg("storage") = "plain", py::arg("bit_flags") = 0,
          py::arg("timestamp") = 0, py::arg("version") = 0)
      .def(
          "remove",
          [](Editor& self, py::handle id) { self.remove(new_file_id(id)); },
          py::arg("id"))
      .def("commit", &Editor::commit)
      .def("close", &Editor::close,
           "Discards whatever is staged and releases the archive's lock; any "
           "use afterwards raises ValueError.")
      .def_property_readonly("closed", &Editor::closed)
      .def("__contains__", &Editor::contains,
           "Whether the archive, as last committed, holds `id`.")
      .def("entries", &Editor::entries,
           "The archive's entries as last committed, in ascending id "
           "order; staged changes are not in them.");
}

}  // namespace quillstone_dat::python
