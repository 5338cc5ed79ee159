// `sample ARCHIVE [--files N] [--seed S]`: writes a made-up archive that
// looks like a real one: thousands of files from one byte to a few hundred
// KiB, most of them small; prose, record tables and incompressible data;
// about a quarter stored compressed; ids spread over sixteen id ranges. The
// same seed and count always give the same bytes. An existing ARCHIVE is
// replaced only with --force; missing parent folders are made.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <string>

#include "arguments.h"
#include "command.h"
#include "error_text.h"
#include "existing_files.h"
#include "output.h"
#include "quillstone_dat/dat_writer.h"
#include "sample_content.h"

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

// A balanced directory of 61-entry nodes holds 3843 entries in two levels;
// the default makes readers walk three.
constexpr std::uint32_t kDefaultFiles = 4000;
constexpr std::uint32_t kMaxFiles = 1'000'000;
constexpr std::uint64_t kDefaultSeed = 1;
// Sizes are 2^b + [0, 2^b) bytes with b the smaller of two draws from
// [0, kSizeBits): mostly small, up to just under 512 KiB.
constexpr std::uint64_t kSizeBits = 19;
constexpr std::array<std::uint32_t, 16> kIdRanges = {
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x08, 0x0A,
    0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x13, 0x20};
constexpr std::uint32_t kTimestampBase = 1'100'000'000;

std::size_t sample_size(SampleRandom& random) {
  const std::uint64_t bits =
      std::min(random.below(kSizeBits), random.below(kSizeBits));
  const std::uint64_t low = std::uint64_t{1} << bits;
  return static_cast<std::size_t>(low + random.below(low));
}

// CLI11 would wrap "-1" and clamp numbers past 64 bits; a seed is plain
// decimal digits that fit.
CLI::Validator seed_validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        std::uint64_t value = 0;
        const char* const end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (!text.empty() && error == std::errc() && stop == end) return {};
        return "'" + text + "' is not a seed (decimal, up to 64 bits)";
      },
      "");
}

ContentKind sample_kind(SampleRandom& random) {
  const std::uint64_t draw = random.below(10);
  if (draw < 4) return ContentKind::kText;
  if (draw < 8) return ContentKind::kRecords;
  return ContentKind::kNoise;
}

// Every file is at least one byte: readers of sample archives may take an
// empty file for a failed read.
DatResult<void> add_sample_files(DatWriter& writer, std::uint32_t count,
                                 std::uint64_t seed) {
  SampleRandom random(seed);
  std::array<std::uint32_t, kIdRanges.size()> last_in_range{};
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t range = random.below(kIdRanges.size());
    // Gaps between ids, as in archives whose files come and go.
    last_in_range[range] += static_cast<std::uint32_t>(1 + random.below(16));
    const std::size_t size = sample_size(random);
    const ContentKind kind = sample_kind(random);
    const bool compressed = random.below(4) == 0;
    SampleRandom content_random(random.next());
    auto added = writer.add(WriterFile{
        .id = kIdRanges[range] << 24 | last_in_range[range],
        .contents = make_content(kind, size, content_random),
        .storage = compressed ? Storage::kCompressed : Storage::kPlain,
        .timestamp = kTimestampBase +
                     static_cast<std::uint32_t>(random.below(400'000'000)),
        .version = static_cast<std::uint32_t>(1 + random.below(4)),
    });
    if (!added) return added;
  }
  return {};
}

class SampleCommand final : public Command {
 public:
  std::string_view name() const override { return "sample"; }
  std::string_view summary() const override {
    return "Write a made-up archive of realistic files, the same for the "
           "same seed";
  }
  std::string_view synopsis() const override {
    return "ARCHIVE [--files N] [--seed S] [--force]";
  }
  std::string_view example() const override {
    return "  quillstone-dat sample /tmp/portal.dat\n"
           "  quillstone-dat sample small.dat --files 100 --seed 7 --force\n";
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the archive to write");
    parser.add_option("--files", files_, "How many files")
        ->capture_default_str()
        ->check(CLI::Range(std::uint32_t{1}, kMaxFiles));
    parser.add_option("--seed", seed_, "Seed of the generator")
        ->capture_default_str()
        ->type_name("UINT64")
        ->check(seed_validator());
    parser.add_flag("--force,-f", force_, "Replace ARCHIVE if it exists");
  }

  ExitStatus run() const override {
    const fs::path target = archive_;
    if (!force_ && name_taken(target)) return report_taken(target);
    if (target.has_parent_path()) {
      std::error_code error;
      fs::create_directories(target.parent_path(), error);
      if (error) {
        return report_error(
            DatError::path_error(target.parent_path(),
                                 IoError::from_errno(error.value())),
            ErrorScene::write(target.parent_path()));
      }
    }
    DatWriter writer;
    if (auto added = add_sample_files(writer, files_, seed_); !added) {
      return report_error(added.error(), ErrorScene::write(target));
    }
    const auto summary = writer.write(target);
    if (!summary) {
      return report_error(summary.error(), ErrorScene::write(target));
    }
    return write_stdout(
        fmt::format("wrote {}: {} files, {} bytes of content, {} compressed, "
                    "{} bytes in all, directory depth {}\n",
                    archive_, summary->file_count, summary->content_bytes,
                    summary->compressed_count, summary->header.file_size,
                    summary->directory_depth));
  }

 private:
  std::string archive_;
  std::uint32_t files_ = kDefaultFiles;
  std::uint64_t seed_ = kDefaultSeed;
  bool force_ = false;
};

}  // namespace

std::unique_ptr<Command> make_sample_command() {
  return std::make_unique<SampleCommand>();
}

}  // namespace quillstone_dat::tool
