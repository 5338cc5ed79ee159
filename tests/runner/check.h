// Checks for test cases run by the fixture runner. A failed check throws
// CheckFailure, which stops the case (its locals are released as the
// exception unwinds) and is reported by the runner with its message and the
// check's source location; the other cases run on.

#ifndef QUILLSTONE_DAT_TESTS_RUNNER_CHECK_H_
#define QUILLSTONE_DAT_TESTS_RUNNER_CHECK_H_

#include <concepts>
#include <expected>
#include <optional>
#include <ostream>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace runner {

class CheckFailure : public std::runtime_error {
 public:
  CheckFailure(std::string message, std::source_location where)
      : std::runtime_error(std::move(message)), where_(where) {}
  const std::source_location& where() const { return where_; }

 private:
  std::source_location where_;
};

// The current case's standard output: captured per case by the runner, or
// the process's standard output when capture is off or no case is running.
std::ostream& out();

// Ends the case with `message`.
[[noreturn]] void fail(
    std::string message,
    std::source_location where = std::source_location::current());

// Ends the case with "assertion failed: " + `condition_text` when
// `condition` is false; `condition_text` is the condition as written.
void check(bool condition, std::string_view condition_text,
           std::source_location where = std::source_location::current());

// Debug forms of values in equality reports. Types of other namespaces
// supply their own `debug_form`, found by argument-dependent lookup.
std::string quoted(std::string_view text);
std::string debug_form(std::string_view text);
// Without this, a string literal would take the bool overload.
std::string debug_form(const char* text);
std::string debug_form(const std::optional<std::string_view>& value);
std::string debug_form(bool value);
template <std::integral T>
  requires(!std::same_as<T, bool>)
std::string debug_form(T value) {
  return std::to_string(value);
}

// "assertion `left == right` failed", then the two values, labels aligned.
std::string equality_report(std::string_view left, std::string_view right);

// Ends the case with the equality report unless `left == right`; `left` is
// the value under test, `right` the expected one.
template <typename Left, typename Right>
void check_eq(const Left& left, const Right& right,
              std::source_location where = std::source_location::current()) {
  if (left == right) return;
  fail(equality_report(debug_form(left), debug_form(right)), where);
}

// The value of `result`, or ends the case with `text` + ": " + the error's
// debug form.
template <typename T, typename E>
T check_ok(std::expected<T, E> result, std::string_view text,
           std::source_location where = std::source_location::current()) {
  if (!result) fail(std::string(text) + ": " + result.error().debug(), where);
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace runner

#endif  // QUILLSTONE_DAT_TESTS_RUNNER_CHECK_H_
