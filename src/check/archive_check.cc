#include "quillstone_dat/archive_check.h"

#include <algorithm>
#include <compare>
#include <iterator>
#include <set>
#include <span>
#include <tuple>
#include <utility>

#include "format/block_chain.h"
#include "format/chain_layout.h"
#include "format/directory_walk.h"
#include "format/free_list.h"
#include "format/records.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/lrs.h"
#include "utils/shown_numbers.h"

namespace quillstone_dat {

namespace {

using Kind = CheckProblem::Kind;

// What holds some bytes of the archive: the header, an entry's chain or a
// directory node's chain.
struct Owner {
  enum class Type : std::uint8_t { kHeader, kEntry, kNode };
  Type type = Type::kHeader;
  std::uint32_t id = 0;      // kEntry
  std::uint32_t offset = 0;  // the chain's first block

  friend auto operator<=>(const Owner&, const Owner&) = default;
};

struct Claim {
  ByteRange range;
  Owner owner;
};

Kind kind_of(ChainFault::Kind fault) {
  switch (fault) {
    case ChainFault::Kind::kOutsideFile:
      return Kind::kOutsideFile;
    case ChainFault::Kind::kLoop:
      return Kind::kChainLoop;
    case ChainFault::Kind::kUnreadable:
      break;
  }
  return Kind::kReadError;
}

CheckProblem problem_of(Kind kind, const Owner& owner, std::string detail) {
  std::optional<std::uint32_t> id;
  if (owner.type == Owner::Type::kEntry) id = owner.id;
  return {kind, id, owner.offset, std::move(detail)};
}

// What the stored bytes of a compressed entry say about themselves.
std::optional<CheckProblem> check_payload(
    const Owner& entry, std::span<const std::uint8_t> stored) {
  if (stored.size() < kSizePrefixSize) {
    return problem_of(Kind::kShortPayload, entry,
                      "compressed entry stores " +
                          std::to_string(stored.size()) +
                          " bytes, too few for its 4-byte size prefix");
  }
  const std::uint32_t declared = decode_size_prefix(stored);
  const std::size_t decoded = decompress_lrs(stored).size();
  if (decoded == declared) return std::nullopt;
  return problem_of(Kind::kSizeMismatch, entry,
                    "payload declares " + std::to_string(declared) +
                        " bytes but its stream decodes to " +
                        std::to_string(decoded));
}

// Which of two owners of the same bytes a report is about: the one a reader
// is likeliest to look up, an entry before a node before the header.
int report_rank(Owner::Type type) {
  switch (type) {
    case Owner::Type::kEntry:
      return 2;
    case Owner::Type::kNode:
      return 1;
    case Owner::Type::kHeader:
      break;
  }
  return 0;
}

// The problem of two owners holding the bytes at `at`; of two owners alike
// it is about the one whose bytes start later.
CheckProblem overlap(const Owner& later, const Owner& earlier,
                     std::uint64_t at) {
  const bool swap = report_rank(earlier.type) > report_rank(later.type);
  const Owner& subject = swap ? earlier : later;
  const Owner& other = swap ? later : earlier;
  const Kind kind =
      subject.type == Owner::Type::kNode || other.type == Owner::Type::kNode
          ? Kind::kNodeOverlap
          : Kind::kSharedBlock;
  const std::string where = std::to_string(at);
  switch (other.type) {
    case Owner::Type::kHeader:
      return problem_of(
          kind, subject,
          "chain's bytes at offset " + where + " overlap the header");
    case Owner::Type::kEntry:
      return problem_of(kind, subject,
                        "bytes at offset " + where +
                            " also belong to the chain of " + hex_id(other.id));
    case Owner::Type::kNode:
      break;
  }
  return problem_of(kind, subject,
                    "bytes at offset " + where +
                        " also belong to the directory node at offset " +
                        std::to_string(other.offset));
}

// One report per pair of owners whose claims overlap. A sweep in order of
// start keeps the claim reaching furthest so far; any claim starting before
// that one's end overlaps it.
void find_overlaps(std::vector<Claim> claims,
                   std::vector<CheckProblem>& problems) {
  // Ties in owner order, so that the same archive gives the same report.
  std::ranges::sort(claims, {}, [](const Claim& c) {
    return std::tie(c.range.begin, c.owner);
  });
  std::set<std::pair<Owner, Owner>> reported;
  const Claim* furthest = nullptr;
  for (const Claim& claim : claims) {
    if (furthest != nullptr && claim.range.begin < furthest->range.end &&
        furthest->owner != claim.owner &&
        reported.insert(std::minmax(claim.owner, furthest->owner)).second) {
      problems.push_back(
          overlap(claim.owner, furthest->owner, claim.range.begin));
    }
    if (furthest == nullptr || claim.range.end > furthest->range.end) {
      furthest = &claim;
    }
  }
}

// One check of one archive: claims the bytes of every chain it follows and
// gathers the problems it meets on the way.
class ArchiveCheck {
 public:
  ArchiveCheck(const DatDatabase& db, const FileExtPolyfill& file,
               std::uint64_t file_length, const CheckOptions& options)
      : db_(db), file_(file), file_length_(file_length), options_(options) {
    claims_.push_back({{kHeaderOffset, kHeaderEnd}, {}});
  }

  DatResult<CheckReport> run() {
    // The directory walked as the open walks it: what the open would refuse
    // fails the check with the same error.
    auto walked = walk_directory(
        file_, db_.header(), file_length_, [&](const VisitedNode& visited) {
          ++report_.nodes;
          // A loop in a node's chain only repeats
          // bytes, so the node still reads.
          follow({Owner::Type::kNode, 0, visited.offset}, kNodeSize);
        });
    if (!walked) return std::unexpected(std::move(walked.error()));
    const std::vector<DatFileEntry> entries = db_.files().sorted_entries();
    for (const DatFileEntry& entry : entries) check_entry(entry);
    check_payloads();
    report_.entries = entries.size();

    if (options_.check_free_space) check_free_space(entries);
    find_overlaps(std::move(claims_), report_.problems);
    std::ranges::stable_sort(report_.problems, {}, [](const CheckProblem& p) {
      return std::pair(p.id.has_value(), p.id ? *p.id : p.offset);
    });
    return std::move(report_);
  }

 private:
  // The free list, walked and held against every claim, then the stretches
  // of a block or more that nothing uses: no chain (its last block counted
  // whole), no empty file's block and no free block.
  void check_free_space(const std::vector<DatFileEntry>& entries) {
    const DatHeader& header = db_.header();
    const std::uint64_t block_size = header.block_size;
    const ChainLayout layout(header.block_size);
    if (!layout.has_payload()) {
      report_.problems.push_back(
          {Kind::kFreeList, std::nullopt, header.free_head,
           "block size " + std::to_string(block_size) +
               " leaves blocks no room, so free space is not counted in "
               "blocks"});
      return;
    }
    const std::vector<ByteRange> held =
        merged(claims_, [](const Claim& claim) { return claim.range; });
    std::vector<ByteRange> used = merged(claims_, [&](const Claim& claim) {
      if (claim.owner.type == Owner::Type::kHeader) return claim.range;
      return layout.whole_blocks(claim.range);
    });
    for (const DatFileEntry& entry : entries) {
      if (entry.size == 0 && entry.offset >= kHeaderEnd) {
        used.push_back({entry.offset, entry.offset + block_size});
      }
    }

    auto list = walk_free_list(file_, file_length_, header);
    if (!list) {
      report_.problems.push_back(
          {Kind::kFreeList, std::nullopt, header.free_head, list.error()});
    } else {
      for (const std::uint32_t block : list->blocks) {
        const ByteRange range{block, block + block_size};
        if (overlaps(held, range)) {
          report_.problems.push_back(
              {Kind::kFreeList, std::nullopt, block,
               "free block " + std::to_string(block) +
                   " holds bytes a file or directory node uses"});
        }
        used.push_back(range);
      }
    }

    std::ranges::sort(used, {}, &ByteRange::begin);
    std::uint64_t covered = kHeaderEnd;
    const auto report_gap = [&](std::uint64_t until) {
      if (until >= covered + block_size) {
        report_.problems.push_back(
            {Kind::kLeaked, std::nullopt, covered,
             std::to_string(until - covered) + " bytes from offset " +
                 std::to_string(covered) +
                 " are used by no file, directory node or free block"});
      }
    };
    for (const ByteRange& range : used) {
      if (range.begin >= file_length_) break;
      if (range.begin > covered) report_gap(range.begin);
      covered = std::max(covered, range.end);
    }
    report_gap(file_length_);
  }

  // The ranges `range_of` gives for each claim, sorted and joined.
  template <typename RangeOf>
  static std::vector<ByteRange> merged(const std::vector<Claim>& claims,
                                       RangeOf range_of) {
    std::vector<ByteRange> ranges;
    for (const Claim& claim : claims) ranges.push_back(range_of(claim));
    std::ranges::sort(ranges, {}, &ByteRange::begin);
    std::vector<ByteRange> out;
    for (const ByteRange& range : ranges) {
      if (!out.empty() && range.begin <= out.back().end) {
        out.back().end = std::max(out.back().end, range.end);
      } else {
        out.push_back(range);
      }
    }
    return out;
  }

  // Whether `range` shares a byte with the sorted, disjoint `ranges`.
  static bool overlaps(const std::vector<ByteRange>& ranges,
                       const ByteRange& range) {
    const auto after =
        std::ranges::upper_bound(ranges, range.begin, {}, &ByteRange::begin);
    if (after != ranges.begin() && std::prev(after)->end > range.begin) {
      return true;
    }
    return after != ranges.end() && after->begin < range.end;
  }

  // Claims the chain's bytes and reports where it breaks; true when it can
  // be read as a whole.
  bool follow(const Owner& owner, std::uint32_t size) {
    const ChainExtent extent = chain_extent(
        file_, file_length_, db_.header().block_size, owner.offset, size);
    for (const ByteRange& range : extent.ranges) {
      claims_.push_back({range, owner});
    }
    if (!extent.fault) return true;
    report_.problems.push_back(
        problem_of(kind_of(extent.fault->kind), owner, extent.fault->detail));
    return false;
  }

  void check_entry(const DatFileEntry& entry) {
    const Owner owner{Owner::Type::kEntry, entry.id, entry.offset};
    // A chain that leaves the file, loops or cannot be followed is reported
    // once, as such; reading it would fail or only repeat bytes.
    if (follow(owner, entry.size) && options_.decode_payloads) {
      to_read_.push_back(entry.id);
    }
  }

  // Reads the entries whose chains were sound in one batch pass, in the
  // order they lie in the archive, and checks what they store.
  void check_payloads() {
    db_.for_each_file(
        FileSelection::of(std::move(to_read_)), {.raw = true},
        [&](const BatchFile& file) {
          const Owner owner{Owner::Type::kEntry, file.id, file.entry->offset};
          if (!file.bytes) {
            report_.problems.push_back(problem_of(Kind::kReadError, owner,
                                                  file.bytes.error().debug()));
          } else if (file.entry->is_compressed()) {
            if (auto problem = check_payload(owner, *file.bytes)) {
              report_.problems.push_back(std::move(*problem));
            }
          }
        });
  }

  const DatDatabase& db_;
  const FileExtPolyfill& file_;
  const std::uint64_t file_length_;
  const CheckOptions options_;
  std::vector<std::uint32_t> to_read_;  // ids whose payloads are checked
  std::vector<Claim> claims_;
  CheckReport report_;
};

}  // namespace

std::string_view to_string(CheckProblem::Kind kind) {
  switch (kind) {
    case Kind::kReadError:
      return "read_error";
    case Kind::kOutsideFile:
      return "outside_file";
    case Kind::kChainLoop:
      return "chain_loop";
    case Kind::kSharedBlock:
      return "shared_block";
    case Kind::kNodeOverlap:
      return "node_overlap";
    case Kind::kShortPayload:
      return "short_payload";
    case Kind::kSizeMismatch:
      return "size_mismatch";
    case Kind::kFreeList:
      return "free_list";
    case Kind::kLeaked:
      return "leaked";
  }
  return "unknown";
}

DatResult<CheckReport> DatDatabase::check(const CheckOptions& options) const {
  // The file as it is now: a chain is outside it if it is past today's end.
  auto length = file_->length();
  if (!length) return std::unexpected(std::move(length.error()));
  return ArchiveCheck(*this, *file_, *length, options).run();
}

DatResult<CheckReport> check_archive(const std::filesystem::path& path,
                                     const CheckOptions& options) {
  auto db = DatDatabase::open(path);
  if (!db) return std::unexpected(std::move(db.error()));
  return db->check(options);
}

}  // namespace quillstone_dat
