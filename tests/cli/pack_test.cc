// `quillstone-dat pack`: a folder of id-named files becomes an archive whose
// files extract back byte for byte, in every storage mode; names that are
// no id are skipped, two files for one id and an existing archive are
// refused. A folder that extract wrote packs back into the same archive,
// through its manifest, which must agree with the folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/folder_files.h"
#include "cli/tool_process.h"
#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"
#include "support/id_text.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;

struct SourceFile {
  std::string name;
  std::uint32_t id;
  Bytes data;
};

// Files that compress well, files that do not, an empty one, and one over
// many blocks of any block size tried.
std::vector<SourceFile> source_files() {
  Bytes text;
  while (text.size() < 6000) {
    const Bytes line = bytes_of("a line of text that repeats itself, ");
    text.insert(text.end(), line.begin(), line.end());
  }
  Bytes noise(3000);
  std::uint32_t state = 12345;
  for (std::uint8_t& byte : noise) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return {
      {"0A000001.bin", 0x0A000001, text},
      {"0a000002", 0x0A000002, noise},
      {"00000000.txt", 0, {}},
      {"FFFFFFFF.dat", 0xFFFFFFFF, bytes_of("x")},
  };
}

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(in_);
    for (const SourceFile& file : source_files()) {
      write_bytes(in_ / file.name, file.data);
    }
  }

  TempDir dir_;
  const fs::path in_ = dir_ / "in";
  const fs::path archive_ = dir_ / "packed.dat";
};

TEST_F(PackTest, RoundTripsThroughExtractInEveryMode) {
  for (const char* mode : {"none", "all", "auto"}) {
    for (const char* block_size : {"8", "64", "1024"}) {
      const std::string label = std::string(mode) + " " + block_size;
      const ProcessResult packed =
          run_tool({"pack", in_.string(), archive_.string(), "--compress", mode,
                    "--block-size", block_size, "--force"});
      ASSERT_EQ(packed.exit_code, 0) << label << ": " << packed.err;
      EXPECT_EQ(packed.err, "") << label;

      const auto db = DatDatabase::open(archive_);
      ASSERT_TRUE(db) << label;
      EXPECT_EQ(db->header().block_size, std::stoul(block_size)) << label;
      for (const SourceFile& file : source_files()) {
        const DatFileEntry* entry = db->files().find(file.id);
        ASSERT_NE(entry, nullptr) << label << " " << file.name;
        // auto keeps the compressed form only for the text, which shrinks.
        const bool compressed =
            std::string(mode) == "all" ||
            (std::string(mode) == "auto" && file.id == 0x0A000001);
        EXPECT_EQ(entry->is_compressed(), compressed)
            << label << " " << file.name;
      }

      const fs::path out = dir_ / ("out-" + label);
      const ProcessResult extracted =
          run_tool({"extract", archive_.string(), out.string(), "--quiet"});
      ASSERT_EQ(extracted.exit_code, 0) << label << ": " << extracted.err;
      EXPECT_EQ(names_in(out),
                (std::vector<std::string>{"00000000.bin", "0A000001.bin",
                                          "0A000002.bin", "FFFFFFFF.bin",
                                          "manifest.json"}))
          << label;
      for (const SourceFile& file : source_files()) {
        const std::string name = bin_name(file.id);
        EXPECT_EQ(read_bytes(out / name), file.data) << label << " " << name;
      }
    }
  }
}

TEST_F(PackTest, RefusesToReplaceAnArchiveWithoutForce) {
  write_bytes(archive_, bytes_of("keep me"));
  const ProcessResult refused =
      run_tool({"pack", in_.string(), archive_.string()});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  EXPECT_EQ(read_bytes(archive_), bytes_of("keep me"));

  const ProcessResult forced =
      run_tool({"pack", in_.string(), archive_.string(), "--force"});
  ASSERT_EQ(forced.exit_code, 0) << forced.err;
  const auto db = DatDatabase::open(archive_);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->files().size(), 4u);
  // Only the archive: the temporary file went with the rename.
  EXPECT_EQ(names_in(dir_.path()),
            (std::vector<std::string>{"in", "packed.dat"}));
}

TEST_F(PackTest, SkipsWhatIsNotAnIdNamedRegularFile) {
  const std::vector<std::string> skipped = {
      "notes.txt",
      "0A00001.bin",             // seven digits
      "0A0000012",               // nine digits
      "0A000001.",               // a dot and no extension
      "0A00000G.bin",            // not hex
      ".0A000005.bin.tmp-1a2b",  // a leftover temporary file
  };
  for (const std::string& name : skipped)
    write_bytes(in_ / name, bytes_of("?"));
  fs::create_directory(in_ / "0A000006");

  const ProcessResult result =
      run_tool({"pack", in_.string(), archive_.string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  for (const std::string& name : skipped) {
    EXPECT_NE(result.err.find("skipping " + name + ": name is not a file id"),
              std::string::npos)
        << name << ": " << result.err;
  }
  EXPECT_NE(result.err.find("skipping 0A000006: not a regular file"),
            std::string::npos)
      << result.err;
  const auto db = DatDatabase::open(archive_);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->files().size(), 4u);
}

TEST_F(PackTest, TwoFilesForOneIdAreAnError) {
  write_bytes(in_ / "0A000001.txt", bytes_of("other"));
  const ProcessResult result =
      run_tool({"pack", in_.string(), archive_.string()});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("0A000001.bin 0A000001.txt"), std::string::npos)
      << result.err;
  EXPECT_FALSE(fs::exists(archive_));
  EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"in"}));
}

TEST_F(PackTest, AMissingFolderIsAPathError) {
  const std::string absent = (dir_ / "absent").string();
  const ProcessResult result = run_tool({"pack", absent, archive_.string()});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "quillstone-dat: " + absent +
                            ": cannot read: No such file or directory\n");
  const ProcessResult debug =
      run_tool({"--debug", "pack", absent, archive_.string()});
  EXPECT_TRUE(debug.err.starts_with("error: PathError")) << debug.err;
  EXPECT_FALSE(fs::exists(archive_));
}

TEST_F(PackTest, BadArgumentsAreUsageErrors) {
  const std::string in = in_.string();
  const std::string out = archive_.string();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"pack", in},
        {"pack", in, out, "--compress", "zip"},
        {"pack", in, out, "--block-size", "4"},
        {"pack", in, out, "--block-size", "4294967296"},
        {"pack", in, out, "--block-size", "-8"}}) {
    const ProcessResult result = run_tool(args);
    EXPECT_EQ(result.exit_code, 2) << args.back() << ": " << result.err;
    EXPECT_NE(result.err.find("usage: quillstone-dat pack"), std::string::npos)
        << result.err;
  }
  EXPECT_FALSE(fs::exists(archive_));
}

// One line per entry of `ls --json` without its offset, which a repacked
// archive may place elsewhere; and `info --json` without the fields the
// writer sets itself.
std::string entries_of(const fs::path& archive) {
  std::string text;
  for (const auto& line :
       lines_of(run_tool({"ls", archive.string(), "--json"}).out)) {
    auto object = nlohmann::ordered_json::parse(line);
    object.erase("offset");
    text += object.dump() + "\n";
  }
  return text;
}

nlohmann::ordered_json header_of(const fs::path& archive) {
  auto object = nlohmann::ordered_json::parse(
      run_tool({"info", archive.string(), "--json"}).out);
  for (const char* owned : {"file_size", "free_head", "free_tail", "free_count",
                            "new_lru", "old_lru", "use_lru"}) {
    object.erase(owned);
  }
  return object;
}

// The bytes `cat` (`cat --raw` when `raw`) gives of `id`, read in process:
// a tool run per file would make the test a thousand processes long.
Bytes cat_of(const DatDatabase& archive, std::uint32_t id, bool raw) {
  const auto bytes = raw ? archive.get_stored(id) : archive.get_file(id);
  EXPECT_TRUE(bytes.has_value()) << bytes.error().debug();
  return bytes.value_or(Bytes{});
}

// Extracts `archive` into a folder under `dir` (the stored bytes when
// `raw`) and packs that folder, with `pack_args`, into the archive it
// returns; both must succeed quietly.
fs::path extract_then_pack(const fs::path& archive, const fs::path& dir,
                           bool raw, std::vector<std::string> pack_args = {}) {
  const fs::path out = dir / (raw ? "raw" : "decoded");
  const fs::path copy = dir / (raw ? "raw.dat" : "decoded.dat");
  std::vector<std::string> extract = {"extract", archive.string(),
                                      out.string()};
  if (raw) extract.push_back("--raw");
  EXPECT_EQ(run_tool(extract).exit_code, 0) << raw;
  std::vector<std::string> pack = {"pack", out.string(), copy.string()};
  pack.insert(pack.end(), pack_args.begin(), pack_args.end());
  const ProcessResult packed = run_tool(pack);
  EXPECT_EQ(packed.exit_code, 0) << packed.err;
  EXPECT_EQ(packed.err, "");
  return copy;
}

TEST(PackManifestTest, ExtractThenPackGivesBackTheSampleArchive) {
  TempDir dir;
  const fs::path original = dir / "sample.dat";
  ASSERT_EQ(run_tool({"sample", original.string(), "--files", "300"}).exit_code,
            0);
  const auto db = DatDatabase::open(original);
  ASSERT_TRUE(db);

  for (const bool raw : {true, false}) {
    const fs::path copy = extract_then_pack(original, dir.path(), raw);

    EXPECT_EQ(entries_of(copy), entries_of(original)) << raw;
    EXPECT_EQ(header_of(copy), header_of(original)) << raw;
    const auto copied = DatDatabase::open(copy);
    ASSERT_TRUE(copied);
    for (const DatFileEntry& entry : db->files()) {
      ASSERT_EQ(cat_of(*copied, entry.id, raw), cat_of(*db, entry.id, raw))
          << entry.id;
    }
  }
}

TEST(PackManifestTest, KeepsFlagsTimesVersionsAndHeaderFields) {
  const Bytes text = bytes_of("words words words words words words");
  ArchiveBuilder builder;
  DatHeader& header = builder.header();
  header.magic = 0x5442;
  header.dataset = 3;
  header.master_map_id = 9;
  header.version_string = {'v', '2', 0, 0xff};
  header.version_minor = 11;
  std::vector<DatFileEntry> entries;
  for (std::uint32_t flags = 0; flags < 4; ++flags) {
    const Bytes stored = (flags & 1) != 0 ? lrs_literals(text) : text;
    DatFileEntry entry = builder.add_file(0x0A000000 + flags, stored, flags);
    entry.timestamp = 1'200'000'000 + flags;
    entry.version = 7 + flags;
    entries.push_back(entry);
  }
  builder.put_root(Node{{}, entries, std::nullopt});
  TempDir dir;
  const fs::path original = builder.write(dir / "flags.dat");

  for (const bool raw : {true, false}) {
    const fs::path copy =
        extract_then_pack(original, dir.path(), raw, {"--block-size", "64"});
    const auto packed = DatDatabase::open(copy);
    ASSERT_TRUE(packed);
    EXPECT_EQ(packed->header().block_size, 64u);
    EXPECT_EQ(packed->header().magic, 0x5442u);
    EXPECT_EQ(packed->header().dataset, 3u);
    EXPECT_EQ(packed->header().master_map_id, 9u);
    EXPECT_EQ(packed->header().version_string, header.version_string);
    EXPECT_EQ(packed->header().version_minor, 11u);
    for (const DatFileEntry& entry : entries) {
      const DatFileEntry* copied = packed->files().find(entry.id);
      ASSERT_NE(copied, nullptr);
      EXPECT_EQ(copied->bit_flags, entry.bit_flags) << raw;
      EXPECT_EQ(copied->timestamp, entry.timestamp) << raw;
      EXPECT_EQ(copied->version, entry.version) << raw;
      EXPECT_EQ(packed->get_file(entry.id), Bytes(text)) << raw << entry.id;
    }
  }
}

TEST(PackManifestTest, AManifestAtOddsWithTheFolderWritesNothing) {
  TempDir dir;
  const fs::path original = dir / "sample.dat";
  const fs::path out = dir / "out";
  ASSERT_EQ(run_tool({"sample", original.string(), "--files", "5"}).exit_code,
            0);
  ASSERT_EQ(run_tool({"extract", original.string(), out.string()}).exit_code,
            0);
  const fs::path manifest = out / "manifest.json";
  const Bytes written = read_bytes(manifest);
  const std::string good(written.begin(), written.end());
  const std::string first = names_in(out).front();
  const fs::path archive = dir / "packed.dat";

  const auto expect_refused = [&](const std::string& label,
                                  const std::string& message,
                                  std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"pack", out.string(), archive.string()};
    args.insert(args.end(), more.begin(), more.end());
    const ProcessResult result = run_tool(args);
    EXPECT_EQ(result.exit_code, 1) << label;
    EXPECT_NE(result.err.find(message), std::string::npos)
        << label << ": " << result.err;
    EXPECT_FALSE(fs::exists(archive)) << label;
  };

  fs::rename(out / first, dir / first);
  expect_refused("missing", first + " is missing: the manifest lists it");
  fs::rename(dir / first, out / first);

  write_bytes(out / "0B000001.bin", bytes_of("extra"));
  expect_refused("extra", "0B000001.bin is not in the manifest");
  fs::remove(out / "0B000001.bin");

  std::string twice = good;
  const std::size_t line = twice.find("    {\"id\"");
  twice.insert(line, twice.substr(line, twice.find('\n', line) + 1 - line));
  write_bytes(manifest, bytes_of(twice));
  expect_refused("twice", "malformed manifest: id 0x");

  write_bytes(manifest, bytes_of(good.substr(0, good.size() / 2)));
  expect_refused("cut", "malformed manifest: not valid JSON");

  write_bytes(manifest, bytes_of(good));
  expect_refused("compress", "--compress does not apply with a manifest",
                 {"--compress", "all"});
  ASSERT_EQ(run_tool({"pack", out.string(), archive.string()}).exit_code, 0);
}

}  // namespace
}  // namespace quillstone_dat::testing
