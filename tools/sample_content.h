// Deterministic stand-ins for the files of a real archive, for sample
// archives: prose, tables of fixed-size records, and noise like that of
// already-compressed images. The same seed gives the same bytes on every
// platform: only integer arithmetic, no library distributions.

#ifndef QUILLSTONE_DAT_TOOLS_SAMPLE_CONTENT_H_
#define QUILLSTONE_DAT_TOOLS_SAMPLE_CONTENT_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillstone_dat::tool {

// SplitMix64: small, fast, and its output is fixed by its definition.
class SampleRandom {
 public:
  explicit SampleRandom(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next();
  // Uniform enough in [0, bound) for sample data; bound must be positive.
  std::uint64_t below(std::uint64_t bound) { return next() % bound; }

 private:
  std::uint64_t state_;
};

enum class ContentKind : std::uint8_t {
  kText,     // words, sentences, paragraphs: compresses well
  kRecords,  // a small header and 16-byte records: compresses moderately
  kNoise,    // random bytes: does not compress at all
};

// `size` bytes of the given kind.
std::vector<std::uint8_t> make_content(ContentKind kind, std::size_t size,
                                       SampleRandom& random);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_SAMPLE_CONTENT_H_
