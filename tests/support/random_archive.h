// Sets of random files for tests that need many files of many sizes, and
// archives of them written to a scratch folder. Each file's stored form
// comes with the bytes a fetch must return, so tests compare fetches
// without decoding anything themselves. A recipe gives the same bytes on
// every run.

#ifndef QUILLSTONE_DAT_TESTS_SUPPORT_RANDOM_ARCHIVE_H_
#define QUILLSTONE_DAT_TESTS_SUPPORT_RANDOM_ARCHIVE_H_

#include <cstdint>
#include <filesystem>
#include <vector>

#include "support/archive_builder.h"

namespace quillstone_dat::testing {

// File i has id first_id + i * id_step and random bytes of a size drawn
// below max_size. Files 0, empty_every, 2 * empty_every... are empty (none
// when it is 0); files 0, compressed_every, ... are stored as LRS literals
// with bit 0 of their flags set.
struct RandomFilesRecipe {
  std::uint32_t seed = 1;
  std::uint32_t count = 0;
  std::uint32_t first_id = 1;
  std::uint32_t id_step = 1;
  std::uint32_t max_size = 1;
  std::uint32_t empty_every = 0;
  std::uint32_t compressed_every = 3;
};

struct RandomFiles {
  std::vector<TestFile> files;  // As stored, ready for build_archive.
  std::vector<Bytes> contents;  // What get_file returns for each file.
};

RandomFiles random_files(const RandomFilesRecipe& recipe);

// The recipe's files built with build_archive and written to a fresh
// scratch folder, which goes with the object.
struct RandomArchive {
  RandomArchive(const RandomFilesRecipe& recipe, std::uint32_t block_size);

  TempDir dir;
  std::vector<TestFile> files;
  std::vector<Bytes> contents;
  std::filesystem::path path;
};

// An archive image whose chains take every shape a reader meets:
// contiguous runs whose last next field holds 0 or junk, runs cut short by
// a next field of 0, scattered blocks, loops, chains inside other chains,
// next fields of junk (past the end, unaligned, without room for payload),
// entries pointing anywhere or asking for more than the archive holds;
// block sizes from 3 to 1024, empty and compressed entries, and sometimes
// an image cut short. The directory itself is well formed, so the archive
// opens; what each file yields is for the reader under test to say.
struct ChainShapesArchive {
  Bytes image;
  std::uint32_t block_size = 0;
  std::vector<DatFileEntry> entries;  // as the directory lists them
};

ChainShapesArchive random_chain_shapes(std::uint32_t seed);

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_SUPPORT_RANDOM_ARCHIVE_H_
