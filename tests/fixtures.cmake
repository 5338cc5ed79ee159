# The fixture executable and its tests. Included from tests/CMakeLists.txt.
add_executable(resource_provider_fixtures
  resource_provider_fixtures.cc
  common/mod.cc)
target_include_directories(resource_provider_fixtures PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(resource_provider_fixtures PRIVATE
  quillstone_dat::quillstone_dat fixture_runner motion_command_names)
quillstone_dat_warnings(resource_provider_fixtures)

# Writes the archive the second registration below reads.
add_executable(fixture_archives fixture_archives.cc)
target_link_libraries(fixture_archives PRIVATE dat_test_support)
quillstone_dat_warnings(fixture_archives)

set(fixture_archive_dir ${CMAKE_CURRENT_BINARY_DIR}/fixture_data)
add_test(NAME resource_provider_fixtures.make_archives
  COMMAND fixture_archives ${fixture_archive_dir})
set_tests_properties(resource_provider_fixtures.make_archives PROPERTIES
  FIXTURES_SETUP fixture_archives)

# Without an archive: the retail case takes the skip path, unless a portal
# archive happens to lie at the fallback beside the sources, which must pass
# as well.
add_test(NAME resource_provider_fixtures.no_archive
  COMMAND resource_provider_fixtures --show-output)
set_tests_properties(resource_provider_fixtures.no_archive PROPERTIES
  ENVIRONMENT_MODIFICATION "QUILLSTONE_PORTAL_DAT=unset:")

# With a built archive: the full path, all four cases. Should the archive be
# missing, the case would skip and pass, so the skip line fails this test.
add_test(NAME resource_provider_fixtures.built_archive
  COMMAND resource_provider_fixtures --show-output)
set_tests_properties(resource_provider_fixtures.built_archive PROPERTIES
  ENVIRONMENT "QUILLSTONE_PORTAL_DAT=${fixture_archive_dir}/portal.dat"
  FIXTURES_REQUIRED fixture_archives
  FAIL_REGULAR_EXPRESSION "Skipping test:")

# The case records point at their functions' real places in the sources.
add_test(NAME resource_provider_fixtures.case_locations
  COMMAND resource_provider_fixtures --check-locations ${PROJECT_SOURCE_DIR})

# The retail case end to end against archives made for each edge case.
add_executable(resource_provider_fixtures_test fixtures_test.cc)
target_link_libraries(resource_provider_fixtures_test PRIVATE
  dat_test_support test_subprocess GTest::gtest_main)
target_compile_definitions(resource_provider_fixtures_test PRIVATE
  QUILLSTONE_DAT_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  FIXTURES_BINARY="$<TARGET_FILE:resource_provider_fixtures>")
add_dependencies(resource_provider_fixtures_test resource_provider_fixtures)
quillstone_dat_warnings(resource_provider_fixtures_test)
gtest_discover_tests(resource_provider_fixtures_test PROPERTIES TIMEOUT 120)
