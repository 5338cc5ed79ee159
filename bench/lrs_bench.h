// LRS speed and ratio over a corpus of text-like and binary-like payloads
// made with compress_lrs: decoding against the plain byte-by-byte decoder,
// and encoding.

#ifndef QUILLSTONE_DAT_BENCH_LRS_BENCH_H_
#define QUILLSTONE_DAT_BENCH_LRS_BENCH_H_

namespace quillstone_dat::bench {

struct LrsFigures {
  double corpus_mib = 0;
  double decode_mbps = 0;     // output bytes per second, in MB/s
  double reference_mbps = 0;  // the same for the plain decoder
  double decode_speedup = 0;  // the plain decoder's time over decompress_lrs'
  double compress_mbps = 0;   // input bytes per second, in MB/s
  double text_ratio = 0;      // payload bytes over input bytes
  double binary_ratio = 0;
};

LrsFigures measure_lrs(int runs);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_LRS_BENCH_H_
