// Fuzz target: arbitrary bytes opened as an archive. The open must answer
// with a database or a DatError; a database must then agree with itself
// for every id it lists and for ids it does not hold.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "budgeted_memory_file.h"
#include "fuzz_check.h"
#include "quillstone_dat/dat_database.h"
#include "format/records.h"

namespace quillstone_dat::fuzz {
namespace {

// A chain read yields its entry's recorded size whatever the chain holds.
// A chain that loops back on itself is followed only until it has passed
// the archive's length and then repeated without further reads, so reads
// per fetch stay near the archive's length over the block size; but the
// result is still allocated at its recorded size, up to 4 GiB. Larger files
// are therefore not fetched (64 KiB is several times any input the engine
// makes, so every kind of chain is still reached), and all fetches of one
// input share a read budget as a guard against a reader that stops
// noticing loops. The open has no allowance.
constexpr std::uint32_t kMaxFetchedSize = 1u << 16;
constexpr std::size_t kFetchReadBudget = 1u << 12;

bool is_open_error(DatError::Kind kind) {
  return kind == DatError::Kind::kIo || kind == DatError::Kind::kBinRead ||
         kind == DatError::Kind::kCorruption;
}

bool is_fetch_error(DatError::Kind kind) {
  return kind == DatError::Kind::kIo || kind == DatError::Kind::kCorruption;
}

void check_present(const DatDatabase& database, const DatFileEntry& entry) {
  const auto metadata = database.get_metadata(entry.id);
  check(metadata.has_value() && database.exists(entry.id),
        "a listed id is present");
  check(*metadata == FileMetadata{entry.id, entry.size, false},
        "metadata matches the entry");
  if (entry.size > kMaxFetchedSize) return;

  const auto bytes = database.get_file(entry.id);
  if (!bytes) {
    check(is_fetch_error(bytes.error().kind()), "a fetch fails with Io");
    check(!bytes.error().message().empty(), "an error has a message");
    return;
  }
  if (!entry.is_compressed()) {
    check(bytes->size() == entry.size, "a stored file has its recorded size");
    return;
  }
  // The decoder never exceeds the declared size in the payload's prefix.
  if (entry.size >= kSizePrefixSize) {
    const auto stored = database.read_file_data(entry.offset, entry.size);
    if (stored) {
      check(bytes->size() <= decode_size_prefix(*stored),
            "output within the declared size");
    }
  }
}

void check_absent(const DatDatabase& database, std::uint32_t id) {
  if (database.files().contains(id)) return;
  check(!database.get_metadata(id).has_value() && !database.exists(id),
        "an absent id has no metadata");
  const auto bytes = database.get_file(id);
  check(!bytes && bytes.error() == DatError::not_found(id),
        "an absent id is NotFound");
}

}  // namespace
}  // namespace quillstone_dat::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace quillstone_dat;
  using fuzz::check;
  const auto file = std::make_shared<fuzz::BudgetedMemoryFile>(
      std::span<const std::uint8_t>(data, size));
  const auto database = DatDatabase::open(file);
  if (!database) {
    check(fuzz::is_open_error(database.error().kind()),
          "an open fails with Io, BinRead or Corruption");
    check(!database.error().message().empty() &&
              !database.error().debug().empty(),
          "an error has a message");
    return 0;
  }

  file->arm(fuzz::kFetchReadBudget);
  std::size_t listed = 0;
  std::vector<std::uint32_t> neighbours = {0, 0xFFFFFFFF};
  for (const DatFileEntry& entry : database->files()) {
    ++listed;
    fuzz::check_present(*database, entry);
    neighbours.push_back(entry.id - 1);
    neighbours.push_back(entry.id + 1);
  }
  check(listed == database->files().size(), "the listing counts every entry");
  for (const std::uint32_t id : neighbours) fuzz::check_absent(*database, id);
  return 0;
}
