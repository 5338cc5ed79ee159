#include "runner/runner.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runner/case_output.h"
#include "runner/check.h"
#include "runner/locations.h"

namespace runner {
namespace {

constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// How a case function ended when it did not return.
struct Failure {
  std::string message;  // what an expected failure's text is matched with
  std::string report;   // what the failure report shows
};

struct Outcome {
  bool passed = false;
  std::string output;
  std::string report;
};

std::optional<Failure> call_case(void (*function)()) {
  if (function == nullptr) return Failure{"", "the case has no function"};
  try {
    function();
    return std::nullopt;
  } catch (const CheckFailure& failure) {
    const std::source_location& where = failure.where();
    return Failure{failure.what(),
                   "failed at " + std::string(where.file_name()) + ":" +
                       std::to_string(where.line()) + ":" +
                       std::to_string(where.column()) + ":\n" + failure.what()};
  } catch (const std::exception& error) {
    return Failure{
        error.what(),
        std::string("failed with an uncaught exception:\n") + error.what()};
  } catch (...) {
    return Failure{"", "failed with an uncaught exception of unknown type"};
  }
}

// Holds the case's ending against what its record expects: nothing when
// the case passed, else the failure report.
std::optional<std::string> judge(const ExpectedFailure& expected,
                                 const std::optional<Failure>& failure) {
  switch (expected.kind) {
    case ExpectedFailure::Kind::kNone:
      if (!failure) return std::nullopt;
      return failure->report;
    case ExpectedFailure::Kind::kAny:
      if (failure) return std::nullopt;
      return "returned, but was expected to fail";
    case ExpectedFailure::Kind::kContaining:
      if (!failure) {
        return "returned, but was expected to fail with a message "
               "containing " +
               runner::quoted(expected.text);
      }
      if (failure->message.find(expected.text) != std::string::npos) {
        return std::nullopt;
      }
      return failure->report +
             "\nnote: the failure message was expected to contain " +
             runner::quoted(expected.text);
  }
  return "unknown expected failure kind";
}

// Runs one case with its output sent to its own buffer, or passed through
// line by line under --nocapture.
Outcome run_case(const TestCase& test_case, const RunOptions& options,
                 std::ostream& report, std::mutex& report_lock) {
  std::ostringstream captured;
  LineForwardingBuffer forwarding(report, report_lock);
  std::ostream passed_through(&forwarding);
  std::ostream& sink =
      options.capture ? static_cast<std::ostream&>(captured) : passed_through;

  std::optional<Failure> failure;
  {
    const CaseOutputScope scope(sink);
    failure = call_case(test_case.function);
  }
  sink.flush();
  const std::optional<std::string> report_text =
      judge(test_case.expected_failure, failure);
  return Outcome{.passed = !report_text,
                 .output = std::move(captured).str(),
                 .report = report_text.value_or("")};
}

// Runs `selected` on up to `threads` workers; each result line is printed
// as its case ends.
std::vector<Outcome> run_all(const std::vector<const TestCase*>& selected,
                             const RunOptions& options, std::size_t threads,
                             std::ostream& report, std::mutex& report_lock) {
  std::vector<Outcome> outcomes(selected.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < selected.size(); i = next++) {
      outcomes[i] = run_case(*selected[i], options, report, report_lock);
      const std::scoped_lock hold(report_lock);
      report << "test " << selected[i]->name << " ... "
             << (outcomes[i].passed ? "ok" : "FAILED") << std::endl;
    }
  };
  {
    std::vector<std::jthread> workers;
    const std::size_t count = std::min(threads, selected.size());
    workers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) workers.emplace_back(work);
  }  // joins the workers
  return outcomes;
}

std::size_t default_threads() {
  return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

// The passed (or failed) cases, each with its output and report, then
// their names.
void print_section(std::string_view title,
                   const std::vector<const TestCase*>& selected,
                   const std::vector<Outcome>& outcomes, bool passed,
                   bool captured, std::ostream& report) {
  std::vector<std::string_view> names;
  for (std::size_t i = 0; i < selected.size(); ++i) {
    if (outcomes[i].passed == passed) names.push_back(selected[i]->name);
  }
  if (names.empty()) return;
  report << "\n" << title << ":\n";
  for (std::size_t i = 0; i < selected.size(); ++i) {
    const Outcome& outcome = outcomes[i];
    if (outcome.passed != passed) continue;
    report << "\n---- " << selected[i]->name << (captured ? " stdout" : "")
           << " ----\n"
           << outcome.output;
    if (!outcome.output.empty() && !outcome.output.ends_with('\n')) {
      report << '\n';
    }
    if (!outcome.report.empty()) report << outcome.report << '\n';
  }
  report << "\n" << title << ":\n";
  for (const std::string_view name : names) report << "    " << name << '\n';
}

int check_locations(const std::vector<const TestCase*>& cases,
                    const std::filesystem::path& root, std::ostream& report) {
  std::size_t wrong = 0;
  for (const TestCase* test_case : cases) {
    const std::optional<std::string> mismatch =
        location_mismatch(*test_case, root);
    report << "location of " << test_case->name << " ... "
           << (mismatch ? "WRONG" : "ok") << '\n';
    if (mismatch) {
      report << "    " << *mismatch << '\n';
      ++wrong;
    }
  }
  report << "locations: " << cases.size() - wrong << " right, " << wrong
         << " wrong" << std::endl;
  return wrong == 0 ? kExitPassed : kExitFailed;
}

}  // namespace

int run_cases(const RunOptions& options, std::span<const TestCase> cases,
              std::ostream& report) {
  // The cases whose names pass the filters and that --ignored leaves in,
  // split into those to run and the ignored ones only to report.
  std::vector<const TestCase*> named;
  std::vector<const TestCase*> to_run;
  std::vector<const TestCase*> ignored;
  for (const TestCase& test_case : cases) {
    if (!options.selects(test_case.name)) continue;
    if (options.ignored == IgnoredCases::kOnly && !test_case.ignore) continue;
    named.push_back(&test_case);
    if (test_case.ignore && options.ignored == IgnoredCases::kSkip) {
      ignored.push_back(&test_case);
    } else {
      to_run.push_back(&test_case);
    }
  }
  const std::size_t filtered_out = cases.size() - named.size();

  if (options.list) {
    for (const TestCase* test_case : named) report << test_case->name << '\n';
    report.flush();
    return kExitPassed;
  }
  if (options.check_locations) {
    return check_locations(named, *options.check_locations, report);
  }

  std::mutex report_lock;
  report << "running " << to_run.size()
         << (to_run.size() == 1 ? " case" : " cases") << '\n';
  for (const TestCase* test_case : ignored) {
    report << "test " << test_case->name << " ... ignored";
    if (test_case->ignore_message) report << ", " << *test_case->ignore_message;
    report << '\n';
  }
  report.flush();

  const std::vector<Outcome> outcomes =
      run_all(to_run, options, options.test_threads.value_or(default_threads()),
              report, report_lock);

  if (options.show_output) {
    print_section("successes", to_run, outcomes, true, options.capture, report);
  }
  print_section("failures", to_run, outcomes, false, options.capture, report);

  const auto passed = static_cast<std::size_t>(std::ranges::count_if(
      outcomes, [](const Outcome& outcome) { return outcome.passed; }));
  const std::size_t failed = outcomes.size() - passed;
  report << "\nresult: " << passed << " passed, " << failed << " failed, "
         << ignored.size() + filtered_out << " skipped" << std::endl;
  return failed == 0 ? kExitPassed : kExitFailed;
}

int run_cases(int argc, char** argv, std::span<const TestCase> cases) {
  std::signal(SIGPIPE, SIG_IGN);
  const std::span<char*> arguments(argv, static_cast<std::size_t>(argc));
  const std::string_view program =
      arguments.empty() ? "fixtures" : std::string_view(arguments.front());
  std::vector<std::string_view> args;
  for (const char* argument : arguments.subspan(arguments.empty() ? 0 : 1)) {
    args.emplace_back(argument);
  }

  const std::expected<RunOptions, std::string> options = parse_options(args);
  if (!options) {
    std::cerr << "error: " << options.error() << "\n\n" << usage(program);
    return kExitUsage;
  }
  if (options->help) {
    std::cout << usage(program) << std::flush;
    return kExitPassed;
  }
  return run_cases(*options, cases, std::cout);
}

}  // namespace runner
