// What the tool says about archives it cannot open: for every archive of a
// set of malformed ones, each command that opens archives gives one line
// naming the file and saying in plain words what is wrong, and after
// --debug exactly "error: " and the library's debug form of the error.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli/tool_process.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_writer.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;

struct Malformed {
  std::string name;
  // Makes the archive at the given path.
  std::function<void(const fs::path&)> make;
  // The message after "quillstone-dat: PATH: ".
  std::string says;
};

// A small archive as the writer lays it out, cut to `length` bytes.
void cut_archive(const fs::path& path, std::size_t length) {
  DatWriter writer({.block_size = 256});
  for (std::uint32_t id = 1; id <= 100; ++id) {
    ASSERT_TRUE(writer.add({.id = id, .contents = Bytes(300, 1)}));
  }
  ASSERT_TRUE(writer.write(path));
  fs::resize_file(path, length);
}

// Node `count` levels deep, each leading to the next.
void deep_directory(const fs::path& path, std::uint32_t count) {
  ArchiveBuilder builder;
  builder.put_nested_nodes(count, [](std::uint32_t level, std::uint32_t child) {
    return Node{{child}, {{0, level, 0, 0, 0, 0}}, 0};
  });
  builder.write(path);
}

std::vector<Malformed> malformed_set() {
  return {
      {"empty", [](const fs::path& p) { write_bytes(p, {}); },
       "not a DAT archive: the file is empty"},
      {"short", [](const fs::path& p) { write_bytes(p, Bytes(322, 0)); },
       "not a DAT archive, or truncated: the file is 322 bytes and its "
       "header ends at byte 400"},
      {"folder", [](const fs::path& p) { fs::create_directory(p); },
       "is a directory"},
      {"missing", [](const fs::path&) {}, "No such file or directory"},
      {"fifo", [](const fs::path& p) { ::mkfifo(p.c_str(), 0600); },
       "not a regular file: an archive is read at offsets, and this file "
       "cannot seek"},
      {"cut short", [](const fs::path& p) { cut_archive(p, 30000); },
       "truncated: directory node at 0x0000"},
      {"noise",
       [](const fs::path& p) {
         Bytes noise(5000);
         std::uint32_t state = 99;
         for (std::uint8_t& byte : noise) {
           state = state * 1103515245u + 12345u;
           byte = static_cast<std::uint8_t>(state >> 24);
         }
         write_bytes(p, noise);
       },
       "not a DAT archive, or truncated: directory node at 0x"},
      {"node reached twice",
       [](const fs::path& p) {
         ArchiveBuilder builder;
         builder.put_root(Node{{}, {}, std::nullopt});
         const std::uint32_t root = builder.header().root_offset;
         builder.put_node(root, Node{{root}, {{0, 1, 0, 0, 0, 0}}, 0});
         builder.write(p);
       },
       "damaged: directory node at offset "},
      {"entry count past the node",
       [](const fs::path& p) {
         ArchiveBuilder builder;
         builder.put_root(Node{{}, {}, 62});
         builder.write(p);
       },
       "damaged directory: a node counts more entries than its 61 slots"},
      {"too deep", [](const fs::path& p) { deep_directory(p, 70); },
       "damaged: directory nests deeper than 64 levels"},
      {"tiny blocks",
       [](const fs::path& p) {
         ArchiveBuilder builder(64);
         const std::uint32_t a = builder.end();
         const std::uint32_t blocks[] = {a, a + 64};
         builder.put_chain(blocks, encode_node(Node{{}, {}, std::nullopt}));
         builder.header().root_offset = a;
         builder.header().block_size = 4;
         builder.write(p);
       },
       "damaged: block size 4"},
  };
}

TEST(ErrorMessageTest, EveryMalformedArchiveIsNamedAndExplained) {
  TempDir dir;
  for (const Malformed& archive : malformed_set()) {
    const fs::path path = dir / (archive.name + ".dat");
    archive.make(path);
    const auto opened = DatDatabase::open(path);
    ASSERT_FALSE(opened) << archive.name;
    const std::string prefix = "quillstone-dat: " + path.string() + ": ";

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", path.string()},
          {"ls", path.string()},
          {"cat", path.string(), "1"},
          {"extract", path.string(), (dir / "out").string()}}) {
      const ProcessResult plain = run_tool(args);
      EXPECT_EQ(plain.exit_code, 1) << archive.name << " " << args[0];
      EXPECT_TRUE(plain.err.starts_with(prefix + archive.says))
          << archive.name << " " << args[0] << ": " << plain.err;
      EXPECT_EQ(plain.err.find('\n'), plain.err.size() - 1)
          << archive.name << ": " << plain.err;

      std::vector<std::string> debug_args = args;
      debug_args.insert(debug_args.begin(), "--debug");
      const ProcessResult debug = run_tool(debug_args);
      EXPECT_EQ(debug.exit_code, 1) << archive.name << " " << args[0];
      EXPECT_EQ(debug.err, "error: " + opened.error().debug() + "\n")
          << archive.name << " " << args[0];
    }
  }
  EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
}  // namespace quillstone_dat::testing
