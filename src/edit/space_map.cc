#include "edit/space_map.h"

#include <algorithm>
#include <iterator>

namespace quillstone_dat {

namespace {

std::uint32_t count_before(
    const std::map<std::uint64_t, std::uint32_t>& counts,
    std::map<std::uint64_t, std::uint32_t>::const_iterator it) {
  return it == counts.begin() ? 0 : std::prev(it)->second;
}

}  // namespace

void SpaceMap::add_all(std::vector<ByteRange> ranges) {
  // Each range starts a count at its begin and ends it at its end; a sweep
  // over those points in order gives the runs, appended at the map's end.
  std::vector<std::pair<std::uint64_t, int>> points;
  points.reserve(2 * ranges.size());
  for (const ByteRange& range : ranges) {
    if (range.begin >= range.end) continue;
    points.emplace_back(range.begin, +1);
    points.emplace_back(range.end, -1);
  }
  std::ranges::sort(points);
  std::int64_t count = 0;
  for (std::size_t i = 0; i < points.size();) {
    const std::uint64_t at = points[i].first;
    for (; i < points.size() && points[i].first == at; ++i) {
      count += points[i].second;
    }
    if (count != count_before(counts_, counts_.end())) {
      counts_.emplace_hint(counts_.end(), at,
                           static_cast<std::uint32_t>(count));
    }
  }
}

bool SpaceMap::is_free(const ByteRange& range) const {
  if (range.begin >= range.end) return true;
  auto it = counts_.upper_bound(range.begin);
  if (count_before(counts_, it) != 0) return false;
  for (; it != counts_.end() && it->first < range.end; ++it) {
    if (it->second != 0) return false;
  }
  return true;
}

std::map<std::uint64_t, std::uint32_t>::iterator SpaceMap::split(
    std::uint64_t at) {
  const auto after = counts_.upper_bound(at);
  if (after != counts_.begin() && std::prev(after)->first == at) {
    return std::prev(after);
  }
  return counts_.emplace_hint(after, at, count_before(counts_, after));
}

void SpaceMap::merge(std::map<std::uint64_t, std::uint32_t>::iterator it) {
  if (it != counts_.end() && it->second == count_before(counts_, it)) {
    counts_.erase(it);
  }
}

void SpaceMap::change(const ByteRange& range, int delta) {
  if (range.begin >= range.end) return;
  const auto first = split(range.begin);
  const auto last = split(range.end);
  for (auto it = first; it != last; ++it) {
    it->second = static_cast<std::uint32_t>(
        static_cast<std::int64_t>(it->second) + delta);
  }
  // Only the runs at the two ends can now match their neighbours.
  merge(last);
  merge(first);
}

}  // namespace quillstone_dat
