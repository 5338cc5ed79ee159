#include "quillstone_dat/dat_editor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <utility>

#include "edit/commit_plan.h"
#include "edit/directory_tree.h"
#include "edit/space_census.h"
#include "format/block_chain.h"
#include "format/chain_layout.h"
#include "format/directory_walk.h"
#include "format/free_list.h"
#include "format/records.h"
#include "quillstone_dat/dat_writer.h"
#include "utils/writable_file.h"
#include "write/stored_form.h"

namespace quillstone_dat {

class DatEditor::State {
 public:
  static DatResult<std::unique_ptr<State>> open(
      std::shared_ptr<WritableFile> file, EditorOptions options);

  State(std::shared_ptr<WritableFile> file, EditorOptions options)
      : file_(std::move(file)), options_(options) {}

  std::vector<DatFileEntry> files() const;
  bool contains(std::uint32_t id) const { return tree_.find(id) != nullptr; }
  DatResult<void> put(WriterFile file);
  DatResult<void> remove(std::uint32_t id);
  DatResult<void> set_header_fields(const WriterOptions& fields);
  DatResult<CommitSummary> commit();

 private:
  DatResult<void> load();
  ChainLayout layout() const { return ChainLayout(header_.block_size); }
  // Follows every live chain and proves or rejects the free list.
  void take_census();
  // Whether a commit whose new chains take `new_blocks` blocks should use
  // the free list.
  bool wants_free_blocks(std::uint64_t new_blocks) const;
  // Writes the batch, makes the file `length` bytes long and flushes it.
  // On failure the file is cut back to its length before, so that a full
  // disk leaves it as it was.
  std::expected<void, IoError> write_blocks(const WriteBatch& batch,
                                            std::uint64_t length);
  // Commits staged header fields alone: one write of the header.
  DatResult<CommitSummary> commit_header_fields();
  // Writes the header in one write and flushes it.
  std::expected<void, IoError> write_header(const DatHeader& header);
  // Puts the blocks of `released` chains, which lay in the first
  // `old_length` bytes, on the free list, as far as nothing else uses
  // them; counts them in `summary`.
  void free_released(const std::vector<Chain>& released,
                     std::uint64_t old_length, CommitSummary& summary);

  std::shared_ptr<WritableFile> file_;
  const EditorOptions options_;
  DatHeader header_;
  std::uint64_t length_ = 0;
  DirectoryTree tree_;
  // The directory is to be written anew by the next commit.
  bool rebuild_pending_ = false;
  SpaceCensus census_{DatHeader{}, 0};
  std::uint64_t append_point_ = 0;
  std::map<std::uint32_t, WriterFile> puts_;
  std::set<std::uint32_t> removals_;
  std::optional<WriterOptions> header_fields_;
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
  if (header_.block_size < DatWriter::kMinBlockSize) {
    return std::unexpected(DatError::other(
        "block size " + std::to_string(header_.block_size) +
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
  census_ = SpaceCensus(header_, length_);
  // The nodes of a directory about to be written anew are released by the
  // rebuild: the census must know them first.
  if (options_.free_block_reuse == FreeBlockReuse::kAlways ||
      tree_.shape_fault()) {
    take_census();
  }
  if (tree_.shape_fault()) {
    // The directory is written anew holding what a reader sees in it.
    tree_ = DirectoryTree::build(tree_.entries_as_read(), tree_.node_offsets());
    rebuild_pending_ = true;
  }
  return {};
}

void DatEditor::State::take_census() {
  census_.take(*file_, length_, header_, tree_);
  append_point_ =
      layout().round_up(std::max(append_point_, census_.end_of_use()));
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
  return header_.free_count != 0 &&
         census_.list_state() != SpaceCensus::ListState::kUntrusted &&
         new_blocks * 16 >= length_ / header_.block_size;
}

std::vector<DatFileEntry> DatEditor::State::files() const {
  std::vector<DatFileEntry> entries = tree_.entries();
  std::ranges::sort(entries, {}, &DatFileEntry::id);
  return entries;
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

DatResult<void> DatEditor::State::set_header_fields(
    const WriterOptions& fields) {
  if (fields.block_size != header_.block_size) {
    return std::unexpected(DatError::other(
        "the block size cannot change in place: the archive's is " +
        std::to_string(header_.block_size) + ", not " +
        std::to_string(fields.block_size)));
  }
  header_fields_ = fields;
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
  if (puts_.empty() && removals_.empty()) return commit_header_fields();
  CommitSummary summary;

  // Everything is planned in memory first: a failure up to the writes
  // leaves the archive and the staged changes as they were.
  std::vector<StoredForm> forms;
  forms.reserve(puts_.size());
  std::uint64_t new_blocks = 0;
  for (const auto& [id, file] : puts_) {
    auto form = store(file, options_.level);
    if (!form) return std::unexpected(std::move(form.error()));
    if (!form->bytes().empty()) {
      new_blocks += layout().blocks_for(form->bytes().size());
    }
    forms.push_back(std::move(*form));
  }
  if (!census_.taken() && wants_free_blocks(new_blocks)) take_census();

  const SpaceCensus::ListState list = census_.list_state();
  const bool use_list = list == SpaceCensus::ListState::kProven;
  // A list not used stays as the header had it, unless it was found broken.
  const BlockSource blocks{
      census_.proven_list(), append_point_,
      use_list || list == SpaceCensus::ListState::kUntrusted};
  auto plan =
      plan_commit(header_, length_, blocks, {puts_, forms, removals_}, tree_);
  if (!plan) {
    tree_.roll_back_change();
    return std::unexpected(std::move(plan.error()));
  }
  // The new chains and nodes go only where nothing in use lies, and reach
  // stable storage before the header that names them.
  if (auto written = write_blocks(plan->batch, plan->length); !written) {
    tree_.roll_back_change();
    return std::unexpected(std::move(written.error()));
  }
  if (header_fields_) header_fields_->apply_to(plan->header);
  // The commit: one write of the header, inside one sector.
  if (auto written = write_header(plan->header); !written) {
    // The write may have reached the disk or not: the old header is
    // written again, now or before the next commit.
    header_in_doubt_ = !write_header(header_);
    tree_.roll_back_change();
    return std::unexpected(std::move(written.error()));
  }

  tree_.keep_change();
  summary.added = plan->added;
  summary.replaced = plan->replaced;
  summary.removed = plan->removed;
  summary.blocks_reused = plan->blocks_reused;
  summary.blocks_appended = plan->blocks_appended;
  summary.directory_rebuilt = rebuild_pending_;
  if (list == SpaceCensus::ListState::kUntrusted) {
    summary.free_list_discarded = true;
    summary.free_list_problem = std::string(census_.list_problem());
  }
  census_.record_commit(plan->new_ranges, plan->blocks_reused);
  header_ = plan->header;
  const std::uint64_t old_length = std::exchange(length_, plan->length);
  append_point_ = plan->append_point;
  rebuild_pending_ = false;
  puts_.clear();
  removals_.clear();
  header_fields_.reset();

  free_released(plan->released, old_length, summary);
  summary.free_blocks = header_.free_count;
  summary.archive_blocks = length_ / header_.block_size;
  return summary;
}

DatResult<CommitSummary> DatEditor::State::commit_header_fields() {
  CommitSummary summary;
  if (!header_fields_) return summary;
  DatHeader header = header_;
  header_fields_->apply_to(header);
  if (header != header_) {
    if (auto written = write_header(header); !written) {
      header_in_doubt_ = !write_header(header_);
      return std::unexpected(std::move(written.error()));
    }
    header_ = header;
  }
  header_fields_.reset();
  summary.free_blocks = header_.free_count;
  summary.archive_blocks = length_ / header_.block_size;
  return summary;
}

void DatEditor::State::free_released(const std::vector<Chain>& released,
                                     std::uint64_t old_length,
                                     CommitSummary& summary) {
  // A released chain is followed only through the file as it was: a chain
  // that led past its end would now run into the blocks just appended.
  // First every released chain lets go of its bytes, so that blocks two of
  // them shared are found free.
  const ChainLayout layout = this->layout();
  std::vector<std::vector<ByteRange>> extents;
  for (const Chain& chain : released) {
    if (chain.size == 0) continue;
    ChainExtent extent = chain_extent(*file_, old_length, header_.block_size,
                                      chain.offset, chain.size);
    if (census_.is_broken(chain) || extent.fault) {
      summary.blocks_leaked += layout.blocks_in(extent.ranges).size();
      continue;
    }
    extents.push_back(std::move(extent.ranges));
  }
  if (extents.empty()) return;
  const auto unused =
      census_.unused_once_released(extents, tree_, header_.block_size);
  std::vector<std::vector<std::uint32_t>> chains;
  chains.reserve(extents.size());
  for (const auto& ranges : extents) chains.push_back(layout.blocks_in(ranges));

  FreedBlocks freed =
      pick_freed_chains(*file_, old_length, header_, chains, unused);
  summary.blocks_leaked += freed.leaked;
  if (freed.blocks.empty()) return;
  // Left out of the list if writing it fails: they stay unused.
  auto header = link_freed_blocks(*file_, header_, freed);
  if (!header || !write_header(*header)) {
    summary.blocks_leaked += freed.blocks.size();
    return;
  }
  header_ = *header;
  summary.blocks_freed = freed.blocks.size();
  census_.record_freed(std::move(freed));
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

DatResult<void> DatEditor::set_header_fields(const WriterOptions& fields) {
  return state_->set_header_fields(fields);
}

DatResult<CommitSummary> DatEditor::commit() { return state_->commit(); }

}  // namespace quillstone_dat
