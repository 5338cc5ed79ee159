#include "runner/options.h"

#include <algorithm>
#include <charconv>

namespace runner {
namespace {

bool matches(std::string_view name, std::string_view pattern, bool exact) {
  return exact ? name == pattern : name.find(pattern) != std::string_view::npos;
}

std::optional<std::size_t> positive_count(std::string_view text) {
  std::size_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value == 0) return std::nullopt;
  return value;
}

}  // namespace

bool RunOptions::selects(std::string_view name) const {
  const auto hit = [&](const std::string& pattern) {
    return matches(name, pattern, exact);
  };
  if (!filters.empty() && std::ranges::none_of(filters, hit)) return false;
  return std::ranges::none_of(skips, hit);
}

std::expected<RunOptions, std::string> parse_options(
    std::span<const std::string_view> args) {
  RunOptions options;
  bool only_filters = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (only_filters || !arg.starts_with("-") || arg == "-") {
      options.filters.emplace_back(arg);
      continue;
    }
    // Options that take a value accept it as "--name=value" or as the next
    // argument.
    std::string_view option = arg;
    std::optional<std::string_view> value;
    if (const std::size_t equals = arg.find('=');
        equals != std::string_view::npos) {
      option = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    const bool takes_value = option == "--skip" || option == "--test-threads" ||
                             option == "--check-locations";
    if (value && !takes_value) {
      return std::unexpected("option " + std::string(option) +
                             " takes no value");
    }
    if (takes_value && !value) {
      if (i + 1 == args.size()) {
        return std::unexpected("option " + std::string(option) +
                               " needs a value");
      }
      value = args[++i];
    }

    if (option == "--") {
      only_filters = true;
    } else if (option == "--exact") {
      options.exact = true;
    } else if (option == "--list") {
      options.list = true;
    } else if (option == "--help" || option == "-h") {
      options.help = true;
    } else if (option == "--ignored" || option == "--include-ignored") {
      const IgnoredCases wanted =
          option == "--ignored" ? IgnoredCases::kOnly : IgnoredCases::kInclude;
      if (options.ignored != IgnoredCases::kSkip && options.ignored != wanted) {
        return std::unexpected(
            "--ignored and --include-ignored cannot be combined");
      }
      options.ignored = wanted;
    } else if (option == "--nocapture") {
      options.capture = false;
    } else if (option == "--show-output") {
      options.show_output = true;
    } else if (option == "--skip") {
      options.skips.emplace_back(*value);
    } else if (option == "--test-threads") {
      const std::optional<std::size_t> count = positive_count(*value);
      if (!count) {
        return std::unexpected("--test-threads needs a positive number, not '" +
                               std::string(*value) + "'");
      }
      options.test_threads = count;
    } else if (option == "--check-locations") {
      options.check_locations.emplace(*value);
    } else {
      return std::unexpected("unknown option " + std::string(option));
    }
  }
  return options;
}

std::string usage(std::string_view program) {
  return "Usage: " + std::string(program) + R"( [OPTIONS] [FILTER...]

Runs the cases whose names contain any FILTER (every case when none is given)
and prints one result line per case, the failures with their output, and a
last line "result: N passed, M failed, K skipped". The exit status is 0 only
when every selected case passed.

Options:
  --exact                  match filters and skip texts against whole names
  --skip TEXT              leave out cases whose names contain TEXT
                           (repeatable)
  --list                   print the selected cases' names, run nothing
  --ignored                run only the ignored cases
  --include-ignored        run the ignored cases as well
  --test-threads N         run N cases at a time (default: hardware threads)
  --nocapture              let case output through as it is printed
  --show-output            show the captured output of passing cases too
  --check-locations ROOT   check that each selected case's recorded source
                           position names its function, under ROOT
  -h, --help               print this text
)";
}

}  // namespace runner
