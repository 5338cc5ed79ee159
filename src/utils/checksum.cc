// The checksum reads its input in stripes of 64 bytes, eight little-endian
// 64-bit lanes each, into eight 64-bit accumulators. A lane adds itself to
// the neighbouring accumulator and the product of its two halves, each
// mixed with a key that depends on the stripe's place, to its own; every
// 16 stripes the accumulators are scrambled. A last partial stripe is
// padded with zeros, and the length goes into the final mix, so inputs
// that differ only by trailing zeros still differ. Two different mixes of
// the accumulators give the two halves.
//
// Lanes are independent, so two, four or eight at a time fit a vector
// register: SSE2, AVX2 or AVX-512, the fastest the processor has, chosen
// at run time. The portable form computes the same numbers one lane at a
// time, on any processor.

#include "utils/checksum.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillstone_dat {

namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kStripeSize = 8 * kLanes;
constexpr std::size_t kStripesPerBlock = 16;

// Where each group of keys starts in kKeys.
constexpr std::size_t kStartKeys = 0;
constexpr std::size_t kStripeKeys = kStartKeys + kLanes;
// Stripe s of a block takes the kLanes keys from kStripeKeys + s.
constexpr std::size_t kScrambleKeys =
    kStripeKeys + kStripesPerBlock + kLanes - 1;
constexpr std::size_t kLowKeys = kScrambleKeys + kLanes;
constexpr std::size_t kHighKeys = kLowKeys + kLanes;
constexpr std::size_t kKeyCount = kHighKeys + kLanes;

// A 32-bit odd factor: the vector form multiplies by 32-bit halves.
constexpr std::uint64_t kScrambleFactor = 0x9E3779B1;
constexpr std::uint64_t kLengthFactor = 0x9E3779B185EBCA87;
constexpr std::uint64_t kAvalancheFactor = 0x165667919E3779F9;

using Accumulators = std::array<std::uint64_t, kLanes>;

constexpr std::array<std::uint64_t, kKeyCount> make_keys() {
  // splitmix64 from a fixed seed: arbitrary, well-spread, and fixed for
  // good, since checksums are kept in patches.
  std::array<std::uint64_t, kKeyCount> keys{};
  std::uint64_t state = 0x51A7E5D0C0FFEE11;
  for (std::uint64_t& key : keys) {
    state += 0x9E3779B97F4A7C15;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    key = z ^ (z >> 31);
  }
  return keys;
}

constexpr std::array<std::uint64_t, kKeyCount> kKeys = make_keys();

std::uint64_t load_lane(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  if constexpr (std::endian::native == std::endian::big) {
    value = std::byteswap(value);
  }
  return value;
}

// Each form below keeps the eight accumulators its own way and runs the
// same arithmetic on them. accumulate() adds whole stripes, scrambling
// after every 16th; it is written out in each form, not shared, so that
// the loop is compiled for that form's instructions.

// One lane at a time.
class PortableLanes {
 public:
  PortableLanes() { std::memcpy(acc_.data(), &kKeys[kStartKeys], sizeof acc_); }

  void accumulate(const std::uint8_t* bytes, std::size_t stripes) {
    for (; stripes > 0; --stripes, bytes += kStripeSize) {
      stripe(bytes, &kKeys[kStripeKeys + stripe_]);
      if (++stripe_ == kStripesPerBlock) {
        scramble();
        stripe_ = 0;
      }
    }
  }

  Accumulators values() const { return acc_; }

 private:
  void stripe(const std::uint8_t* bytes, const std::uint64_t* keys) {
    for (std::size_t i = 0; i < kLanes; ++i) {
      const std::uint64_t lane = load_lane(bytes + 8 * i);
      const std::uint64_t mixed = lane ^ keys[i];
      acc_[i ^ 1] += lane;
      acc_[i] += (mixed & 0xFFFFFFFF) * (mixed >> 32);
    }
  }

  void scramble() {
    for (std::size_t i = 0; i < kLanes; ++i) {
      std::uint64_t value = acc_[i];
      value ^= value >> 47;
      value ^= kKeys[kScrambleKeys + i];
      acc_[i] = value * kScrambleFactor;
    }
  }

  Accumulators acc_;
  std::size_t stripe_ = 0;  // within the block
};

#if defined(__SSE2__)
// Two lanes to a register. The four registers are named, not an array, so
// that they stay in registers through the loop.
class Sse2Lanes {
 public:
  Sse2Lanes() {
    for (std::size_t r = 0; r < 4; ++r) acc_[r] = load(&kKeys[2 * r]);
  }

  void accumulate(const std::uint8_t* bytes, std::size_t stripes) {
    // In locals: the vector type may alias anything, so members would be
    // stored and loaded again at every step.
    __m128i a0 = acc_[0], a1 = acc_[1], a2 = acc_[2], a3 = acc_[3];
    std::size_t stripe = stripe_;
    for (; stripes > 0; --stripes, bytes += kStripeSize) {
      const std::uint64_t* const keys = &kKeys[kStripeKeys + stripe];
      a0 = add_lanes(a0, bytes, keys);
      a1 = add_lanes(a1, bytes + 16, keys + 2);
      a2 = add_lanes(a2, bytes + 32, keys + 4);
      a3 = add_lanes(a3, bytes + 48, keys + 6);
      if (++stripe == kStripesPerBlock) {
        a0 = scrambled(a0, &kKeys[kScrambleKeys]);
        a1 = scrambled(a1, &kKeys[kScrambleKeys + 2]);
        a2 = scrambled(a2, &kKeys[kScrambleKeys + 4]);
        a3 = scrambled(a3, &kKeys[kScrambleKeys + 6]);
        stripe = 0;
      }
    }
    acc_[0] = a0, acc_[1] = a1, acc_[2] = a2, acc_[3] = a3;
    stripe_ = stripe;
  }

  Accumulators values() const {
    Accumulators out;
    std::memcpy(out.data(), acc_, sizeof out);
    return out;
  }

 private:
  static __m128i load(const void* bytes) {
    return _mm_loadu_si128(static_cast<const __m128i*>(bytes));
  }

  static __m128i add_lanes(__m128i acc, const std::uint8_t* bytes,
                           const std::uint64_t* keys) {
    const __m128i lanes = load(bytes);
    const __m128i mixed = _mm_xor_si128(lanes, load(keys));
    // Low half times high half of each lane, as 32-bit numbers.
    const __m128i product =
        _mm_mul_epu32(mixed, _mm_shuffle_epi32(mixed, _MM_SHUFFLE(0, 3, 0, 1)));
    const __m128i swapped = _mm_shuffle_epi32(lanes, _MM_SHUFFLE(1, 0, 3, 2));
    return _mm_add_epi64(acc, _mm_add_epi64(product, swapped));
  }

  static __m128i scrambled(__m128i acc, const std::uint64_t* keys) {
    const __m128i factor = _mm_set1_epi32(static_cast<int>(kScrambleFactor));
    __m128i value = _mm_xor_si128(acc, _mm_srli_epi64(acc, 47));
    value = _mm_xor_si128(value, load(keys));
    // A 64-bit value times a 32-bit factor, from its two halves.
    const __m128i low = _mm_mul_epu32(value, factor);
    const __m128i high = _mm_mul_epu32(_mm_srli_epi64(value, 32), factor);
    return _mm_add_epi64(low, _mm_slli_epi64(high, 32));
  }

  // A plain array: std::array would drop the vector type's alignment.
  __m128i acc_[4];
  std::size_t stripe_ = 0;
};
#endif

#if defined(__x86_64__)
// GCC 12's AVX-512 intrinsics fill their unused mask operand with a value
// it then calls uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// A whole stripe in one register, on processors with AVX-512, found at
// run time; the methods are compiled for it alone.
class Avx512Lanes {
 public:
  [[gnu::target("avx512f")]] Avx512Lanes()
      : acc_(_mm512_loadu_si512(&kKeys[kStartKeys])) {}

  [[gnu::target("avx512f")]] void accumulate(const std::uint8_t* bytes,
                                             std::size_t stripes) {
    const __m512i factor = _mm512_set1_epi32(static_cast<int>(kScrambleFactor));
    const __m512i scramble_keys = _mm512_loadu_si512(&kKeys[kScrambleKeys]);
    // In locals, as in Sse2Lanes.
    __m512i acc = acc_;
    std::size_t stripe = stripe_;
    for (; stripes > 0; --stripes, bytes += kStripeSize) {
      const __m512i lanes = _mm512_loadu_si512(bytes);
      const __m512i mixed = _mm512_xor_si512(
          lanes, _mm512_loadu_si512(&kKeys[kStripeKeys + stripe]));
      const __m512i product =
          _mm512_mul_epu32(mixed, _mm512_shuffle_epi32(mixed, _MM_PERM_CDAB));
      const __m512i swapped = _mm512_shuffle_epi32(lanes, _MM_PERM_BADC);
      acc = _mm512_add_epi64(acc, _mm512_add_epi64(product, swapped));
      if (++stripe == kStripesPerBlock) {
        __m512i value = _mm512_xor_si512(acc, _mm512_srli_epi64(acc, 47));
        value = _mm512_xor_si512(value, scramble_keys);
        const __m512i low = _mm512_mul_epu32(value, factor);
        const __m512i high =
            _mm512_mul_epu32(_mm512_srli_epi64(value, 32), factor);
        acc = _mm512_add_epi64(low, _mm512_slli_epi64(high, 32));
        stripe = 0;
      }
    }
    acc_ = acc;
    stripe_ = stripe;
  }

  [[gnu::target("avx512f")]] Accumulators values() const {
    Accumulators out;
    _mm512_storeu_si512(out.data(), acc_);
    return out;
  }

 private:
  __m512i acc_;
  std::size_t stripe_ = 0;
};

#pragma GCC diagnostic pop

// Four lanes to a register, on processors with AVX2.
class Avx2Lanes {
 public:
  [[gnu::target("avx2")]] Avx2Lanes()
      : low_(load(&kKeys[kStartKeys])), high_(load(&kKeys[kStartKeys + 4])) {}

  [[gnu::target("avx2")]] void accumulate(const std::uint8_t* bytes,
                                          std::size_t stripes) {
    // In locals, as in Sse2Lanes.
    __m256i low = low_, high = high_;
    std::size_t stripe = stripe_;
    for (; stripes > 0; --stripes, bytes += kStripeSize) {
      const std::uint64_t* const keys = &kKeys[kStripeKeys + stripe];
      low = add_lanes(low, bytes, keys);
      high = add_lanes(high, bytes + 32, keys + 4);
      if (++stripe == kStripesPerBlock) {
        low = scrambled(low, &kKeys[kScrambleKeys]);
        high = scrambled(high, &kKeys[kScrambleKeys + 4]);
        stripe = 0;
      }
    }
    low_ = low;
    high_ = high;
    stripe_ = stripe;
  }

  [[gnu::target("avx2")]] Accumulators values() const {
    Accumulators out;
    std::memcpy(&out[0], &low_, 32);
    std::memcpy(&out[4], &high_, 32);
    return out;
  }

 private:
  [[gnu::target("avx2")]] static __m256i load(const void* bytes) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(bytes));
  }

  [[gnu::target("avx2")]] static __m256i add_lanes(__m256i acc,
                                                   const std::uint8_t* bytes,
                                                   const std::uint64_t* keys) {
    const __m256i lanes = load(bytes);
    const __m256i mixed = _mm256_xor_si256(lanes, load(keys));
    const __m256i product = _mm256_mul_epu32(
        mixed, _mm256_shuffle_epi32(mixed, _MM_SHUFFLE(0, 3, 0, 1)));
    const __m256i swapped =
        _mm256_shuffle_epi32(lanes, _MM_SHUFFLE(1, 0, 3, 2));
    return _mm256_add_epi64(acc, _mm256_add_epi64(product, swapped));
  }

  [[gnu::target("avx2")]] static __m256i scrambled(__m256i acc,
                                                   const std::uint64_t* keys) {
    const __m256i factor = _mm256_set1_epi32(static_cast<int>(kScrambleFactor));
    __m256i value = _mm256_xor_si256(acc, _mm256_srli_epi64(acc, 47));
    value = _mm256_xor_si256(value, load(keys));
    const __m256i low = _mm256_mul_epu32(value, factor);
    const __m256i high = _mm256_mul_epu32(_mm256_srli_epi64(value, 32), factor);
    return _mm256_add_epi64(low, _mm256_slli_epi64(high, 32));
  }

  __m256i low_, high_;
  std::size_t stripe_ = 0;
};
#endif

std::uint64_t fold_product(std::uint64_t a, std::uint64_t b) {
  __extension__ using Wide = unsigned __int128;
  const Wide product = static_cast<Wide>(a) * b;
  return static_cast<std::uint64_t>(product) ^
         static_cast<std::uint64_t>(product >> 64);
}

std::uint64_t merge(const Accumulators& acc, std::size_t keys,
                    std::uint64_t start) {
  std::uint64_t value = start;
  for (std::size_t i = 0; i < kLanes; i += 2) {
    value += fold_product(acc[i] ^ kKeys[keys + i],
                          acc[i + 1] ^ kKeys[keys + i + 1]);
  }
  value ^= value >> 37;
  value *= kAvalancheFactor;
  return value ^ (value >> 32);
}

template <typename Lanes>
Checksum checksum_with(std::span<const std::uint8_t> bytes) {
  Lanes lanes;
  const std::size_t whole = bytes.size() / kStripeSize;
  lanes.accumulate(bytes.data(), whole);
  if (const std::size_t left = bytes.size() % kStripeSize; left > 0) {
    std::array<std::uint8_t, kStripeSize> padded{};
    std::memcpy(padded.data(), bytes.data() + whole * kStripeSize, left);
    lanes.accumulate(padded.data(), 1);
  }
  const Accumulators acc = lanes.values();
  const std::uint64_t length = bytes.size();
  return {.high = merge(acc, kHighKeys, ~(length * kLengthFactor)),
          .low = merge(acc, kLowKeys, length * kLengthFactor)};
}

using ChecksumFunction = Checksum (*)(std::span<const std::uint8_t>);

// The fastest form this processor runs.
ChecksumFunction fastest_form() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f")) return checksum_with<Avx512Lanes>;
  if (__builtin_cpu_supports("avx2")) return checksum_with<Avx2Lanes>;
#endif
#if defined(__SSE2__)
  return checksum_with<Sse2Lanes>;
#else
  return checksum_with<PortableLanes>;
#endif
}

}  // namespace

Checksum portable_checksum_of(std::span<const std::uint8_t> bytes) {
  return checksum_with<PortableLanes>(bytes);
}

std::vector<ChecksumForm> checksum_forms() {
  std::vector<ChecksumForm> forms = {{"portable", portable_checksum_of}};
#if defined(__SSE2__)
  forms.push_back({"sse2", checksum_with<Sse2Lanes>});
#endif
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) {
    forms.push_back({"avx2", checksum_with<Avx2Lanes>});
  }
  if (__builtin_cpu_supports("avx512f")) {
    forms.push_back({"avx512f", checksum_with<Avx512Lanes>});
  }
#endif
  return forms;
}

Checksum checksum_of(std::span<const std::uint8_t> bytes) {
  static const ChecksumFunction kFastest = fastest_form();
  return kFastest(bytes);
}

std::string Checksum::hex() const {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text(32, '0');
  for (std::size_t i = 0; i < 16; ++i) {
    text[15 - i] = kDigits[(high >> (4 * i)) & 0xF];
    text[31 - i] = kDigits[(low >> (4 * i)) & 0xF];
  }
  return text;
}

std::optional<Checksum> Checksum::from_hex(std::string_view text) {
  if (text.size() != 32) return std::nullopt;
  Checksum checksum;
  for (std::size_t half = 0; half < 2; ++half) {
    const char* const begin = text.data() + 16 * half;
    std::uint64_t& value = half == 0 ? checksum.high : checksum.low;
    for (const char* c = begin; c != begin + 16; ++c) {
      // Lower case only, as hex() writes it: one text per checksum.
      const bool digit = *c >= '0' && *c <= '9';
      if (!digit && !(*c >= 'a' && *c <= 'f')) return std::nullopt;
      value = value << 4 |
              static_cast<std::uint64_t>(digit ? *c - '0' : *c - 'a' + 10);
    }
  }
  return checksum;
}

}  // namespace quillstone_dat
