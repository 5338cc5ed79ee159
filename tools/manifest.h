// The manifest that `extract` writes beside the files it extracts
// (OUTDIR/manifest.json) and `pack` reads back, so that an unpacked archive
// packs again into the same archive: the header's fields, the block size,
// and for every entry its id, bit flags, timestamp, version, the name of
// its file and whether that file holds the stored bytes or the decoded
// ones. docs/format.md describes the JSON.

#ifndef QUILLSTONE_DAT_TOOLS_MANIFEST_H_
#define QUILLSTONE_DAT_TOOLS_MANIFEST_H_

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"

namespace quillstone_dat::tool {

inline constexpr std::string_view kManifestName = "manifest.json";

struct ManifestEntry {
  std::uint32_t id = 0;
  std::string file;  // a name in the manifest's folder
  std::uint32_t bit_flags = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;
  // The file holds the bytes as the archive stores them (extract --raw),
  // not decoded.
  bool stored = false;
};

struct Manifest {
  DatHeader header;
  std::uint32_t block_size = 0;
  std::vector<ManifestEntry> entries;
};

std::string render_manifest(const Manifest& manifest);

// The manifest's text in pieces, for a reader that renders it a part at a
// time (the mount): render_manifest is manifest_head, then
// manifest_entry_text of each entry by its index, then manifest_tail of
// the count.
std::string manifest_head(const DatHeader& header, std::uint32_t block_size);
void append_manifest_entry(std::string& text, std::size_t index,
                           const ManifestEntry& entry);
std::string_view manifest_tail(std::size_t count);

// The entry extract lists for an archive's `entry`: its file named by
// file_name_of, holding the stored bytes when `raw` or when the entry is
// not compressed.
ManifestEntry manifest_entry_of(const DatFileEntry& entry, bool raw);

// The manifest in `text`. Fails, saying what is wrong, on anything but a
// manifest this tool writes: missing or extra members, numbers out of
// range, a file name with a folder in it, an id or a file name listed
// twice, a block size that disagrees with the header's.
std::expected<Manifest, std::string> parse_manifest(std::string_view text);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_MANIFEST_H_
