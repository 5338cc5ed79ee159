#include "editor/edit_support.h"

#include <stdexcept>

#include "quillstone_dat/archive_check.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::testing {

WriterFile writer_file(std::uint32_t id, Bytes bytes, Storage storage) {
  WriterFile file;
  file.id = id;
  file.contents = std::move(bytes);
  file.storage = storage;
  file.timestamp = id ^ 0x5EED;
  return file;
}

Bytes writer_archive(const Contents& files, std::uint32_t block_size) {
  DatWriter writer(WriterOptions{.block_size = block_size});
  for (const auto& [id, bytes] : files) {
    if (!writer.add(writer_file(id, bytes, Storage::kSmallest))) {
      throw std::logic_error("duplicate id");
    }
  }
  const TempDir dir;
  if (!writer.write(dir / "a.dat")) throw std::runtime_error("write failed");
  return read_bytes(dir / "a.dat");
}

DatResult<Contents> contents_of(std::span<const std::uint8_t> image) {
  auto db = open_in_memory(Bytes(image.begin(), image.end()));
  if (!db) return std::unexpected(std::move(db.error()));
  Contents contents;
  for (const DatFileEntry& entry : db->files()) {
    auto bytes = db->get_file(entry.id);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    contents.emplace(entry.id, std::move(*bytes));
  }
  return contents;
}

std::vector<std::string> damage_of(std::span<const std::uint8_t> image) {
  auto db = open_in_memory(Bytes(image.begin(), image.end()));
  if (!db) return {db.error().debug()};
  auto report = db->check({.check_free_space = true});
  if (!report) return {report.error().debug()};
  std::vector<std::string> damage;
  for (const CheckProblem& problem : report->problems) {
    if (problem.kind == CheckProblem::Kind::kLeaked) continue;
    damage.push_back(std::string(to_string(problem.kind)) + ": " +
                     problem.detail);
  }
  return damage;
}

}  // namespace quillstone_dat::testing
