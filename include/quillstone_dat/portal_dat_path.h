// Finding the portal archive on disk.

#ifndef QUILLSTONE_DAT_PORTAL_DAT_PATH_H_
#define QUILLSTONE_DAT_PORTAL_DAT_PATH_H_

#include <filesystem>
#include <optional>

namespace quillstone_dat {

inline constexpr const char* kPortalDatEnvVar = "QUILLSTONE_PORTAL_DAT";

// The path named by QUILLSTONE_PORTAL_DAT when it is valid UTF-8 and exists
// (a stat that follows links succeeds); otherwise the library's package
// directory joined with "../../" and "dats/portal.dat" when that exists;
// otherwise nothing. Paths come back as built, neither resolved nor made
// absolute. Prints nothing, never fails.
std::optional<std::filesystem::path> get_portal_dat_path();

// The package directory fixed into the library when it was built.
std::filesystem::path package_directory();

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_PORTAL_DAT_PATH_H_
