// Whole-archive work through the quillstone-dat tool, against tar as the
// yardstick: extract of an archive into an empty folder against tar -x of a
// tar holding the same files, and pack of that folder into a new archive
// against tar -c of it; and an edit in place of 10 files against that pack.
// Every command runs as a child process and is timed
// by its wall time; the two of a pair run back to back, in alternating
// order, and each figure is the median of the per-pair ratios.

#ifndef QUILLSTONE_DAT_BENCH_TOOL_BENCH_H_
#define QUILLSTONE_DAT_BENCH_TOOL_BENCH_H_

#include <filesystem>
#include <optional>
#include <string>

namespace quillstone_dat::bench {

// A ratio of wall times, tool over tar, with what it rests on.
struct ToolRatio {
  std::optional<double> ratio;  // empty when a command failed
  double tool_seconds = 0;      // medians of the pairs' times
  double tar_seconds = 0;
  int pairs = 0;
  std::string failure;  // why there is no ratio
};

struct ToolFigures {
  ToolRatio extract;          // default jobs
  ToolRatio extract_1thread;  // --jobs 1
  ToolRatio pack;             // --compress none
  // `add --replace` of 10 files into a packed copy of the archive, commit
  // included, over pack of the whole folder (its "tar" times are pack's).
  ToolRatio edit;
};

// Measures `tool` on `archive`, working in `scratch` (a folder on the same
// file system as the archive, emptied first and removed at the end). Each
// figure runs up to `runs` pairs, but starts no new pair once its pairs
// have taken `budget_seconds`: a slow command still yields one pair.
ToolFigures measure_tool(const std::filesystem::path& tool,
                         const std::filesystem::path& archive,
                         const std::filesystem::path& scratch, int runs,
                         double budget_seconds);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_TOOL_BENCH_H_
