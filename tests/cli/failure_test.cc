// How quillstone-dat fails: archive errors exit 1 with the error's debug
// form, usage errors exit 2 with a usage hint, and a failed write to
// standard output exits 1 instead of claiming success. None of them leaves
// anything on standard output.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/tool_process.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

class ToolFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    archive_ = write_bytes(
                   dir_ / "good.dat",
                   build_archive(std::vector<TestFile>{{1, Bytes(5000, 0x5A)}}))
                   .string();
  }

  TempDir dir_;
  std::string archive_;
};

TEST_F(ToolFailureTest, ArchiveErrorsExitOneWithTheDebugForm) {
  // Shorter than the header: nothing at all, inside magic, inside a later
  // field.
  for (const std::size_t length : {std::size_t{0}, std::size_t{322}, std::size_t{399}}) {
    const auto path = write_bytes(dir_ / "short.dat", Bytes(length, 0));
    for (std::vector<std::string> args :
         {std::vector<std::string>{"info", path.string()},
          {"info", path.string(), "--json"},
          {"ls", path.string()},
          {"cat", path.string(), "1"}}) {
      const ToolResult result = run_tool(args);
      EXPECT_EQ(result.exit_code, 1) << args[0] << " " << length;
      EXPECT_EQ(result.out, "") << args[0] << " " << length;
      EXPECT_TRUE(result.err.starts_with("error: BinRead("))
          << args[0] << " " << length << ": " << result.err;
    }
  }

  const std::string missing = (dir_ / "missing.dat").string();
  const ToolResult result = run_tool({"ls", missing});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(result.err.starts_with("error: PathError { path: \"" + missing))
      << result.err;
}

TEST_F(ToolFailureTest, UsageErrorsExitTwoWithAHint) {
  const std::vector<std::vector<std::string>> cases = {
      {},                                // no command
      {"frob", archive_},                // unknown command
      {"info"},                          // missing archive
      {"cat", archive_},                 // missing id
      {"info", archive_, "extra"},       // one argument too many
      {"ls", archive_, "--frob"},        // unknown option
      {"cat", archive_, "abc"},          // not a number
      {"cat", archive_, "12abc"},        // trailing garbage
      {"cat", archive_, ""},             // empty
      {"cat", archive_, "0x"},           // prefix without digits
      {"cat", archive_, "0xG1"},         // not hex
      {"cat", archive_, "--", "-1"},     // negative
      {"cat", archive_, "+1"},           // signed
      {"cat", archive_, " 1"},           // space
      {"cat", archive_, "4294967296"},   // 2^32
      {"cat", archive_, "0x100000000"},  // 2^32 in hex
      {"cat", archive_, "99999999999999999999999"},
  };
  for (const std::vector<std::string>& args : cases) {
    const std::string shown = args.empty() ? "(none)" : args.back();
    const ToolResult result = run_tool(args);
    EXPECT_EQ(result.exit_code, 2) << shown;
    EXPECT_EQ(result.out, "") << shown;
    EXPECT_NE(result.err.find("usage: quillstone-dat"), std::string::npos)
        << shown << ": " << result.err;
  }
}

TEST_F(ToolFailureTest, AFailedWriteToStandardOutputIsAnError) {
  const std::vector<std::vector<std::string>> commands = {
      {"cat", archive_, "1"},
      {"cat", archive_, "1", "--raw"},
      {"info", archive_},
      {"info", archive_, "--json"},
      {"ls", archive_},
      {"ls", archive_, "--json"},
      {"--help"},
  };
  for (const StdoutTarget target :
       {StdoutTarget::kDevFull, StdoutTarget::kClosedPipe}) {
    for (const std::vector<std::string>& args : commands) {
      const ToolResult result = run_tool(args, target);
      // A closed pipe must not end the tool by SIGPIPE, silently.
      EXPECT_EQ(result.signal, 0) << args[0];
      EXPECT_EQ(result.exit_code, 1) << args[0] << " " << args.back();
      EXPECT_TRUE(result.err.starts_with("error: ")) << result.err;
      EXPECT_NE(result.err.find("standard output"), std::string::npos)
          << result.err;
    }
  }
}

TEST(ToolHelpTest, HelpAndVersionSucceed) {
  const ToolResult help = run_tool({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* command : {"info", "ls", "cat"}) {
    EXPECT_NE(help.out.find(command), std::string::npos) << command;
  }
  const ToolResult version = run_tool({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_TRUE(version.out.starts_with("quillstone-dat ")) << version.out;
}

}  // namespace
}  // namespace quillstone_dat::testing
