#include "sample_content.h"

#include <array>
#include <bit>
#include <string_view>

namespace quillstone_dat::tool {
namespace {

constexpr std::array<std::string_view, 64> kWords = {
    "the",     "of",      "and",    "a",      "to",     "in",      "stone",
    "river",   "north",   "light",  "gate",   "tower",  "road",    "is",
    "was",     "under",   "over",   "when",   "fire",   "water",   "iron",
    "old",     "new",     "keep",   "wall",   "field",  "small",   "great",
    "silver",  "shadow",  "green",  "winter", "market", "bridge",  "merchant",
    "guard",   "lantern", "map",    "quill",  "scroll", "hall",    "door",
    "path",    "hill",    "forest", "storm",  "cold",   "warm",    "east",
    "west",    "south",   "before", "after",  "near",   "far",     "with",
    "without", "every",   "some",   "many",   "few",    "ancient", "hidden",
    "open"};

void put_u16(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  put_u16(out, value & 0xFFFF);
  put_u16(out, value >> 16);
}

void make_text(std::vector<std::uint8_t>& out, std::size_t size,
               SampleRandom& random) {
  while (out.size() < size) {
    const std::uint64_t words = 4 + random.below(12);
    for (std::uint64_t i = 0; i < words; ++i) {
      const std::string_view word = kWords[random.below(kWords.size())];
      const std::size_t start = out.size();
      out.insert(out.end(), word.begin(), word.end());
      if (i == 0) {
        out[start] = static_cast<std::uint8_t>(out[start] - 'a' + 'A');
      }
      if (i + 1 < words) {
        if (random.below(9) == 0) out.push_back(',');
        out.push_back(' ');
      }
    }
    out.push_back('.');
    out.push_back(random.below(5) == 0 ? '\n' : ' ');
  }
}

// A table whose keys climb steadily, whose types and flags come from small
// sets, and whose values drift: structured, yet not a repeating pattern.
void make_records(std::vector<std::uint8_t>& out, std::size_t size,
                  SampleRandom& random) {
  constexpr std::uint32_t kRecordSize = 16;
  const auto count = static_cast<std::uint32_t>(size / kRecordSize + 1);
  put_u32(out, 0x52454331);  // "REC1" read as big-endian text
  put_u32(out, count);
  put_u32(out, kRecordSize);
  put_u32(out, 0);
  std::uint32_t key = static_cast<std::uint32_t>(random.below(1u << 20));
  const auto step = static_cast<std::uint32_t>(1 + random.below(8));
  std::int32_t level = 0;
  while (out.size() < size) {
    key += step;
    level += static_cast<std::int32_t>(random.below(7)) - 3;
    put_u32(out, key);
    put_u16(out, static_cast<std::uint32_t>(random.below(6)));
    put_u16(out, random.below(4) == 0 ? 0x8000u : 0u);
    // Integers this small convert to float exactly everywhere.
    put_u32(out, std::bit_cast<std::uint32_t>(static_cast<float>(level)));
    put_u32(out, static_cast<std::uint32_t>(random.next()));
  }
}

void make_noise(std::vector<std::uint8_t>& out, std::size_t size,
                SampleRandom& random) {
  while (out.size() < size) {
    const std::uint64_t bits = random.next();
    put_u32(out, static_cast<std::uint32_t>(bits));
    put_u32(out, static_cast<std::uint32_t>(bits >> 32));
  }
}

}  // namespace

std::uint64_t SampleRandom::next() {
  state_ += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::vector<std::uint8_t> make_content(ContentKind kind, std::size_t size,
                                       SampleRandom& random) {
  std::vector<std::uint8_t> out;
  out.reserve(size + 128);
  switch (kind) {
    case ContentKind::kText:
      make_text(out, size, random);
      break;
    case ContentKind::kRecords:
      make_records(out, size, random);
      break;
    case ContentKind::kNoise:
      make_noise(out, size, random);
      break;
  }
  out.resize(size);
  return out;
}

}  // namespace quillstone_dat::tool
