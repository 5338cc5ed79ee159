// Fuzz target: a sequence of edits, commits and power cuts decoded from the
// input, applied by DatEditor to an archive on a simulated disk
// (tests/editor/power_cut_disk.h) and checked against a model, a map from
// id to bytes. After a commit the archive holds the model's staged files;
// after a power cut in any write, torn at any sector boundary or with any
// subset of the unflushed sectors kept, it holds the files from before the
// commit or those after it; after a failed write it holds those from
// before, and a retry commits them. The integrity check never finds more
// than leaked blocks, but for a free list of the input's making that an
// editor reusing no blocks had no cause to examine.
//
// The input, read front to back:
//   byte    bits 0-2 the block size, a choice among sizes from 8 to 1024;
//           bits 3-7 when the editor reuses free blocks (FreeBlockReuse)
//   byte    the archive to start from: bits 0-1 empty, scattered chains
//           (build_archive) of files described by the next bytes, or
//           those with a free list made of input bytes
//   then per step a control byte, bits 0-2:
//     0-2   put: the id (an existing one or a new one), its size and
//           salt from the next bytes; storage from bits 3-4
//     3     remove: an existing id, or one that is absent
//     4     commit
//     5     commit with the power cut in write N (next byte), torn at the
//           point or with the sectors the byte after it chooses
//     6     commit with writes failing from write N, then retry
//     7     a new editor, dropping what is staged

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "editor/edit_support.h"
#include "editor/power_cut_disk.h"
#include "fuzz_check.h"
#include "quillstone_dat/dat_editor.h"

namespace quillstone_dat::fuzz {
namespace {

using testing::Bytes;
using testing::Contents;
using testing::PowerCutDisk;

constexpr std::size_t kMaxSteps = 40;
constexpr std::size_t kMaxContentBytes = 1u << 13;
constexpr std::size_t kMaxFaults = 4;

class Input {
 public:
  explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool empty() const { return bytes_.empty(); }
  std::uint8_t byte() {
    if (bytes_.empty()) return 0;
    const std::uint8_t b = bytes_.front();
    bytes_ = bytes_.subspan(1);
    return b;
  }
  std::uint16_t u16() {
    return static_cast<std::uint16_t>(byte() << 8 | byte());
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

// The archive an input starts from, its files, and whether its free list
// is of the input's making.
struct Start {
  Bytes image;
  Contents files;
  bool made_up_free_list = false;
};

Start starting_archive(Input& in, std::uint32_t block_size) {
  Start start;
  const std::uint8_t kind = in.byte() & 3;
  if (kind == 0) {
    start.image = testing::ArchiveBuilder(block_size).bytes();
    return start;
  }
  std::vector<testing::TestFile> files;
  const std::size_t count = in.byte() % 80;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t size = in.byte();
    const auto id = static_cast<std::uint32_t>(i * 3 + 1);
    files.push_back({id, testing::pattern(size % 16, size)});
    start.files[id] = files.back().data;
  }
  start.image = testing::build_archive(files, block_size);
  if (kind == 3) {
    testing::ArchiveBuilder builder(block_size);
    builder.put(0, start.image);
    builder.header() = testing::open_in_memory(start.image)->header();
    builder.header().free_head = in.u16();
    builder.header().free_tail = in.u16();
    builder.header().free_count = in.byte() % 8;
    start.image = builder.bytes();
    start.made_up_free_list = true;
  }
  return start;
}

class Session {
 public:
  Session(Start start, FreeBlockReuse reuse)
      : disk_(std::make_shared<PowerCutDisk>(std::move(start.image))),
        reuse_(reuse),
        committed_(std::move(start.files)) {
    if (start.made_up_free_list &&
        !testing::damage_of(disk_->image()).empty()) {
      damaged_header_ = testing::open_in_memory(disk_->image())->header();
    }
    reopen();
  }

  void run(Input& in) {
    std::size_t content_bytes = 0;
    std::size_t faults = 0;
    for (std::size_t step = 0; step < kMaxSteps && !in.empty(); ++step) {
      const std::uint8_t control = in.byte();
      switch (control & 7) {
        case 0:
        case 1:
        case 2: {
          const std::uint32_t id = pick_id(in);
          const std::size_t size = std::min<std::size_t>(
              std::size_t{in.byte()} * (control >> 5 | 1) * 4,
              kMaxContentBytes - content_bytes);
          content_bytes += size;
          Bytes bytes = testing::pattern(size, in.byte());
          const auto storage = static_cast<Storage>((control >> 3) & 1);
          check(editor_->put(testing::writer_file(id, bytes, storage))
                    .has_value(),
                "a put is staged");
          staged_[id] = std::move(bytes);
          break;
        }
        case 3: {
          const std::uint32_t id = pick_id(in);
          const bool present = staged_.erase(id) > 0;
          check(editor_->remove(id).has_value() == present,
                "a remove succeeds exactly for a present id");
          break;
        }
        case 4:
          commit();
          break;
        case 5:
          // Each cut costs a few opens and checks; a handful an input keeps
          // the target fast.
          if (++faults > kMaxFaults) {
            commit();
          } else {
            commit_cut(in.byte() % 40 + 1, in.byte());
          }
          break;
        case 6:
          if (++faults > kMaxFaults) {
            commit();
          } else {
            commit_failing(in.byte() % 40 + 1, control & 8 ? ENOSPC : EIO);
          }
          break;
        default:
          reopen();
          break;
      }
    }
    commit();
    check_contents(disk_->image(), committed_, "commits leave the new files");
    check_damage(disk_->image());
  }

 private:
  // The archive holds `expected`.
  static void check_contents(const Bytes& image, const Contents& expected,
                             const char* what) {
    const auto contents = testing::contents_of(image);
    if (!contents) {
      std::fprintf(stderr, "%s\n", contents.error().debug().c_str());
    }
    check(contents.has_value(), "the archive opens and every file reads");
    check(*contents == expected, what);
  }

  // The integrity check finds nothing but leaked blocks, unless a free
  // list of the input's making may remain: while the header is still the
  // starting archive's, or, for an editor that need not prove the list,
  // until a commit finds it broken.
  void check_damage(const Bytes& image) {
    const std::vector<std::string> damage = testing::damage_of(image);
    const bool inherited =
        damaged_header_ &&
        (reuse_ != FreeBlockReuse::kAlways ||
         testing::open_in_memory(image)->header() == *damaged_header_);
    if (!damage.empty() && !inherited) {
      for (const std::string& line : damage) {
        std::fprintf(stderr, "damage: %s\n", line.c_str());
      }
    }
    check(damage.empty() || inherited,
          "the integrity check finds nothing but leaked blocks");
    if (damage.empty()) damaged_header_.reset();
  }

  std::uint32_t pick_id(Input& in) {
    const std::uint8_t choice = in.byte();
    if (choice & 1 || staged_.empty()) return choice >> 1;
    auto it = staged_.begin();
    std::advance(it, (choice >> 1) % staged_.size());
    return it->first;
  }

  void reopen() {
    editor_.reset();
    auto editor = DatEditor::open(disk_, {reuse_});
    if (!editor) std::fprintf(stderr, "%s\n", editor.error().debug().c_str());
    check(editor.has_value(), "an archive the editor left opens for editing");
    editor_.emplace(std::move(*editor));
    staged_ = committed_;
  }

  void commit() {
    const auto summary = editor_->commit();
    if (!summary) std::fprintf(stderr, "%s\n", summary.error().debug().c_str());
    check(summary.has_value(), "a commit on a sound disk succeeds");
    committed_ = staged_;
  }

  void commit_cut(std::size_t write, std::uint8_t variant) {
    disk_->cut_at(disk_->writes() + write);
    (void)editor_->commit();
    Bytes image = disk_->image();
    if (disk_->power_lost()) {
      if (variant & 1) {
        std::mt19937 random(variant);
        image = disk_->after_cut_reordered(random);
      } else {
        image = disk_->after_cut((variant >> 1) % disk_->tear_points());
      }
    }
    const auto contents = testing::contents_of(image);
    check(contents.has_value(), "the archive opens after a power cut");
    check(*contents == committed_ || *contents == staged_,
          "a power cut leaves the old files or the new ones");
    committed_ = *contents;
    check_damage(image);
    disk_ = std::make_shared<PowerCutDisk>(std::move(image));
    reopen();
  }

  void commit_failing(std::size_t write, int error) {
    disk_->fail_from(disk_->writes() + write, error);
    const auto summary = editor_->commit();
    disk_->fail_from(0, 0);
    if (!summary) {
      // Only a failure in the header's own write, whose undoing failed
      // too, can leave the new header in place.
      const auto contents = testing::contents_of(disk_->image());
      check(contents.has_value() &&
                (*contents == committed_ || *contents == staged_),
            "a failed commit leaves the old files or the new ones");
    }
    commit();
  }

  std::shared_ptr<PowerCutDisk> disk_;
  const FreeBlockReuse reuse_;
  std::optional<DatEditor> editor_;
  Contents committed_;
  Contents staged_;
  std::optional<DatHeader> damaged_header_;
};

}  // namespace
}  // namespace quillstone_dat::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace quillstone_dat;
  static constexpr std::uint32_t kBlockSizes[] = {8,  12,  16,  33,
                                                  64, 100, 256, 1024};
  static constexpr FreeBlockReuse kReuses[] = {FreeBlockReuse::kAlways,
                                               FreeBlockReuse::kWhenWorthwhile,
                                               FreeBlockReuse::kNever};
  fuzz::Input in(std::span<const std::uint8_t>(data, size));
  const std::uint8_t choices = in.byte();
  const std::uint32_t block_size =
      kBlockSizes[choices % std::size(kBlockSizes)];
  const FreeBlockReuse reuse = kReuses[(choices >> 3) % std::size(kReuses)];
  fuzz::Session session(fuzz::starting_archive(in, block_size), reuse);
  session.run(in);
  return 0;
}
