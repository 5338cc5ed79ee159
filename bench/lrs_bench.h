// LRS speed and ratio over a corpus of text-like and binary-like payloads
// made with compress_lrs: decoding against the plain byte-by-byte decoder,
// and encoding at each level, the fast one against `lz4 -1` on the same
// corpus written to a file.

#ifndef QUILLSTONE_DAT_BENCH_LRS_BENCH_H_
#define QUILLSTONE_DAT_BENCH_LRS_BENCH_H_

#include <filesystem>
#include <optional>
#include <string>

namespace quillstone_dat::bench {

// One level's encoding of the corpus.
struct LrsEncoding {
  double mbps = 0;        // input bytes per second, in MB/s
  double text_ratio = 0;  // payload bytes over input bytes
  double binary_ratio = 0;
};

struct LrsFigures {
  double corpus_mib = 0;
  double decode_mbps = 0;     // output bytes per second, in MB/s
  double reference_mbps = 0;  // the same for the plain decoder
  double decode_speedup = 0;  // the plain decoder's time over decompress_lrs'
  LrsEncoding fast;
  LrsEncoding standard;  // the default level
  LrsEncoding best;
  // `lz4 -b1`'s compression rate over the corpus in MB/s; none when lz4
  // could not be run, and `lz4_failure` says why.
  std::optional<double> lz4_mbps;
  std::string lz4_failure;
};

// Writes the corpus under `scratch` for lz4, and removes it.
LrsFigures measure_lrs(int runs, const std::filesystem::path& scratch);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_LRS_BENCH_H_
