#include "id_selection.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <utility>

#include "error_text.h"

namespace quillstone_dat::tool {
namespace {

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r";
  const std::size_t begin = text.find_first_not_of(kSpace);
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(kSpace) - begin + 1);
}

}  // namespace

std::expected<void, std::string> IdSelection::add_list(std::istream& in,
                                                       std::string_view name) {
  std::vector<IdRange> listed;
  std::string line;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    const std::string_view text =
        trimmed(std::string_view(line).substr(0, line.find('#')));
    if (text.empty()) continue;
    const std::optional<IdRange> range = parse_id_range(text);
    if (!range) {
      return std::unexpected(fmt::format(
          "{}:{}: '{}' is not a file id or range", name, number, text));
    }
    listed.push_back(*range);
  }
  if (in.bad()) {
    return std::unexpected(fmt::format("{}: cannot read the list", name));
  }
  ranges_.insert(ranges_.end(), listed.begin(), listed.end());
  return {};
}

IdSelection::Match IdSelection::match(std::vector<DatFileEntry> entries) const {
  Match found;
  found.entries = std::move(entries);
  std::ranges::sort(found.entries, {}, &DatFileEntry::id);
  if (ranges_.empty()) return found;

  std::vector<DatFileEntry> all = std::move(found.entries);
  found.entries.clear();
  for (const IdRange& range : ranges_) {
    const auto begin =
        std::ranges::lower_bound(all, range.first, {}, &DatFileEntry::id);
    const auto end =
        std::ranges::upper_bound(all, range.last, {}, &DatFileEntry::id);
    const bool reported =
        std::ranges::any_of(found.missing, [&](const IdRange& seen) {
          return seen.first == range.first && seen.last == range.last;
        });
    if (begin == end && !reported) found.missing.push_back(range);
    found.entries.insert(found.entries.end(), begin, end);
  }
  std::ranges::sort(found.entries, {}, &DatFileEntry::id);
  const auto repeated =
      std::ranges::unique(found.entries, {}, &DatFileEntry::id);
  found.entries.erase(repeated.begin(), repeated.end());
  return found;
}

void IdSelection::configure(CLI::App& parser,
                            std::string_view positional_help) {
  parser.add_option("ID", texts_, std::string(positional_help))
      ->type_name("ID|RANGE")
      ->check(id_range_validator())
      ->each([this](const std::string& text) {
        // The validator has accepted the text already.
        add(*parse_id_range(text));
      });
  parser
      .add_option("--ids-from",
                  "File of ids and ranges, one a line, '#' comments; "
                  "- reads standard input")
      ->type_name("FILE")
      ->each([this](const std::string& path) {
        std::expected<void, std::string> added;
        if (path == "-") {
          added = add_list(std::cin, "standard input");
        } else {
          std::ifstream in(path);
          if (!in) {
            throw CLI::ValidationError(
                "--ids-from",
                fmt::format("{}: {}", path, std::strerror(errno)));
          }
          added = add_list(in, path);
        }
        if (!added) throw CLI::ValidationError("--ids-from", added.error());
      });
}

void report_missing(const std::vector<IdRange>& missing,
                    const std::filesystem::path& archive) {
  for (const IdRange& range : missing) {
    if (range.single()) {
      report_error(DatError::not_found(range.first), ErrorScene::open(archive));
    } else {
      report_failure(
          archive.string(),
          fmt::format("no file in {} in the archive", shown_range(range)));
    }
  }
}

}  // namespace quillstone_dat::tool
