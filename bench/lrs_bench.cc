#include "lrs_bench.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <system_error>
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

// Encodes every input at `level`, the median of `runs` timings; `payloads`
// keeps the last run's output.
LrsEncoding encode_all(const std::vector<Bytes>& inputs, std::size_t text_count,
                       LrsLevel level, int runs, std::vector<Bytes>& payloads) {
  const double seconds = median_of(runs, [&] {
    payloads.clear();
    return seconds_of([&] {
      for (const Bytes& input : inputs) {
        payloads.push_back(compress_lrs(input, level));
      }
    });
  });
  std::size_t text_in = 0, text_out = 0, all_in = 0, all_out = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (decompress_lrs(payloads[i]) != inputs[i]) {
      std::fprintf(stderr, "quillstone_dat_bench: LRS round trip failed\n");
      std::exit(1);
    }
    all_in += inputs[i].size();
    all_out += payloads[i].size();
    if (i < text_count) {
      text_in += inputs[i].size();
      text_out += payloads[i].size();
    }
  }
  return {static_cast<double>(all_in) / seconds / 1e6,
          static_cast<double>(text_out) / static_cast<double>(text_in),
          static_cast<double>(all_out - text_out) /
              static_cast<double>(all_in - text_in)};
}

// `lz4 -b1` over the corpus in one file: its compression rate in MB/s.
std::optional<double> lz4_rate(const std::vector<Bytes>& inputs,
                               const std::filesystem::path& scratch,
                               std::string& failure) {
  std::error_code error;
  std::filesystem::create_directories(scratch, error);
  const std::filesystem::path corpus = scratch / "lrs-corpus.bin";
  {
    std::ofstream out(corpus, std::ios::binary);
    for (const Bytes& input : inputs) {
      out.write(reinterpret_cast<const char*>(input.data()),
                static_cast<std::streamsize>(input.size()));
    }
  }
  const std::string command = "lz4 -b1 '" + corpus.string() + "' 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
      output.append(buffer, n);
    }
    ::pclose(pipe);
  }
  std::filesystem::remove_all(scratch, error);
  // Each progress line reads "... (ratio), C MB/s ,D MB/s"; the last is
  // the result.
  static const std::regex kResult(
      R"(\(([0-9.]+)\),\s*([0-9.]+) MB/s\s*,\s*([0-9.]+) MB/s)");
  std::optional<double> rate;
  for (auto it = std::sregex_iterator(output.begin(), output.end(), kResult);
       it != std::sregex_iterator(); ++it) {
    rate = std::stod((*it)[2].str());
  }
  if (!rate) failure = "lz4 -b1 gave no result (is lz4 installed?)";
  return rate;
}

}  // namespace

LrsFigures measure_lrs(int runs, const std::filesystem::path& scratch) {
  const std::vector<Bytes> text = inputs_of(0x74657874, text_like);
  const std::vector<Bytes> binary = inputs_of(0x62696E61, binary_like);
  std::vector<Bytes> inputs = text;
  inputs.insert(inputs.end(), binary.begin(), binary.end());
  const auto input_bytes = static_cast<double>(total_size(inputs));

  LrsFigures figures;
  std::vector<Bytes> payloads;
  figures.fast =
      encode_all(inputs, text.size(), LrsLevel::kFast, runs, payloads);
  figures.best =
      encode_all(inputs, text.size(), LrsLevel::kBest, runs, payloads);
  // Last: the decoders below run over the default level's payloads.
  figures.standard =
      encode_all(inputs, text.size(), LrsLevel::kDefault, runs, payloads);
  figures.lz4_mbps = lz4_rate(inputs, scratch, figures.lz4_failure);

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

  figures.corpus_mib = input_bytes / (1 << 20);
  figures.decode_mbps = input_bytes / median(decode) / 1e6;
  figures.reference_mbps = input_bytes / median(reference) / 1e6;
  figures.decode_speedup = median(speedup);
  return figures;
}

}  // namespace quillstone_dat::bench
