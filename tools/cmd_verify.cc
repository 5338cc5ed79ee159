// `verify ARCHIVE [--json]`: reads every entry and reports what is wrong
// with it: a chain that cannot be read, leaves the file or loops; a
// compressed payload that decodes to fewer bytes than it declares; bytes
// that two chains, or a chain and the header, both claim. Exit status 0
// means nothing was found.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "chain_extent.h"
#include "command.h"
#include "output.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/lrs.h"
#include "quillstone_dat/posix_file.h"

namespace quillstone_dat::tool {
namespace {

constexpr std::uint32_t kSizePrefix = 4;

struct Problem {
  std::uint32_t id;
  std::string_view kind;
  std::string detail;
};

// Bytes of the archive and what claims them: an entry's chain, or the
// header when `owner` is empty.
struct Claim {
  ByteRange range;
  std::optional<std::uint32_t> owner;
};

std::string_view kind_name(ChainFault::Kind kind) {
  switch (kind) {
    case ChainFault::Kind::kOutsideFile:
      return "outside_file";
    case ChainFault::Kind::kLoop:
      return "chain_loop";
  }
  return "chain";
}

std::uint32_t declared_size(const std::vector<std::uint8_t>& payload) {
  return static_cast<std::uint32_t>(payload[0]) |
         static_cast<std::uint32_t>(payload[1]) << 8 |
         static_cast<std::uint32_t>(payload[2]) << 16 |
         static_cast<std::uint32_t>(payload[3]) << 24;
}

// What the stored bytes of a compressed entry say about themselves.
std::optional<Problem> check_payload(std::uint32_t id,
                                     const std::vector<std::uint8_t>& stored) {
  if (stored.size() < kSizePrefix) {
    return Problem{id, "short_payload",
                   fmt::format("compressed entry stores {} bytes, too few "
                               "for its 4-byte size prefix",
                               stored.size())};
  }
  const std::uint32_t declared = declared_size(stored);
  const std::size_t decoded = decompress_lrs(stored).size();
  if (decoded == declared) return std::nullopt;
  return Problem{id, "size_mismatch",
                 fmt::format("payload declares {} bytes but its stream "
                             "decodes to {}",
                             declared, decoded)};
}

// One report per pair of owners whose claims overlap, attributed to an
// entry (never to the header). A sweep in order of start keeps the claim
// reaching furthest so far; any claim starting before that one's end
// overlaps it.
void find_overlaps(std::vector<Claim> claims, std::vector<Problem>& problems) {
  std::ranges::sort(claims, {}, [](const Claim& c) { return c.range.begin; });
  std::set<std::pair<std::int64_t, std::int64_t>> reported;
  const auto key = [](const std::optional<std::uint32_t>& owner) {
    return owner ? std::int64_t{*owner} : std::int64_t{-1};
  };
  const Claim* furthest = nullptr;
  for (const Claim& claim : claims) {
    if (furthest != nullptr && claim.range.begin < furthest->range.end &&
        furthest->owner != claim.owner &&
        reported.insert(std::minmax(key(claim.owner), key(furthest->owner)))
            .second) {
      const std::uint64_t at = claim.range.begin;
      if (!claim.owner || !furthest->owner) {
        problems.push_back(
            {claim.owner ? *claim.owner : *furthest->owner, "shared_block",
             fmt::format("chain's bytes at offset {} overlap the header", at)});
      } else {
        problems.push_back(
            {*claim.owner, "shared_block",
             fmt::format(
                 "bytes at offset {} also belong to the chain of {:08X}", at,
                 *furthest->owner)});
      }
    }
    if (furthest == nullptr || claim.range.end > furthest->range.end) {
      furthest = &claim;
    }
  }
}

std::string render_text(std::size_t entries,
                        const std::vector<Problem>& problems) {
  std::string text;
  for (const Problem& problem : problems) {
    text += fmt::format("{:08X}: {}: {}\n", problem.id, problem.kind,
                        problem.detail);
  }
  text += fmt::format("checked {} {}: {} {}\n", entries,
                      entries == 1 ? "entry" : "entries", problems.size(),
                      problems.size() == 1 ? "problem" : "problems");
  return text;
}

std::string render_json(std::size_t entries,
                        const std::vector<Problem>& problems) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const Problem& problem : problems) {
    list.push_back({{"id", problem.id},
                    {"kind", problem.kind},
                    {"detail", problem.detail}});
  }
  const nlohmann::ordered_json object = {
      {"entries", entries},
      {"problems", std::move(list)},
      {"clean", problems.empty()},
  };
  return object.dump(2) + "\n";
}

class VerifyCommand final : public Command {
 public:
  std::string_view name() const override { return "verify"; }
  std::string_view summary() const override {
    return "Read every entry and report broken or overlapping chains and "
           "bad compressed payloads";
  }
  std::string_view synopsis() const override { return "ARCHIVE [--json]"; }

  void configure(CLI::App& parser) override {
    parser.add_option("ARCHIVE", archive_, "Path of the DAT archive")
        ->required()
        ->type_name("PATH");
    parser.add_flag("--json", json_, "Write one JSON object");
  }

  ExitStatus run() const override {
    const auto db = DatDatabase::open(archive_);
    if (!db) return report_error(db.error());
    // The database does not expose its file, so the chains are walked
    // through a second descriptor.
    const auto file = PosixFile::open(archive_);
    if (!file) {
      return report_error(DatError::path_error(archive_, file.error()));
    }
    const auto length = file->length();
    if (!length) return report_error(length.error());

    std::vector<DatFileEntry> entries(db->files().begin(), db->files().end());
    std::ranges::sort(entries, {}, &DatFileEntry::id);
    std::vector<Problem> problems;
    std::vector<Claim> claims = {
        {{DatHeader::kFileOffset,
          DatHeader::kFileOffset + DatHeader::kEncodedSize},
         std::nullopt}};
    for (const DatFileEntry& entry : entries) {
      const ChainExtent extent = walk_chain(
          *file, *length, db->header().block_size, entry.offset, entry.size);
      for (const ByteRange& range : extent.ranges) {
        claims.push_back({range, entry.id});
      }
      if (extent.fault) {
        problems.push_back(
            {entry.id, kind_name(extent.fault->kind), extent.fault->detail});
      }
      const auto stored = db->read_file_data(entry.offset, entry.size);
      if (!stored) {
        // A chain leaving the file fails to read for that very reason.
        if (!extent.fault ||
            extent.fault->kind != ChainFault::Kind::kOutsideFile) {
          problems.push_back({entry.id, "read_error", stored.error().debug()});
        }
        continue;
      }
      if (entry.is_compressed()) {
        if (auto problem = check_payload(entry.id, *stored)) {
          problems.push_back(std::move(*problem));
        }
      }
    }
    find_overlaps(std::move(claims), problems);
    std::ranges::stable_sort(problems, {}, &Problem::id);

    const ExitStatus written =
        write_stdout(json_ ? render_json(entries.size(), problems)
                           : render_text(entries.size(), problems));
    if (written != ExitStatus::kSuccess) return written;
    return problems.empty() ? ExitStatus::kSuccess : ExitStatus::kFailure;
  }

 private:
  std::string archive_;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> make_verify_command() {
  return std::make_unique<VerifyCommand>();
}

}  // namespace quillstone_dat::tool
