// Writes the seed corpora of the fuzz targets: small archives, well formed
// and broken in the ways the tests know, and LRS payloads. The output is
// the same on every run, so the committed corpus can be made again with
//
//   fuzz_make_seeds fuzz/corpus
//
// Each target reads the folder named after it.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "quillstone_dat/dat_file_entry.h"
#include "support/archive_builder.h"
#include "format/records.h"

namespace quillstone_dat::fuzz {
namespace {

using testing::ArchiveBuilder;
using testing::build_archive;
using testing::Bytes;
using testing::bytes_of;
using testing::encode_node;
using testing::lrs_literals;
using testing::Node;
using testing::TestFile;

// Bytes that do not repeat for a while, so that chains read the wrong
// block show in the output.
Bytes pattern(std::size_t size, std::uint8_t salt) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint8_t>(i * 7 + salt + (i >> 8));
  }
  return out;
}

Bytes lrs_payload(std::uint32_t declared,
                  std::initializer_list<std::uint8_t> stream) {
  Bytes out(kSizePrefixSize);
  encode_size_prefix(out, declared);
  out.insert(out.end(), stream);
  return out;
}

// "abcabc": three literals and one back-reference.
const Bytes kAbcabc = {0x06, 0x00, 0x00, 0x00, 0x10,
                       0x61, 0x62, 0x63, 0x03, 0x01};

std::vector<std::pair<std::string, Bytes>> archive_seeds() {
  std::vector<std::pair<std::string, Bytes>> seeds;
  seeds.emplace_back("empty_directory", ArchiveBuilder(256).bytes());
  seeds.emplace_back("short_header", Bytes(360, 0));

  seeds.emplace_back("one_file",
                     build_archive(std::vector<TestFile>{
                         {0x06000001, bytes_of("a single stored file"), 0}}));

  // Chains across scattered blocks, compressed and stored files mixed.
  {
    std::vector<TestFile> files = {
        {0x01000001, pattern(300, 1), 0},
        {0x01000002, lrs_literals(pattern(90, 2)), 1},
        {0x01000003, kAbcabc, 1},
        {0x01000004, {}, 0},
        {0x01000005, pattern(61, 5), 3},
    };
    seeds.emplace_back("scattered_chains", build_archive(files, 64));
  }

  // Past 61 files the directory has a root over leaves.
  {
    std::vector<TestFile> files;
    for (std::uint32_t i = 0; i < 70; ++i) {
      files.push_back({0x0A000000 + i * 3,
                       pattern(i % 5, static_cast<std::uint8_t>(i)), 0});
    }
    seeds.emplace_back("two_levels", build_archive(files, 64));
  }

  // A node read through a chain of small blocks.
  {
    ArchiveBuilder builder(128);
    const DatFileEntry file = builder.add_file(7, pattern(40, 7));
    const Bytes node = encode_node(Node{{}, {file}, std::nullopt});
    std::vector<std::uint32_t> blocks;
    const std::uint32_t base = builder.end();
    for (std::uint32_t i = 0; i < 14; ++i)
      blocks.push_back(base + (13 - i) * 128);
    builder.put_chain(blocks, node);
    builder.header().root_offset = blocks[0];
    seeds.emplace_back("node_in_chain", builder.bytes());
  }

  // Entries with the same id in a node and its child.
  {
    ArchiveBuilder builder(256);
    const DatFileEntry first = builder.add_file(9, bytes_of("parent"));
    const DatFileEntry second = builder.add_file(9, bytes_of("child"));
    const std::uint32_t child = builder.end();
    builder.put_node(child, Node{{}, {second}, std::nullopt});
    Node root{{}, {first}, std::nullopt};
    root.branches[0] = child;
    const std::uint32_t at = builder.end();
    builder.put_node(at, root);
    builder.header().root_offset = at;
    seeds.emplace_back("duplicate_ids", builder.bytes());
  }

  // A branch back to the root.
  {
    ArchiveBuilder builder(256);
    const std::uint32_t root = builder.end();
    Node node{{}, {}, std::nullopt};
    node.branches[0] = root;
    builder.put_node(root, node);
    builder.header().root_offset = root;
    seeds.emplace_back("directory_cycle", builder.bytes());
  }

  // A node that claims 62 entries.
  {
    ArchiveBuilder builder(256);
    const std::uint32_t root = builder.end();
    builder.put_node(root, Node{{}, {}, 62});
    builder.header().root_offset = root;
    seeds.emplace_back("entry_count_62", builder.bytes());
  }

  // A file whose chain loops back to its own block.
  {
    ArchiveBuilder builder(32);
    const std::uint32_t block = builder.end();
    const std::uint32_t blocks[] = {block};
    builder.put_chain(blocks, pattern(28, 3), block);
    const DatFileEntry looping{0, 5, block, 200, 0, 0};
    const std::uint32_t root = builder.end();
    builder.put_node(root, Node{{}, {looping}, std::nullopt});
    builder.header().root_offset = root;
    seeds.emplace_back("looping_chain", builder.bytes());
  }

  // Block sizes that leave no payload or almost none.
  for (const std::uint32_t block_size : {4u, 5u}) {
    ArchiveBuilder builder(block_size);
    const std::uint32_t first = builder.end();
    const std::uint32_t second = first + 64;
    builder.put_u32(first, second).put_u32(second, 0);
    const DatFileEntry chained{0, 1, first, 3, 0, 0};
    const std::uint32_t root = builder.end();
    builder.put_node(root, Node{{}, {chained}, std::nullopt});
    builder.header().root_offset = root;
    seeds.emplace_back("block_size_" + std::to_string(block_size),
                       builder.bytes());
  }

  // Offsets past the end, and a chain that leaves the file.
  {
    ArchiveBuilder builder(256);
    builder.header().root_offset = 0x7FFFFFF0;
    seeds.emplace_back("root_past_end", builder.bytes());
  }
  {
    const DatFileEntry outside{0, 2, 0xFFFFFFFE, 10, 0, 0};
    const DatFileEntry huge{1, 3, 400, 0xFFFFFFFF, 0, 0};
    ArchiveBuilder builder(256);
    const std::uint32_t root = builder.end();
    builder.put_node(root, Node{{}, {outside, huge}, std::nullopt});
    builder.header().root_offset = root;
    seeds.emplace_back("entries_past_end", builder.bytes());
  }

  // A deep path of internal nodes, one entry each.
  {
    ArchiveBuilder builder(256);
    std::uint32_t below = 0;
    for (std::uint32_t level = 0; level < 8; ++level) {
      const DatFileEntry entry =
          builder.add_file(100 + level, pattern(level, 9));
      Node node{{}, {entry}, std::nullopt};
      node.branches[0] = below;
      const std::uint32_t at = builder.end();
      builder.put_node(at, node);
      below = at;
    }
    builder.header().root_offset = below;
    seeds.emplace_back("deep_path", builder.bytes());
  }
  return seeds;
}

std::vector<std::pair<std::string, Bytes>> lrs_seeds() {
  std::vector<std::pair<std::string, Bytes>> seeds;
  seeds.emplace_back("abcabc", kAbcabc);
  seeds.emplace_back("run_of_a", lrs_payload(5, {0x40, 0x61, 0x01, 0x02}));
  seeds.emplace_back("no_prefix", Bytes{0x61, 0x62});
  seeds.emplace_back("literals", lrs_literals(pattern(40, 11)));
  seeds.emplace_back("end_mark",
                     lrs_payload(10, {0x20, 0x61, 0x62, 0x00, 0x0F, 0x63}));
  seeds.emplace_back(
      "distance_past_start",
      lrs_payload(10, {0x08, 0x61, 0x62, 0x63, 0x64, 0x05, 0x04}));
  seeds.emplace_back(
      "declared_too_large",
      lrs_payload(0xFFFFFFFF, {0x60, 0x61, 0x01, 0x0F, 0x01, 0x0F}));
  seeds.emplace_back("stream_cut", lrs_payload(20, {0x40, 0x61, 0x01}));
  seeds.emplace_back("reference_first",
                     lrs_payload(5, {0x80, 0x01, 0x02, 0x61}));
  // 296 literals, then a back-reference whose distance needs the high
  // nibble.
  {
    Bytes far(kSizePrefixSize);
    encode_size_prefix(far, 299);
    for (std::size_t i = 0; i < 296; ++i) {
      if (i % 8 == 0) far.push_back(0);
      far.push_back(static_cast<std::uint8_t>(i * 13 + 5));
    }
    far.insert(far.end(), {0x80, 0x01, 0x11});
    seeds.emplace_back("far_distance", far);
  }
  return seeds;
}

// Inputs for the encoder: empty, text, runs, noise and data whose matches
// lie at the window's far edge.
std::vector<std::pair<std::string, Bytes>> lrs_roundtrip_seeds() {
  std::vector<std::pair<std::string, Bytes>> seeds;
  seeds.emplace_back("empty", Bytes{});
  seeds.emplace_back("one_byte", Bytes{0x61});
  seeds.emplace_back("text", bytes_of("the quick brown fox jumps over the "
                                      "lazy dog; the quick brown fox jumps"));
  seeds.emplace_back("run", Bytes(300, 0x41));
  seeds.emplace_back("noise", pattern(500, 3));
  {
    Bytes far = pattern(4095, 17);
    const Bytes head(far.begin(), far.begin() + 40);
    far.insert(far.end(), head.begin(), head.end());
    seeds.emplace_back("window_edge", far);
  }
  return seeds;
}

// Programs for the writer target's reader (fuzzed_file_set.h): block size
// choice, four bytes of magic, then control bytes and their arguments.
std::vector<std::pair<std::string, Bytes>> writer_seeds() {
  const Bytes magic = {0x00, 0x00, 0x54, 0x42};
  auto program = [&](std::uint8_t block_choice, Bytes body) {
    Bytes out = {block_choice};
    out.insert(out.end(), magic.begin(), magic.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
  };
  std::vector<std::pair<std::string, Bytes>> seeds;
  seeds.emplace_back("no_files", program(8, {}));
  // Each storage once, short contents from the input.
  seeds.emplace_back(
      "each_storage",
      program(0, {0x20, 5,    'h', 'e',  'l', 'l',  'o',  0x21, 6,
                  'a',  'b',  'c', 'a',  'b', 'c',  0x22, 4,    'x',
                  'x',  'x',  'x', 0x23, 1,   10,   0x06, 0x00, 0x00,
                  0x00, 0x10, 'a', 'b',  'c', 0x03, 0x01}));
  // A run of 5000 bytes, compressed, in blocks of 64.
  seeds.emplace_back("long_run", program(6, {0xE1, 0x13, 0x87, 0x41}));
  // Duplicates, ids at the top of the range and a scrambled one.
  seeds.emplace_back(
      "ids",
      program(9, {0x20, 1,    'a',  0x2C, 1,    'b',  0x10, 0x00, 0x10, 0x01,
                  0x18, 0x08, 0x00, 0x00, 0x00, 0x00, 0x31, 0x02, 1,    'z'}));
  // 4096 empty files make a directory of three levels.
  seeds.emplace_back("deep_directory", program(1, {0x14, 0xFF, 0x14, 0xFF}));
  // A block size under the minimum is refused.
  seeds.emplace_back("block_size_7", program(12, {0x20, 1, 'a'}));
  return seeds;
}

// Programs for the editor's target (edit_fuzzer.cc): block size choice,
// starting archive, then steps. A put is 0x00 (plain) or 0x08 (compressed)
// with an id choice, a size and a salt; 0x03 removes, 0x04 commits, 0x05
// cuts the power in a commit, 0x06 and 0x0E fail its writes, 0x07 opens a
// new editor.
std::vector<std::pair<std::string, Bytes>> edit_seeds() {
  const auto put = [](std::uint8_t id, std::uint8_t size) {
    return Bytes{0x00, static_cast<std::uint8_t>(id << 1 | 1), size, id};
  };
  const auto join = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
      out.insert(out.end(), part.begin(), part.end());
    return out;
  };
  std::vector<std::pair<std::string, Bytes>> seeds;
  // Blocks of 64 from an empty archive: puts, a commit, removes, a commit.
  seeds.emplace_back("puts_and_removes",
                     join({{4, 0},
                           put(1, 10),
                           put(2, 200),
                           put(3, 0),
                           {0x08, 9, 90, 4, 0x04, 0x03, 2, 0x03, 4, 0x04}}));
  // 79 scattered files in two levels: removals merge leaves, puts split.
  {
    Bytes program = {2, 1, 79};
    for (std::uint8_t i = 0; i < 79; ++i) program.push_back(i % 7);
    for (std::uint8_t i = 0; i < 30; ++i)
      program.insert(program.end(), {0x03, static_cast<std::uint8_t>(i * 4)});
    program.push_back(0x04);
    for (std::uint8_t i = 0; i < 40; ++i) {
      const Bytes more = put(static_cast<std::uint8_t>(90 + i), i);
      program.insert(program.end(), more.begin(), more.end());
    }
    program.push_back(0x04);
    seeds.emplace_back("split_and_merge", program);
  }
  // Power cuts: a reordered one, then one torn in a long write.
  seeds.emplace_back("power_cuts",
                     join({{6, 1, 12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                           put(20, 255),
                           {0x03, 2, 0x05, 2, 1},
                           put(21, 250),
                           {0x05, 1, 4}}));
  // A free list made of input bytes, which the editor must not trust.
  seeds.emplace_back(
      "free_list_from_input",
      join({{3, 3, 6, 9, 9, 9, 9, 9, 9, 0x02, 0x00, 0x02, 0x00, 3},
            put(30, 40),
            {0x04}}));
  // Writes failing: the disk full at the first, an I/O error at the third.
  seeds.emplace_back("failing_writes", join({{5, 1, 4, 50, 60, 70, 80},
                                             put(40, 100),
                                             {0x0E, 0},
                                             put(41, 100),
                                             {0x06, 2, 0x07}}));
  return seeds;
}

bool write_all(const std::filesystem::path& folder,
               const std::vector<std::pair<std::string, Bytes>>& seeds) {
  std::filesystem::create_directories(folder);
  for (const auto& [name, bytes] : seeds) {
    testing::write_bytes(folder / ("seed_" + name), bytes);
  }
  return true;
}

}  // namespace
}  // namespace quillstone_dat::fuzz

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  using namespace quillstone_dat::fuzz;
  write_all(root / "archive", archive_seeds());
  write_all(root / "lrs", lrs_seeds());
  write_all(root / "lrs_roundtrip", lrs_roundtrip_seeds());
  write_all(root / "writer", writer_seeds());
  write_all(root / "edit", edit_seeds());
  return 0;
}
