// `quillstone-dat diff` and `apply`: the differences between two archives
// as lines, counts and JSON, with diff's exit statuses; and the patch
// folder that diff writes, which apply puts into a copy of the old archive
// in one commit, refuses to apply twice or to another base, and refuses
// whole when it disagrees with its patch.json.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/folder_files.h"
#include "cli/tool_process.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_writer.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kSame = 0;
constexpr int kDifferent = 1;
constexpr int kTrouble = 2;

WriterFile file(std::uint32_t id, std::string_view text,
                Storage storage = Storage::kPlain, std::uint32_t timestamp = 0,
                std::uint32_t version = 0) {
  return {.id = id,
          .contents = bytes_of(text),
          .storage = storage,
          .bit_flags = 0,
          .timestamp = timestamp,
          .version = version};
}

void write_archive(const fs::path& path, std::vector<WriterFile> files,
                   WriterOptions options) {
  DatWriter writer(options);
  for (WriterFile& entry : files) ASSERT_TRUE(writer.add(std::move(entry)));
  ASSERT_TRUE(writer.write(path));
}

class DiffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string text(300, 'x');
    write_archive(old_,
                  {file(0x0A000001, "one"), file(0x0A000002, "two"),
                   file(0x0A000003, text, Storage::kCompressed),
                   file(0x0A000004, "four", Storage::kPlain, 100),
                   file(0x0A000006, "six")},
                  {.block_size = 64});
    write_archive(new_,
                  {file(0x0A000001, "one"), file(0x0A000002, "TWO"),
                   file(0x0A000003, text),
                   file(0x0A000004, "four", Storage::kPlain, 200, 2),
                   file(0x0A000005, "five!")},
                  {.block_size = 128, .game_version = 3});
  }

  std::string copy_of_old(const std::string& name) const {
    const fs::path copy = dir_ / name;
    fs::copy_file(old_, copy);
    return copy.string();
  }

  // What apply prints when `archive` is not the patch's base.
  static std::string refusal(const std::string& archive, std::string_view why) {
    return "quillstone-dat: " + archive +
           ": not the patch's base: " + std::string(why) +
           "; nothing was changed (--force applies the patch anyway)\n";
  }

  TempDir dir_;
  const std::string old_ = (dir_ / "old.dat").string();
  const std::string new_ = (dir_ / "new.dat").string();
};

TEST_F(DiffTest, ListsEachDifferenceByIdThenTheHeader) {
  const ProcessResult diff = run_tool({"diff", old_, new_});
  EXPECT_EQ(diff.exit_code, kDifferent) << diff.err;
  EXPECT_EQ(diff.out,
            "~ 0x0A000002 contents\n"
            "~ 0x0A000003 storage, bit_flags\n"
            "~ 0x0A000004 timestamp, version\n"
            "+ 0x0A000005 added 5 bytes\n"
            "- 0x0A000006 removed 3 bytes\n"
            "~ header game_version: 0 -> 3\n");
  EXPECT_EQ(diff.err, "");

  const ProcessResult summary = run_tool({"diff", old_, new_, "--summary"});
  EXPECT_EQ(summary.exit_code, kDifferent);
  EXPECT_EQ(summary.out,
            "1 added, 1 removed, 3 changed, 0 unreadable; 1 header fields "
            "differ\n");
  const ProcessResult contents =
      run_tool({"diff", old_, new_, "--contents-only"});
  EXPECT_EQ(contents.exit_code, kDifferent);
  EXPECT_EQ(contents.out,
            "~ 0x0A000002 contents\n"
            "+ 0x0A000005 added 5 bytes\n"
            "- 0x0A000006 removed 3 bytes\n");
  const ProcessResult some =
      run_tool({"diff", old_, new_, "0A000003-0A000004"});
  EXPECT_EQ(some.out,
            "~ 0x0A000003 storage, bit_flags\n"
            "~ 0x0A000004 timestamp, version\n"
            "~ header game_version: 0 -> 3\n");

  // Another layout of the same archive is no difference.
  const ProcessResult same = run_tool({"diff", old_, old_});
  EXPECT_EQ(same.exit_code, kSame);
  EXPECT_EQ(same.out, "");
  ASSERT_EQ(run_tool({"compact", copy_of_old("compacted.dat")}).exit_code, 0);
  EXPECT_EQ(
      run_tool({"diff", old_, (dir_ / "compacted.dat").string()}).exit_code,
      kSame);
}

TEST_F(DiffTest, JsonIsOneObjectWithEveryFileAndField) {
  const ProcessResult diff = run_tool({"diff", old_, new_, "--json"});
  EXPECT_EQ(diff.exit_code, kDifferent);
  const Json object = Json::parse(diff.out);
  EXPECT_EQ(object["format"], 1);
  EXPECT_EQ(object["old"], old_);
  EXPECT_EQ(object["new"], new_);
  EXPECT_EQ(object["header"],
            Json::parse(R"([{"field":"game_version","old":0,"new":3}])"));
  EXPECT_EQ(object["counts"], Json::parse(R"({"added":1,"removed":1,
      "changed":3,"unreadable":0,"header":1})"));
  ASSERT_EQ(object["files"].size(), 5u);
  const Json& storage = object["files"][1];
  EXPECT_EQ(storage["id"], 0x0A000003);
  EXPECT_EQ(storage["id_hex"], "0A000003");
  EXPECT_EQ(storage["change"], "changed");
  EXPECT_EQ(storage["what"], Json::parse(R"(["storage","bit_flags"])"));
  EXPECT_EQ(storage["old"]["compressed"], true);
  EXPECT_EQ(storage["new"]["compressed"], false);
  EXPECT_EQ(storage["new"]["size"], 300);
  EXPECT_EQ(storage["new"]["checksum"].get<std::string>().size(), 32u);
  const Json& added = object["files"][3];
  EXPECT_EQ(added["change"], "added");
  EXPECT_EQ(added["what"], Json::array());
  EXPECT_TRUE(added["old"].is_null());
}

TEST_F(DiffTest, TroubleExitsTwoAndNamesTheFile) {
  const ProcessResult missing =
      run_tool({"diff", old_, (dir_ / "none.dat").string()});
  EXPECT_EQ(missing.exit_code, kTrouble);
  EXPECT_NE(missing.err.find("none.dat"), std::string::npos) << missing.err;
  EXPECT_EQ(run_tool({"diff", old_}).exit_code, kTrouble);
  EXPECT_EQ(run_tool({"diff", old_, new_, "0B000000"}).exit_code, kTrouble);

  // A chain that leads past the end: the file is unreadable, never equal.
  ArchiveBuilder builder(64);
  const DatFileEntry kept = builder.add_file(0x0A000001, bytes_of("one"));
  DatFileEntry lost = builder.add_file(0x0A000002, bytes_of("two"));
  lost.offset = 1u << 20;
  builder.put_root(Node{{}, {kept, lost}, std::nullopt});
  const fs::path damaged = builder.write(dir_ / "damaged.dat");
  const ProcessResult unreadable = run_tool({"diff", old_, damaged.string()});
  EXPECT_EQ(unreadable.exit_code, kTrouble);
  EXPECT_NE(
      unreadable.out.find("! 0x0A000002 unreadable; timestamp, version\n"),
      std::string::npos)
      << unreadable.out;
  EXPECT_NE(unreadable.err.find(damaged.string() + ": file 0x0A000002"),
            std::string::npos)
      << unreadable.err;
  EXPECT_EQ(run_tool({"diff", old_, damaged.string(), "--patch",
                      (dir_ / "p").string()})
                .exit_code,
            kTrouble);
  EXPECT_FALSE(fs::exists(dir_ / "p"));
}

TEST_F(DiffTest, PatchTurnsACopyOfTheOldArchiveIntoTheNew) {
  const fs::path patch = dir_ / "patch";
  const ProcessResult made = run_tool({"diff", old_, new_, "--patch", patch});
  ASSERT_EQ(made.exit_code, kDifferent) << made.err;
  // The files whose stored bytes change; 0A000004 keeps its bytes.
  EXPECT_EQ(names_in(patch),
            (std::vector<std::string>{"0A000002.bin", "0A000003.bin",
                                      "0A000005.bin", "patch.json"}));
  EXPECT_EQ(read_bytes(patch / "0A000003.bin"),
            bytes_of(std::string(300, 'x')));
  EXPECT_EQ(names_in(dir_.path()).size(), 3u);  // nothing left beside it

  // The folder alone carries the patch: the new archive is gone.
  const std::string target = copy_of_old("target.dat");
  fs::rename(new_, dir_ / "kept.dat");
  const ProcessResult applied = run_tool({"apply", target, patch});
  ASSERT_EQ(applied.exit_code, 0) << applied.err;
  EXPECT_EQ(applied.out.substr(0, applied.out.find(';')),
            target + ": 1 added, 3 replaced, 1 removed");
  const ProcessResult after =
      run_tool({"diff", target, (dir_ / "kept.dat").string()});
  EXPECT_EQ(after.exit_code, kSame) << after.out;
  EXPECT_EQ(after.out, "");

  const Bytes patched = read_bytes(target);
  const ProcessResult twice = run_tool({"apply", target, patch});
  EXPECT_EQ(twice.exit_code, 1);
  EXPECT_EQ(twice.err,
            refusal(target,
                    "it looks already patched: every file and header field "
                    "the patch changes is as the patch leaves it"));
  EXPECT_EQ(read_bytes(target), patched);

  // An existing folder is replaced only with --force.
  fs::rename(dir_ / "kept.dat", new_);
  const ProcessResult again = run_tool({"diff", old_, new_, "--patch", patch});
  EXPECT_EQ(again.exit_code, kTrouble);
  EXPECT_NE(again.err.find("exists; pass --force"), std::string::npos);
  write_bytes(patch / "stale.txt", bytes_of("x"));
  EXPECT_EQ(
      run_tool({"diff", old_, new_, "--patch", patch, "--force"}).exit_code,
      kDifferent);
  EXPECT_FALSE(fs::exists(patch / "stale.txt"));
}

TEST_F(DiffTest, ApplyToAnotherBaseNamesTheFirstDifferenceUnlessForced) {
  const fs::path patch = dir_ / "patch";
  ASSERT_EQ(run_tool({"diff", old_, new_, "--patch", patch}).exit_code,
            kDifferent);
  const std::string other = (dir_ / "other.dat").string();
  write_archive(other, {file(0x0A000002, "two")}, {.block_size = 64});
  const Bytes before = read_bytes(other);
  const ProcessResult refused = run_tool({"apply", other, patch});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, refusal(other, "the archive has no file 0x0A000003"));
  EXPECT_EQ(read_bytes(other), before);
  const ProcessResult forced = run_tool({"apply", other, patch, "--force"});
  EXPECT_EQ(forced.exit_code, 1);  // 0A000004's kept bytes are not there
  EXPECT_NE(forced.err.find("file 0x0A000004"), std::string::npos)
      << forced.err;
}

TEST_F(DiffTest, MalformedPatchFoldersAreRefusedBeforeAnythingIsWritten) {
  const fs::path made = dir_ / "made";
  ASSERT_EQ(run_tool({"diff", old_, new_, "--patch", made}).exit_code,
            kDifferent);
  const std::string json = [&] {
    const Bytes bytes = read_bytes(made / "patch.json");
    return std::string(bytes.begin(), bytes.end());
  }();
  // Writes `text` as the folder's file `name`.
  const auto writing = [](std::string name, std::string text) {
    return [=](const fs::path& p) { write_bytes(p / name, bytes_of(text)); };
  };
  // patch.json with its first `from` replaced by `to`.
  const auto rewriting = [&](std::string_view from, std::string_view to) {
    std::string text = json;
    text.replace(text.find(from), from.size(), to);
    return writing("patch.json", text);
  };
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> spoil;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no patch.json", [](const fs::path& p) { fs::remove(p / "patch.json"); },
       "not a patch folder: it has no patch.json"},
      {"invalid JSON", writing("patch.json", "{"),
       "malformed patch: not valid JSON"},
      {"a listed file missing",
       [](const fs::path& p) { fs::remove(p / "0A000005.bin"); },
       "0A000005.bin is missing: patch.json lists it for file 0x0A000005"},
      {"a file it does not list", writing("0A000009.bin", "nine"),
       "0A000009.bin is not in patch.json"},
      {"a file of another size", writing("0A000002.bin", "TWO2"),
       "0A000002.bin holds 4 bytes; patch.json lists 3 for file 0x0A000002"},
      {"a file of other bytes", writing("0A000002.bin", "TW0"),
       "of the patch is not the one it lists: its bytes differ"},
      {"a removal its base does not list",
       rewriting("\"remove\": [", "\"remove\": [{\"id\":1},"),
       "file 0x00000001 is removed, but the base does not list it"},
      {"a checksum that is no checksum",
       rewriting("\"checksum\":\"", "\"checksum\":\"x"),
       "'checksum' is not 32 lower-case hex digits"},
      {"a header field no patch sets",
       rewriting("\"header\": {", "\"header\": {\"root_offset\":0,"),
       "the header's 'root_offset' is not a field a writer takes as given"},
  };
  const std::string target = copy_of_old("target.dat");
  const Bytes before = read_bytes(target);
  for (const Case& c : cases) {
    const fs::path spoilt = dir_ / "spoilt";
    fs::remove_all(spoilt);
    fs::copy(made, spoilt);
    c.spoil(spoilt);
    const ProcessResult applied = run_tool({"apply", target, spoilt});
    EXPECT_EQ(applied.exit_code, 1) << c.name;
    EXPECT_NE(applied.err.find(c.message), std::string::npos)
        << c.name << ": " << applied.err;
    EXPECT_EQ(read_bytes(target), before) << c.name;
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
