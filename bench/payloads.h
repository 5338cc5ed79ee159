// Deterministic synthetic file contents for the benchmark archives and the
// LRS corpus. The generator is spelled out here rather than taken from
// <random>'s distributions, whose output differs between standard
// libraries, so that an archive built on one machine matches one built on
// another.

#ifndef QUILLSTONE_DAT_BENCH_PAYLOADS_H_
#define QUILLSTONE_DAT_BENCH_PAYLOADS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillstone_dat::bench {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n); n > 0.
  std::uint32_t below(std::uint32_t n) {
    return static_cast<std::uint32_t>((next() >> 32) * n >> 32);
  }
  // Uniform in [0, 1).
  double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }

 private:
  std::uint64_t state_;
};

// A size between `low` and `high` whose logarithm is uniform.
std::size_t log_uniform_size(Random& random, std::size_t low, std::size_t high);

// Prose from a vocabulary of a few hundred made-up words whose frequencies
// fall off as in natural language, with punctuation, numbers and lines.
std::vector<std::uint8_t> text_like(Random& random, std::size_t size);

// Game-asset-like records: float vertex runs drifting slowly, tables of
// increasing ids and small counters, and some incompressible noise.
std::vector<std::uint8_t> binary_like(Random& random, std::size_t size);

// The new bytes the edit figures give a file they replace: 9000 bytes, about
// bulk's average file size, that differ with `id` and `salt`.
std::vector<std::uint8_t> replacement_bytes(std::uint32_t id,
                                            std::uint32_t salt = 0);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_PAYLOADS_H_
