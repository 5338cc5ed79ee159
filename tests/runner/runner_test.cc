// Tests of the fixture runner: its command line read in-process, and its
// behaviour from outside, running an executable of cases that pass and fail
// on purpose.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <expected>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/check.h"
#include "runner/options.h"
#include "support/lines.h"
#include "support/subprocess.h"

namespace runner {
namespace {

using ::quillstone_dat::testing::last_line;
using ::quillstone_dat::testing::lines_of;
using ::quillstone_dat::testing::ProcessOptions;
using ::quillstone_dat::testing::ProcessResult;
using ::quillstone_dat::testing::run_process;
using ::quillstone_dat::testing::StdoutTarget;

constexpr std::size_t kCasesInSelftest = 16;

std::expected<RunOptions, std::string> parse(
    std::initializer_list<std::string_view> args) {
  return parse_options(std::vector<std::string_view>(args));
}

TEST(RunnerOptions, ReadsFiltersAndFlags) {
  const auto options = parse({"lookup", "--exact", "--skip", "a", "--skip=b",
                              "--list", "--test-threads", "3", "--nocapture",
                              "--show-output", "classify"});
  ASSERT_TRUE(options.has_value()) << options.error();
  EXPECT_EQ(options->filters, (std::vector<std::string>{"lookup", "classify"}));
  EXPECT_EQ(options->skips, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(options->exact);
  EXPECT_TRUE(options->list);
  EXPECT_EQ(options->test_threads, 3u);
  EXPECT_FALSE(options->capture);
  EXPECT_TRUE(options->show_output);
  EXPECT_EQ(options->ignored, IgnoredCases::kSkip);

  // After "--" everything is a filter, dashes and all.
  const auto after_dashes = parse({"--", "--list"});
  ASSERT_TRUE(after_dashes.has_value());
  EXPECT_EQ(after_dashes->filters, std::vector<std::string>{"--list"});
  EXPECT_FALSE(after_dashes->list);
}

TEST(RunnerOptions, RejectsBadUsage) {
  for (const auto& args : std::vector<std::vector<std::string_view>>{
           {"--test-threads", "0"},
           {"--test-threads", "2x"},
           {"--test-threads=-1"},
           {"--test-threads"},
           {"--skip"},
           {"--frobnicate"},
           {"--list=yes"},
           {"--ignored", "--include-ignored"}}) {
    EXPECT_FALSE(parse_options(args).has_value()) << args.front();
  }
}

TEST(RunnerOptions, SelectsByNameSubstringOrWholeName) {
  RunOptions options;
  EXPECT_TRUE(options.selects("anything"));

  options.filters = {"lookup", "retail"};
  EXPECT_TRUE(options.selects("tests::lookup_known_commands"));
  EXPECT_TRUE(options.selects("test_retail_dat_provider"));
  EXPECT_FALSE(options.selects("tests::classify_known_commands"));

  options.skips = {"known"};
  EXPECT_FALSE(options.selects("tests::lookup_known_commands"));
  EXPECT_TRUE(options.selects("test_retail_dat_provider"));

  options.exact = true;
  options.filters = {"test_retail_dat_provider"};
  options.skips = {"retail"};  // whole names only under --exact
  EXPECT_TRUE(options.selects("test_retail_dat_provider"));
  EXPECT_FALSE(options.selects("x::test_retail_dat_provider"));
}

TEST(RunnerChecks, ReportsInTheirDocumentedForms) {
  EXPECT_EQ(equality_report(debug_form(std::optional<std::string_view>("Off")),
                            debug_form(std::optional<std::string_view>())),
            "assertion `left == right` failed\n"
            "  left: Some(\"Off\")\n"
            " right: None");
  EXPECT_EQ(quoted("a\"b\\c\nd\x01"), R"("a\"b\\c\nd\u{1}")");
  // A literal must not decay to the bool overload.
  EXPECT_EQ(debug_form("text"), "\"text\"");
}

// --- The runner from outside ---

ProcessResult selftest(std::vector<std::string> args,
                       const ProcessOptions& options = {}) {
  args.insert(args.begin(), SELFTEST_CASES);
  return run_process(args, options);
}

// The block of the report for `name` in the section that starts with
// `section` + ":": from its "---- name" header to the next header or the
// section's closing list.
std::string block_of(const std::string& report, std::string_view section,
                     std::string_view name) {
  const std::size_t section_start =
      report.find("\n" + std::string(section) + ":\n");
  if (section_start == std::string::npos) return "";
  const std::size_t start =
      report.find("---- " + std::string(name) + " ", section_start);
  if (start == std::string::npos) return "";
  const std::size_t end =
      std::min(report.find("\n---- ", start),
               report.find("\n" + std::string(section) + ":\n", start));
  std::string block = report.substr(start, end - start);
  if (block.ends_with('\n')) block.pop_back();
  return block;
}

std::size_t count_of(const std::string& text, std::string_view piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos;
       at = text.find(piece, at + piece.size())) {
    ++count;
  }
  return count;
}

// The 1-based number of the first line of the self-test's source holding
// `piece`.
std::size_t selftest_line_of(std::string_view piece) {
  std::ifstream source(std::string(QUILLSTONE_DAT_SOURCE_DIR) +
                       "/tests/runner/selftest_cases.cc");
  std::string line;
  for (std::size_t number = 1; std::getline(source, line); ++number) {
    if (line.find(piece) != std::string::npos) return number;
  }
  return 0;
}

TEST(RunnerProcess, RunsEveryCaseAndReportsEachOutcome) {
  const ProcessResult run = selftest({"--test-threads", "4"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(last_line(run.out), "result: 7 passed, 7 failed, 2 skipped");
  const std::vector<std::string> lines = lines_of(run.out);
  EXPECT_EQ(lines.front(), "running 14 cases");
  for (const std::string_view expected : {
           "test parallel::first ... ok",
           "test parallel::second ... ok",
           "test passing::prints_and_passes ... ok",
           "test passing::silent ... ok",
           "test failing::bare_condition ... FAILED",
           "test failing::equality_report ... FAILED",
           "test failing::error_result ... FAILED",
           "test failing::throws_exception ... FAILED",
           "test failing::releases_resources ... FAILED",
           "test ignored::with_reason ... ignored, needs a real archive",
           "test ignored::without_reason ... ignored",
           "test expected::any_failure ... ok",
           "test expected::containing_text ... ok",
           "test expected::wrong_text ... FAILED",
           "test expected::but_returned ... FAILED",
           "test locations::misplaced ... ok",
       }) {
    EXPECT_EQ(std::ranges::count(lines, expected), 1) << expected;
  }
  EXPECT_EQ(run.out.find("ignored case ran"), std::string::npos);

  // The closing list names the failed cases in list order.
  const std::size_t list = run.out.rfind("\nfailures:\n");
  ASSERT_NE(list, std::string::npos);
  EXPECT_EQ(run.out.substr(list),
            "\nfailures:\n"
            "    failing::bare_condition\n"
            "    failing::equality_report\n"
            "    failing::error_result\n"
            "    failing::throws_exception\n"
            "    failing::releases_resources\n"
            "    expected::wrong_text\n"
            "    expected::but_returned\n"
            "\nresult: 7 passed, 7 failed, 2 skipped\n");
}

TEST(RunnerProcess, FailureReportsCarryMessageLocationAndOutput) {
  const ProcessResult run = selftest({"failing::", "expected::"});

  // A failed check stops its case: the line after it never prints.
  const std::string bare =
      block_of(run.out, "failures", "failing::bare_condition");
  const std::string check_line =
      std::to_string(selftest_line_of("runner::check(two + 2 == 5"));
  EXPECT_TRUE(
      bare.starts_with("---- failing::bare_condition stdout ----\n"
                       "before the check\n"
                       "failed at "))
      << bare;
  EXPECT_NE(bare.find("tests/runner/selftest_cases.cc:" + check_line + ":"),
            std::string::npos)
      << bare;
  EXPECT_TRUE(bare.ends_with(":\nassertion failed: two + 2 == 5")) << bare;
  EXPECT_EQ(bare.find("after the check"), std::string::npos);

  EXPECT_TRUE(block_of(run.out, "failures", "failing::equality_report")
                  .ends_with(":\n"
                             "assertion `left == right` failed\n"
                             "  left: Some(\"Off\")\n"
                             " right: None"))
      << run.out;
  EXPECT_TRUE(block_of(run.out, "failures", "failing::error_result")
                  .ends_with(":\nShould be able to read data: NotFound(255)"));
  EXPECT_EQ(block_of(run.out, "failures", "failing::throws_exception"),
            "---- failing::throws_exception stdout ----\n"
            "failed with an uncaught exception:\n"
            "disk on fire");
  // The failed case's locals are released before the report is made.
  const std::string released =
      block_of(run.out, "failures", "failing::releases_resources");
  EXPECT_TRUE(released.starts_with(
      "---- failing::releases_resources stdout ----\nguard released\n"))
      << released;
  EXPECT_TRUE(released.ends_with(":\nstopped early"));

  EXPECT_TRUE(block_of(run.out, "failures", "expected::wrong_text")
                  .ends_with("disk on fire\nnote: the failure message was "
                             "expected to contain \"under water\""));
  EXPECT_EQ(block_of(run.out, "failures", "expected::but_returned"),
            "---- expected::but_returned stdout ----\n"
            "returned, but was expected to fail");
  EXPECT_EQ(block_of(run.out, "failures", "expected::any_failure"), "");
}

TEST(RunnerProcess, SelectsCasesByFilterExactNameAndSkip) {
  // One worker, so that the result lines come in the cases' order.
  const ProcessResult substring = selftest({"passing", "--test-threads", "1"});
  EXPECT_EQ(substring.exit_code, 0);
  EXPECT_EQ(lines_of(substring.out),
            (std::vector<std::string>{
                "running 2 cases", "test passing::prints_and_passes ... ok",
                "test passing::silent ... ok", "",
                "result: 2 passed, 0 failed, 14 skipped"}))
      << substring.out;

  const ProcessResult exact = selftest({"--exact", "passing::silent"});
  EXPECT_EQ(exact.exit_code, 0);
  EXPECT_EQ(last_line(exact.out), "result: 1 passed, 0 failed, 15 skipped");

  // Under --exact a part of a name matches nothing; no case selected is no
  // failure.
  const ProcessResult part = selftest({"--exact", "passing"});
  EXPECT_EQ(part.exit_code, 0);
  EXPECT_EQ(last_line(part.out), "result: 0 passed, 0 failed, 16 skipped");

  // Several filters select the cases matching any; --skip leaves out.
  const ProcessResult skipped =
      selftest({"passing::", "expected::", "--skip", "silent",
                "--skip=expected::wrong", "--skip", "returned"});
  EXPECT_EQ(skipped.exit_code, 0) << skipped.out;
  EXPECT_EQ(last_line(skipped.out), "result: 3 passed, 0 failed, 13 skipped");
  EXPECT_EQ(skipped.out.find("silent"), std::string::npos);

  // A filter that selects one failing case fails the run.
  const ProcessResult one_failure = selftest({"throws_exception"});
  EXPECT_EQ(one_failure.exit_code, 1);
  EXPECT_EQ(last_line(one_failure.out),
            "result: 0 passed, 1 failed, 15 skipped");
}

TEST(RunnerProcess, ListsSelectedNamesWithoutRunningThem) {
  const ProcessResult all = selftest({"--list"});
  EXPECT_EQ(all.exit_code, 0);
  const std::vector<std::string> names = lines_of(all.out);
  ASSERT_EQ(names.size(), kCasesInSelftest);
  EXPECT_EQ(names.front(), "parallel::first");
  EXPECT_EQ(names.back(), "locations::misplaced");

  const ProcessResult some =
      selftest({"--list", "ignored", "--skip", "without"});
  EXPECT_EQ(some.out, "ignored::with_reason\n");
  EXPECT_EQ(selftest({"--list", "--ignored"}).out,
            "ignored::with_reason\nignored::without_reason\n");
}

TEST(RunnerProcess, RunsIgnoredCasesOnlyWhenAsked) {
  const ProcessResult only = selftest({"--ignored", "--show-output"});
  EXPECT_EQ(only.exit_code, 0);
  EXPECT_EQ(last_line(only.out), "result: 2 passed, 0 failed, 14 skipped");
  EXPECT_EQ(count_of(only.out, "ignored case ran"), 2u);

  const ProcessResult included =
      selftest({"--include-ignored", "ignored::", "passing::silent"});
  EXPECT_EQ(included.exit_code, 0);
  EXPECT_EQ(last_line(included.out), "result: 3 passed, 0 failed, 13 skipped");
}

TEST(RunnerProcess, ShowsPassingOutputOnlyWhenAsked) {
  const ProcessResult quiet = selftest({"passing::"});
  EXPECT_EQ(quiet.out.find("hello from a passing case"), std::string::npos);

  const ProcessResult shown = selftest({"passing::", "--show-output"});
  EXPECT_EQ(block_of(shown.out, "successes", "passing::prints_and_passes"),
            "---- passing::prints_and_passes stdout ----\n"
            "hello from a passing case");
  EXPECT_EQ(block_of(shown.out, "successes", "passing::silent"),
            "---- passing::silent stdout ----");
  EXPECT_EQ(last_line(shown.out), "result: 2 passed, 0 failed, 14 skipped");
}

TEST(RunnerProcess, NocaptureLetsOutputThroughAsItHappens) {
  const ProcessResult run = selftest({"--nocapture", "--test-threads", "1",
                                      "prints_and_passes", "bare_condition"});
  EXPECT_EQ(run.exit_code, 1);
  const std::size_t hello = run.out.find("hello from a passing case\n");
  const std::size_t result_line =
      run.out.find("test passing::prints_and_passes ... ok");
  ASSERT_NE(hello, std::string::npos) << run.out;
  EXPECT_LT(hello, result_line);
  EXPECT_EQ(count_of(run.out, "before the check"), 1u);
  // The failure report has no captured output to show.
  const std::string report =
      block_of(run.out, "failures", "failing::bare_condition");
  EXPECT_TRUE(
      report.starts_with("---- failing::bare_condition ----\nfailed at "))
      << report;
}

TEST(RunnerProcess, ParallelCasesKeepTheirOutputApart) {
  const ProcessResult run =
      selftest({"parallel::", "--test-threads", "2", "--show-output"});
  ASSERT_EQ(run.exit_code, 0) << run.out;
  const std::string first = block_of(run.out, "successes", "parallel::first");
  const std::string second = block_of(run.out, "successes", "parallel::second");
  EXPECT_EQ(count_of(first, "first line "), 400u);
  EXPECT_EQ(count_of(first, "second line "), 0u);
  EXPECT_EQ(count_of(second, "second line "), 400u);
  EXPECT_EQ(count_of(second, "first line "), 0u);
  EXPECT_NE(first.find("first line 0\nfirst line 1\n"), std::string::npos);
  EXPECT_NE(first.find("first line 398\nfirst line 399"), std::string::npos);
}

TEST(RunnerProcess, ExitStatusReflectsUsage) {
  const ProcessResult help = selftest({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("Usage: "), std::string::npos);
  EXPECT_NE(help.out.find("--include-ignored"), std::string::npos);

  const ProcessResult bad = selftest({"--test-threads", "none"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_TRUE(
      bad.err.starts_with("error: --test-threads needs a positive "
                          "number, not 'none'\n"))
      << bad.err;
}

TEST(RunnerProcess, SurvivesAClosedStandardOutput) {
  ProcessOptions options;
  options.stdout_target = StdoutTarget::kClosedPipe;
  const ProcessResult run = selftest({"--test-threads", "4"}, options);
  EXPECT_EQ(run.signal, 0) << strsignal(run.signal);
  EXPECT_EQ(run.exit_code, 1);

  const ProcessResult passing = selftest({"passing::"}, options);
  EXPECT_EQ(passing.signal, 0);
  EXPECT_EQ(passing.exit_code, 0);
}

TEST(RunnerProcess, ChecksRecordedSourcePositions) {
  const ProcessResult run =
      selftest({"--check-locations", QUILLSTONE_DAT_SOURCE_DIR});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(count_of(run.out, " ... ok\n"), kCasesInSelftest - 1);
  EXPECT_NE(run.out.find("location of locations::misplaced ... WRONG\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(last_line(run.out), "locations: 15 right, 1 wrong");

  const ProcessResult right = selftest(
      {"--check-locations", QUILLSTONE_DAT_SOURCE_DIR, "--skip", "misplaced"});
  EXPECT_EQ(right.exit_code, 0) << right.out;

  const ProcessResult elsewhere =
      selftest({"--check-locations", "/nonexistent"});
  EXPECT_EQ(elsewhere.exit_code, 1);
}

}  // namespace
}  // namespace runner
