// `quillstone-dat verify`: a sound archive passes with exit status 0; each
// kind of damage is found, named in the JSON report and fails the run.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "cli/tool_process.h"
#include "support/archive_builder.h"
#include "support/id_text.h"

namespace quillstone_dat::testing {
namespace {

using Findings = std::vector<std::pair<std::uint32_t, std::string>>;

// An archive whose root leaf holds `entries`, laid out by `builder`.
std::string finish(ArchiveBuilder& builder, std::vector<DatFileEntry> entries,
                   const TempDir& dir) {
  const std::uint32_t root = builder.end();
  builder.put_node(root, Node{{}, std::move(entries), std::nullopt});
  builder.header().root_offset = root;
  return builder.write(dir / "damaged.dat").string();
}

// The (id, kind) pairs of the JSON report, which must be marked unclean.
Findings findings_of(const std::string& archive, std::size_t entries) {
  const ProcessResult result = run_tool({"verify", archive, "--json"});
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  const auto report = nlohmann::json::parse(result.out);
  EXPECT_EQ(report["entries"], entries);
  EXPECT_EQ(report["clean"], false);
  Findings found;
  for (const auto& problem : report["problems"]) {
    found.emplace_back(problem["id"].get<std::uint32_t>(),
                       problem["kind"].get<std::string>());
    EXPECT_EQ(problem["id_hex"], hex8(found.back().first));
    EXPECT_FALSE(problem["detail"].get<std::string>().empty());
  }
  return found;
}

TEST(VerifyTest, ASoundArchiveIsClean) {
  std::vector<TestFile> files;
  for (std::uint32_t i = 0; i < 80; ++i) {  // a root with leaf children
    const Bytes data(i * 11 % 700, static_cast<std::uint8_t>(i));
    files.push_back(i % 4 == 0 ? TestFile{i, lrs_literals(data), 1}
                               : TestFile{i, data});
  }
  TempDir dir;
  const std::string archive =
      write_bytes(dir / "good.dat", build_archive(files, 64)).string();

  const ProcessResult text = run_tool({"verify", archive});
  EXPECT_EQ(text.exit_code, 0) << text.err;
  EXPECT_EQ(text.out, "checked 80 entries: 0 problems\n");
  EXPECT_EQ(text.err, "");

  const ProcessResult json = run_tool({"verify", archive, "--json"});
  EXPECT_EQ(json.exit_code, 0) << json.err;
  const auto report = nlohmann::json::parse(json.out);
  EXPECT_EQ(report["entries"], 80);
  EXPECT_EQ(report["clean"], true);
  EXPECT_TRUE(report["problems"].empty());
}

TEST(VerifyTest, FindsChainsSharingBytes) {
  ArchiveBuilder builder;
  const DatFileEntry first = builder.add_file(1, Bytes(100, 1));
  const DatFileEntry second = builder.add_file(2, Bytes(100, 2));
  TempDir dir;
  // Entry 3 starts inside entry 1's bytes, entry 4 inside the header.
  const std::string archive = finish(builder,
                                     {first,
                                      second,
                                      {0, 3, first.offset + 40, 30, 0, 0},
                                      {0, 4, 300, 50, 0, 0}},
                                     dir);
  EXPECT_EQ(findings_of(archive, 4),
            (Findings{{3, "shared_block"}, {4, "shared_block"}}));

  const ProcessResult text = run_tool({"verify", archive});
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_NE(text.out.find("00000003: shared_block: bytes at offset " +
                          std::to_string(first.offset + 40) +
                          " also belong to the chain of 00000001\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("00000004: shared_block: chain's bytes at offset "
                          "320 overlap the header\n"),
            std::string::npos)
      << text.out;
  EXPECT_TRUE(text.out.ends_with("checked 4 entries: 2 problems\n"))
      << text.out;
}

TEST(VerifyTest, FindsChainsLeavingTheFileOrLooping) {
  ArchiveBuilder builder(64);
  const DatFileEntry good = builder.add_file(1, Bytes(10, 1));
  const DatFileEntry cut = builder.add_file(2, Bytes(10, 2));
  // Two blocks whose last one leads back to the first, holding a file
  // that claims three blocks' worth.
  const std::uint32_t a = builder.end();
  const std::uint32_t b = a + 128;
  const std::uint32_t blocks[] = {a, b};
  builder.put_chain(blocks, Bytes(120, 3), a);
  builder.put(b + 64, {});
  TempDir dir;
  const std::string archive = finish(builder,
                                     {good,
                                      {0, 2, cut.offset, 1 << 20, 0, 0},
                                      {0, 3, a, 180, 0, 0},
                                      {0, 4, 0x7FFFFFF0, 8, 0, 0}},
                                     dir);
  // The chain past the end is not also reported as a failed read.
  EXPECT_EQ(
      findings_of(archive, 4),
      (Findings{{2, "outside_file"}, {3, "chain_loop"}, {4, "outside_file"}}));
}

TEST(VerifyTest, FindsCompressedPayloadsThatDoNotDecodeToTheirSize) {
  ArchiveBuilder builder;
  Bytes lying = lrs_literals(bytes_of("sixteen bytes..."));
  lying[0] = 200;  // declares 200 bytes, holds 16
  const DatFileEntry ok =
      builder.add_file(1, lrs_literals(bytes_of("fine")), 1);
  const DatFileEntry declared_too_many = builder.add_file(2, lying, 1);
  const DatFileEntry too_short = builder.add_file(3, bytes_of("ab"), 1);
  // The same bytes uncompressed are no problem.
  const DatFileEntry plain = builder.add_file(4, bytes_of("ab"));
  TempDir dir;
  const std::string archive =
      finish(builder, {ok, declared_too_many, too_short, plain}, dir);
  EXPECT_EQ(findings_of(archive, 4),
            (Findings{{2, "size_mismatch"}, {3, "short_payload"}}));
}

TEST(VerifyTest, ReportsReadsThatFailWithTheErrorsDebugForm) {
  ArchiveBuilder builder(64);
  const std::uint32_t a = builder.end();
  const std::uint32_t blocks[] = {a, a + 64};
  builder.put_chain(blocks, Bytes(100, 5));
  // A block size of 4 leaves the two-block chain no payload; the directory,
  // one block with a next field of 0, still reads.
  builder.header().block_size = 4;
  TempDir dir;
  const std::string archive = finish(builder, {{0, 9, a, 100, 0, 0}}, dir);

  const ProcessResult result = run_tool({"verify", archive, "--json"});
  EXPECT_EQ(result.exit_code, 1);
  const auto report = nlohmann::json::parse(result.out);
  ASSERT_EQ(report["problems"].size(), 1u) << result.out;
  EXPECT_EQ(report["problems"][0]["kind"], "read_error");
  EXPECT_TRUE(report["problems"][0]["detail"].get<std::string>().starts_with(
      "Corruption("))
      << result.out;
}

TEST(VerifyTest, NamesADirectoryNodesProblemByItsOffset) {
  ArchiveBuilder builder;
  const std::uint32_t file[] = {2048};
  builder.put_chain(file, Bytes(10, 1));
  // The root starts at 300, inside the bytes before the header and on into
  // it; the header lands on branches a leaf never reads.
  builder.put_node(300, Node{{}, {{0, 1, 2048, 10, 0, 0}}, std::nullopt});
  builder.header().root_offset = 300;
  TempDir dir;
  const std::string archive = builder.write(dir / "node.dat").string();

  const ProcessResult text = run_tool({"verify", archive});
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_EQ(text.out,
            "node 0x0000012C: node_overlap: chain's bytes at offset 320 "
            "overlap the header\n"
            "checked 1 entry: 1 problem\n");

  const ProcessResult json = run_tool({"verify", archive, "--json"});
  EXPECT_EQ(json.exit_code, 1);
  const auto problem = nlohmann::json::parse(json.out)["problems"].at(0);
  EXPECT_TRUE(problem["id"].is_null()) << json.out;
  EXPECT_EQ(problem["offset"], 300);
  EXPECT_EQ(problem["kind"], "node_overlap");
}

TEST(VerifyTest, ChecksOnlyTheEntriesAskedFor) {
  ArchiveBuilder builder;
  const DatFileEntry first = builder.add_file(1, Bytes(100, 1));
  const DatFileEntry second = builder.add_file(2, Bytes(100, 2));
  TempDir dir;
  const std::string archive = finish(
      builder, {first, second, {0, 3, first.offset + 40, 30, 0, 0}}, dir);

  const ProcessResult clean = run_tool({"verify", archive, "1-2"});
  EXPECT_EQ(clean.exit_code, 0) << clean.out;
  EXPECT_EQ(clean.out, "checked 2 entries: 0 problems\n");

  const ProcessResult json = run_tool({"verify", archive, "3", "--json"});
  EXPECT_EQ(json.exit_code, 1);
  const auto report = nlohmann::json::parse(json.out);
  EXPECT_EQ(report["entries"], 1);
  EXPECT_EQ(report["problems"].at(0)["id_hex"], "00000003");

  const ProcessResult absent = run_tool({"verify", archive, "1", "9"});
  EXPECT_EQ(absent.exit_code, 1);
  EXPECT_EQ(absent.out, "checked 1 entry: 0 problems\n");
  EXPECT_EQ(absent.err, "quillstone-dat: " + archive +
                            ": no file 0x00000009 in the archive\n");
}

TEST(VerifyTest, UnreadableArchivesAndBadArguments) {
  TempDir dir;
  const std::string none = (dir / "none.dat").string();
  const ProcessResult missing = run_tool({"verify", none});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err,
            "quillstone-dat: " + none + ": No such file or directory\n");
  const ProcessResult debug = run_tool({"--debug", "verify", none});
  EXPECT_TRUE(debug.err.starts_with("error: PathError")) << debug.err;

  // A script reading the JSON report gets one all the same.
  const ProcessResult json = run_tool({"verify", none, "--json"});
  EXPECT_EQ(json.exit_code, 1);
  EXPECT_EQ(json.err, missing.err);
  const auto report = nlohmann::json::parse(json.out);
  EXPECT_EQ(report["clean"], false);
  EXPECT_EQ(report["entries"], 0);
  EXPECT_TRUE(report["problems"].empty());
  EXPECT_EQ(report["error"], "No such file or directory");

  EXPECT_EQ(run_tool({"verify"}).exit_code, 2);
  EXPECT_EQ(run_tool({"verify", "a.dat", "--frob"}).exit_code, 2);
}

}  // namespace
}  // namespace quillstone_dat::testing
