// Test-side helpers shared by the fixture cases.

#ifndef QUILLSTONE_DAT_TESTS_COMMON_MOD_H_
#define QUILLSTONE_DAT_TESTS_COMMON_MOD_H_

#include <filesystem>
#include <optional>

namespace common {

// Where the portal archive is, exactly as the library finds it: the path
// named by QUILLSTONE_PORTAL_DAT, else the fallback beside the package,
// else nothing.
std::optional<std::filesystem::path> get_portal_dat_path();

}  // namespace common

#endif  // QUILLSTONE_DAT_TESTS_COMMON_MOD_H_
