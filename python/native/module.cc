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
template <typename Code>
py::bytes code_lrs(py::handle data, Code&& code) {
  const BytesView view(data);
  std::vector<std::uint8_t> coded;
  {
    py::gil_scoped_release unlocked;
    coded = code(view.bytes());
  }
  return bytes_of(coded);
}

LrsLevel level_named(const std::string& name) {
  if (name == "fast") return LrsLevel::kFast;
  if (name == "default") return LrsLevel::kDefault;
  if (name == "best") return LrsLevel::kBest;
  throw py::value_error("level must be 'fast', 'default' or 'best', not '" +
                        name + "'");
}

void bind_lrs(py::module_& module) {
  module.def(
      "decompress_lrs",
      [](py::handle data) {
        return code_lrs(data, [](std::span<const std::uint8_t> bytes) {
          return decompress_lrs(bytes);
        });
      },
      py::arg("data"),
      "Decodes an LRS payload (a 4-byte declared size, then the "
      "token stream), as the library decodes a compressed file. "
      "Never fails: a stream that ends early yields what was decoded "
      "until then, and an input under 4 bytes comes back unchanged.");
  module.def(
      "compress_lrs",
      [](py::handle data, const std::string& level) {
        const LrsLevel chosen = level_named(level);
        const BytesView view(data);
        // The declared size is 32 bits wide; the coder refuses more.
        if (view.bytes().size() > UINT32_MAX) {
          throw py::value_error("compress_lrs takes at most 2**32-1 bytes");
        }
        return code_lrs(data, [chosen](std::span<const std::uint8_t> bytes) {
          return compress_lrs(bytes, chosen);
        });
      },
      py::arg("data"), py::arg("level") = "default",
      "Encodes bytes as an LRS payload that decompress_lrs turns back into "
      "exactly them. level: 'fast', 'default' or 'best' (the smallest, many "
      "times slower).");
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
