#include "number_text.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <array>
#include <chrono>

namespace quillstone_dat::tool {

std::string human_bytes(std::uint64_t bytes) {
  constexpr std::array<const char*, 4> kUnits = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return fmt::format("{} B", bytes);
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < kUnits.size()) {
    value /= 1024;
    ++unit;
  }
  return fmt::format("{:.1f} {}", value, kUnits[unit]);
}

std::string iso_time(std::uint32_t seconds) {
  const std::chrono::sys_seconds time{std::chrono::seconds(seconds)};
  return fmt::format("{:%Y-%m-%dT%H:%M:%SZ}", time);
}

}  // namespace quillstone_dat::tool
