// quillstone_dat._native: the library compiled into a Python module. The
// package's pure-Python layer (python/src/quillstone_dat/) wraps it; this
// file puts the pieces together and binds the LRS coder.

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <vector>

#include "archive.h"
#include "arguments.h"
#include "errors.h"
#include "file_bytes.h"
#include "items.h"
#include "quillstone_dat/lrs.h"
#include "values.h"
#include "writing.h"

namespace quillstone_dat::python {
namespace {

// The library's coder over any bytes-like object, without the GIL.
template <auto Code>
py::bytes code_lrs(py::handle data) {
  const BytesView view(data);
  std::vector<std::uint8_t> coded;
  {
    py::gil_scoped_release unlocked;
    coded = Code(view.bytes());
  }
  return bytes_of(coded);
}

void bind_lrs(py::module_& module) {
  module.def("decompress_lrs", &code_lrs<&decompress_lrs>, py::arg("data"),
             "Decodes an LRS payload (a 4-byte declared size, then the "
             "token stream), as the library decodes a compressed file. "
             "Never fails: a stream that ends early yields what was decoded "
             "until then, and an input under 4 bytes comes back unchanged.");
  module.def(
      "compress_lrs",
      [](py::handle data) {
        const BytesView view(data);
        // The declared size is 32 bits wide; the coder refuses more.
        if (view.bytes().size() > UINT32_MAX) {
          throw py::value_error("compress_lrs takes at most 2**32-1 bytes");
        }
        return code_lrs<&compress_lrs>(data);
      },
      py::arg("data"),
      "Encodes bytes as an LRS payload that decompress_lrs turns back into "
      "exactly them.");
}

}  // namespace
}  // namespace quillstone_dat::python

PYBIND11_MODULE(_native, module) {
  using namespace quillstone_dat::python;
  module.doc() = "The quillstone_dat library, compiled into the package.";
  // As the tool reports it (`quillstone-dat --version`): the project's
  // version in the top-level CMakeLists.txt, passed in by setup.py.
  module.attr("__version__") = QUILLSTONE_DAT_VERSION;
  load_error_classes();
  bind_values(module);
  bind_archive(module);
  bind_items(module);
  bind_writing(module);
  bind_lrs(module);
}
