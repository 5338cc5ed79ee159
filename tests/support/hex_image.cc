#include "support/hex_image.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace quillstone_dat::testing {
namespace {

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One row of a dump: its offset, then each byte or "--" where it is missing.
std::string dump_row(std::span<const std::uint8_t> bytes, std::size_t at) {
  char text[16];
  std::snprintf(text, sizeof text, "%06zX:", at);
  std::string row = text;
  for (std::size_t i = at; i < at + 16; ++i) {
    if (i < bytes.size()) {
      std::snprintf(text, sizeof text, " %02X", bytes[i]);
      row += text;
    } else {
      row += " --";
    }
  }
  return row;
}

}  // namespace

Bytes hex_bytes(std::string_view hex) {
  Bytes out;
  int high = -1;
  for (const char c : hex) {
    if (c == ' ' || c == '\t') {
      if (high >= 0) throw std::invalid_argument("odd hex digit");
      continue;
    }
    const int value = digit_value(c);
    if (value < 0) {
      throw std::invalid_argument("not a hex digit: " + std::string(1, c));
    }
    if (high < 0) {
      high = value;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | value));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex digit at the end");
  return out;
}

Bytes hex_image(std::size_t size, std::string_view rows) {
  Bytes image(size);
  while (!rows.empty()) {
    const std::size_t end = std::min(rows.find('\n'), rows.size());
    std::string_view line = rows.substr(0, end);
    rows.remove_prefix(std::min(end + 1, rows.size()));
    line = line.substr(0, line.find('#'));
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;

    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      throw std::invalid_argument("no offset in row: " + std::string(line));
    }
    std::size_t at = 0;
    for (const char c : line.substr(0, colon)) {
      if (c == ' ') continue;
      const int value = digit_value(c);
      if (value < 0) {
        throw std::invalid_argument("bad offset in row: " + std::string(line));
      }
      at = at * 16 + static_cast<std::size_t>(value);
    }
    const Bytes bytes = hex_bytes(line.substr(colon + 1));
    if (at + bytes.size() > size) {
      throw std::invalid_argument("row past the image's end: " +
                                  std::string(line));
    }
    std::ranges::copy(bytes, image.data() + at);
  }
  return image;
}

std::string byte_differences(std::span<const std::uint8_t> actual,
                             std::span<const std::uint8_t> expected) {
  if (std::ranges::equal(actual, expected)) return "";
  std::string out = std::to_string(actual.size()) + " bytes, " +
                    std::to_string(expected.size()) + " expected";
  constexpr int kRowsShown = 8;
  int shown = 0;
  const std::size_t longer = std::max(actual.size(), expected.size());
  for (std::size_t at = 0; at < longer && shown < kRowsShown; at += 16) {
    const std::string got = dump_row(actual, at);
    const std::string want = dump_row(expected, at);
    if (got == want) continue;
    out += "\n  actual   " + got + "\n  expected " + want;
    ++shown;
  }
  return out;
}

}  // namespace quillstone_dat::testing
