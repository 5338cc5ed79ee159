// ProgressBar is a status line on standard error, redrawn in place, that
// shows how many files and bytes of a long job are done. Disabled, it draws
// nothing, so callers need not ask where stderr goes. Messages printed
// through it appear above the line instead of tearing it.

#ifndef QUILLSTONE_DAT_TOOLS_PROGRESS_BAR_H_
#define QUILLSTONE_DAT_TOOLS_PROGRESS_BAR_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace quillstone_dat::tool {

class ProgressBar {
 public:
  ProgressBar(std::uint64_t total_files, std::uint64_t total_bytes,
              bool enabled);

  // Counts one more file of `bytes` bytes. Any thread.
  void advance(std::uint64_t bytes);

  // Writes `line` (which ends in a newline) to stderr. Any thread.
  void print(std::string_view line);

  // Redraws the line; finish() draws it a last time and ends it.
  void draw();
  void finish();

 private:
  void draw_locked();

  const std::uint64_t total_files_;
  const std::uint64_t total_bytes_;
  const bool enabled_;
  std::atomic<std::uint64_t> files_done_{0};
  std::atomic<std::uint64_t> bytes_done_{0};
  std::mutex mutex_;  // stderr
  bool drawn_ = false;
};

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_PROGRESS_BAR_H_
