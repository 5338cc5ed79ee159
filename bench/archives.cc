#include "archives.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

#include "payloads.h"
#include "quillstone_dat/dat_writer.h"
#include "timing.h"

namespace quillstone_dat::bench {

namespace {

// In each file name: a change to the generators must not reuse
// archives built by an older one.
constexpr const char* kGeneration = "v1";
constexpr std::uint64_t kBulkBytes = std::uint64_t{256} << 20;
constexpr std::uint32_t kWideEntries = 1'000'000;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "quillstone_dat_bench: %s\n", what.c_str());
  std::exit(1);
}

void write_archive(const DatWriter& writer, const std::filesystem::path& path) {
  auto written = writer.write(path);
  if (!written)
    fail("cannot write " + path.string() + ": " + written.error().debug());
}

// The bulk and mixed archives hold the same files and differ only in how
// every fourth is stored; bulk8 holds eight times as many bytes of files
// drawn alike.
void build_bulk(const std::filesystem::path& path, bool compress_some,
                std::uint64_t bytes = kBulkBytes) {
  DatWriter writer(WriterOptions{.block_size = 1024});
  Random random(0x62756C6B);
  std::uint64_t total = 0;
  for (std::uint32_t id = 1; total < bytes; ++id) {
    const std::size_t size = log_uniform_size(random, 64, 64 * 1024);
    WriterFile file;
    file.id = 0x06000000u + id;
    file.contents =
        id % 2 == 0 ? text_like(random, size) : binary_like(random, size);
    if (compress_some && id % 4 == 0) file.storage = Storage::kCompressed;
    total += size;
    if (auto added = writer.add(std::move(file)); !added) {
      fail("cannot add a file: " + added.error().debug());
    }
  }
  write_archive(writer, path);
}

void build_wide(const std::filesystem::path& path) {
  DatWriter writer(WriterOptions{.block_size = 128});
  Random random(0x77696465);
  for (std::uint32_t i = 0; i < kWideEntries; ++i) {
    std::vector<std::uint8_t> bytes(random.below(65));
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random.next());
    WriterFile file;
    file.id = 0x01000000u + i;
    file.contents = std::move(bytes);
    if (auto added = writer.add(std::move(file)); !added) {
      fail("cannot add a file: " + added.error().debug());
    }
  }
  write_archive(writer, path);
}

template <typename Build>
std::filesystem::path ensure(const std::filesystem::path& folder,
                             const std::string& name, Build&& build) {
  const std::filesystem::path path =
      folder / (name + "-" + kGeneration + ".dat");
  std::error_code error;
  if (std::filesystem::exists(path, error)) return path;
  std::fprintf(stderr, "building %s ... ", path.c_str());
  std::fflush(stderr);
  const double seconds = seconds_of([&] { build(path); });
  std::fprintf(stderr, "%.1f s\n", seconds);
  return path;
}

}  // namespace

BenchArchives prepare_archives(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) fail("cannot create " + folder.string() + ": " + error.message());
  BenchArchives archives;
  archives.bulk =
      ensure(folder, "bulk", [](const auto& path) { build_bulk(path, false); });
  archives.mixed =
      ensure(folder, "mixed", [](const auto& path) { build_bulk(path, true); });
  archives.wide = ensure(folder, "wide", build_wide);
  return archives;
}

std::filesystem::path prepare_bulk8(const std::filesystem::path& folder) {
  return ensure(folder, "bulk8", [](const auto& path) {
    build_bulk(path, false, 8 * kBulkBytes);
  });
}

}  // namespace quillstone_dat::bench
