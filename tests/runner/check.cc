#include "runner/check.h"

#include <cstdio>

namespace runner {

void fail(std::string message, std::source_location where) {
  throw CheckFailure(std::move(message), where);
}

void check(bool condition, std::string_view condition_text,
           std::source_location where) {
  if (!condition) {
    fail("assertion failed: " + std::string(condition_text), where);
  }
}

std::string quoted(std::string_view text) {
  std::string result = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        result += "\\\"";
        break;
      case '\\':
        result += "\\\\";
        break;
      case '\n':
        result += "\\n";
        break;
      case '\r':
        result += "\\r";
        break;
      case '\t':
        result += "\\t";
        break;
      case '\0':
        result += "\\0";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u{%x}",
                        static_cast<unsigned>(static_cast<unsigned char>(c)));
          result += escape;
        } else {
          result += c;
        }
    }
  }
  result += '"';
  return result;
}

std::string debug_form(std::string_view text) { return runner::quoted(text); }

std::string debug_form(const char* text) {
  return runner::quoted(std::string_view(text));
}

std::string debug_form(const std::optional<std::string_view>& value) {
  return value ? "Some(" + runner::quoted(*value) + ")" : "None";
}

std::string debug_form(bool value) { return value ? "true" : "false"; }

std::string equality_report(std::string_view left, std::string_view right) {
  std::string report = "assertion `left == right` failed\n  left: ";
  report += left;
  report += "\n right: ";
  report += right;
  return report;
}

}  // namespace runner
