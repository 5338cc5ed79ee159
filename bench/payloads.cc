#include "payloads.h"

#include <array>
#include <bit>
#include <cmath>
#include <string>

#include "utils/coding.h"

namespace quillstone_dat::bench {

namespace {

constexpr std::size_t kVocabularySize = 400;

const std::vector<std::string>& vocabulary() {
  static const std::vector<std::string> words = [] {
    static constexpr const char* kSyllables[] = {
        "ka",  "ren", "to",  "mi",  "sha", "dor", "el",  "vin", "lo",  "ra",
        "th",  "an",  "qu",  "is",  "ber", "gal", "mor", "ten", "ul",  "fa",
        "ne",  "cor", "sil", "wy",  "ash", "dun", "hal", "pe",  "ri",  "sto",
        "ven", "bri", "cal", "dem", "fro", "gis", "hu",  "jor", "kel", "lum"};
    Random random(0x766F6361);  // fixed: the vocabulary never changes
    std::vector<std::string> out;
    while (out.size() < kVocabularySize) {
      std::string word;
      for (std::uint32_t n = 1 + random.below(3); n > 0; --n) {
        word += kSyllables[random.below(std::size(kSyllables))];
      }
      out.push_back(word);
    }
    return out;
  }();
  return words;
}

// Word ranks fall off roughly as 1/rank, as in natural language.
const std::string& pick_word(Random& random) {
  const double x = std::exp(random.unit() * std::log(kVocabularySize + 1.0));
  const auto rank = std::min<std::size_t>(static_cast<std::size_t>(x) - 1,
                                          kVocabularySize - 1);
  return vocabulary()[rank];
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  std::array<std::uint8_t, 4> bytes;
  encode_fixed32(bytes.data(), value);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void put_u16(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put_float(std::vector<std::uint8_t>& out, float value) {
  put_u32(out, std::bit_cast<std::uint32_t>(value));
}

}  // namespace

std::size_t log_uniform_size(Random& random, std::size_t low,
                             std::size_t high) {
  const double span =
      std::log(static_cast<double>(high) / static_cast<double>(low));
  const double size = static_cast<double>(low) * std::exp(random.unit() * span);
  return std::min(high, static_cast<std::size_t>(size));
}

std::vector<std::uint8_t> text_like(Random& random, std::size_t size) {
  std::string text;
  text.reserve(size + 64);
  while (text.size() < size) {
    const std::uint32_t words = 4 + random.below(11);
    for (std::uint32_t w = 0; w < words; ++w) {
      std::string word = random.below(25) == 0
                             ? std::to_string(1 + random.below(9999))
                             : pick_word(random);
      if (w == 0) word[0] = static_cast<char>(std::toupper(word[0]));
      text += word;
      if (w + 1 < words) text += random.below(10) == 0 ? ", " : " ";
    }
    text += random.below(12) == 0 ? "?" : ".";
    const std::uint32_t gap = random.below(8);
    text += gap == 0 ? "\n\n" : gap < 3 ? "\n" : " ";
  }
  text.resize(size);
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> binary_like(Random& random, std::size_t size) {
  std::vector<std::uint8_t> out;
  out.reserve(size + 4096);
  while (out.size() < size) {
    const std::uint32_t kind = random.below(10);
    if (kind < 4) {
      // Vertices: position drifting in small steps, texture coordinates on
      // a 1/256 grid.
      float x = static_cast<float>(random.unit() * 100);
      float y = static_cast<float>(random.unit() * 100);
      float z = static_cast<float>(random.unit() * 10);
      for (std::uint32_t n = 16 + random.below(240); n > 0; --n) {
        x += static_cast<float>(random.unit() - 0.5) * 0.25f;
        y += static_cast<float>(random.unit() - 0.5) * 0.25f;
        z += static_cast<float>(random.unit() - 0.5) * 0.05f;
        put_float(out, x);
        put_float(out, y);
        put_float(out, z);
        put_float(out, static_cast<float>(random.below(256)) / 256.0f);
        put_float(out, static_cast<float>(random.below(256)) / 256.0f);
      }
    } else if (kind < 7) {
      // An id table: increasing ids, flags from a small set, counts.
      std::uint32_t id = 0x06000000u + random.below(0x10000);
      for (std::uint32_t n = 16 + random.below(240); n > 0; --n) {
        id += 1 + random.below(4);
        put_u32(out, id);
        put_u16(out, std::uint32_t{1} << random.below(4));
        put_u16(out, random.below(16));
      }
    } else if (kind < 8) {
      for (std::uint32_t n = 64 + random.below(960); n > 0; --n) {
        out.push_back(static_cast<std::uint8_t>(random.next()));
      }
    } else {
      // Padding and repeated fill values.
      const std::uint32_t fill = random.below(2) == 0 ? 0 : 0x3F800000u;
      for (std::uint32_t n = 4 + random.below(60); n > 0; --n) {
        put_u32(out, fill);
      }
    }
  }
  out.resize(size);
  return out;
}

std::vector<std::uint8_t> replacement_bytes(std::uint32_t id,
                                            std::uint32_t salt) {
  std::vector<std::uint8_t> bytes(9000);
  for (std::size_t b = 0; b < bytes.size(); ++b) {
    bytes[b] = static_cast<std::uint8_t>((b * 131 + id + salt) >> 3);
  }
  return bytes;
}

}  // namespace quillstone_dat::bench
