#include "support/random_archive.h"

#include <random>
#include <utility>

namespace quillstone_dat::testing {

RandomFiles random_files(const RandomFilesRecipe& recipe) {
  std::mt19937 random(recipe.seed);
  RandomFiles out;
  for (std::uint32_t i = 0; i < recipe.count; ++i) {
    const bool empty = recipe.empty_every != 0 && i % recipe.empty_every == 0;
    Bytes data(empty ? 0 : random() % recipe.max_size);
    for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(random());
    const bool compressed =
        recipe.compressed_every != 0 && i % recipe.compressed_every == 0;
    out.files.push_back({recipe.first_id + i * recipe.id_step,
                         compressed ? lrs_literals(data) : data,
                         compressed ? 1u : 0u});
    out.contents.push_back(std::move(data));
  }
  return out;
}

RandomArchive::RandomArchive(const RandomFilesRecipe& recipe,
                             std::uint32_t block_size) {
  RandomFiles drawn = random_files(recipe);
  files = std::move(drawn.files);
  contents = std::move(drawn.contents);
  path = write_bytes(dir / "random.dat", build_archive(files, block_size));
}

}  // namespace quillstone_dat::testing
