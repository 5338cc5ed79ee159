#include "quillstone_dat/portal_dat_path.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string_view>

namespace quillstone_dat {

namespace {

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t code;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      code = lead & 0x07u;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// Whether a stat that follows symbolic links succeeds.
bool path_exists(const std::filesystem::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0;
}

}  // namespace

std::filesystem::path package_directory() { return QUILLSTONE_DAT_PACKAGE_DIR; }

std::optional<std::filesystem::path> get_portal_dat_path() {
  if (const char* value = std::getenv(kPortalDatEnvVar);
      value != nullptr && is_valid_utf8(value)) {
    std::filesystem::path from_env(value);
    if (path_exists(from_env)) return from_env;
  }
  std::filesystem::path fallback =
      package_directory() / "../../" / "dats/portal.dat";
  if (path_exists(fallback)) return fallback;
  return std::nullopt;
}

}  // namespace quillstone_dat
