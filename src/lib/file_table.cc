#include "quillstone_dat/file_table.h"

#include <algorithm>
#include <random>

namespace quillstone_dat {

namespace {

constexpr std::size_t kMinCapacity = 16;

// Seeded once per process, so that iteration order is no contract.
std::uint64_t process_seed() {
  static const std::uint64_t seed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) | device();
  }();
  return seed;
}

std::uint64_t mix(std::uint32_t id) {
  std::uint64_t x = id ^ process_seed();
  x *= 0x9E3779B97F4A7C15ull;
  return x ^ (x >> 29);
}

}  // namespace

// The capacity need not be a power of two: the hash's top 32 bits scaled to
// the capacity pick the home slot, so a reserved table is sized to its
// entries rather than to the next power of two, which would up to double
// the memory a large directory costs.
std::size_t FileTable::slot_of(std::uint32_t id) const {
  const std::size_t capacity = slots_.size();
  std::size_t slot = static_cast<std::size_t>(
      (mix(id) >> 32) * static_cast<std::uint64_t>(capacity) >> 32);
  while (used_[slot] && slots_[slot].id != id) {
    if (++slot == capacity) slot = 0;
  }
  return slot;
}

const DatFileEntry* FileTable::find(std::uint32_t id) const {
  if (slots_.empty()) return nullptr;
  const std::size_t slot = slot_of(id);
  return used_[slot] ? &slots_[slot] : nullptr;
}

void FileTable::insert_or_replace(const DatFileEntry& entry) {
  // Load is kept at most 7/8 so that probes stay short and always end.
  if ((size_ + 1) * 8 > slots_.size() * 7) {
    rehash(slots_.empty() ? kMinCapacity : slots_.size() * 2);
  }
  const std::size_t slot = slot_of(entry.id);
  if (!used_[slot]) {
    used_[slot] = 1;
    ++size_;
  }
  slots_[slot] = entry;
}

void FileTable::reserve(std::size_t count) {
  const std::size_t capacity = std::max(kMinCapacity, (count * 8 + 6) / 7);
  if (capacity > slots_.size()) rehash(capacity);
}

void FileTable::rehash(std::size_t capacity) {
  std::vector<DatFileEntry> old_slots(capacity);
  std::vector<std::uint8_t> old_used(capacity, 0);
  old_slots.swap(slots_);
  old_used.swap(used_);
  for (std::size_t i = 0; i < old_slots.size(); ++i) {
    if (!old_used[i]) continue;
    const std::size_t slot = slot_of(old_slots[i].id);
    used_[slot] = 1;
    slots_[slot] = old_slots[i];
  }
}

}  // namespace quillstone_dat
