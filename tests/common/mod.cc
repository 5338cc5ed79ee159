#include "common/mod.h"

#include "quillstone_dat/portal_dat_path.h"

namespace common {

std::optional<std::filesystem::path> get_portal_dat_path() {
  return quillstone_dat::get_portal_dat_path();
}

}  // namespace common
