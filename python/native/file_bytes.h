// Python bytes objects from the library's buffers. A bytes object owns its
// storage, so every file handed to Python is copied once into one; large
// copies run without the GIL, so that other threads go on meanwhile.

#ifndef QUILLSTONE_DAT_PYTHON_FILE_BYTES_H_
#define QUILLSTONE_DAT_PYTHON_FILE_BYTES_H_

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillstone_dat::python {

namespace py = pybind11;

// A bytes object of `size` bytes whose contents the caller writes before
// anyone else sees it; MemoryError when it cannot be allocated.
py::bytes uninitialised_bytes(std::size_t size);

// The bytes of a new bytes object, to be written into while it is still
// the caller's alone (with or without the GIL).
inline char* bytes_storage(const py::bytes& bytes) {
  return PyBytes_AS_STRING(bytes.ptr());
}

// A bytes object holding a copy of `data`.
py::bytes bytes_of(std::span<const std::uint8_t> data);

}  // namespace quillstone_dat::python

#endif  // QUILLSTONE_DAT_PYTHON_FILE_BYTES_H_
