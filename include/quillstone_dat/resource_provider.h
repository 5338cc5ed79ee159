// ResourceProvider is the interface of anything that serves files by id.
// Providers supply get_file and get_metadata; exists is derived from
// get_metadata here, once, for all of them.

#ifndef QUILLSTONE_DAT_RESOURCE_PROVIDER_H_
#define QUILLSTONE_DAT_RESOURCE_PROVIDER_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "quillstone_dat/error.h"

namespace quillstone_dat {

struct FileMetadata {
  std::uint32_t id = 0;
  // The size the directory records: for a compressed file, the stored
  // payload's length, not the length get_file returns.
  std::uint32_t size = 0;
  bool is_pruned = false;

  friend bool operator==(const FileMetadata&, const FileMetadata&) = default;
};

class ResourceProvider {
 public:
  virtual ~ResourceProvider() = default;

  // The file's bytes, decompressed where the provider stores them
  // compressed.
  virtual DatResult<std::vector<std::uint8_t>> get_file(
      std::uint32_t id) const = 0;

  // Present exactly when the provider holds `id`. Never fails.
  virtual std::optional<FileMetadata> get_metadata(std::uint32_t id) const = 0;

  bool exists(std::uint32_t id) const { return get_metadata(id).has_value(); }

 protected:
  ResourceProvider() = default;
  ResourceProvider(const ResourceProvider&) = default;
  ResourceProvider& operator=(const ResourceProvider&) = default;
  ResourceProvider(ResourceProvider&&) = default;
  ResourceProvider& operator=(ResourceProvider&&) = default;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_RESOURCE_PROVIDER_H_
