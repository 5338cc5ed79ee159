#include "progress_bar.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "number_text.h"

namespace quillstone_dat::tool {
namespace {

constexpr std::size_t kBarWidth = 24;
// Returns to the start of the line and clears it.
constexpr std::string_view kClearLine = "\r\033[K";

}  // namespace

ProgressBar::ProgressBar(std::uint64_t total_files, std::uint64_t total_bytes,
                         bool enabled)
    : total_files_(total_files), total_bytes_(total_bytes), enabled_(enabled) {}

void ProgressBar::advance(std::uint64_t bytes) {
  bytes_done_ += bytes;
  ++files_done_;
}

void ProgressBar::print(std::string_view line) {
  std::lock_guard lock(mutex_);
  if (drawn_) std::fputs(kClearLine.data(), stderr);
  std::fwrite(line.data(), 1, line.size(), stderr);
  if (drawn_) draw_locked();
}

void ProgressBar::draw() {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  draw_locked();
}

void ProgressBar::finish() {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  draw_locked();
  std::fputc('\n', stderr);
  drawn_ = false;
}

void ProgressBar::draw_locked() {
  if (!enabled_) return;
  const std::uint64_t files = files_done_;
  const std::uint64_t bytes = bytes_done_;
  // By bytes, where large files dominate the time; by files when all are
  // empty.
  const double fraction =
      total_bytes_ > 0
          ? static_cast<double>(bytes) / static_cast<double>(total_bytes_)
      : total_files_ > 0
          ? static_cast<double>(files) / static_cast<double>(total_files_)
          : 1.0;
  const std::size_t filled = std::min(
      kBarWidth,
      static_cast<std::size_t>(fraction * static_cast<double>(kBarWidth)));
  fmt::print(stderr, "{}[{:#<{}}{:-<{}}] {:3.0f}%  {}/{} files  {} of {}",
             kClearLine, "", filled, "", kBarWidth - filled, fraction * 100,
             files, total_files_, human_bytes(bytes),
             human_bytes(total_bytes_));
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace quillstone_dat::tool
