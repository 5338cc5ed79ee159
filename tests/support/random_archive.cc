#include "support/random_archive.h"

#include <algorithm>
#include <numeric>
#include <random>
#include <unordered_set>
#include <utility>

#include "format/records.h"

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
  const auto below = [&](std::uint32_t n) {
    return static_cast<std::uint32_t>(random() % n);
  };
  // Blocks of 4 bytes or less carry no payload: a chain may only start
  // with a next field of 0 there.
  static constexpr std::uint32_t kBlockSizes[] = {3,  4,  5,  6,   7,   8,   13,
                                                  16, 31, 64, 100, 256, 1024};
  const std::uint32_t block_size = kBlockSizes[below(std::size(kBlockSizes))];
  const std::uint32_t payload = std::max(block_size, 5u) - kNextFieldSize;
  const std::uint32_t count = 1 + below(below(4) == 0 ? 300 : 60);
  const std::uint32_t leaves = count <= 61 ? 0 : (count + 1 + 61) / 62;
  const std::uint32_t node_span = kNextFieldSize + kNodeSize;

  ArchiveBuilder builder(block_size);
  // Chains start past the directory, at an offset that need not be a
  // multiple of the block size.
  std::uint32_t free_at = 400 + (1 + leaves) * node_span + below(block_size);
  const auto fresh_blocks = [&](std::uint32_t blocks) {
    const std::uint32_t at = free_at;
    Bytes noise(std::size_t{blocks} * block_size);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    builder.put(at, noise);
    free_at += blocks * block_size;
    return at;
  };
  const auto link = [&](std::uint32_t block, std::uint32_t next) {
    builder.put_u32(block, next);
  };
  const auto junk_offset = [&] {
    switch (below(3)) {
      case 0:
        return below(2) == 0 ? static_cast<std::uint32_t>(random())
                             : 0xFFFFFFFFu - below(8);  // no room for payload
      case 1:
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
    do entry.id = static_cast<std::uint32_t>(random());
    while (!ids.insert(entry.id).second);
    entry.bit_flags = below(4) == 0 ? 1 : 0;
    entry.size = below(10) == 0  ? 0
                 : below(8) == 0 ? 1 + below(std::min(40 * payload, 16384u))
                                 : 1 + below(4 * payload);
    const std::uint32_t blocks = (entry.size + payload - 1) / payload;
    const std::uint32_t shape = below(10);
    if (shape <= 3) {
      // Contiguous; the last field holds 0 or junk, and is not followed.
      entry.offset = fresh_blocks(std::max(blocks, 1u));
      for (std::uint32_t j = 0; j + 1 < blocks; ++j) {
        link(entry.offset + j * block_size,
             entry.offset + (j + 1) * block_size);
      }
      if (blocks > 0) {
        link(entry.offset + (blocks - 1) * block_size,
             below(2) == 0 ? 0 : static_cast<std::uint32_t>(random()));
      }
      if (entry.bit_flags != 0 && shape == 0 && blocks > 0) {
        // A real LRS payload of exactly the entry's size.
        Bytes data(entry.size > 4 ? (entry.size - 4) * 8 / 9 : 0);
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        Bytes stored = lrs_literals(data);
        stored.resize(entry.size);
        for (std::uint32_t j = 0; j < blocks; ++j) {
          const std::uint32_t n = std::min(payload, entry.size - j * payload);
          builder.put(entry.offset + j * block_size + kNextFieldSize,
                      std::span(stored).subspan(j * payload, n));
        }
      }
    } else if (shape == 4) {
      // Contiguous until a next field of 0: the rest follows it.
      entry.offset = fresh_blocks(std::max(blocks, 1u));
      const std::uint32_t zero_at = blocks > 1 ? below(blocks - 1) : 0;
      for (std::uint32_t j = 0; j < zero_at; ++j) {
        link(entry.offset + j * block_size,
             entry.offset + (j + 1) * block_size);
      }
      link(entry.offset + zero_at * block_size, 0);
    } else if (shape == 5) {
      // Scattered over twice as many blocks, in shuffled order.
      const std::uint32_t base = fresh_blocks(2 * std::max(blocks, 1u));
      std::vector<std::uint32_t> order(2 * std::max(blocks, 1u));
      std::iota(order.begin(), order.end(), 0u);
      std::shuffle(order.begin(), order.end(), random);
      entry.offset = base + order[0] * block_size;
      for (std::uint32_t j = 0; j + 1 < blocks; ++j) {
        link(base + order[j] * block_size, base + order[j + 1] * block_size);
      }
    } else if (shape == 6) {
      // A loop: the last block leads back into the chain, and the entry
      // asks for more than one round.
      const std::uint32_t loop_blocks = 1 + below(4);
      entry.offset = fresh_blocks(loop_blocks);
      for (std::uint32_t j = 0; j + 1 < loop_blocks; ++j) {
        link(entry.offset + j * block_size,
             entry.offset + (j + 1) * block_size);
      }
      link(entry.offset + (loop_blocks - 1) * block_size,
           entry.offset + below(loop_blocks) * block_size);
      entry.size = 1 + below(6 * loop_blocks * payload);
    } else if (shape == 7 && !archive.entries.empty()) {
      // Sharing blocks with a chain already laid out, or all of it.
      const DatFileEntry& other = archive.entries[below(
          static_cast<std::uint32_t>(archive.entries.size()))];
      const std::uint32_t other_blocks = (other.size + payload - 1) / payload;
      entry.offset =
          other.offset + below(std::max(other_blocks, 1u)) * block_size;
      if (below(3) == 0) {
        entry.offset = other.offset;
        entry.size = other.size;
      }
    } else if (shape == 8) {
      // Contiguous but for one next field of junk.
      entry.offset = fresh_blocks(std::max(blocks, 1u));
      for (std::uint32_t j = 0; j + 1 < blocks; ++j) {
        link(entry.offset + j * block_size,
             entry.offset + (j + 1) * block_size);
      }
      if (blocks > 1) {
        link(entry.offset + below(blocks - 1) * block_size, junk_offset());
      }
    } else {
      // An entry that points anywhere, or asks for more than the archive
      // holds.
      if (below(2) == 0) {
        entry.offset = junk_offset();
      } else {
        entry.offset = fresh_blocks(std::max(blocks, 1u));
        for (std::uint32_t j = 0; j + 1 < blocks; ++j) {
          link(entry.offset + j * block_size,
               entry.offset + (j + 1) * block_size);
        }
        entry.size += 2 * free_at;
      }
    }
    archive.entries.push_back(entry);
  }
  fresh_blocks(below(3));

  // The directory: a root leaf, or a root whose entries separate leaves.
  Node root;
  std::size_t next = 0;
  for (std::uint32_t leaf = 0; leaf < leaves; ++leaf) {
    const std::size_t take = std::min<std::size_t>(
        61, archive.entries.size() - next - (leaves - 1 - leaf));
    Node node;
    const auto from =
        archive.entries.begin() + static_cast<std::ptrdiff_t>(next);
    node.entries.assign(from, from + static_cast<std::ptrdiff_t>(take));
    next += take;
    const std::uint32_t at = 400 + (1 + leaf) * node_span;
    builder.put_node(at, node);
    root.branches[leaf] = at;
    if (leaf + 1 < leaves) root.entries.push_back(archive.entries[next++]);
  }
  root.entries.insert(
      root.entries.end(),
      archive.entries.begin() + static_cast<std::ptrdiff_t>(next),
      archive.entries.end());
  builder.put_node(400, root);
  builder.header().root_offset = 400;

  archive.image = builder.bytes();
  if (below(4) == 0) {
    const std::uint32_t chains_begin = 400 + (1 + leaves) * node_span;
    archive.image.resize(
        chains_begin +
        below(static_cast<std::uint32_t>(archive.image.size()) - chains_begin));
  }
  return archive;
}

}  // namespace quillstone_dat::testing
