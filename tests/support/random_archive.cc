#include "support/random_archive.h"

#include <algorithm>
#include <numeric>
#include <random>
#include <unordered_set>
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

ChainShapesArchive random_chain_shapes(std::uint32_t seed) {
  std::mt19937 random(seed);
  const auto word = [&] { return static_cast<std::uint32_t>(random()); };
  const auto below = [&](std::uint32_t n) { return word() % n; };
  // Blocks of 4 bytes or less carry no payload: only a chain whose first
  // next field is 0 can be read there.
  static constexpr std::uint32_t kBlockSizes[] = {3,  4,  5,  6,   7,   8,   13,
                                                  16, 31, 64, 100, 256, 1024};
  const std::uint32_t block_size = kBlockSizes[below(std::size(kBlockSizes))];
  const std::uint32_t payload = std::max(block_size, 5u) - kNextFieldBytes;
  const std::uint32_t count = 1 + below(below(4) == 0 ? 300 : 60);
  const std::uint32_t leaves = count <= 61 ? 0 : (count + 62) / 62;
  const std::uint32_t node_span = kNextFieldBytes + kNodeBytes;
  const std::uint32_t chains_begin = 400 + (1 + leaves) * node_span;

  ArchiveBuilder builder(block_size);
  // Chains start at an offset that need not be a multiple of the block size.
  std::uint32_t free_at = chains_begin + below(block_size);
  const auto fresh_blocks = [&](std::uint32_t blocks) {
    Bytes noise(std::size_t{blocks} * block_size);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    builder.put(free_at, noise);
    free_at += blocks * block_size;
    return free_at - blocks * block_size;
  };
  const auto block = [&](std::uint32_t first, std::uint32_t i) {
    return first + i * block_size;
  };
  // Blocks back to back, each pointing at the next; the last one's field
  // holds 0 or junk and is not followed.
  const auto contiguous = [&](std::uint32_t blocks) {
    const std::uint32_t first = fresh_blocks(blocks);
    for (std::uint32_t i = 0; i + 1 < blocks; ++i) {
      builder.put_u32(block(first, i), block(first, i + 1));
    }
    builder.put_u32(block(first, blocks - 1), below(2) * word());
    return first;
  };
  const auto junk_offset = [&]() -> std::uint32_t {
    switch (below(4)) {
      case 0:
        return word();
      case 1:
        return 0xFFFFFFFFu - below(8);  // no room for a payload offset
      case 2:
        return free_at + 1 + below(1 << 16);  // past the end
      default:
        return 400 + below(free_at - 400);  // anywhere, unaligned
    }
  };

  ChainShapesArchive archive;
  archive.block_size = block_size;
  std::unordered_set<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < count; ++i) {
    DatFileEntry entry;
    do entry.id = word();
    while (!ids.insert(entry.id).second);
    entry.bit_flags = below(4) == 0 ? 1 : 0;
    entry.size = below(10) == 0  ? 0
                 : below(8) == 0 ? 1 + below(std::min(40 * payload, 16384u))
                                 : 1 + below(4 * payload);
    const std::uint32_t blocks =
        std::max(1u, (entry.size + payload - 1) / payload);
    const std::uint32_t shape = below(10);
    if (shape <= 3) {
      entry.offset = contiguous(blocks);
    } else if (shape == 4) {
      // A next field of 0 before the end: the rest follows it.
      entry.offset = contiguous(blocks);
      builder.put_u32(block(entry.offset, below(blocks)), 0);
    } else if (shape == 5) {
      // One next field of junk.
      entry.offset = contiguous(blocks);
      builder.put_u32(block(entry.offset, below(blocks)), junk_offset());
    } else if (shape == 6) {
      // A loop back into the chain, asked for more than one round.
      entry.offset = contiguous(blocks);
      builder.put_u32(block(entry.offset, blocks - 1),
                      block(entry.offset, below(blocks)));
      entry.size = 1 + below(3 * blocks * payload);
    } else if (shape == 7) {
      // Scattered over twice as many blocks, in shuffled order.
      const std::uint32_t first = fresh_blocks(2 * blocks);
      std::vector<std::uint32_t> order(2 * blocks);
      std::iota(order.begin(), order.end(), 0u);
      std::shuffle(order.begin(), order.end(), random);
      entry.offset = block(first, order[0]);
      for (std::uint32_t j = 0; j + 1 < blocks; ++j) {
        builder.put_u32(block(first, order[j]), block(first, order[j + 1]));
      }
    } else if (shape == 8 && !archive.entries.empty()) {
      // Inside a chain laid out before, or the same chain again.
      const DatFileEntry& other = archive.entries[below(i)];
      entry.offset = block(other.offset, below(blocks));
      if (below(3) == 0) {
        entry.offset = other.offset;
        entry.size = other.size;
      }
    } else if (below(2) == 0) {
      entry.offset = junk_offset();
    } else {
      // More than the archive holds.
      entry.offset = contiguous(blocks);
      entry.size += 2 * free_at;
    }
    archive.entries.push_back(entry);
  }
  fresh_blocks(below(3));

  // A root leaf, or a root whose entries separate leaves of up to 61.
  Node root;
  const auto entries = std::span(archive.entries);
  const std::size_t separators = leaves == 0 ? entries.size() : leaves - 1;
  const auto in_root = entries.first(separators);
  root.entries.assign(in_root.begin(), in_root.end());
  for (std::uint32_t leaf = 0; leaf < leaves; ++leaf) {
    const auto rest = entries.subspan(separators + leaf * 61);
    const auto in_leaf = rest.first(std::min<std::size_t>(61, rest.size()));
    root.branches[leaf] = 400 + (1 + leaf) * node_span;
    builder.put_node(root.branches[leaf],
                     Node{{}, {in_leaf.begin(), in_leaf.end()}, std::nullopt});
  }
  builder.put_node(400, root);
  builder.header().root_offset = 400;

  archive.image = builder.bytes();
  if (below(4) == 0) {
    archive.image.resize(
        chains_begin +
        below(static_cast<std::uint32_t>(archive.image.size()) - chains_begin));
  }
  return archive;
}

}  // namespace quillstone_dat::testing
