#include "quillstone_dat/file_table.h"

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

std::size_t FileTable::slot_of(std::uint32_t id) const {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = static_cast<std::size_t>(mix(id)) & mask;
  while (used_[slot] && slots_[slot].id != id) slot = (slot + 1) & mask;
  return slot;
}

const DatFileEntry* FileTable::find(std::uint32_t id) const {
  if (slots_.empty()) return nullptr;
  const std::size_t slot = slot_of(id);
  return used_[slot] ? &slots_[slot] : nullptr;
}

void FileTable::insert_or_replace(const DatFileEntry& entry) {
  // Load is kept at most 7/8 so that probes stay short and always end.
  if ((size_ + 1) * 8 > slots_.size() * 7) grow();
  const std::size_t slot = slot_of(entry.id);
  if (!used_[slot]) {
    used_[slot] = 1;
    ++size_;
  }
  slots_[slot] = entry;
}

void FileTable::grow() {
  const std::size_t capacity =
      slots_.empty() ? kMinCapacity : slots_.size() * 2;
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
