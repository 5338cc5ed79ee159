#include "mount/archive_fs.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

#include "error_text.h"
#include "file_id.h"
#include "format/records.h"
#include "manifest.h"
#include "utils/posix_file.h"
#include "written_file.h"

namespace quillstone_dat::tool {

namespace fs = std::filesystem;

namespace {

// manifest.json is rendered this many entries at a time.
constexpr std::size_t kManifestStride = 2048;

bool same_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The id a name of the form XXXXXXXX.bin (upper-case hex) stands for.
std::optional<std::uint32_t> id_of_name(std::string_view name) {
  if (name.size() != 12 || !name.ends_with(".bin")) return std::nullopt;
  std::uint32_t id = 0;
  for (char c : name.substr(0, 8)) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return std::nullopt;
    }
    id =
        id << 4 | static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
  }
  return id;
}

}  // namespace

// manifest.json, rendered by extract's code a stride of entries at a time:
// its length is learnt once by rendering it all, and a read renders only
// the strides it covers, so a million entries cost a few bytes each
// instead of their whole text.
class ArchiveFs::ManifestText {
 public:
  ManifestText(const DatDatabase& db, const std::vector<std::uint32_t>& ids,
               bool raw)
      : db_(db),
        ids_(ids),
        raw_(raw),
        head_(manifest_head(db.header(), db.header().block_size)) {
    std::uint64_t at = head_.size();
    std::string text;
    for (std::size_t first = 0; first < ids_.size(); first += kManifestStride) {
      starts_.push_back(at);
      text.clear();
      render(first, text);
      at += text.size();
    }
    entries_end_ = at;
    size_ = at + manifest_tail(ids_.size()).size();
  }

  std::uint64_t size() const { return size_; }

  std::size_t read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t filled = 0;
    std::string text;
    while (filled < out.size() && offset + filled < size_) {
      const std::uint64_t at = offset + filled;
      std::string_view piece;
      std::uint64_t piece_start = 0;
      if (at < head_.size()) {
        piece = head_;
      } else if (at < entries_end_) {
        const std::size_t stride = static_cast<std::size_t>(
            std::ranges::upper_bound(starts_, at) - starts_.begin() - 1);
        text.clear();
        render(stride * kManifestStride, text);
        piece = text;
        piece_start = starts_[stride];
      } else {
        piece = manifest_tail(ids_.size());
        piece_start = entries_end_;
      }
      const std::size_t skip = static_cast<std::size_t>(at - piece_start);
      const std::size_t n = std::min(piece.size() - skip, out.size() - filled);
      std::memcpy(out.data() + filled, piece.data() + skip, n);
      filled += n;
    }
    return filled;
  }

 private:
  void render(std::size_t first, std::string& text) const {
    const std::size_t last = std::min(ids_.size(), first + kManifestStride);
    for (std::size_t i = first; i < last; ++i) {
      append_manifest_entry(
          text, i, manifest_entry_of(*db_.files().find(ids_[i]), raw_));
    }
  }

  const DatDatabase& db_;
  const std::vector<std::uint32_t>& ids_;
  const bool raw_;
  const std::string head_;
  std::vector<std::uint64_t> starts_;  // where each stride's text begins
  std::uint64_t entries_end_ = 0;
  std::uint64_t size_ = 0;
};

// One decoded file, shared by every open of it; decoded by the first read.
struct ArchiveFs::Decoded {
  std::mutex mutex;
  bool done = false;                // guarded by mutex
  std::vector<std::uint8_t> bytes;  // guarded by mutex; fixed once done
  int error = 0;                    // guarded by mutex
};

struct ArchiveFs::Handle {
  enum class Kind : std::uint8_t { kManifest, kStored, kDecoded };
  Kind kind;
  std::uint32_t id = 0;
  std::optional<RangeReader> reader;
  std::shared_ptr<Decoded> decoded;
};

DatResult<std::unique_ptr<ArchiveFs>> ArchiveFs::open(
    const fs::path& path, ArchiveFsOptions options) {
  auto file = PosixFile::open(path);
  if (!file) return std::unexpected(DatError::path_error(path, file.error()));
  // As DatDatabase::open(path) checks: a file that cannot be read at
  // offsets (a FIFO) fails here.
  if (auto seek = file->seek(kHeaderOffset); !seek) {
    DatError failed(std::move(seek.error()));
    failed.set_context({});
    return std::unexpected(std::move(failed));
  }
  const int fd = file->descriptor();
  struct stat snapshot {};
  if (::fstat(fd, &snapshot) != 0) {
    return std::unexpected(
        DatError::path_error(path, IoError::from_errno(errno)));
  }
  auto db = DatDatabase::open(std::make_shared<PosixFile>(std::move(*file)));
  if (!db) return std::unexpected(std::move(db.error()));
  if (options.mount_time == 0) options.mount_time = std::time(nullptr);
  return std::unique_ptr<ArchiveFs>(
      new ArchiveFs(path, fd, snapshot, std::move(*db), std::move(options)));
}

ArchiveFs::ArchiveFs(fs::path path, int fd, struct stat snapshot,
                     DatDatabase db, ArchiveFsOptions options)
    : path_(std::move(path)),
      fd_(fd),
      snapshot_(snapshot),
      db_(std::move(db)),
      options_(std::move(options)),
      ids_(db_.files().sorted_ids()) {}

ArchiveFs::~ArchiveFs() = default;

bool ArchiveFs::archive_unchanged() {
  struct stat now {};
  const bool same = ::fstat(fd_, &now) == 0 &&
                    now.st_size == snapshot_.st_size &&
                    same_time(now.st_mtim, snapshot_.st_mtim) &&
                    same_time(now.st_ctim, snapshot_.st_ctim);
  if (!same) {
    std::lock_guard lock(log_mutex_);
    if (!changed_logged_ && options_.log) {
      changed_logged_ = true;
      std::string line = plain_line(
          path_.string(),
          "the archive was written since it was mounted; its files read as "
          "EIO until it is mounted again");
      line.pop_back();
      options_.log(line);
    }
  }
  return same;
}

int ArchiveFs::fail(std::uint32_t id, const DatError& error) {
  std::lock_guard lock(log_mutex_);
  if (options_.log && logged_.insert(id).second) {
    std::string line = plain_line(
        path_.string(), fmt::format("{}: {}", file_name_of(id),
                                    describe(error, ErrorScene::read(path_))));
    line.pop_back();
    options_.log(line);
  }
  return EIO;
}

const ArchiveFs::ManifestText& ArchiveFs::manifest() {
  std::call_once(manifest_once_, [&] {
    manifest_ = std::make_unique<ManifestText>(db_, ids_, options_.raw);
  });
  return *manifest_;
}

FsAttr ArchiveFs::manifest_attr() {
  return {.ino = kManifestIno,
          .size = manifest().size(),
          .directory = false,
          .mtime = options_.mount_time,
          .complete = true};
}

std::expected<FsAttr, int> ArchiveFs::attr_of(std::uint32_t id, bool measure) {
  const DatFileEntry* entry = db_.files().find(id);
  if (entry == nullptr) return std::unexpected(ENOENT);
  FsAttr attr{
      .ino = ino_of(id),
      .size = entry->size,
      .directory = false,
      .mtime = entry->timestamp != 0 ? entry->timestamp : options_.mount_time,
      .complete = true};
  if (options_.raw || !entry->is_compressed()) return attr;
  {
    std::lock_guard lock(lengths_mutex_);
    if (auto known = lengths_.find(id); known != lengths_.end()) {
      attr.size = known->second;
      return attr;
    }
  }
  if (!measure) {
    attr.size = 0;
    attr.complete = false;
    return attr;
  }
  auto length = db_.file_length(id);
  if (!archive_unchanged()) return std::unexpected(EIO);
  if (!length) return std::unexpected(fail(id, length.error()));
  std::lock_guard lock(lengths_mutex_);
  lengths_[id] = *length;
  attr.size = *length;
  return attr;
}

std::expected<FsAttr, int> ArchiveFs::lookup(std::uint64_t parent,
                                             std::string_view name) {
  if (parent != kRootIno) return std::unexpected(ENOTDIR);
  if (name == kManifestName) {
    return manifest_attr();
  }
  const auto id = id_of_name(name);
  if (!id) return std::unexpected(ENOENT);
  return attr_of(*id, true);
}

std::expected<FsAttr, int> ArchiveFs::getattr(std::uint64_t ino) {
  if (ino == kRootIno) {
    return FsAttr{.ino = kRootIno,
                  .size = 0,
                  .directory = true,
                  .mtime = options_.mount_time,
                  .complete = true};
  }
  if (ino == kManifestIno) {
    return manifest_attr();
  }
  if (ino < 2 || ino - 2 > UINT32_MAX) return std::unexpected(ENOENT);
  return attr_of(static_cast<std::uint32_t>(ino - 2), true);
}

int ArchiveFs::readdir(std::uint64_t ino, std::uint64_t offset, bool plus,
                       const DirAdder& add) {
  if (ino != kRootIno) return ENOTDIR;
  const FsAttr root{
      .ino = kRootIno, .directory = true, .mtime = options_.mount_time};
  for (std::uint64_t at = offset; at < ids_.size() + 3; ++at) {
    bool more = true;
    if (at == 0) {
      more = add(".", root, 1);
    } else if (at == 1) {
      more = add("..", root, 2);
    } else if (at == 2) {
      more = add(kManifestName, manifest_attr(), 3);
    } else {
      const std::uint32_t id = ids_[at - 3];
      auto attr = attr_of(id, false);
      FsAttr shown =
          attr ? *attr : FsAttr{.ino = ino_of(id), .complete = false};
      if (!plus) shown.complete = false;
      more = add(file_name_of(id), shown, at + 1);
    }
    if (!more) break;
  }
  return 0;
}

std::expected<std::uint64_t, int> ArchiveFs::open_file(std::uint64_t ino,
                                                       int flags) {
  if ((flags & O_ACCMODE) != O_RDONLY ||
      (flags & (O_TRUNC | O_APPEND | O_CREAT)) != 0) {
    return std::unexpected(EROFS);
  }
  if (ino == kRootIno) return std::unexpected(EISDIR);
  auto handle = std::make_unique<Handle>();
  if (ino == kManifestIno) {
    handle->kind = Handle::Kind::kManifest;
  } else {
    if (ino < 2 || ino - 2 > UINT32_MAX) return std::unexpected(ENOENT);
    const auto id = static_cast<std::uint32_t>(ino - 2);
    const DatFileEntry* entry = db_.files().find(id);
    if (entry == nullptr) return std::unexpected(ENOENT);
    handle->id = id;
    if (options_.raw || !entry->is_compressed()) {
      handle->kind = Handle::Kind::kStored;
      auto reader = db_.range_reader(id, true);
      if (!reader) return std::unexpected(fail(id, reader.error()));
      handle->reader.emplace(std::move(*reader));
    } else {
      handle->kind = Handle::Kind::kDecoded;
      handle->decoded = decoded(id);
    }
  }
  const auto handle_id = reinterpret_cast<std::uint64_t>(handle.get());
  std::lock_guard lock(handles_mutex_);
  handles_.emplace(handle.get(), std::move(handle));
  return handle_id;
}

std::shared_ptr<ArchiveFs::Decoded> ArchiveFs::decoded(std::uint32_t id) {
  std::lock_guard lock(cache_mutex_);
  auto [slot, fresh] = cache_.try_emplace(id);
  if (fresh) {
    slot->second.decoded = std::make_shared<Decoded>();
  } else {
    lru_.erase(slot->second.place);
  }
  slot->second.place = lru_.insert(lru_.end(), id);
  return slot->second.decoded;
}

void ArchiveFs::trim_cache() {
  for (auto it = lru_.begin();
       it != lru_.end() && cache_bytes_ > options_.cache_bytes;) {
    auto slot = cache_.find(*it);
    // A file held open stays; so does one being decoded.
    if (slot->second.decoded.use_count() > 1) {
      ++it;
      continue;
    }
    cache_bytes_ -= slot->second.decoded->bytes.size();
    cache_.erase(slot);
    it = lru_.erase(it);
  }
}

std::expected<std::size_t, int> ArchiveFs::read(
    std::uint64_t handle_id, std::uint64_t offset,
    std::span<std::uint8_t> buffer) {
  Handle& handle = *reinterpret_cast<Handle*>(handle_id);
  switch (handle.kind) {
    case Handle::Kind::kManifest:
      return manifest().read(offset, buffer);
    case Handle::Kind::kStored: {
      auto n = handle.reader->read(offset, buffer);
      if (!archive_unchanged()) return std::unexpected(EIO);
      if (!n) return std::unexpected(fail(handle.id, n.error()));
      return *n;
    }
    case Handle::Kind::kDecoded: {
      Decoded& decoded = *handle.decoded;
      std::lock_guard lock(decoded.mutex);
      if (!decoded.done) {
        auto bytes = db_.get_file(handle.id);
        if (!archive_unchanged()) return std::unexpected(EIO);
        decoded.done = true;
        if (!bytes) {
          decoded.error = fail(handle.id, bytes.error());
        } else {
          decoded.bytes = std::move(*bytes);
          {
            std::lock_guard lengths(lengths_mutex_);
            lengths_[handle.id] = decoded.bytes.size();
          }
          std::lock_guard cache(cache_mutex_);
          // Counted once it is in the cache still; an evicted slot is
          // counted by nobody.
          if (auto slot = cache_.find(handle.id);
              slot != cache_.end() && slot->second.decoded == handle.decoded) {
            cache_bytes_ += decoded.bytes.size();
            trim_cache();
          }
        }
      }
      if (decoded.error != 0) return std::unexpected(decoded.error);
      if (offset >= decoded.bytes.size()) return 0;
      const std::size_t n =
          std::min<std::uint64_t>(buffer.size(), decoded.bytes.size() - offset);
      std::memcpy(buffer.data(), decoded.bytes.data() + offset, n);
      return n;
    }
  }
  return std::unexpected(EIO);
}

void ArchiveFs::release(std::uint64_t handle_id) {
  std::unique_ptr<Handle> handle;
  {
    std::lock_guard lock(handles_mutex_);
    const auto found = handles_.find(reinterpret_cast<const void*>(handle_id));
    if (found == handles_.end()) return;
    handle = std::move(found->second);
    handles_.erase(found);
  }
  const bool decoded = handle->kind == Handle::Kind::kDecoded;
  handle.reset();
  if (decoded) {
    std::lock_guard lock(cache_mutex_);
    trim_cache();
  }
}

FsStat ArchiveFs::statfs() const {
  return {.files = ids_.size() + 1,
          .bytes = static_cast<std::uint64_t>(snapshot_.st_size),
          .block_size = db_.header().block_size};
}

std::size_t ArchiveFs::cached_files() const {
  std::lock_guard lock(cache_mutex_);
  return cache_.size();
}

std::uint64_t ArchiveFs::cached_bytes() const {
  std::lock_guard lock(cache_mutex_);
  return cache_bytes_;
}

std::size_t ArchiveFs::open_handles() const {
  std::lock_guard lock(handles_mutex_);
  return handles_.size();
}

}  // namespace quillstone_dat::tool
