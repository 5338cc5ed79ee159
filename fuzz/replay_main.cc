// A stand-in for the fuzzing engine: runs LLVMFuzzerTestOneInput once on
// each file named on the command line, or on each file inside a folder
// named there, so that compilers without libFuzzer can replay the corpora
// under the sanitizers. A finding aborts the process; otherwise it prints
// the count of inputs run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

namespace {

std::vector<std::uint8_t> read_whole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::filesystem::path> inputs_of(const std::filesystem::path& arg) {
  if (!std::filesystem::is_directory(arg)) return {arg};
  std::vector<std::filesystem::path> files;
  for (const auto& item : std::filesystem::directory_iterator(arg)) {
    if (item.is_regular_file()) files.push_back(item.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t run = 0;
  for (int i = 1; i < argc; ++i) {
    if (!std::filesystem::exists(argv[i])) {
      std::fprintf(stderr, "no such input: %s\n", argv[i]);
      return 2;
    }
    for (const std::filesystem::path& input : inputs_of(argv[i])) {
      const std::vector<std::uint8_t> bytes = read_whole(input);
      // A heap block of exactly the input's size, as the engine passes it,
      // so that AddressSanitizer catches a read one past its end.
      const auto exact = std::make_unique<std::uint8_t[]>(bytes.size());
      std::copy(bytes.begin(), bytes.end(), exact.get());
      LLVMFuzzerTestOneInput(exact.get(), bytes.size());
      ++run;
    }
  }
  if (run == 0) {
    std::fprintf(stderr, "no inputs\n");
    return 2;
  }
  std::printf("replayed %zu inputs\n", run);
  return 0;
}
