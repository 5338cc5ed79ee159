#include "lrs_bench.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "payloads.h"
#include "quillstone_dat/lrs.h"
#include "support/lrs_reference.h"
#include "timing.h"

namespace quillstone_dat::bench {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBytesPerKind = std::size_t{8} << 20;

// Payload inputs of one kind, sizes log-uniform from 1 KiB to 64 KiB.
template <typename Make>
std::vector<Bytes> inputs_of(std::uint64_t seed, Make&& make) {
  Random random(seed);
  std::vector<Bytes> inputs;
  std::size_t total = 0;
  while (total < kBytesPerKind) {
    inputs.push_back(make(random, log_uniform_size(random, 1024, 64 * 1024)));
    total += inputs.back().size();
  }
  return inputs;
}

std::size_t total_size(const std::vector<Bytes>& all) {
  std::size_t total = 0;
  for (const Bytes& bytes : all) total += bytes.size();
  return total;
}

// Seconds to run `decode` over every payload, checking each result.
template <typename Decode>
double decode_seconds(const std::vector<Bytes>& payloads,
                      const std::vector<Bytes>& inputs, Decode&& decode) {
  bool wrong = false;
  const double seconds = seconds_of([&] {
    for (std::size_t i = 0; i < payloads.size(); ++i) {
      wrong |= decode(payloads[i]).size() != inputs[i].size();
    }
  });
  if (wrong) {
    std::fprintf(stderr, "quillstone_dat_bench: LRS round trip failed\n");
    std::exit(1);
  }
  return seconds;
}

}  // namespace

LrsFigures measure_lrs(int runs) {
  const std::vector<Bytes> text = inputs_of(0x74657874, text_like);
  const std::vector<Bytes> binary = inputs_of(0x62696E61, binary_like);
  std::vector<Bytes> inputs = text;
  inputs.insert(inputs.end(), binary.begin(), binary.end());
  const auto input_bytes = static_cast<double>(total_size(inputs));

  std::vector<Bytes> payloads;
  const double compress_seconds = median_of(runs, [&] {
    payloads.clear();
    return seconds_of([&] {
      for (const Bytes& input : inputs) payloads.push_back(compress_lrs(input));
    });
  });
  std::size_t text_packed = 0;
  for (std::size_t i = 0; i < text.size(); ++i)
    text_packed += payloads[i].size();
  const std::size_t binary_packed = total_size(payloads) - text_packed;

  // Checked in full once, outside the timing; the timed runs check sizes.
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (decompress_lrs(payloads[i]) != inputs[i]) {
      std::fprintf(stderr, "quillstone_dat_bench: LRS round trip failed\n");
      std::exit(1);
    }
  }

  // The two decoders alternate, so that both see the same load from
  // whatever else runs on the machine; the speedup is taken per pair.
  std::vector<double> decode, reference, speedup;
  for (int i = 0; i < runs; ++i) {
    decode.push_back(decode_seconds(payloads, inputs, [](const Bytes& payload) {
      return decompress_lrs(payload);
    }));
    reference.push_back(
        decode_seconds(payloads, inputs, [](const Bytes& payload) {
          return testing::reference_decompress_lrs(payload);
        }));
    speedup.push_back(reference.back() / decode.back());
  }

  LrsFigures figures;
  figures.corpus_mib = input_bytes / (1 << 20);
  figures.decode_mbps = input_bytes / median(decode) / 1e6;
  figures.reference_mbps = input_bytes / median(reference) / 1e6;
  figures.decode_speedup = median(speedup);
  figures.compress_mbps = input_bytes / compress_seconds / 1e6;
  figures.text_ratio =
      static_cast<double>(text_packed) / static_cast<double>(total_size(text));
  figures.binary_ratio = static_cast<double>(binary_packed) /
                         static_cast<double>(total_size(binary));
  return figures;
}

}  // namespace quillstone_dat::bench
