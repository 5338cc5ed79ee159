// The package directory that the build fixes into the library.

#include <gtest/gtest.h>

#include "quillstone_dat/portal_dat_path.h"

namespace quillstone_dat {
namespace {

TEST(PackageDirectory, IsTheSourceTreeTheLibraryWasBuiltFrom) {
  EXPECT_EQ(package_directory(),
            std::filesystem::path(QUILLSTONE_DAT_SOURCE_DIR));
  EXPECT_TRUE(package_directory().is_absolute());
}

}  // namespace
}  // namespace quillstone_dat
