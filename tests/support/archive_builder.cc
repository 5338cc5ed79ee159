#include "support/archive_builder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace quillstone_dat::testing {

Bytes bytes_of(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes numbered(std::size_t size, std::uint8_t first, std::uint8_t step) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(first + i * step);
  }
  return bytes;
}

Bytes pattern(std::size_t size, std::uint32_t salt) {
  Bytes out(size);
  std::uint32_t state = salt * 2654435761u + 1;
  for (std::uint8_t& byte : out) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 16);
  }
  return out;
}

ArchiveBuilder::ArchiveBuilder(std::uint32_t block_size) : image_(400, 0) {
  header_.block_size = block_size;
}

ArchiveBuilder& ArchiveBuilder::put(std::uint64_t offset,
                                    std::span<const std::uint8_t> data) {
  if (image_.size() < offset + data.size()) image_.resize(offset + data.size());
  std::copy(data.begin(), data.end(),
            image_.begin() + static_cast<std::ptrdiff_t>(offset));
  return *this;
}

ArchiveBuilder& ArchiveBuilder::put_u32(std::uint64_t offset,
                                        std::uint32_t value) {
  std::uint8_t encoded[4];
  put_le32(encoded, 0, value);
  return put(offset, encoded);
}

ArchiveBuilder& ArchiveBuilder::put_chain(std::span<const std::uint32_t> blocks,
                                          std::span<const std::uint8_t> data,
                                          std::uint32_t last_next) {
  const std::size_t payload = header_.block_size - 4;
  std::size_t copied = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const bool last = i + 1 == blocks.size();
    put_u32(blocks[i], last ? last_next : blocks[i + 1]);
    const std::size_t n =
        last ? data.size() - copied : std::min(payload, data.size() - copied);
    put(blocks[i] + kNextFieldBytes, data.subspan(copied, n));
    copied += n;
  }
  return *this;
}

DatResult<Node> read_directory_node(const DatDatabase& db,
                                    std::uint32_t offset) {
  auto bytes = db.read_file_data(offset, kNodeBytes);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return node_from_bytes(*bytes);
}

ArchiveBuilder& ArchiveBuilder::put_node(std::uint32_t offset,
                                         const Node& node) {
  const std::uint32_t block[] = {offset};
  return put_chain(block, encode_node(node));
}

ArchiveBuilder& ArchiveBuilder::put_root(const Node& node) {
  header_.root_offset = end();
  return put_node(header_.root_offset, node);
}

ArchiveBuilder& ArchiveBuilder::put_nested_nodes(
    std::uint32_t levels,
    const std::function<Node(std::uint32_t level, std::uint32_t child)>&
        node_at) {
  // A node's chain takes its next field and 1716 bytes; 1728 leaves a gap.
  constexpr std::uint32_t kFirst = 1000;
  constexpr std::uint32_t kStride = 1728;
  for (std::uint32_t level = 0; level < levels; ++level) {
    const std::uint32_t at = kFirst + level * kStride;
    const std::uint32_t child = level + 1 < levels ? at + kStride : 0;
    put_node(at, node_at(level, child));
  }
  header_.root_offset = kFirst;
  return *this;
}

std::uint32_t ArchiveBuilder::end() const {
  return static_cast<std::uint32_t>((image_.size() + 15) / 16 * 16);
}

DatFileEntry ArchiveBuilder::add_file(std::uint32_t id,
                                      std::span<const std::uint8_t> data,
                                      std::uint32_t bit_flags) {
  const std::uint32_t offset = end();
  const std::uint32_t block[] = {offset};
  put_chain(block, data);
  return DatFileEntry{bit_flags, id,
                      offset,    static_cast<std::uint32_t>(data.size()),
                      0x5EED,    1};
}

Bytes ArchiveBuilder::bytes() const {
  Bytes out = image_;
  std::ranges::copy(header_bytes(header_), out.data() + kHeaderAt);
  return out;
}

std::filesystem::path ArchiveBuilder::write(
    const std::filesystem::path& path) const {
  return write_bytes(path, bytes());
}

Bytes build_archive(std::span<const TestFile> files, std::uint32_t block_size) {
  ArchiveBuilder builder(block_size);
  const std::uint32_t payload = block_size - 4;
  std::vector<DatFileEntry> entries;
  for (const TestFile& file : files) {
    // Blocks are laid out back to front with a gap between them, so that
    // the chain really has to be followed.
    const std::size_t count =
        file.data.empty() ? 0 : (file.data.size() + payload - 1) / payload;
    std::vector<std::uint32_t> blocks(count);
    const std::uint32_t base = builder.end();
    for (std::size_t i = 0; i < count; ++i) {
      blocks[count - 1 - i] =
          base + static_cast<std::uint32_t>(2 * i * block_size);
    }
    if (count > 0) {
      builder.put_chain(blocks, file.data);
      // Reserve the whole highest block so the next file starts past it.
      builder.put(std::uint64_t{blocks[0]} + block_size, {});
    }
    entries.push_back(DatFileEntry{file.bit_flags, file.id,
                                   count > 0 ? blocks[0] : 0,
                                   static_cast<std::uint32_t>(file.data.size()),
                                   0x5EED0000u + file.id, 7});
  }
  std::sort(
      entries.begin(), entries.end(),
      [](const DatFileEntry& a, const DatFileEntry& b) { return a.id < b.id; });

  if (entries.size() <= 61) {
    builder.put_root(Node{{}, entries, std::nullopt});
  } else {
    const std::size_t leaves = (entries.size() + 1 + 61) / 62;
    if (leaves > 62)
      throw std::invalid_argument("too many files for two levels");
    const std::size_t in_leaves = entries.size() - (leaves - 1);
    Node root;
    std::size_t next = 0;
    for (std::size_t leaf = 0; leaf < leaves; ++leaf) {
      const std::size_t take =
          in_leaves / leaves + (leaf < in_leaves % leaves ? 1 : 0);
      Node node;
      node.entries.assign(
          entries.begin() + static_cast<std::ptrdiff_t>(next),
          entries.begin() + static_cast<std::ptrdiff_t>(next + take));
      next += take;
      const std::uint32_t at = builder.end();
      builder.put_node(at, node);
      root.branches[leaf] = at;
      if (leaf + 1 < leaves) root.entries.push_back(entries[next++]);
    }
    builder.put_root(root);
  }
  builder.header().file_size = builder.end();
  return builder.bytes();
}

std::expected<std::size_t, IoError> MemoryFile::read_at(
    std::span<std::uint8_t> buffer, std::uint64_t offset) const {
  if (offset >= bytes_.size()) return 0;
  const std::size_t n =
      std::min<std::size_t>(buffer.size(), bytes_.size() - offset);
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n,
              buffer.begin());
  return n;
}

std::expected<std::uint64_t, IoError> MemoryFile::length() const {
  return bytes_.size();
}

std::expected<std::size_t, IoError> MemoryWritableFile::read_at(
    std::span<std::uint8_t> buffer, std::uint64_t offset) const {
  if (offset >= bytes_.size()) return 0;
  const std::size_t n =
      std::min<std::size_t>(buffer.size(), bytes_.size() - offset);
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n,
              buffer.begin());
  return n;
}

bool MemoryWritableFile::counts() {
  ++writes_;
  return fail_from_ == 0 || writes_ < fail_from_;
}

std::expected<void, IoError> MemoryWritableFile::write_at(
    std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  if (!counts()) return std::unexpected(IoError::from_errno(failure_));
  if (bytes_.size() < offset + bytes.size()) {
    bytes_.resize(static_cast<std::size_t>(offset + bytes.size()));
  }
  std::ranges::copy(bytes,
                    bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  return {};
}

std::expected<void, IoError> MemoryWritableFile::sync() {
  if (fail_from_ != 0 && writes_ >= fail_from_) {
    return std::unexpected(IoError::from_errno(failure_));
  }
  ++syncs_;
  return {};
}

std::expected<void, IoError> MemoryWritableFile::set_length(
    std::uint64_t length) {
  if (!counts()) return std::unexpected(IoError::from_errno(failure_));
  bytes_.resize(static_cast<std::size_t>(length));
  return {};
}

std::expected<std::size_t, IoError> FaultyFile::read_at(
    std::span<std::uint8_t> buffer, std::uint64_t offset) const {
  const std::size_t call = calls_++;
  if (fault_) {
    if (auto error = fault_(call, offset)) return std::unexpected(*error);
  }
  return inner_->read_at(buffer.first(std::min(buffer.size(), max_chunk_)),
                         offset);
}

std::filesystem::path write_bytes(const std::filesystem::path& path,
                                  std::span<const std::uint8_t> bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
  return path;
}

Bytes read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

DatResult<DatDatabase> open_in_memory(Bytes image) {
  return DatDatabase::open(std::make_shared<MemoryFile>(std::move(image)));
}

DatResult<DatDatabase> open_then_fail_reads(Bytes image) {
  const auto failing = std::make_shared<std::atomic<bool>>(false);
  auto db = DatDatabase::open(std::make_shared<FaultyFile>(
      std::make_shared<MemoryFile>(std::move(image)),
      [failing](std::size_t, std::uint64_t) -> std::optional<IoError> {
        if (*failing) return IoError::from_errno(EIO);
        return std::nullopt;
      }));
  *failing = true;
  return db;
}

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "quillstone-test-XXXXXX")
          .string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace quillstone_dat::testing
