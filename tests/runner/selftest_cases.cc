// A small executable of cases that pass and fail on purpose, for testing the
// fixture runner from outside: each case shows one way a case can end.

#include <chrono>
#include <condition_variable>
#include <expected>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "runner/check.h"
#include "runner/runner.h"
#include "runner/test_case.h"

namespace {

struct FakeError {
  std::string debug() const { return "NotFound(255)"; }
};

// Prints when it goes, so the runner's tests can see a failed case's locals
// released.
class Guard {
 public:
  ~Guard() { runner::out() << "guard released\n"; }
};

// Two cases that each wait for the other: they pass only when the runner
// runs them at the same time.
class Rendezvous {
 public:
  bool meet() {
    std::unique_lock hold(lock_);
    ++arrived_;
    arrived_changed_.notify_all();
    return arrived_changed_.wait_for(hold, std::chrono::seconds(30),
                                     [this] { return arrived_ >= 2; });
  }

 private:
  std::mutex lock_;
  std::condition_variable arrived_changed_;
  int arrived_ = 0;
};

Rendezvous rendezvous;

void parallel_case(std::string_view label) {
  for (int i = 0; i < 200; ++i) runner::out() << label << " line " << i << "\n";
  runner::check(rendezvous.meet(), "rendezvous.meet()");
  for (int i = 200; i < 400; ++i)
    runner::out() << label << " line " << i << "\n";
}

namespace parallel {
void first() { parallel_case("first"); }
void second() { parallel_case("second"); }
}  // namespace parallel

namespace passing {
void prints_and_passes() { runner::out() << "hello from a passing case\n"; }
void silent() {}
}  // namespace passing

namespace failing {
void bare_condition() {
  runner::out() << "before the check\n";
  const int two = 2;
  runner::check(two + 2 == 5, "two + 2 == 5");
  runner::out() << "after the check\n";
}
void equality_report() {
  using Name = std::optional<std::string_view>;
  runner::check_eq(Name("Off"), Name());
}
void error_result() {
  const std::expected<int, FakeError> result = std::unexpected(FakeError{});
  runner::check_ok(result, "Should be able to read data");
}
void throws_exception() { throw std::runtime_error("disk on fire"); }
void releases_resources() {
  const Guard guard;
  runner::fail("stopped early");
}
}  // namespace failing

namespace ignored {
void with_reason() { runner::out() << "ignored case ran\n"; }
void without_reason() { runner::out() << "ignored case ran\n"; }
}  // namespace ignored

namespace expected {
void any_failure() { runner::fail("fails as it should"); }
void containing_text() { throw std::runtime_error("disk on fire"); }
void wrong_text() { runner::fail("disk on fire"); }
void but_returned() {}
}  // namespace expected

namespace locations {
void misplaced() {}
}  // namespace locations

}  // namespace

namespace {

using runner::ExpectedFailure;
using runner::TestCase;

constexpr std::string_view kPath = "tests/runner/selftest_cases.cc";

constexpr TestCase unit(std::string_view name, std::size_t line,
                        std::size_t column, void (*function)(),
                        ExpectedFailure expected = ExpectedFailure::none()) {
  TestCase test_case =
      runner::integration_case(name, kPath, line, column, function);
  test_case.kind = runner::CaseKind::kUnit;
  test_case.expected_failure = expected;
  return test_case;
}

constexpr TestCase as_ignored(TestCase test_case,
                              std::optional<std::string_view> message) {
  test_case.ignore = true;
  test_case.ignore_message = message;
  return test_case;
}

// The parallel pair comes first, so that workers take both at once.
constexpr TestCase kCases[] = {
    unit("parallel::first", 58, 6, parallel::first),
    unit("parallel::second", 59, 6, parallel::second),
    unit("passing::prints_and_passes", 63, 6, passing::prints_and_passes),
    unit("passing::silent", 64, 6, passing::silent),
    unit("failing::bare_condition", 68, 6, failing::bare_condition),
    unit("failing::equality_report", 74, 6, failing::equality_report),
    unit("failing::error_result", 78, 6, failing::error_result),
    unit("failing::throws_exception", 82, 6, failing::throws_exception),
    unit("failing::releases_resources", 83, 6, failing::releases_resources),
    as_ignored(unit("ignored::with_reason", 90, 6, ignored::with_reason),
               "needs a real archive"),
    as_ignored(unit("ignored::without_reason", 91, 6, ignored::without_reason),
               std::nullopt),
    unit("expected::any_failure", 95, 6, expected::any_failure,
         ExpectedFailure::any()),
    unit("expected::containing_text", 96, 6, expected::containing_text,
         ExpectedFailure::containing("on fire")),
    unit("expected::wrong_text", 97, 6, expected::wrong_text,
         ExpectedFailure::containing("under water")),
    unit("expected::but_returned", 98, 6, expected::but_returned,
         ExpectedFailure::any()),
    // Recorded one line below its real place, for --check-locations.
    unit("locations::misplaced", 103, 6, locations::misplaced),
};

}  // namespace

int main(int argc, char** argv) {
  return runner::run_cases(argc, argv, kCases);
}
