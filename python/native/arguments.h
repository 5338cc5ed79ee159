// Python arguments as the library's values: file ids, bytes-like
// contents, storage names and header fields given by keyword.

#ifndef QUILLSTONE_DAT_PYTHON_ARGUMENTS_H_
#define QUILLSTONE_DAT_PYTHON_ARGUMENTS_H_

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/dat_writer.h"

namespace quillstone_dat::python {

namespace py = pybind11;

// `object` as a file id when it is an int from 0 to 2**32-1 (bool
// included, as for any int key); nothing for anything else.
std::optional<std::uint32_t> file_id_of(py::handle object);

// The id to look up: TypeError for what is not an int, KeyError(object) for
// an int that no file can have.
std::uint32_t lookup_id(py::handle object);

// The id of a file to write: TypeError for what is not an int, ValueError
// for an int out of range.
std::uint32_t new_file_id(py::handle object);

// Every id of an iterable, each checked as new_file_id checks it.
std::vector<std::uint32_t> file_ids(py::handle iterable);

// The bytes of any bytes-like object (the buffer protocol), held for the
// view's life; TypeError for anything else, as Python's own functions
// raise it.
class BytesView {
 public:
  explicit BytesView(py::handle object);
  ~BytesView();
  BytesView(const BytesView&) = delete;
  BytesView& operator=(const BytesView&) = delete;

  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf),
            static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_;
};

// What a writer or editor stores: bytes-like contents, read now, or a
// path (str or os.PathLike), read when the archive is written.
WriterFile writer_file(py::handle id, py::handle data, std::string_view storage,
                       std::uint32_t bit_flags, std::uint32_t timestamp,
                       std::uint32_t version);

// "plain", "compressed", "smallest" or "stored"; ValueError otherwise.
Storage storage_named(std::string_view name);

// The writer's options: `block_size` and the header fields named in
// `fields` (magic=..., version_string=b"..."). TypeError for a name that
// is no header field, or a field the writer fills in itself.
WriterOptions writer_options(std::uint32_t block_size, const py::dict& fields);

}  // namespace quillstone_dat::python

#endif  // QUILLSTONE_DAT_PYTHON_ARGUMENTS_H_
