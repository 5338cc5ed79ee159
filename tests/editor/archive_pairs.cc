#include "editor/archive_pairs.h"

#include <fstream>
#include <random>
#include <stdexcept>
#include <type_traits>

#include "format/records.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/lrs.h"
#include "utils/shown_numbers.h"

namespace quillstone_dat::testing {

namespace {

constexpr std::uint32_t kBlockSizes[] = {64, 128, 256};
// A bit that is no compression flag: flags can change without storage.
constexpr std::uint32_t kOtherFlag = 0x10;

using Random = std::mt19937;

std::uint32_t below(Random& random, std::uint32_t bound) {
  return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(random);
}

Bytes random_bytes(Random& random, std::size_t size) {
  // Runs of a few letters, so that LRS finds repeats to encode.
  Bytes bytes(size);
  for (std::uint8_t& byte : bytes) {
    byte = static_cast<std::uint8_t>('a' + below(random, 4));
  }
  return bytes;
}

// One of the three stored forms of `file.contents`: as given, LRS
// literals, or the encoder's payload; different bytes for one contents.
void store(ModelFile& file, std::uint32_t form) {
  file.bit_flags &= ~1u;
  if (form == 0) {
    file.stored = file.contents;
    return;
  }
  file.stored =
      form == 1 ? lrs_literals(file.contents) : compress_lrs(file.contents);
  file.bit_flags |= 1u;
}

std::uint32_t form_of(const ModelFile& file) {
  if ((file.bit_flags & 1u) == 0) return 0;
  return file.stored == lrs_literals(file.contents) ? 1 : 2;
}

ModelFile random_file(Random& random) {
  ModelFile file;
  file.contents = random_bytes(random, below(random, 700));
  file.bit_flags = below(random, 2) * kOtherFlag;
  file.timestamp = below(random, 1000);
  file.version = below(random, 3);
  store(file, below(random, 3));
  return file;
}

// Breaks one to three files of `model` that span more than one block of
// the smallest size, so that whatever layout it is written in, its chain
// has a next field to break.
void damage_some(Random& random, ArchiveModel& model) {
  std::vector<std::uint32_t> long_ids;
  for (const auto& [id, file] : model.files) {
    if (file.stored.size() > kBlockSizes[2]) long_ids.push_back(id);
  }
  for (std::uint32_t n = 1 + below(random, 3); n > 0 && !long_ids.empty();
       --n) {
    model
        .files[long_ids[below(random,
                              static_cast<std::uint32_t>(long_ids.size()))]]
        .damaged = true;
  }
}

void mutate(Random& random, ArchiveModel& model) {
  for (auto it = model.files.begin(); it != model.files.end();) {
    ModelFile& file = it->second;
    switch (below(random, 12)) {
      case 0:
        it = model.files.erase(it);
        continue;
      case 1: {  // other contents, maybe of the same size
        const std::size_t size =
            below(random, 2) != 0 ? file.contents.size() : below(random, 700);
        file.contents = random_bytes(random, size);
        store(file, form_of(file));
        break;
      }
      case 2:  // the same contents stored another way
        store(file, (form_of(file) + 1 + below(random, 2)) % 3);
        break;
      case 3:
        file.timestamp += 1 + below(random, 10);
        break;
      case 4:
        file.version += 1;
        file.bit_flags ^= kOtherFlag;
        break;
      case 5:  // contents and metadata
        file.contents.push_back('z');
        store(file, form_of(file));
        file.timestamp += 1;
        break;
      default:
        break;
    }
    ++it;
  }
  for (std::uint32_t n = below(random, 5); n > 0; --n) {
    model.files.try_emplace(0x0A000000 + below(random, 80),
                            random_file(random));
  }
}

std::vector<std::string> names_of(FileAspects what) {
  std::vector<std::string> names;
  for (const FileAspect aspect : kFileAspects) {
    if (what.has(aspect)) names.emplace_back(to_string(aspect));
  }
  return names;
}

// Each field of a header, by name, as bytes.
std::map<std::string, Bytes> fields_of(const DatHeader& header) {
  std::map<std::string, Bytes> fields;
  for_each_header_field(header, [&](const char* name, const auto& field) {
    const auto* const bytes = reinterpret_cast<const std::uint8_t*>(&field);
    fields[name] = Bytes(bytes, bytes + sizeof field);
  });
  return fields;
}

}  // namespace

ArchivePair random_pair(std::uint32_t seed, bool damage) {
  Random random(seed);
  ArchivePair pair;
  ArchiveModel& base = pair.old_model;
  base.options = {.block_size = kBlockSizes[below(random, 3)],
                  .magic = below(random, 3),
                  .game_version = 7};
  for (std::uint32_t n = 10 + below(random, 40); n > 0; --n) {
    base.files.try_emplace(0x0A000000 + below(random, 80), random_file(random));
  }
  pair.new_model = base;
  ArchiveModel& version = pair.new_model;
  version.options.block_size = kBlockSizes[below(random, 3)];
  mutate(random, version);
  if (below(random, 2) != 0) version.options.game_version += 1;
  if (below(random, 3) == 0) version.options.version_string[3] = 'v';
  if (damage) {
    damage_some(random, below(random, 2) != 0 ? base : version);
    if (below(random, 3) == 0) damage_some(random, version);
  }
  return pair;
}

void write_model(const ArchiveModel& model, const std::filesystem::path& path,
                 std::uint32_t seed) {
  DatWriter writer(model.options);
  for (const auto& [id, file] : model.files) {
    if (!writer.add({.id = id,
                     .contents = file.stored,
                     .storage = Storage::kPreStored,
                     .bit_flags = file.bit_flags,
                     .timestamp = file.timestamp,
                     .version = file.version})) {
      throw std::logic_error("duplicate id");
    }
  }
  if (!writer.write(path)) throw std::runtime_error("write failed");

  auto db = DatDatabase::open(path);
  if (!db) throw std::runtime_error("cannot open " + path.string());
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  const auto put = [&](std::uint64_t offset, std::span<const std::uint8_t> b) {
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(b.data()),
              static_cast<std::streamsize>(b.size()));
  };
  for (const auto& [id, file] : model.files) {
    if (!file.damaged) continue;
    // The first block's next field, pointed far past the end.
    std::array<std::uint8_t, 4> far{0xF0, 0xFF, 0xFF, 0x0F};
    put(db->files().find(id)->offset, far);
  }
  Random random(seed);
  DatHeader header = db->header();
  header.new_lru = static_cast<std::uint32_t>(random());
  header.old_lru = static_cast<std::uint32_t>(random());
  header.use_lru = below(random, 2);
  std::array<std::uint8_t, kHeaderSize> encoded{};
  encode_header(header, encoded);
  put(kHeaderOffset, encoded);
  if (!out) throw std::runtime_error("cannot damage " + path.string());
}

WrittenPair::WrittenPair(std::uint32_t seed, bool damage)
    : pair(random_pair(seed, damage)),
      old_path(dir / "old.dat"),
      new_path(dir / "new.dat") {
  write_model(pair.old_model, old_path, seed);
  write_model(pair.new_model, new_path, seed + 1);
  old_archive.emplace(DatDatabase::open(old_path).value());
  new_archive.emplace(DatDatabase::open(new_path).value());
}

std::vector<Expected> expected_differences(
    const ArchivePair& pair, bool contents_only,
    const std::vector<std::uint32_t>* ids) {
  std::map<std::uint32_t, bool> wanted;
  for (const auto& [id, file] : pair.old_model.files) wanted[id] = true;
  for (const auto& [id, file] : pair.new_model.files) wanted[id] = true;
  if (ids != nullptr) {
    wanted.clear();
    for (const std::uint32_t id : *ids) wanted[id] = true;
  }
  std::vector<Expected> expected;
  for (const auto& [id, ignored] : wanted) {
    const auto before = pair.old_model.files.find(id);
    const auto after = pair.new_model.files.find(id);
    const bool in_old = before != pair.old_model.files.end();
    const bool in_new = after != pair.new_model.files.end();
    if (!in_old && !in_new) continue;
    Expected difference{.id = id};
    if (!in_old || !in_new) {
      difference.change = in_old ? FileChange::kRemoved : FileChange::kAdded;
      difference.unreadable = (in_old ? before : after)->second.damaged;
      expected.push_back(difference);
      continue;
    }
    const ModelFile& a = before->second;
    const ModelFile& b = after->second;
    FileAspects what;
    const bool same_contents = a.contents == b.contents;
    const bool same_storage =
        a.stored == b.stored && (a.bit_flags & 1u) == (b.bit_flags & 1u);
    if (!a.damaged && !b.damaged && !same_contents) {
      what.add(FileAspect::kContents);
    }
    if (!a.damaged && !b.damaged && same_contents && !same_storage &&
        !contents_only) {
      what.add(FileAspect::kStorage);
    }
    if (!contents_only) {
      if (a.bit_flags != b.bit_flags) what.add(FileAspect::kBitFlags);
      if (a.timestamp != b.timestamp) what.add(FileAspect::kTimestamp);
      if (a.version != b.version) what.add(FileAspect::kVersion);
    }
    difference.what = names_of(what);
    difference.unreadable = a.damaged || b.damaged;
    difference.change =
        difference.unreadable ? FileChange::kUnreadable : FileChange::kChanged;
    if (difference.unreadable || !what.empty()) expected.push_back(difference);
  }
  return expected;
}

std::vector<std::string> expected_header(const ArchivePair& pair) {
  DatHeader before, after;
  pair.old_model.options.apply_to(before);
  pair.new_model.options.apply_to(after);
  const auto a = fields_of(before);
  const auto b = fields_of(after);
  std::vector<std::string> names;
  for_each_header_field(before, [&](const char* name, const auto&) {
    if (std::string_view(name) != "block_size" && a.at(name) != b.at(name)) {
      names.emplace_back(name);
    }
  });
  return names;
}

std::vector<Expected> reported(const ArchiveComparison& comparison) {
  std::vector<Expected> differences;
  for (const FileDifference& file : comparison.files) {
    differences.push_back(
        {file.id, file.change, names_of(file.what), file.unreadable()});
  }
  return differences;
}

std::string describe(const std::vector<Expected>& differences) {
  std::string text;
  for (const Expected& difference : differences) {
    text +=
        hex_id(difference.id) + " " + std::string(to_string(difference.change));
    for (const std::string& name : difference.what) text += " " + name;
    if (difference.unreadable) text += " (unreadable)";
    text += "\n";
  }
  return text;
}

}  // namespace quillstone_dat::testing
