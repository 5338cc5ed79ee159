#include "quillstone_dat/dat_editor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <span>
#include <unordered_set>
#include <utility>

#include "edit/block_allocator.h"
#include "edit/directory_tree.h"
#include "edit/space_map.h"
#include "edit/write_batch.h"
#include "format/block_chain.h"
#include "format/chain_layout.h"
#include "format/directory_walk.h"
#include "format/free_list.h"
#include "format/records.h"
#include "utils/writable_file.h"
#include "write/stored_form.h"

namespace quillstone_dat {

namespace {

// A chain as an entry or a node names it.
struct Chain {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  friend auto operator<=>(const Chain&, const Chain&) = default;
};

Chain chain_of(const DatFileEntry& entry) { return {entry.offset, entry.size}; }

std::vector<std::uint32_t> blocks_of(const std::vector<ByteRange>& ranges,
                                     std::uint32_t block_size) {
  std::vector<std::uint32_t> blocks;
  for (const ByteRange& range : ranges) {
    for (std::uint64_t block = range.begin; block < range.end;
         block += block_size) {
      blocks.push_back(static_cast<std::uint32_t>(block));
    }
  }
  return blocks;
}

}  // namespace

class DatEditor::State {
 public:
  static DatResult<std::unique_ptr<State>> open(
      std::shared_ptr<WritableFile> file, EditorOptions options);

  std::vector<DatFileEntry> files() const;
  bool contains(std::uint32_t id) const { return tree_.find(id) != nullptr; }
  DatResult<void> put(WriterFile file);
  DatResult<void> remove(std::uint32_t id);
  DatResult<CommitSummary> commit();

  State(std::shared_ptr<WritableFile> file, EditorOptions options)
      : file_(std::move(file)), options_(options) {}

 private:
  DatResult<void> load();
  // Follows every live chain and the free list: space_ then holds every
  // block in use, and free_list_ the list proven unused or
  // free_list_problem_ why it is not.
  void take_census();
  // Whether a commit whose new chains take `new_blocks` blocks should use
  // the free list.
  bool wants_free_blocks(std::uint64_t new_blocks) const;
  // Adds the chain's byte ranges to `held`, to be marked in use; a chain
  // that cannot be followed whole stays in use while the editor lives.
  void hold(const Chain& chain, std::vector<ByteRange>& held);
  std::uint32_t block_size() const { return header_.block_size; }
  ChainLayout layout() const { return ChainLayout(header_.block_size); }
  // Writes the batch, makes the file `length` bytes long and flushes it.
  // On failure the file is cut back to its length before, so that a full
  // disk leaves it as it was.
  std::expected<void, IoError> write_blocks(const WriteBatch& batch,
                                            std::uint64_t length);
  // Writes the header in one write and flushes it.
  std::expected<void, IoError> write_header(const DatHeader& header);
  // Puts the blocks of `released` chains, which lay in the first
  // `old_length` bytes, on the free list, as far as nothing else uses
  // them; counts them in `summary`.
  void free_chains(const std::vector<Chain>& released, std::uint64_t old_length,
                   CommitSummary& summary);
  // Lets go of the `released` byte ranges and returns which of their
  // blocks nothing live uses. With the census, the space map knows every
  // block in use; without it, only whether a live chain or node starts at a
  // block.
  std::function<bool(std::uint64_t block)> unused_once_released(
      const std::vector<std::vector<ByteRange>>& released);

  std::shared_ptr<WritableFile> file_;
  const EditorOptions options_;
  DatHeader header_;
  std::uint64_t length_ = 0;
  DirectoryTree tree_;
  bool rebuild_pending_ = false;
  // Without the census only the header's word stands for the free list,
  // and blocks are checked against the directory alone.
  bool census_taken_ = false;
  SpaceMap space_;
  std::set<Chain> broken_chains_;
  std::uint64_t append_point_ = 0;
  FreeList free_list_;  // kept only once the census is taken
  std::optional<std::string> free_list_problem_;
  std::map<std::uint32_t, WriterFile> puts_;
  std::set<std::uint32_t> removals_;
  // A header write failed and the header on disk may be the new one.
  bool header_in_doubt_ = false;
};

DatResult<std::unique_ptr<DatEditor::State>> DatEditor::State::open(
    std::shared_ptr<WritableFile> file, EditorOptions options) {
  auto state = std::make_unique<State>(std::move(file), options);
  if (auto loaded = state->load(); !loaded) {
    return std::unexpected(std::move(loaded.error()));
  }
  return state;
}

DatResult<void> DatEditor::State::load() {
  auto header = read_header(*file_);
  if (!header) return std::unexpected(std::move(header.error()));
  header_ = *header;
  if (block_size() < DatWriter::kMinBlockSize) {
    return std::unexpected(DatError::other(
        "block size " + std::to_string(block_size()) +
        " is below the minimum of " + std::to_string(DatWriter::kMinBlockSize) +
        " that an archive can be edited with"));
  }
  auto length = file_->length();
  if (!length) return std::unexpected(std::move(length.error()));
  length_ = *length;
  auto tree = DirectoryTree::load(*file_, header_, length_);
  if (!tree) return std::unexpected(std::move(tree.error()));
  tree_ = std::move(*tree);

  // Every byte a chain reads lies inside the file, whatever file_size
  // says: appending past both disturbs nothing.
  append_point_ = layout().round_up(std::max(
      {std::uint64_t{header_.file_size}, length_, std::uint64_t{kHeaderEnd}}));
  // The nodes of a directory about to be written anew are released by the
  // rebuild: the census must know them first.
  if (options_.free_block_reuse == FreeBlockReuse::kAlways ||
      tree_.shape_fault()) {
    take_census();
  } else if (auto fields = check_free_list_fields(header_, length_); !fields) {
    free_list_problem_ = std::move(fields.error());
  }

  if (tree_.shape_fault()) {
    // The directory is written anew holding what a reader sees in it.
    tree_ = DirectoryTree::build(tree_.entries_as_read(), tree_.node_offsets());
    rebuild_pending_ = true;
  }
  return {};
}

void DatEditor::State::take_census() {
  std::vector<ByteRange> held;
  tree_.for_each_node(
      [&](std::uint32_t node, std::span<const DatFileEntry> entries) {
        if (node != 0) hold({node, kNodeSize}, held);
        for (const DatFileEntry& entry : entries) hold(chain_of(entry), held);
      });
  space_ = SpaceMap();
  space_.add_all(std::move(held));

  auto list = walk_free_list(*file_, length_, header_);
  if (list) {
    for (const std::uint32_t block : list->blocks) {
      if (!space_.is_free({block, std::uint64_t{block} + block_size()})) {
        list = std::unexpected("free block " + std::to_string(block) +
                               " is used by a file or directory node");
        break;
      }
    }
  }
  if (list) {
    free_list_ = std::move(*list);
    free_list_problem_.reset();
    for (const std::uint32_t block : free_list_.blocks) {
      append_point_ = std::max<std::uint64_t>(
          append_point_, std::uint64_t{block} + block_size());
    }
  } else {
    free_list_ = {};
    free_list_problem_ = std::move(list.error());
  }
  append_point_ = layout().round_up(append_point_);
  census_taken_ = true;
}

bool DatEditor::State::wants_free_blocks(std::uint64_t new_blocks) const {
  switch (options_.free_block_reuse) {
    case FreeBlockReuse::kAlways:
      return true;
    case FreeBlockReuse::kNever:
      return false;
    case FreeBlockReuse::kWhenWorthwhile:
      break;
  }
  return header_.free_count != 0 && !free_list_problem_ &&
         new_blocks * 16 >= length_ / block_size();
}

std::vector<DatFileEntry> DatEditor::State::files() const {
  std::vector<DatFileEntry> entries = tree_.entries();
  std::ranges::sort(entries, {}, &DatFileEntry::id);
  return entries;
}

void DatEditor::State::hold(const Chain& chain, std::vector<ByteRange>& held) {
  if (chain.size == 0) return;
  const ChainExtent extent =
      chain_extent(*file_, length_, block_size(), chain.offset, chain.size);
  for (const ByteRange& range : extent.ranges) {
    held.push_back(range);
    append_point_ = std::max(append_point_, layout().whole_blocks(range).end);
  }
  if (extent.fault) broken_chains_.insert(chain);
}

DatResult<void> DatEditor::State::put(WriterFile file) {
  removals_.erase(file.id);
  const std::uint32_t id = file.id;
  puts_.insert_or_assign(id, std::move(file));
  return {};
}

DatResult<void> DatEditor::State::remove(std::uint32_t id) {
  const bool staged = puts_.erase(id) > 0;
  // A put stages no removal, so an id staged for removal is not staged.
  bool stored = false;
  if (tree_.find(id) != nullptr) stored = removals_.insert(id).second;
  if (!staged && !stored) return std::unexpected(DatError::not_found(id));
  return {};
}

std::expected<void, IoError> DatEditor::State::write_header(
    const DatHeader& header) {
  std::array<std::uint8_t, kHeaderSize> bytes{};
  encode_header(header, bytes);
  if (auto written = file_->write_at(bytes, kHeaderOffset); !written) {
    return written;
  }
  return file_->sync();
}

std::expected<void, IoError> DatEditor::State::write_blocks(
    const WriteBatch& batch, std::uint64_t length) {
  auto written = batch.write_to(*file_);
  if (written && length > length_) written = file_->set_length(length);
  if (written) written = file_->sync();
  if (!written) {
    const auto now = file_->length();
    if (now && *now > length_) (void)file_->set_length(length_);
  }
  return written;
}

DatResult<CommitSummary> DatEditor::State::commit() {
  if (header_in_doubt_) {
    if (auto restored = write_header(header_); !restored) {
      return std::unexpected(std::move(restored.error()));
    }
    header_in_doubt_ = false;
  }
  CommitSummary summary;
  if (puts_.empty() && removals_.empty()) return summary;

  // Everything is planned in memory first: a failure up to the writes
  // leaves the archive and the staged changes as they were.
  std::vector<StoredForm> forms;
  forms.reserve(puts_.size());
  for (const auto& [id, file] : puts_) {
    auto form = store(file);
    if (!form) return std::unexpected(std::move(form.error()));
    forms.push_back(std::move(*form));
  }

  std::uint64_t new_blocks = 0;
  for (const StoredForm& form : forms) {
    if (!form.bytes().empty()) {
      new_blocks += layout().blocks_for(form.bytes().size());
    }
  }
  if (!census_taken_ && wants_free_blocks(new_blocks)) take_census();
  const bool use_list = census_taken_ && !free_list_problem_;
  const FreeList no_list;
  BlockAllocator allocator(block_size(), use_list ? free_list_ : no_list,
                           append_point_);
  DirectoryTree tree = tree_;
  WriteBatch batch(block_size());
  std::vector<ByteRange> new_ranges;
  std::vector<Chain> released;

  for (const std::uint32_t id : removals_) {
    if (const auto old = tree.erase(id)) released.push_back(chain_of(*old));
    ++summary.removed;
  }
  std::size_t form_index = 0;
  for (const auto& [id, file] : puts_) {
    const StoredForm& form = forms[form_index++];
    const std::span<const std::uint8_t> bytes = form.bytes();
    DatFileEntry entry{form.bit_flags,
                       id,
                       0,
                       static_cast<std::uint32_t>(bytes.size()),
                       file.timestamp,
                       file.version};
    // An empty file is never read, so it takes no block.
    if (!bytes.empty()) {
      auto chain = allocator.place(bytes.size());
      if (!chain) return std::unexpected(std::move(chain.error()));
      entry.offset = chain->blocks.front();
      const auto held = batch.add_chain(*chain, bytes);
      new_ranges.insert(new_ranges.end(), held.begin(), held.end());
    }
    if (const auto old = tree.insert_or_replace(entry)) {
      released.push_back(chain_of(*old));
      ++summary.replaced;
    } else {
      ++summary.added;
    }
  }

  std::vector<ChainPlacement> node_chains;
  auto placed = tree.place([&]() -> DatResult<std::uint32_t> {
    auto chain = allocator.place(kNodeSize);
    if (!chain) return std::unexpected(std::move(chain.error()));
    node_chains.push_back(std::move(*chain));
    return node_chains.back().blocks.front();
  });
  if (!placed) return std::unexpected(std::move(placed.error()));
  for (std::size_t i = 0; i < placed->size(); ++i) {
    std::array<std::uint8_t, kNodeSize> bytes;
    encode_directory_node((*placed)[i].node, bytes);
    const auto held = batch.add_chain(node_chains[i], bytes);
    new_ranges.insert(new_ranges.end(), held.begin(), held.end());
  }
  for (const std::uint32_t node : tree.take_released()) {
    released.push_back({node, kNodeSize});
  }

  const std::uint64_t new_length = std::max(length_, allocator.end());
  if (auto fits = check_archive_end(new_length); !fits) {
    return std::unexpected(std::move(fits.error()));
  }
  DatHeader header = header_;
  header.root_offset = tree.root_offset();
  // A list not used stays as the header had it, unless it was found broken.
  if (use_list || free_list_problem_) {
    header.free_head = allocator.remaining_head();
    header.free_tail = allocator.remaining_tail();
    header.free_count = allocator.remaining_count();
  }
  header.file_size = static_cast<std::uint32_t>(new_length);

  // The new chains and nodes go only where nothing in use lies, and reach
  // stable storage before the header that names them.
  if (auto written = write_blocks(batch, new_length); !written) {
    return std::unexpected(std::move(written.error()));
  }
  // The commit: one write of the header, inside one sector.
  if (auto written = write_header(header); !written) {
    // The write may have reached the disk or not: the old header is
    // written again, now or before the next commit.
    header_in_doubt_ = !write_header(header_);
    return std::unexpected(std::move(written.error()));
  }

  summary.blocks_reused = allocator.reused();
  summary.blocks_appended = allocator.appended();
  summary.directory_rebuilt = rebuild_pending_;
  if (free_list_problem_) {
    summary.free_list_discarded = true;
    summary.free_list_problem =
        *std::exchange(free_list_problem_, std::nullopt);
    free_list_ = {};
  } else if (use_list) {
    const auto reused = static_cast<std::ptrdiff_t>(allocator.reused());
    free_list_.blocks.erase(free_list_.blocks.begin(),
                            free_list_.blocks.begin() + reused);
    free_list_.links.erase(free_list_.links.begin(),
                           free_list_.links.begin() + reused);
  }
  header_ = header;
  const std::uint64_t old_length = std::exchange(length_, new_length);
  append_point_ = allocator.end();
  tree_ = std::move(tree);
  rebuild_pending_ = false;
  if (census_taken_) {
    for (const ByteRange& range : new_ranges) space_.add(range);
  }
  puts_.clear();
  removals_.clear();

  free_chains(released, old_length, summary);
  summary.free_blocks = header_.free_count;
  summary.archive_blocks = length_ / block_size();
  return summary;
}

std::function<bool(std::uint64_t)> DatEditor::State::unused_once_released(
    const std::vector<std::vector<ByteRange>>& released) {
  if (census_taken_) {
    for (const auto& ranges : released) {
      for (const ByteRange& range : ranges) space_.remove(range);
    }
    return [this](std::uint64_t block) {
      return space_.is_free({block, block + block_size()});
    };
  }
  // A block that a file shares with another past its start goes unseen
  // here; the census of a later commit finds it and then drops the list.
  std::unordered_set<std::uint32_t> candidates;
  for (const auto& ranges : released) {
    for (const std::uint32_t block : blocks_of(ranges, block_size())) {
      candidates.insert(block);
    }
  }
  std::unordered_set<std::uint32_t> live_starts;
  tree_.for_each_node(
      [&](std::uint32_t node, std::span<const DatFileEntry> entries) {
        if (candidates.contains(node)) live_starts.insert(node);
        for (const DatFileEntry& entry : entries) {
          if (entry.size != 0 && candidates.contains(entry.offset)) {
            live_starts.insert(entry.offset);
          }
        }
      });
  return [live_starts = std::move(live_starts)](std::uint64_t block) {
    return !live_starts.contains(static_cast<std::uint32_t>(block));
  };
}

void DatEditor::State::free_chains(const std::vector<Chain>& released,
                                   std::uint64_t old_length,
                                   CommitSummary& summary) {
  // A released chain is followed only through the file as it was: a chain
  // that led past its end would now run into the blocks just appended.
  // First every released chain lets go of its bytes, so that blocks two of
  // them shared are found free.
  std::vector<std::vector<ByteRange>> extents;
  for (const Chain& chain : released) {
    if (chain.size == 0) continue;
    ChainExtent extent = chain_extent(*file_, old_length, block_size(),
                                      chain.offset, chain.size);
    if (broken_chains_.contains(chain) || extent.fault) {
      summary.blocks_leaked += blocks_of(extent.ranges, block_size()).size();
      continue;
    }
    extents.push_back(std::move(extent.ranges));
  }
  if (extents.empty()) return;
  const auto unused = unused_once_released(extents);

  // Every block of a list lies at one offset modulo the block size: the
  // list's own, or, for a new list, the one most released blocks have.
  std::uint32_t phase = 0;
  if (header_.free_count != 0) {
    phase = header_.free_head % block_size();
  } else {
    std::map<std::uint32_t, std::size_t> phases;
    std::size_t best = 0;
    for (const auto& ranges : extents) {
      for (const std::uint32_t block : blocks_of(ranges, block_size())) {
        const std::size_t seen = ++phases[block % block_size()];
        if (seen > best || (seen == best && block % block_size() < phase)) {
          best = seen;
          phase = block % block_size();
        }
      }
    }
  }

  // A chain goes on the list whole or not at all, its blocks in chain
  // order, so that only its last block's next field changes: a reader
  // that still has the old directory reads it until its blocks are used
  // again.
  std::vector<std::uint32_t> freed;
  std::vector<std::uint32_t> links;
  std::unordered_set<std::uint32_t> taken;
  for (const auto& ranges : extents) {
    const std::vector<std::uint32_t> blocks = blocks_of(ranges, block_size());
    std::vector<std::uint32_t> nexts;
    bool whole = true;
    for (std::size_t i = 0; i < blocks.size() && whole; ++i) {
      const std::uint64_t block = blocks[i];
      std::array<std::uint8_t, kNextFieldSize> field{};
      whole = block >= kHeaderEnd && block + block_size() <= old_length &&
              block % block_size() == phase && unused(block) &&
              !taken.contains(blocks[i]) &&
              file_->read_exact_at_compat(field, block).has_value();
      nexts.push_back(decode_next_field(field.data()));
      // A block whose next field does not name the following block is
      // followed by the rest contiguously: its "next field" neighbours
      // hold payload.
      if (whole && i + 1 < blocks.size()) whole = nexts[i] == blocks[i + 1];
    }
    if (!whole) {
      summary.blocks_leaked += blocks.size();
      continue;
    }
    taken.insert(blocks.begin(), blocks.end());
    freed.insert(freed.end(), blocks.begin(), blocks.end());
    links.insert(links.end(), nexts.begin(), nexts.end());
  }
  if (freed.empty()) return;

  // Link them ahead of the list: each names the one after it, the last
  // the list's head. Only fields that differ are written.
  const auto leak_all = [&] { summary.blocks_leaked += freed.size(); };
  const std::uint32_t old_head = header_.free_head;
  for (std::size_t i = 0; i < freed.size(); ++i) {
    const std::uint32_t next = i + 1 < freed.size() ? freed[i + 1] : old_head;
    if (links[i] == next) continue;
    links[i] = next;
    std::uint8_t field[kNextFieldSize];
    encode_next_field(field, next);
    if (!file_->write_at(field, freed[i])) return leak_all();
  }
  if (!file_->sync()) return leak_all();
  DatHeader header = header_;
  header.free_head = freed.front();
  if (header.free_count == 0) header.free_tail = freed.back();
  header.free_count += static_cast<std::uint32_t>(freed.size());
  if (!write_header(header)) return leak_all();

  header_ = header;
  summary.blocks_freed = freed.size();
  if (!census_taken_) return;
  freed.insert(freed.end(), free_list_.blocks.begin(), free_list_.blocks.end());
  links.insert(links.end(), free_list_.links.begin(), free_list_.links.end());
  free_list_.blocks = std::move(freed);
  free_list_.links = std::move(links);
}

// ---------------------------------------------------------------------------

DatResult<DatEditor> DatEditor::open(const std::filesystem::path& path,
                                     EditorOptions options) {
  auto file = PosixWritableFile::open(path);
  if (!file) {
    if (file.error().os_error() == EWOULDBLOCK) {
      return std::unexpected(DatError::other(
          path.string() + " is being edited by another process"));
    }
    return std::unexpected(DatError::path_error(path, file.error()));
  }
  return open(std::make_shared<PosixWritableFile>(std::move(*file)), options);
}

DatResult<DatEditor> DatEditor::open(std::shared_ptr<WritableFile> file,
                                     EditorOptions options) {
  auto state = State::open(std::move(file), options);
  if (!state) return std::unexpected(std::move(state.error()));
  return DatEditor(std::move(*state));
}

DatEditor::DatEditor(std::unique_ptr<State> state) : state_(std::move(state)) {}
DatEditor::DatEditor(DatEditor&&) noexcept = default;
DatEditor& DatEditor::operator=(DatEditor&&) noexcept = default;
DatEditor::~DatEditor() = default;

std::vector<DatFileEntry> DatEditor::files() const { return state_->files(); }

bool DatEditor::contains(std::uint32_t id) const {
  return state_->contains(id);
}

DatResult<void> DatEditor::put(WriterFile file) {
  return state_->put(std::move(file));
}

DatResult<void> DatEditor::remove(std::uint32_t id) {
  return state_->remove(id);
}

DatResult<CommitSummary> DatEditor::commit() { return state_->commit(); }

}  // namespace quillstone_dat
