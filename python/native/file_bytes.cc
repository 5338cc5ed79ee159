#include "file_bytes.h"

#include <cstring>

namespace quillstone_dat::python {
namespace {

// Below this a copy takes less time than handing the GIL over and back.
constexpr std::size_t kCopyWithoutGil = std::size_t{256} << 10;

}  // namespace

py::bytes uninitialised_bytes(std::size_t size) {
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  PyObject* const bytes =
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(bytes);
}

py::bytes bytes_of(std::span<const std::uint8_t> data) {
  py::bytes bytes = uninitialised_bytes(data.size());
  if (data.size() >= kCopyWithoutGil) {
    py::gil_scoped_release unlocked;
    std::memcpy(bytes_storage(bytes), data.data(), data.size());
  } else if (!data.empty()) {
    std::memcpy(bytes_storage(bytes), data.data(), data.size());
  }
  return bytes;
}

}  // namespace quillstone_dat::python
