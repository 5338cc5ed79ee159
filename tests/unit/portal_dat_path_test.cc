// Finding the portal archive: the environment variable first, then the
// fallback two folders above the package directory. This executable's
// package directory lies inside the build tree (see CMakeLists.txt), so the
// tests create and remove the fallback themselves.

#include "quillstone_dat/portal_dat_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace quillstone_dat {
namespace {

namespace fs = std::filesystem;

class PortalDatPath : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* value = std::getenv(kPortalDatEnvVar)) saved_env_ = value;
    ::unsetenv(kPortalDatEnvVar);
    saved_cwd_ = fs::current_path();

    // The package directory must exist for "../.." to lead out of it.
    fs::create_directories(package_directory());
    fallback_file_ =
        package_directory().parent_path().parent_path() / "dats" / "portal.dat";
    fs::remove(fallback_file_);

    std::string pattern =
        (fs::temp_directory_path() / "portal-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
  }

  void TearDown() override {
    fs::current_path(saved_cwd_);
    if (saved_env_) {
      ::setenv(kPortalDatEnvVar, saved_env_->c_str(), 1);
    } else {
      ::unsetenv(kPortalDatEnvVar);
    }
    fs::remove(fallback_file_);
    fs::remove_all(scratch_);
  }

  static void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "archive";
  }

  void create_fallback() { touch(fallback_file_); }

  // The fallback as it must come back: the package directory joined by one
  // separator with the parent-directory steps kept.
  static fs::path expected_fallback() {
    return package_directory().native() + "/../../dats/portal.dat";
  }

  static void set_env(const std::string& value) {
    ::setenv(kPortalDatEnvVar, value.c_str(), 1);
  }

  fs::path scratch_;
  fs::path fallback_file_;

 private:
  std::optional<std::string> saved_env_;
  fs::path saved_cwd_;
};

void expect_path(const std::optional<fs::path>& found, const fs::path& wanted) {
  ASSERT_TRUE(found.has_value()) << "nothing found, wanted " << wanted;
  EXPECT_EQ(found->native(), wanted.native());
}

TEST_F(PortalDatPath, ExistingEnvPathWinsOverTheFallback) {
  touch(scratch_ / "mine.dat");
  create_fallback();
  set_env((scratch_ / "mine.dat").native());
  expect_path(get_portal_dat_path(), scratch_ / "mine.dat");
}

TEST_F(PortalDatPath, EnvPathComesBackAsWritten) {
  touch(scratch_ / "mine.dat");
  fs::create_directories(scratch_ / "sub");
  fs::current_path(scratch_);
  set_env("./sub/../mine.dat");
  expect_path(get_portal_dat_path(), "./sub/../mine.dat");
}

TEST_F(PortalDatPath, DirectoryCountsAsExisting) {
  set_env(scratch_.native());
  expect_path(get_portal_dat_path(), scratch_);
}

TEST_F(PortalDatPath, SymbolicLinksAreFollowed) {
  touch(scratch_ / "target.dat");
  fs::create_symlink(scratch_ / "target.dat", scratch_ / "link.dat");
  fs::create_symlink(scratch_ / "gone.dat", scratch_ / "broken.dat");

  set_env((scratch_ / "link.dat").native());
  expect_path(get_portal_dat_path(), scratch_ / "link.dat");
  set_env((scratch_ / "broken.dat").native());
  EXPECT_FALSE(get_portal_dat_path().has_value());
}

TEST_F(PortalDatPath, UnusableEnvValuesFallBackSilently) {
  create_fallback();
  set_env((scratch_ / "absent.dat").native());
  expect_path(get_portal_dat_path(), expected_fallback());
  set_env("");
  expect_path(get_portal_dat_path(), expected_fallback());
  ::unsetenv(kPortalDatEnvVar);
  expect_path(get_portal_dat_path(), expected_fallback());
}

TEST_F(PortalDatPath, NonUtf8ValueCountsAsUnset) {
  // Each names a file that exists; none is UTF-8.
  const char* const invalid[] = {
      "\xff.dat",              // never a UTF-8 byte
      "\x80.dat",              // continuation without a lead
      "\xc0\xaf.dat",          // overlong
      "\xe2\x82.dat",          // sequence cut short
      "\xed\xa0\x80.dat",      // surrogate
      "\xf4\x90\x80\x80.dat",  // past U+10FFFF
  };
  for (const char* name : invalid) {
    SCOPED_TRACE(::testing::PrintToString(std::string(name)));
    touch(scratch_ / name);
    set_env((scratch_ / name).native());
    EXPECT_FALSE(get_portal_dat_path().has_value());
    create_fallback();
    expect_path(get_portal_dat_path(), expected_fallback());
    fs::remove(fallback_file_);
  }

  const std::string valid = "port\xc3\xa1l \xe2\x82\xac\xf0\x9d\x84\x9e.dat";
  touch(scratch_ / valid);
  set_env((scratch_ / valid).native());
  expect_path(get_portal_dat_path(), scratch_ / valid);
}

TEST_F(PortalDatPath, NeitherPlaceExistingGivesNothing) {
  EXPECT_FALSE(get_portal_dat_path().has_value());
  set_env((scratch_ / "absent.dat").native());
  EXPECT_FALSE(get_portal_dat_path().has_value());
}

}  // namespace
}  // namespace quillstone_dat
