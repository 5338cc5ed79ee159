// Writes the archives that the fixture executable's CTest runs read, into
// the folder given as the only argument:
//
//   portal.dat  a well-formed archive of 70 files, some LRS-compressed, whose
//               directory is a root with leaf children
//
// The archive is written under a temporary name and renamed into place, so
// that a failed run leaves no half-written archive behind.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "support/archive_builder.h"

namespace {

namespace fs = std::filesystem;
using quillstone_dat::testing::build_archive;
using quillstone_dat::testing::Bytes;
using quillstone_dat::testing::lrs_literals;
using quillstone_dat::testing::TestFile;
using quillstone_dat::testing::write_bytes;

constexpr std::uint32_t kFileCount = 70;

Bytes contents_of(std::uint32_t index) {
  Bytes data(16 + index * 37 % 900);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>((i * 31 + index) & 0xFF);
  }
  return data;
}

Bytes portal_archive() {
  std::vector<TestFile> files;
  for (std::uint32_t index = 0; index < kFileCount; ++index) {
    const std::uint32_t id = 0x06000000u + index * 0x101u;
    const Bytes data = contents_of(index);
    if (index % 3 == 0) {
      files.push_back(TestFile{id, lrs_literals(data), 1});
    } else {
      files.push_back(TestFile{id, data});
    }
  }
  return build_archive(files);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " OUTPUT_FOLDER\n";
    return 2;
  }
  const fs::path folder = argv[1];
  const fs::path target = folder / "portal.dat";
  const fs::path partial = folder / "portal.dat.partial";
  try {
    fs::create_directories(folder);
    write_bytes(partial, portal_archive());
    fs::rename(partial, target);
  } catch (const std::exception& error) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    std::cerr << "error: cannot write " << target << ": " << error.what()
              << "\n";
    return 1;
  }
  return 0;
}
