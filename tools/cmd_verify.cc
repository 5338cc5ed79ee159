// `verify ARCHIVE [ID|RANGE...] [--ids-from FILE] [--json]`: runs the
// library's integrity check (quillstone_dat/archive_check.h) and prints its
// report, one line per problem or one JSON object; with ids or ranges, only
// the problems of those entries and of the directory. The JSON report is
// written even when the archive cannot be opened. Exit status 0 means
// nothing was found.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "arguments.h"
#include "command.h"
#include "error_text.h"
#include "file_id.h"
#include "id_selection.h"
#include "output.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::tool {
namespace {

// The exit statuses differ from the other commands' in what 1 means.
constexpr std::string_view kVerifyExitStatuses =
    "Exit status:\n"
    "  0    nothing was found\n"
    "  1    problems were found, or the archive could not be checked\n"
    "  2    the command line was wrong\n"
    "  141  the reader of standard output went away (| head)\n";

// An entry by its id; a directory node, which has none, by its offset.
std::string subject(const CheckProblem& problem) {
  if (problem.id) return hex_id(*problem.id);
  return fmt::format("node 0x{:08X}", problem.offset);
}

std::string render_text(const CheckReport& report) {
  std::string text;
  for (const CheckProblem& problem : report.problems) {
    text += fmt::format("{}: {}: {}\n", subject(problem),
                        to_string(problem.kind), problem.detail);
  }
  const std::size_t count = report.problems.size();
  text += fmt::format("checked {} {}: {} {}\n", report.entries,
                      report.entries == 1 ? "entry" : "entries", count,
                      count == 1 ? "problem" : "problems");
  return text;
}

// `failure`, when not empty, says why there is no report.
std::string render_json(const CheckReport& report, std::string_view failure) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const CheckProblem& problem : report.problems) {
    using Json = nlohmann::ordered_json;
    list.push_back(
        {{"id", problem.id ? Json(*problem.id) : nullptr},
         {"id_hex", problem.id ? Json(hex_id(*problem.id)) : nullptr},
         {"offset", problem.offset},
         {"kind", to_string(problem.kind)},
         {"detail", problem.detail}});
  }
  nlohmann::ordered_json object = {
      {"entries", report.entries},
      {"problems", std::move(list)},
      {"clean", failure.empty() && report.clean()},
  };
  if (!failure.empty()) object["error"] = failure;
  return object.dump(2) + "\n";
}

// Only the problems of the selected entries, and of the directory, which
// concerns them all.
void keep_selected(CheckReport& report, const IdSelection::Match& match) {
  report.entries = match.entries.size();
  std::erase_if(report.problems, [&](const CheckProblem& problem) {
    return problem.id && !std::ranges::binary_search(match.entries, *problem.id,
                                                     {}, &DatFileEntry::id);
  });
}

class VerifyCommand final : public Command {
 public:
  std::string_view name() const override { return "verify"; }
  std::string_view summary() const override {
    return "Read every entry and report broken or overlapping chains and "
           "bad compressed payloads";
  }
  std::string_view synopsis() const override {
    return "ARCHIVE [ID|RANGE...] [--ids-from FILE] [--json]";
  }
  std::string_view example() const override {
    return "  quillstone-dat verify portal.dat\n"
           "  quillstone-dat verify portal.dat 06000000-06FFFFFF --json | "
           "jq '.problems[].id_hex'\n";
  }
  std::string_view exit_statuses() const override {
    return kVerifyExitStatuses;
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the DAT archive");
    selection_.configure(parser,
                         "Ids or ranges (06000000-06FFFFFF) to check; "
                         "default: all");
    parser.add_flag("--json", json_,
                    "Write one JSON object, also when the archive cannot be "
                    "opened");
  }

  ExitStatus run() const override {
    const ErrorScene scene = ErrorScene::open(archive_);
    const auto db = DatDatabase::open(archive_);
    auto report = db ? db->check() : std::unexpected(db.error());
    if (!report) return report_failure_as_json(report.error(), scene);
    const IdSelection::Match match = selection_.match(db->files());
    if (!selection_.empty()) keep_selected(*report, match);

    const ExitStatus written =
        write_stdout(json_ ? render_json(*report, "") : render_text(*report));
    if (written != ExitStatus::kSuccess) return written;
    report_missing(match.missing, archive_);
    return report->clean() && match.missing.empty() ? ExitStatus::kSuccess
                                                    : ExitStatus::kFailure;
  }

 private:
  // Scripts reading --json get a report whatever happens.
  ExitStatus report_failure_as_json(const DatError& error,
                                    const ErrorScene& scene) const {
    if (json_) {
      const ExitStatus written =
          write_stdout(render_json(CheckReport{}, describe(error, scene)));
      if (written != ExitStatus::kSuccess) return written;
    }
    return report_error(error, scene);
  }

  std::string archive_;
  IdSelection selection_;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> make_verify_command() {
  return std::make_unique<VerifyCommand>();
}

}  // namespace quillstone_dat::tool
