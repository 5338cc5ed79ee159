#include "runner/locations.h"

#include <cctype>
#include <fstream>
#include <string_view>

#include "runner/check.h"

namespace runner {
namespace {

bool is_identifier_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

std::string position_text(const TestCase& test_case) {
  return std::string(test_case.source_path) + ":" +
         std::to_string(test_case.start_line) + ":" +
         std::to_string(test_case.start_col);
}

}  // namespace

std::optional<std::string> location_mismatch(
    const TestCase& test_case, const std::filesystem::path& root) {
  const std::string_view name = function_name(test_case.name);
  const std::string where = position_text(test_case);
  if (test_case.start_line == 0 || test_case.start_col == 0 ||
      test_case.end_line != test_case.start_line ||
      test_case.end_col != test_case.start_col + name.size()) {
    return where + ": the recorded span " +
           std::to_string(test_case.start_line) + ":" +
           std::to_string(test_case.start_col) + "-" +
           std::to_string(test_case.end_line) + ":" +
           std::to_string(test_case.end_col) + " cannot frame " +
           runner::quoted(name);
  }

  std::ifstream source(root / test_case.source_path);
  if (!source) return where + ": cannot read the file";
  std::string line;
  for (std::size_t number = 1; number <= test_case.start_line; ++number) {
    if (!std::getline(source, line)) return where + ": the file is shorter";
  }

  const std::size_t begin = test_case.start_col - 1;
  const std::size_t end = begin + name.size();
  const std::string_view text = line;
  const bool framed = end <= text.size() &&
                      text.substr(begin, name.size()) == name &&
                      (begin == 0 || !is_identifier_char(text[begin - 1])) &&
                      (end == text.size() || !is_identifier_char(text[end]));
  if (framed) return std::nullopt;
  return where + ": expected " + runner::quoted(name) +
         " there, the line reads " + runner::quoted(line);
}

}  // namespace runner
