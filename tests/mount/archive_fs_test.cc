// The mount's file system called directly, without the kernel: names,
// attributes, listings with offsets, reads at random offsets, handles,
// the decoded-file cache, errors, damaged archives and an archive written
// while mounted.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>

#include "manifest.h"
#include "mount/archive_fs.h"
#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/lrs.h"
#include "support/archive_builder.h"
#include "support/random_archive.h"
#include "written_file.h"

namespace quillstone_dat::testing {
namespace {

using tool::ArchiveFs;
using tool::ArchiveFsOptions;
using tool::FsAttr;

struct Listed {
  std::string name;
  FsAttr attr;
  std::uint64_t next;
};

std::vector<Listed> list(ArchiveFs& fs, std::uint64_t offset, bool plus,
                         std::size_t limit = SIZE_MAX) {
  std::vector<Listed> listed;
  EXPECT_EQ(fs.readdir(ArchiveFs::kRootIno, offset, plus,
                       [&](std::string_view name, const FsAttr& attr,
                           std::uint64_t next) {
                         if (listed.size() == limit) return false;
                         listed.push_back({std::string(name), attr, next});
                         return true;
                       }),
            0);
  return listed;
}

Bytes read_all(ArchiveFs& fs, std::uint64_t ino, int* error = nullptr) {
  auto handle = fs.open_file(ino, O_RDONLY);
  if (!handle) {
    if (error) *error = handle.error();
    return {};
  }
  Bytes all;
  std::uint8_t buffer[70000];
  for (;;) {
    auto n = fs.read(*handle, all.size(), buffer);
    if (!n) {
      if (error) *error = n.error();
      break;
    }
    if (*n == 0) break;
    all.insert(all.end(), buffer, buffer + *n);
  }
  fs.release(*handle);
  return all;
}

// An archive of stored and compressed files, short LRS streams among them.
struct Sample {
  TempDir dir;
  std::filesystem::path path = dir / "a.dat";
  std::map<std::uint32_t, Bytes> contents;  // what get_file gives
  std::map<std::uint32_t, DatFileEntry> entries;

  std::uint32_t first_id(bool compressed) const {
    for (const auto& [id, entry] : entries) {
      if (entry.is_compressed() == compressed) return id;
    }
    return 0;
  }
};

std::unique_ptr<Sample> make_sample() {
  auto sample = std::make_unique<Sample>();
  std::mt19937 random(3);
  DatWriter writer({.block_size = 256});
  for (std::uint32_t id = 0x0A000000; id < 0x0A000000 + 60; ++id) {
    Bytes contents(random() % 20000);
    for (auto& byte : contents) byte = static_cast<std::uint8_t>(random() % 5);
    WriterFile file{.id = id, .contents = contents,
                    .timestamp = id % 7 == 0 ? 0 : 1600000000 + id % 1000};
    if (id % 3 == 1) {
      Bytes stored = compress_lrs(contents);
      if (id % 2 == 0 && stored.size() > 10) stored.resize(stored.size() / 2);
      file.contents = stored;
      file.storage = Storage::kPreStored;
      file.bit_flags = 1;
      contents = decompress_lrs(stored);
    }
    EXPECT_TRUE(writer.add(std::move(file)).has_value());
    sample->contents[id] = contents;
  }
  EXPECT_TRUE(writer.write(sample->path).has_value());
  auto db = DatDatabase::open(sample->path);
  for (const DatFileEntry& entry : db->files()) sample->entries[entry.id] = entry;
  return sample;
}

std::unique_ptr<ArchiveFs> open_fs(const std::filesystem::path& path,
                                   ArchiveFsOptions options = {}) {
  options.mount_time = 1700000000;
  auto fs = ArchiveFs::open(path, std::move(options));
  EXPECT_TRUE(fs.has_value()) << fs.error().debug();
  return fs ? std::move(*fs) : nullptr;
}

TEST(ArchiveFsTest, LooksUpNamesAsExtractNamesThem) {
  auto sample = make_sample();
  auto fs = open_fs(sample->path);
  for (const auto& [id, contents] : sample->contents) {
    auto attr = fs->lookup(ArchiveFs::kRootIno, tool::file_name_of(id));
    ASSERT_TRUE(attr.has_value());
    EXPECT_EQ(attr->ino, std::uint64_t{id} + 2);
    EXPECT_EQ(attr->size, contents.size());  // short streams included
    const std::uint32_t timestamp = sample->entries[id].timestamp;
    EXPECT_EQ(attr->mtime, timestamp != 0 ? timestamp : 1700000000);
    auto again = fs->getattr(attr->ino);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->size, attr->size);
  }
  EXPECT_EQ(fs->lookup(ArchiveFs::kRootIno, "0a000001.bin").error(), ENOENT);
  EXPECT_EQ(fs->lookup(ArchiveFs::kRootIno, "0A000001").error(), ENOENT);
  EXPECT_EQ(fs->lookup(ArchiveFs::kRootIno, "0B000001.bin").error(), ENOENT);
  EXPECT_EQ(fs->lookup(ArchiveFs::kRootIno, "x").error(), ENOENT);
  EXPECT_EQ(fs->lookup(ArchiveFs::ino_of(0x0A000001), "x").error(), ENOTDIR);
  EXPECT_EQ(fs->getattr(ArchiveFs::ino_of(0x0B000000)).error(), ENOENT);
  EXPECT_EQ(fs->getattr(0).error(), ENOENT);
  EXPECT_TRUE(fs->getattr(ArchiveFs::kRootIno)->directory);
  auto manifest = fs->lookup(ArchiveFs::kRootIno, "manifest.json");
  ASSERT_TRUE(manifest.has_value());
  EXPECT_EQ(manifest->ino, ArchiveFs::kManifestIno);
}

TEST(ArchiveFsTest, ListsFromAnyOffset) {
  auto sample = make_sample();
  auto fs = open_fs(sample->path);
  const std::vector<Listed> all = list(*fs, 0, true);
  ASSERT_EQ(all.size(), sample->contents.size() + 3);
  EXPECT_EQ(all[0].name, ".");
  EXPECT_EQ(all[1].name, "..");
  EXPECT_EQ(all[2].name, "manifest.json");
  auto id = sample->contents.begin();
  for (std::size_t i = 3; i < all.size(); ++i, ++id) {
    EXPECT_EQ(all[i].name, tool::file_name_of(id->first));
    EXPECT_EQ(all[i].attr.ino, ArchiveFs::ino_of(id->first));
    EXPECT_EQ(all[i].next, i + 1);
    const bool compressed = sample->entries[id->first].is_compressed();
    // A compressed file's size is not known before it is measured.
    EXPECT_EQ(all[i].attr.complete, !compressed);
    if (!compressed) {
      EXPECT_EQ(all[i].attr.size, id->second.size());
    }
  }
  // Resumed from each offset, in pieces of 7, the listing is the same.
  std::vector<std::string> pieced;
  std::uint64_t offset = 0;
  for (;;) {
    auto piece = list(*fs, offset, false, 7);
    if (piece.empty()) break;
    for (const Listed& entry : piece) pieced.push_back(entry.name);
    offset = piece.back().next;
  }
  ASSERT_EQ(pieced.size(), all.size());
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(pieced[i], all[i].name);
  EXPECT_TRUE(list(*fs, all.size() + 10, true).empty());
  // Once measured, a compressed file's attributes come with the listing.
  const std::uint32_t compressed = sample->first_id(true);
  ASSERT_TRUE(fs->getattr(ArchiveFs::ino_of(compressed)).has_value());
  for (const Listed& entry : list(*fs, 0, true)) {
    if (entry.attr.ino == ArchiveFs::ino_of(compressed)) {
      EXPECT_TRUE(entry.attr.complete);
      EXPECT_EQ(entry.attr.size, sample->contents[compressed].size());
    }
  }
  EXPECT_EQ(fs->readdir(ArchiveFs::ino_of(compressed), 0, false,
                        [](auto, auto&, auto) { return true; }),
            ENOTDIR);
}

TEST(ArchiveFsTest, ReadsAtRandomOffsetsAndSizes) {
  auto sample = make_sample();
  auto fs = open_fs(sample->path);
  std::mt19937 random(5);
  for (const auto& [id, contents] : sample->contents) {
    EXPECT_EQ(read_all(*fs, ArchiveFs::ino_of(id)), contents);
    auto handle = fs->open_file(ArchiveFs::ino_of(id), O_RDONLY);
    ASSERT_TRUE(handle.has_value());
    for (int i = 0; i < 30; ++i) {
      const std::uint64_t at = random() % (contents.size() + 50);
      Bytes buffer(1 + random() % 9000);
      auto n = fs->read(*handle, at, buffer);
      ASSERT_TRUE(n.has_value());
      const std::size_t expected =
          at >= contents.size() ? 0 : std::min(buffer.size(), contents.size() - at);
      ASSERT_EQ(*n, expected);
      EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*n),
                             contents.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(at, contents.size()))));
    }
    fs->release(*handle);
  }
  EXPECT_EQ(fs->open_handles(), 0u);
}

TEST(ArchiveFsTest, ManifestIsExtractsAndRawShowsStoredBytes) {
  auto sample = make_sample();
  for (bool raw : {false, true}) {
    auto fs = open_fs(sample->path, {.raw = raw, .log = {}});
    auto db = DatDatabase::open(sample->path);
    tool::Manifest manifest{.header = db->header(),
                            .block_size = db->header().block_size,
                            .entries = {}};
    for (const DatFileEntry& entry : db->files().sorted_entries()) {
      manifest.entries.push_back(tool::manifest_entry_of(entry, raw));
    }
    const std::string text = tool::render_manifest(manifest);
    const Bytes got = read_all(*fs, ArchiveFs::kManifestIno);
    EXPECT_EQ(std::string(got.begin(), got.end()), text);
    EXPECT_EQ(fs->getattr(ArchiveFs::kManifestIno)->size, text.size());
    // In pieces at any offset.
    auto handle = fs->open_file(ArchiveFs::kManifestIno, O_RDONLY);
    std::mt19937 random(1);
    for (int i = 0; i < 50; ++i) {
      const std::uint64_t at = random() % text.size();
      Bytes buffer(1 + random() % 3000);
      auto n = fs->read(*handle, at, buffer);
      ASSERT_TRUE(n.has_value());
      EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*n)),
                text.substr(at, buffer.size()));
    }
    fs->release(*handle);
    if (raw) {
      for (const auto& [id, entry] : sample->entries) {
        EXPECT_EQ(read_all(*fs, ArchiveFs::ino_of(id)), *db->get_stored(id));
        EXPECT_EQ(fs->getattr(ArchiveFs::ino_of(id))->size, entry.size);
      }
    }
  }
}

TEST(ArchiveFsTest, RefusesWritesAndDirectoriesAsFiles) {
  auto sample = make_sample();
  auto fs = open_fs(sample->path);
  const std::uint64_t ino = ArchiveFs::ino_of(0x0A000000);
  EXPECT_EQ(fs->open_file(ino, O_WRONLY).error(), EROFS);
  EXPECT_EQ(fs->open_file(ino, O_RDWR).error(), EROFS);
  EXPECT_EQ(fs->open_file(ino, O_RDONLY | O_TRUNC).error(), EROFS);
  EXPECT_EQ(fs->open_file(ArchiveFs::kRootIno, O_RDONLY).error(), EISDIR);
  EXPECT_EQ(fs->open_file(ArchiveFs::ino_of(0x0B000000), O_RDONLY).error(), ENOENT);
  const auto stat = fs->statfs();
  EXPECT_EQ(stat.files, sample->contents.size() + 1);
  EXPECT_EQ(stat.bytes, std::filesystem::file_size(sample->path));
}

TEST(ArchiveFsTest, DecodesOncePerFileSharedAndBounded) {
  auto sample = make_sample();
  auto fs = open_fs(sample->path, {.cache_bytes = 30000, .log = {}});
  const std::uint32_t id = sample->first_id(true);
  std::vector<std::uint64_t> handles;
  for (int i = 0; i < 4; ++i) handles.push_back(*fs->open_file(ArchiveFs::ino_of(id), O_RDONLY));
  std::vector<std::thread> readers;
  for (std::uint64_t handle : handles) {
    readers.emplace_back([&, handle] {
      Bytes buffer(sample->contents[id].size() + 1);
      auto n = fs->read(handle, 0, buffer);
      ASSERT_TRUE(n.has_value());
      buffer.resize(*n);
      EXPECT_EQ(buffer, sample->contents[id]);
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(fs->cached_files(), 1u);
  EXPECT_EQ(fs->cached_bytes(), sample->contents[id].size());
  for (std::uint64_t handle : handles) fs->release(handle);
  // Every compressed file read once: the cache stays within its bound.
  for (const auto& [other, entry] : sample->entries) {
    if (entry.is_compressed()) {
      EXPECT_EQ(read_all(*fs, ArchiveFs::ino_of(other)), sample->contents[other]);
    }
    EXPECT_LE(fs->cached_bytes(), 30000u);
  }
}

// Hostile archives: every chain shape; each file reads as get_file gives
// it or fails with EIO and one line in the log, and nothing crashes.
TEST(ArchiveFsTest, DamagedFilesGiveEioAndOneLine) {
  int failures = 0;
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    ChainShapesArchive archive = random_chain_shapes(seed);
    TempDir dir;
    const auto path = write_bytes(dir / "h.dat", archive.image);
    auto db = DatDatabase::open(path);
    if (!db) {
      EXPECT_FALSE(ArchiveFs::open(path, {}).has_value());
      continue;
    }
    std::vector<std::string> lines;
    std::mutex mutex;
    auto fs = open_fs(path, {.log = [&](const std::string& line) {
                               std::lock_guard lock(mutex);
                               lines.push_back(line);
                             }});
    for (const DatFileEntry& entry : db->files()) {
      if (entry.size > (1u << 22)) continue;
      const auto expected = db->get_file(entry.id);
      int error = 0;
      auto attr = fs->getattr(ArchiveFs::ino_of(entry.id));
      const Bytes got = read_all(*fs, ArchiveFs::ino_of(entry.id), &error);
      if (expected) {
        EXPECT_EQ(error, 0) << entry.id;
        EXPECT_EQ(got, *expected);
        ASSERT_TRUE(attr.has_value());
        EXPECT_EQ(attr->size, expected->size());
      } else {
        EXPECT_EQ(error, EIO) << entry.id;
        ++failures;
      }
    }
    for (const std::string& line : lines) {
      EXPECT_TRUE(line.starts_with("quillstone-dat: " + path.string() + ": ")) << line;
      EXPECT_EQ(line.find('\n'), std::string::npos);
    }
  }
  EXPECT_GT(failures, 10);
}

TEST(ArchiveFsTest, AnArchiveWrittenWhileMountedReadsAsEio) {
  auto sample = make_sample();
  std::vector<std::string> lines;
  auto fs = open_fs(sample->path, {.log = [&](const std::string& line) { lines.push_back(line); }});
  // A stored file: read from the archive at each read. (A decoded file
  // already in the cache is the snapshot's, and stays readable.)
  const std::uint32_t id = sample->first_id(false);
  const std::uint64_t ino = ArchiveFs::ino_of(id);
  EXPECT_EQ(read_all(*fs, ino), sample->contents[id]);
  {
    // Any write to the archive file: an edit that may reuse blocks.
    const int fd = ::open(sample->path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
  }
  int error = 0;
  read_all(*fs, ino, &error);
  EXPECT_EQ(error, EIO);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("written since it was mounted"), std::string::npos);
}

TEST(ArchiveFsTest, AnArchiveThatDoesNotOpenIsRefused) {
  TempDir dir;
  auto missing = ArchiveFs::open(dir / "none.dat", {});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), DatError::Kind::kPathError);
  const auto path = write_bytes(dir / "short.dat", bytes_of("tiny"));
  auto opened = ArchiveFs::open(path, {});
  auto db = DatDatabase::open(path);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().message(), db.error().message());
}

}  // namespace
}  // namespace quillstone_dat::testing
