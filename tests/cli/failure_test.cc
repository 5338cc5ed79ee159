// How quillstone-dat fails: archive errors exit 1 with a plain message
// naming the file (the error's debug form after --debug), usage errors exit
// 2 with a usage hint, a failed write to standard output exits 1 instead of
// claiming success, and a reader that goes away ends the command quietly
// with 141. None of them leaves anything on standard output.

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

TEST_F(ToolFailureTest, ArchiveErrorsExitOneNamingTheFileOrInDebugForm) {
  // Shorter than the header: nothing at all, inside magic, inside a later
  // field.
  for (const std::size_t length :
       {std::size_t{0}, std::size_t{322}, std::size_t{399}}) {
    const auto path = write_bytes(dir_ / "short.dat", Bytes(length, 0));
    const std::string expected =
        "quillstone-dat: " + path.string() +
        (length == 0 ? ": not a DAT archive: the file is empty\n"
                     : ": not a DAT archive, or truncated: the file is " +
                           std::to_string(length) +
                           " bytes and its header ends at byte 400\n");
    for (std::vector<std::string> args :
         {std::vector<std::string>{"info", path.string()},
          {"info", path.string(), "--json"},
          {"ls", path.string()},
          {"cat", path.string(), "1"}}) {
      const ProcessResult result = run_tool(args);
      EXPECT_EQ(result.exit_code, 1) << args[0] << " " << length;
      EXPECT_EQ(result.out, "") << args[0] << " " << length;
      EXPECT_EQ(result.err, expected) << args[0] << " " << length;

      args.insert(args.begin(), "--debug");
      const ProcessResult debug = run_tool(args);
      EXPECT_EQ(debug.exit_code, 1) << args[1] << " " << length;
      EXPECT_TRUE(debug.err.starts_with("error: BinRead("))
          << args[1] << " " << length << ": " << debug.err;
    }
  }

  const std::string missing = (dir_ / "missing.dat").string();
  const ProcessResult result = run_tool({"ls", missing});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err,
            "quillstone-dat: " + missing + ": No such file or directory\n");
  const ProcessResult debug = run_tool({"--debug", "ls", missing});
  EXPECT_TRUE(debug.err.starts_with("error: PathError { path: \"" + missing))
      << debug.err;
}

TEST_F(ToolFailureTest, UsageErrorsExitTwoWithAHint) {
  const std::vector<std::vector<std::string>> cases = {
      {},                                // no command
      {"frob", archive_},                // unknown command
      {"info"},                          // missing archive
      {"cat", archive_},                 // missing id
      {"info", archive_, "extra"},       // one argument too many
      {"ls", archive_, "--frob"},        // unknown option
      {"cat", archive_, "xyz"},          // not a number
      {"cat", archive_, "12xyz"},        // trailing garbage
      {"cat", archive_, "1-2"},          // a range where one id is wanted
      {"ls", archive_, "2-1"},           // a range that runs backwards
      {"ls", archive_, "1-"},            // a range without its end
      {"cat", archive_, ""},             // empty
      {"cat", archive_, "0x"},           // prefix without digits
      {"cat", archive_, "0xG1"},         // not hex
      {"cat", archive_, "--", "-1"},     // negative
      {"cat", archive_, "+1"},           // signed
      {"cat", archive_, " 1"},           // space
      {"cat", archive_, "100000000"},    // 2^32
      {"cat", archive_, "0x100000000"},  // 2^32 with the prefix
      {"--debug"},                       // an option but no command
      {"cat", archive_, "99999999999999999999999"},
  };
  for (const std::vector<std::string>& args : cases) {
    const std::string shown = args.empty() ? "(none)" : args.back();
    const ProcessResult result = run_tool(args);
    EXPECT_EQ(result.exit_code, 2) << shown;
    EXPECT_EQ(result.out, "") << shown;
    EXPECT_NE(result.err.find("usage: quillstone-dat"), std::string::npos)
        << shown << ": " << result.err;
  }
}

const std::vector<std::vector<std::string>> commands_that_print(
    const std::string& archive) {
  return {
      {"cat", archive, "1"}, {"cat", archive, "1", "--raw"},
      {"info", archive},     {"info", archive, "--json"},
      {"ls", archive},       {"ls", archive, "--json"},
      {"ls", archive, "-l"}, {"--help"},
  };
}

TEST_F(ToolFailureTest, AFailedWriteToStandardOutputIsAnError) {
  for (const std::vector<std::string>& args : commands_that_print(archive_)) {
    const ProcessResult result = run_tool(args, StdoutTarget::kDevFull);
    EXPECT_EQ(result.exit_code, 1) << args[0] << " " << args.back();
    EXPECT_EQ(result.err,
              "quillstone-dat: cannot write to standard output: No space "
              "left on device\n");

    std::vector<std::string> debug_args = args;
    debug_args.insert(debug_args.begin(), "--debug");
    const ProcessResult debug = run_tool(debug_args, StdoutTarget::kDevFull);
    EXPECT_EQ(debug.exit_code, 1) << args[0];
    EXPECT_TRUE(debug.err.starts_with(
        "error: cannot write to standard output: IoError {"))
        << debug.err;
  }
}

TEST_F(ToolFailureTest, AReaderThatGoesAwayEndsTheCommandQuietly) {
  for (const std::vector<std::string>& args : commands_that_print(archive_)) {
    const ProcessResult result = run_tool(args, StdoutTarget::kClosedPipe);
    // Status 141, as for a tool ended by SIGPIPE, yet no signal: the tool
    // stops in order.
    EXPECT_EQ(result.signal, 0) << args[0];
    EXPECT_EQ(result.exit_code, 141) << args[0] << " " << args.back();
    EXPECT_EQ(result.err, "") << args[0];
  }
}

TEST(ToolHelpTest, HelpAndVersionSucceed) {
  const ProcessResult help = run_tool({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* command : {"info", "ls", "cat"}) {
    EXPECT_NE(help.out.find(command), std::string::npos) << command;
  }
  for (const char* flag : {"--version", "-V"}) {
    const ProcessResult version = run_tool({flag});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_TRUE(version.out.starts_with("quillstone-dat ")) << version.out;
  }
}

// The commands `quillstone-dat --help` lists, in its order.
std::vector<std::string> listed_commands() {
  std::vector<std::string> commands;
  bool inside = false;
  for (const std::string& line : lines_of(run_tool({"--help"}).out)) {
    if (line == "Subcommands:") {
      inside = true;
    } else if (line.empty()) {
      inside = false;
    } else if (inside && line.starts_with("  ") && line[2] != ' ') {
      commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
  }
  return commands;
}

TEST(ToolHelpTest, EachCommandShowsAnExampleAndTheExitStatuses) {
  const std::vector<std::string> commands = listed_commands();
  ASSERT_FALSE(commands.empty());
  for (const std::string& command : commands) {
    const ProcessResult help = run_tool({command, "--help"});
    EXPECT_EQ(help.exit_code, 0) << command;
    EXPECT_NE(help.out.find("Example:\n  quillstone-dat " + command + " "),
              std::string::npos)
        << help.out;
    EXPECT_NE(help.out.find("Exit status:"), std::string::npos) << command;
  }
  // ls says what its columns are.
  const ProcessResult ls = run_tool({"ls", "--help"});
  for (const char* column : {"flags", "offset", "size", "timestamp"}) {
    EXPECT_NE(ls.out.find("  " + std::string(column) + " "), std::string::npos)
        << column;
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
