// The lines of a program's output, for tests that read what it printed.

#ifndef QUILLSTONE_DAT_TESTS_SUPPORT_LINES_H_
#define QUILLSTONE_DAT_TESTS_SUPPORT_LINES_H_

#include <sstream>
#include <string>
#include <vector>

namespace quillstone_dat::testing {

// The lines of `text`, without their line ends.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(std::move(line));
  }
  return lines;
}

// The last line of `text`; empty when it has none.
inline std::string last_line(const std::string& text) {
  const std::vector<std::string> lines = lines_of(text);
  return lines.empty() ? "" : lines.back();
}

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_SUPPORT_LINES_H_
