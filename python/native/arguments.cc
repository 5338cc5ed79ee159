#include "arguments.h"

#include <pybind11/stl/filesystem.h>

#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

namespace quillstone_dat::python {
namespace {

constexpr long long kLargestId = std::numeric_limits<std::uint32_t>::max();

std::string type_name(py::handle object) {
  return Py_TYPE(object.ptr())->tp_name;
}

// An unsigned 32-bit header field from an int.
std::uint32_t field_value(py::handle object, std::string_view name) {
  if (!PyLong_Check(object.ptr())) {
    throw py::type_error(std::string(name) + " must be an int, not " +
                         type_name(object));
  }
  const std::optional<std::uint32_t> value = file_id_of(object);
  if (!value) {
    throw py::value_error(std::string(name) + " must be from 0 to 2**32-1");
  }
  return *value;
}

void set_field(std::uint32_t& field, py::handle object, std::string_view name) {
  field = field_value(object, name);
}

// version_string from up to 16 bytes, padded with zeros as the header
// stores a shorter string.
void set_field(std::array<std::uint8_t, 16>& field, py::handle object,
               std::string_view name) {
  const BytesView view(object);
  if (view.bytes().size() > field.size()) {
    throw py::value_error(std::string(name) + " holds at most 16 bytes");
  }
  field.fill(0);
  std::memcpy(field.data(), view.bytes().data(), view.bytes().size());
}

}  // namespace

std::optional<std::uint32_t> file_id_of(py::handle object) {
  if (!PyLong_Check(object.ptr())) return std::nullopt;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
  if (overflow != 0 || value < 0 || value > kLargestId) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::uint32_t lookup_id(py::handle object) {
  if (const std::optional<std::uint32_t> id = file_id_of(object)) return *id;
  if (!PyLong_Check(object.ptr())) {
    throw py::type_error("file ids are ints, not " + type_name(object));
  }
  PyErr_SetObject(PyExc_KeyError, object.ptr());
  throw py::error_already_set();
}

std::uint32_t new_file_id(py::handle object) {
  if (const std::optional<std::uint32_t> id = file_id_of(object)) return *id;
  if (!PyLong_Check(object.ptr())) {
    throw py::type_error("file ids are ints, not " + type_name(object));
  }
  throw py::value_error("file ids are from 0 to 2**32-1, not " +
                        py::repr(object).cast<std::string>());
}

std::vector<std::uint32_t> file_ids(py::handle iterable) {
  std::vector<std::uint32_t> ids;
  const Py_ssize_t hint = PyObject_LengthHint(iterable.ptr(), 0);
  if (hint > 0) ids.reserve(static_cast<std::size_t>(hint));
  for (py::handle id : iterable) ids.push_back(new_file_id(id));
  return ids;
}

BytesView::BytesView(py::handle object) {
  if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) {
    throw py::error_already_set();
  }
}

BytesView::~BytesView() { PyBuffer_Release(&view_); }

WriterFile writer_file(py::handle id, py::handle data, std::string_view storage,
                       std::uint32_t bit_flags, std::uint32_t timestamp,
                       std::uint32_t version) {
  WriterFile file{.id = new_file_id(id),
                  .storage = storage_named(storage),
                  .bit_flags = bit_flags,
                  .timestamp = timestamp,
                  .version = version};
  if (PyUnicode_Check(data.ptr()) || py::hasattr(data, "__fspath__")) {
    file.contents = data.cast<std::filesystem::path>();
    return file;
  }
  const BytesView view(data);
  file.contents =
      std::vector<std::uint8_t>(view.bytes().begin(), view.bytes().end());
  return file;
}

Storage storage_named(std::string_view name) {
  if (name == "plain") return Storage::kPlain;
  if (name == "compressed") return Storage::kCompressed;
  if (name == "smallest") return Storage::kSmallest;
  if (name == "stored") return Storage::kPreStored;
  throw py::value_error(
      "storage is \"plain\", \"compressed\", \"smallest\" or \"stored\", not " +
      py::repr(py::str(std::string(name))).cast<std::string>());
}

WriterOptions writer_options(std::uint32_t block_size, const py::dict& fields) {
  DatHeader header{};
  std::size_t used = 0;
  for_each_header_field(header, [&](std::string_view name, auto& field) {
    const py::str key(name.data(), name.size());
    if (!fields.contains(key)) return;
    if (!WriterOptions::takes_header_field(name)) {
      throw py::type_error("Writer() cannot set " + std::string(name) +
                           ": the writer fills it in");
    }
    set_field(field, fields[key], name);
    ++used;
  });
  if (used != fields.size()) {
    for (const auto& [key, value] : fields) {
      bool known = false;
      for_each_header_field(header, [&](std::string_view name, auto&) {
        known = known || py::str(name.data(), name.size()).equal(key);
      });
      if (!known) {
        throw py::type_error("Writer() got an unexpected keyword argument " +
                             py::repr(key).cast<std::string>());
      }
    }
  }
  WriterOptions options = WriterOptions::from_header(header);
  options.block_size = block_size;
  return options;
}

}  // namespace quillstone_dat::python
