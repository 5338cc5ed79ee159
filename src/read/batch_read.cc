#include "read/batch_read.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "format/block_chain.h"
#include "format/chain_layout.h"
#include "format/records.h"
#include "quillstone_dat/lrs.h"

namespace quillstone_dat {

namespace {

// Chains further apart than this are not fetched together: reading the
// bytes between them would cost more than a read of their own.
constexpr std::uint64_t kMaxGap = std::uint64_t{64} << 10;
// Bounds the per-window bookkeeping when a window spans many empty files.
constexpr std::size_t kMaxFilesPerWindow = std::size_t{1} << 16;

struct PlannedFile {
  const DatFileEntry* entry;
  std::uint32_t offset;    // entry->offset, so that sorting reads no entry
  std::uint32_t position;  // in the selection: equal chains keep list order
};

bool before(const PlannedFile& a, const PlannedFile& b) {
  if (a.offset != b.offset) return a.offset < b.offset;
  // Duplicates of one entry end up side by side and are fetched once.
  if (a.entry != b.entry) return std::less<>()(a.entry, b.entry);
  return a.position < b.position;
}

class BatchPass {
 public:
  BatchPass(const BatchSource& source, const BatchOptions& options,
            detail::BatchVisitorRef visit)
      : source_(source),
        options_(options),
        visit_(visit),
        layout_(source.header.block_size) {}

  void run(std::span<const PlannedFile> plan) {
    std::size_t first = 0;
    while (first < plan.size()) {
      const std::size_t last = gather_window(plan, first);
      fill_window();
      if (!serve(plan.subspan(first, last - first))) return;
      first = last;
    }
  }

 private:
  // Where the chain of `entry` ends if its blocks lie back to back: each
  // block's next field plus the payload. Nothing for a chain that is never
  // served from a window: an empty one, one longer than the window, or one
  // reaching past the archive or past 32-bit offsets (left to the chain
  // reader and its errors).
  std::optional<std::uint64_t> contiguous_end(const DatFileEntry& entry) const {
    if (entry.size == 0 || !layout_.has_payload()) return std::nullopt;
    const std::uint64_t span = layout_.contiguous_span(entry.size);
    const std::uint64_t end = entry.offset + span;
    if (span > options_.window_bytes || end > source_.length_at_open ||
        end > kMaxArchiveSize) {
      return std::nullopt;
    }
    return end;
  }

  // Takes files from plan[first] on into the window while their chains
  // follow each other closely and fit; a chain that overlaps the one
  // before it, or is never served from a window, is read alone when its
  // turn comes and does not end the window. Returns the end of the run.
  std::size_t gather_window(std::span<const PlannedFile> plan,
                            std::size_t first) {
    from_window_.clear();
    window_begin_ = 0;
    window_end_ = 0;
    bool empty = true;
    std::size_t i = first;
    for (; i < plan.size() && from_window_.size() < kMaxFilesPerWindow; ++i) {
      if (i > first && plan[i].entry == plan[i - 1].entry) {
        from_window_.push_back(from_window_.back());
        continue;
      }
      const DatFileEntry& entry = *plan[i].entry;
      const std::optional<std::uint64_t> end = contiguous_end(entry);
      if (!end || (!empty && entry.offset < window_end_)) {
        from_window_.push_back(false);
        continue;
      }
      if (empty) {
        window_begin_ = entry.offset;
        empty = false;
      } else if (entry.offset - window_end_ > kMaxGap ||
                 *end - window_begin_ > options_.window_bytes) {
        break;
      }
      window_end_ = *end;
      from_window_.push_back(true);
    }
    return i;
  }

  // One read of the window's bytes; what it could not bring, because of an
  // error or the end of the file, is read later by the chain reader.
  void fill_window() {
    filled_ = 0;
    const std::size_t wanted = window_end_ - window_begin_;
    if (wanted > capacity_) {
      capacity_ =
          std::min(options_.window_bytes, std::max(wanted, 2 * capacity_));
      window_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_);
    }
    while (filled_ < wanted) {
      auto n = source_.file.read_at({window_.get() + filled_, wanted - filled_},
                                    window_begin_ + filled_);
      if (!n) {
        if (n.error().kind() == IoErrorKind::kInterrupted) continue;
        return;
      }
      if (*n == 0) return;
      filled_ += *n;
    }
  }

  // Hands the files of one window to the visitor; false once it stops.
  bool serve(std::span<const PlannedFile> run) {
    std::size_t i = 0;
    while (i < run.size()) {
      const DatFileEntry& entry = *run[i].entry;
      const BatchFile file{entry.id, &entry, fetch(entry, from_window_[i])};
      do {
        if (visit_(file) == BatchStep::kStop) return false;
        ++i;
      } while (i < run.size() && run[i].entry == &entry);
    }
    return true;
  }

  DatResult<std::span<const std::uint8_t>> fetch(const DatFileEntry& entry,
                                                 bool from_window) {
    std::optional<std::span<const std::uint8_t>> stored;
    if (from_window) stored = compact_from_window(entry);
    if (!stored) {
      auto read = read_entry_chain(source_.file, source_.header, entry,
                                   source_.length_at_open);
      if (!read) return std::unexpected(std::move(read.error()));
      alone_ = std::move(*read);
      stored = alone_;
    }
    if (options_.raw || !entry.is_compressed()) return *stored;
    decoded_ = decompress_lrs(*stored);
    return decoded_;
  }

  // The chain's bytes from the window if every next field it follows
  // points at the block after it: a next field of 0 brings the rest
  // straight after it, and the last block's field is not followed. The
  // payloads are moved down over the next fields in place, as the chain
  // reader does with a batch; each move ends short of the next field it
  // will read after.
  std::optional<std::span<const std::uint8_t>> compact_from_window(
      const DatFileEntry& entry) {
    const std::uint64_t begin = entry.offset - window_begin_;
    if (begin + layout_.contiguous_span(entry.size) > filled_) {
      return std::nullopt;
    }
    const std::uint64_t blocks = layout_.blocks_for(entry.size);
    const std::uint64_t payload = layout_.payload();
    std::uint8_t* const chain = window_.get() + begin;
    const std::uint64_t block_size = layout_.block_size();
    std::uint64_t taken = blocks;  // blocks whose payloads the chain uses
    for (std::uint64_t j = 0; j + 1 < blocks; ++j) {
      const std::uint32_t next = decode_next_field(chain + j * block_size);
      if (next == 0) {
        taken = j + 1;
        break;
      }
      if (next != entry.offset + (j + 1) * block_size) return std::nullopt;
    }
    std::uint8_t* const out = chain + kNextFieldSize;
    for (std::uint64_t j = 1; j < taken; ++j) {
      const std::uint64_t n =
          j + 1 < taken ? payload : entry.size - j * payload;
      std::memmove(out + j * payload, chain + j * block_size + kNextFieldSize,
                   n);
    }
    return std::span<const std::uint8_t>(out, entry.size);
  }

  const BatchSource& source_;
  const BatchOptions& options_;
  const detail::BatchVisitorRef visit_;
  const ChainLayout layout_;

  std::unique_ptr<std::uint8_t[]> window_;
  std::size_t capacity_ = 0;
  std::uint64_t window_begin_ = 0;
  std::uint64_t window_end_ = 0;
  std::size_t filled_ = 0;
  // For each file of the window's run, whether it is served from the window.
  std::vector<bool> from_window_;
  // The file in hand when it was read alone, and when it was decompressed.
  std::vector<std::uint8_t> alone_;
  std::vector<std::uint8_t> decoded_;
};

// The selected files that the archive holds, in pass order; the ids it
// lacks go to `absent`, in list order.
std::vector<PlannedFile> plan_pass(const FileTable& files,
                                   const FileSelection& selection,
                                   std::vector<std::uint32_t>& absent) {
  std::vector<PlannedFile> plan;
  if (selection.is_all()) {
    plan.reserve(files.size());
    std::uint32_t position = 0;
    for (const DatFileEntry& entry : files) {
      plan.push_back({&entry, entry.offset, position++});
    }
  } else {
    const std::span<const std::uint32_t> ids = selection.ids();
    plan.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const DatFileEntry* const entry = files.find(ids[i]);
      if (entry == nullptr) {
        absent.push_back(ids[i]);
        continue;
      }
      plan.push_back({entry, entry->offset, static_cast<std::uint32_t>(i)});
    }
  }
  std::sort(plan.begin(), plan.end(), before);
  return plan;
}

}  // namespace

void read_in_batches(const BatchSource& source, const FileSelection& selection,
                     const BatchOptions& options,
                     detail::BatchVisitorRef visit) {
  std::vector<std::uint32_t> absent;
  const std::vector<PlannedFile> plan =
      plan_pass(source.files, selection, absent);
  for (const std::uint32_t id : absent) {
    const BatchFile file{id, nullptr, std::unexpected(DatError::not_found(id))};
    if (visit(file) == BatchStep::kStop) return;
  }
  BatchPass(source, options, visit).run(plan);
}

std::vector<std::uint32_t> batch_order(const FileTable& files,
                                       const FileSelection& selection) {
  std::vector<std::uint32_t> order;
  for (const PlannedFile& file : plan_pass(files, selection, order)) {
    order.push_back(file.entry->id);
  }
  return order;
}

}  // namespace quillstone_dat
