// Fuzz target: a file set decoded from the input (see fuzzed_file_set.h)
// written by DatWriter to a file, opened again with DatDatabase and read
// back. Every accepted file must come back as given with the entry its
// storage asks for, the summary must describe the archive on disk, and no
// file but the archive may be left beside it.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "fuzzed_file_set.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/lrs.h"

namespace quillstone_dat::fuzz {
namespace {

// One scratch folder per process, made on first use and reused by every
// input: under $TMPDIR or /tmp, removed when the process exits normally.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string name =
        (std::filesystem::temp_directory_path() / "dat-writer-fuzz-XXXXXX")
            .string();
    check(::mkdtemp(name.data()) != nullptr, "a scratch folder can be made");
    path_ = name;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

const std::filesystem::path& scratch() {
  static const ScratchFolder folder;
  return folder.path();
}

std::size_t files_in(const std::filesystem::path& folder) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& item :
       std::filesystem::directory_iterator(folder)) {
    ++count;
  }
  return count;
}

struct Expected {
  const WriterFile* file;
  const std::vector<std::uint8_t>* bytes;
};

// The entry a file's storage asks for, and its bytes as get_file returns
// them.
void check_entry(const DatDatabase& database, const Expected& expected) {
  const WriterFile& file = *expected.file;
  const std::vector<std::uint8_t>& given = *expected.bytes;
  const DatFileEntry* entry = database.files().find(file.id);
  check(entry != nullptr, "every accepted file is listed");
  check(entry->timestamp == file.timestamp && entry->version == file.version,
        "timestamp and version are kept");
  switch (file.storage) {
    case Storage::kPlain:
      check(entry->bit_flags == 0 && entry->size == given.size(),
            "a plain file is stored as given");
      break;
    case Storage::kCompressed:
      check(entry->bit_flags == 1, "a compressed file is marked so");
      break;
    case Storage::kSmallest:
      check(entry->bit_flags <= 1, "smallest storage is plain or compressed");
      if (entry->is_compressed()) {
        check(entry->size < given.size(), "compressed only when smaller");
      } else {
        check(entry->size == given.size() &&
                  compress_lrs(given).size() >= given.size(),
              "plain only when compression is no smaller");
      }
      break;
    case Storage::kPreStored:
      check(entry->bit_flags == file.bit_flags && entry->size == given.size(),
            "pre-stored bytes are stored as given with their flags");
      break;
  }

  const auto bytes = database.get_file(file.id);
  check(bytes.has_value(), "every accepted file can be read");
  if (file.storage == Storage::kPreStored && entry->is_compressed()) {
    check(*bytes == decompress_lrs(given),
          "pre-stored compressed bytes decode as the decoder decodes them");
  } else {
    check(*bytes == given, "every file reads back unchanged");
  }
  const auto stored = database.read_file_data(entry->offset, entry->size);
  check(stored.has_value() && stored->size() == entry->size,
        "the stored form reads back whole");
}

}  // namespace
}  // namespace quillstone_dat::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace quillstone_dat;
  using fuzz::check;
  fuzz::FuzzedFileSet set =
      fuzz::FileSetReader(std::span<const std::uint8_t>(data, size)).read();

  const std::filesystem::path target = fuzz::scratch() / "archive.dat";
  std::filesystem::remove(target);

  // The first file of each id is kept; later ones are refused.
  DatWriter writer(set.options);
  std::map<std::uint32_t, fuzz::Expected> accepted;
  std::uint64_t content_bytes = 0;
  for (WriterFile& file : set.files) {
    const std::uint32_t id = file.id;
    const auto added = writer.add(file);
    if (accepted.contains(id)) {
      check(!added && added.error() == DatError::duplicate_id(id),
            "a second file with one id is DuplicateId");
      continue;
    }
    check(added.has_value(), "a file with a new id is accepted");
    const auto& bytes = std::get<std::vector<std::uint8_t>>(file.contents);
    accepted.emplace(id, fuzz::Expected{&file, &bytes});
    content_bytes += bytes.size();
  }
  check(writer.file_count() == accepted.size(), "the writer counts its files");

  const auto summary = writer.write(target);
  if (set.options.block_size < DatWriter::kMinBlockSize) {
    check(!summary, "a block size under the minimum is refused");
    check(fuzz::files_in(fuzz::scratch()) == 0,
          "a refused write leaves no file behind");
    return 0;
  }
  if (!summary) {
    std::fprintf(stderr, "write failed: %s\n", summary.error().debug().c_str());
    check(false, "a valid file set is written");
  }
  check(fuzz::files_in(fuzz::scratch()) == 1,
        "only the archive is left in its folder");
  check(summary->header.file_size == std::filesystem::file_size(target),
        "the header's file_size is the archive's length");
  check(summary->header.block_size == set.options.block_size &&
            summary->header.magic == set.options.magic,
        "header fields are written as given");
  check(summary->file_count == accepted.size() &&
            summary->content_bytes == content_bytes,
        "the summary counts the files given");
  check((summary->directory_depth == 0) == accepted.empty() &&
            summary->directory_depth <= 6,
        "the directory is balanced");

  const auto database = DatDatabase::open(target);
  if (!database) {
    std::fprintf(stderr, "open failed: %s\n", database.error().debug().c_str());
    check(false, "a written archive opens");
  }
  check(database->header() == summary->header, "the header reads back");
  check(database->files().size() == accepted.size(),
        "the directory lists every file once");
  std::uint64_t stored_bytes = 0;
  std::uint32_t compressed = 0;
  for (const auto& [id, expected] : accepted) {
    fuzz::check_entry(*database, expected);
    const DatFileEntry* entry = database->files().find(id);
    stored_bytes += entry->size;
    compressed += entry->is_compressed() ? 1u : 0u;
  }
  check(summary->stored_bytes == stored_bytes &&
            summary->compressed_count == compressed,
        "the summary counts the entries written");
  return 0;
}
