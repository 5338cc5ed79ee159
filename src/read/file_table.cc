#include "quillstone_dat/file_table.h"

#include <algorithm>
#include <random>

namespace quillstone_dat {

namespace {

constexpr std::size_t kMinCapacity = 16;
constexpr std::uint8_t kEmpty = 0;
// How far ahead of the entry being stored a bulk insert fetches slots: far
// enough to hide a miss to memory, near enough to stay in cache.
constexpr std::size_t kPrefetchDistance = 16;

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

// A used slot's control byte: the top bit marks it used and the low seven
// hold hash bits that the home slot does not depend on, so that a probe
// passing other ids rarely has to read their entries.
std::uint8_t tag_of(std::uint64_t hash) {
  return static_cast<std::uint8_t>(0x80 | (hash & 0x7F));
}

}  // namespace

// The capacity need not be a power of two: the hash's top 32 bits scaled to
// the capacity pick the home slot, so a reserved table is sized to its
// entries rather than to the next power of two, which would up to double
// the memory a large directory costs.
std::size_t FileTable::home_of(std::uint64_t hash) const {
  return static_cast<std::size_t>(
      (hash >> 32) * static_cast<std::uint64_t>(slots_.size()) >> 32);
}

std::size_t FileTable::slot_of(std::uint32_t id) const {
  const std::uint64_t hash = mix(id);
  const std::uint8_t tag = tag_of(hash);
  std::size_t slot = home_of(hash);
  while (used_[slot] != kEmpty &&
         (used_[slot] != tag || slots_[slot].id != id)) {
    if (++slot == slots_.size()) slot = 0;
  }
  return slot;
}

const DatFileEntry* FileTable::find(std::uint32_t id) const {
  if (slots_.empty()) return nullptr;
  const std::size_t slot = slot_of(id);
  return used_[slot] != kEmpty ? &slots_[slot] : nullptr;
}

void FileTable::insert_or_replace(const DatFileEntry& entry) {
  // Load is kept at most 7/8 so that probes stay short and always end.
  if ((size_ + 1) * 8 > slots_.size() * 7) {
    rehash(slots_.empty() ? kMinCapacity : slots_.size() * 2);
  }
  store(entry);
}

void FileTable::insert_or_replace(std::span<const DatFileEntry> entries) {
  reserve(size_ + entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // The home slots of entries a little ahead are fetched while this one
    // is stored: each lands at a random place in a table too large for the
    // cache.
    if (i + kPrefetchDistance < entries.size()) {
      const std::size_t ahead = home_of(mix(entries[i + kPrefetchDistance].id));
      __builtin_prefetch(&used_[ahead]);
      __builtin_prefetch(&slots_[ahead]);
    }
    store(entries[i]);
  }
}

// Precondition: a free slot remains.
void FileTable::store(const DatFileEntry& entry) {
  const std::size_t slot = slot_of(entry.id);
  if (used_[slot] == kEmpty) {
    used_[slot] = tag_of(mix(entry.id));
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
  std::vector<std::uint8_t> old_used(capacity, kEmpty);
  old_slots.swap(slots_);
  old_used.swap(used_);
  size_ = 0;
  for (std::size_t i = 0; i < old_slots.size(); ++i) {
    if (old_used[i] != kEmpty) store(old_slots[i]);
  }
}

std::vector<DatFileEntry> FileTable::sorted_entries() const {
  std::vector<DatFileEntry> entries(begin(), end());
  std::ranges::sort(entries, {}, &DatFileEntry::id);
  return entries;
}

std::vector<std::uint32_t> FileTable::sorted_ids() const {
  std::vector<std::uint32_t> ids;
  ids.reserve(size_);
  for (const DatFileEntry& entry : *this) ids.push_back(entry.id);
  std::ranges::sort(ids);
  return ids;
}

}  // namespace quillstone_dat
