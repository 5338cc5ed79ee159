// Fuzz target: a file set decoded from the input (see fuzzed_file_set.h)
// written by DatWriter into a file in memory, at a compression level the
// input picks, opened again with DatDatabase, read back and checked whole.
// Every accepted file must come back as given with the entry its storage
// asks for, the summary must describe the archive written, and the
// integrity check must find nothing wrong. In memory, so that the engine
// runs thousands of inputs a second; the path variant's write-then-appear
// guarantee is the writer's unit tests' to hold.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "fuzzed_file_set.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/lrs.h"
#include "support/archive_builder.h"

namespace quillstone_dat::fuzz {
namespace {

struct Expected {
  const WriterFile* file;
  const std::vector<std::uint8_t>* bytes;
};

// The entry a file's storage asks for, and its bytes as get_file returns
// them.
void check_entry(const DatDatabase& database, const Expected& expected,
                 LrsLevel level) {
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
                  compress_lrs(given, level).size() >= given.size(),
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

  // The input's magic picks the level, so that every level meets every
  // shape of file set.
  set.options.level = static_cast<LrsLevel>(set.options.magic % 3);
  const LrsLevel level = set.options.level;

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

  const auto file = std::make_shared<testing::MemoryWritableFile>();
  const auto summary = writer.write(*file);
  if (set.options.block_size < DatWriter::kMinBlockSize) {
    check(!summary, "a block size under the minimum is refused");
    check(file->bytes().empty(), "a refused write writes nothing");
    return 0;
  }
  if (!summary) {
    std::fprintf(stderr, "write failed: %s\n", summary.error().debug().c_str());
    check(false, "a valid file set is written");
  }
  check(summary->header.file_size == file->bytes().size(),
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

  const auto database = DatDatabase::open(file);
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
    fuzz::check_entry(*database, expected, level);
    const DatFileEntry* entry = database->files().find(id);
    stored_bytes += entry->size;
    compressed += entry->is_compressed() ? 1u : 0u;
  }
  check(summary->stored_bytes == stored_bytes &&
            summary->compressed_count == compressed,
        "the summary counts the entries written");
  // Pre-stored compressed bytes are the caller's: their streams may be
  // short or decode to another size, and only they may be reported.
  const auto report = database->check({.check_free_space = true});
  check(report.has_value(), "a written archive can be checked");
  for (const CheckProblem& problem : report->problems) {
    const bool callers_stream =
        problem.id && accepted.contains(*problem.id) &&
        accepted.at(*problem.id).file->storage == Storage::kPreStored &&
        (problem.kind == CheckProblem::Kind::kShortPayload ||
         problem.kind == CheckProblem::Kind::kSizeMismatch);
    check(callers_stream,
          "the integrity check finds nothing wrong with a written archive");
  }
  return 0;
}
