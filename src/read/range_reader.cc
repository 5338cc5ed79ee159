// RangeReader over a ChainCursor for stored bytes, or over the decoded
// bytes of a compressed file; and the DatDatabase calls built on it.

#include "quillstone_dat/range_reader.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "format/block_chain.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/error_context.h"
#include "quillstone_dat/lrs.h"
#include "read/chain_cursor.h"

namespace quillstone_dat {

struct RangeReader::State {
  State(const DatDatabase& db, const FileExtPolyfill& file,
        const DatFileEntry& file_entry, bool raw_read, std::uint64_t hint)
      : database(db),
        entry(file_entry),
        raw(raw_read),
        decodes(!raw_read && file_entry.is_compressed()),
        length_hint(hint),
        cursor(file, db.header().block_size, file_entry.offset,
               file_entry.size, hint) {}

  DatError with_context(DatError error) const {
    ErrorContext context;
    context.archive_length = length_hint;
    context.header = database.header();
    context.entry = entry;
    error.set_context(std::move(context));
    return error;
  }

  const DatDatabase& database;
  const DatFileEntry entry;
  const bool raw;
  const bool decodes;
  const std::uint64_t length_hint;
  std::mutex mutex;
  ChainCursor cursor;                                // guarded by mutex
  std::optional<std::vector<std::uint8_t>> decoded;  // guarded by mutex
};

RangeReader::RangeReader(std::unique_ptr<State> state)
    : state_(std::move(state)) {}
RangeReader::RangeReader(RangeReader&&) noexcept = default;
RangeReader& RangeReader::operator=(RangeReader&&) noexcept = default;
RangeReader::~RangeReader() = default;

const DatFileEntry& RangeReader::entry() const { return state_->entry; }
bool RangeReader::raw() const { return state_->raw; }

std::size_t RangeReader::layout_records() const {
  std::lock_guard lock(state_->mutex);
  return state_->decodes ? 0 : state_->cursor.runs();
}

DatResult<std::size_t> RangeReader::read(std::uint64_t offset,
                                         std::span<std::uint8_t> buffer) {
  State& state = *state_;
  std::lock_guard lock(state.mutex);
  if (state.decodes) {
    if (!state.decoded) {
      auto bytes = state.database.get_file(state.entry.id);
      if (!bytes) return std::unexpected(std::move(bytes.error()));
      state.decoded = std::move(*bytes);
    }
    const std::vector<std::uint8_t>& bytes = *state.decoded;
    if (offset >= bytes.size()) return 0;
    const std::size_t n = std::min<std::uint64_t>(buffer.size(),
                                                  bytes.size() - offset);
    std::memcpy(buffer.data(), bytes.data() + offset, n);
    return n;
  }
  const std::uint64_t size = state.entry.size;
  if (offset >= size) return 0;
  const std::size_t n =
      std::min<std::uint64_t>(buffer.size(), size - offset);
  if (auto read = state.cursor.read(offset, buffer.first(n)); !read) {
    return std::unexpected(state.with_context(std::move(read.error())));
  }
  return n;
}

DatResult<RangeReader> DatDatabase::range_reader(std::uint32_t id,
                                                 bool raw) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError::not_found(id));
  return RangeReader(std::make_unique<RangeReader::State>(
      *this, *file_, *entry, raw, length_at_open_));
}

DatResult<std::size_t> DatDatabase::read_range(std::uint32_t id,
                                               std::uint64_t offset,
                                               std::span<std::uint8_t> buffer,
                                               bool raw) const {
  auto reader = range_reader(id, raw);
  if (!reader) return std::unexpected(std::move(reader.error()));
  return reader->read(offset, buffer);
}

DatResult<std::uint64_t> DatDatabase::file_length(std::uint32_t id,
                                                  bool raw) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError::not_found(id));
  if (raw || !entry->is_compressed()) return entry->size;
  auto stored = read_entry(*entry);
  if (!stored) return std::unexpected(std::move(stored.error()));
  return lrs_decoded_size(*stored);
}

}  // namespace quillstone_dat
