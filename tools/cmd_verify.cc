// `verify ARCHIVE [--json]`: runs the library's integrity check
// (quillstone_dat/archive_check.h) and prints its report, one line per
// problem or one JSON object. Exit status 0 means nothing was found.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "command.h"
#include "error_text.h"
#include "output.h"
#include "quillstone_dat/archive_check.h"

namespace quillstone_dat::tool {
namespace {

// An entry by its id; a directory node, which has none, by its offset.
std::string subject(const CheckProblem& problem) {
  if (problem.id) return fmt::format("{:08X}", *problem.id);
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

std::string render_json(const CheckReport& report) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const CheckProblem& problem : report.problems) {
    list.push_back(
        {{"id", problem.id ? nlohmann::ordered_json(*problem.id) : nullptr},
         {"offset", problem.offset},
         {"kind", to_string(problem.kind)},
         {"detail", problem.detail}});
  }
  const nlohmann::ordered_json object = {
      {"entries", report.entries},
      {"problems", std::move(list)},
      {"clean", report.clean()},
  };
  return object.dump(2) + "\n";
}

class VerifyCommand final : public Command {
 public:
  std::string_view name() const override { return "verify"; }
  std::string_view summary() const override {
    return "Read every entry and report broken or overlapping chains and "
           "bad compressed payloads";
  }
  std::string_view synopsis() const override { return "ARCHIVE [--json]"; }

  void configure(CLI::App& parser) override {
    parser.add_option("ARCHIVE", archive_, "Path of the DAT archive")
        ->required()
        ->type_name("PATH");
    parser.add_flag("--json", json_, "Write one JSON object");
  }

  ExitStatus run() const override {
    const auto report = check_archive(archive_);
    if (!report) {
      return report_error(report.error(), ErrorScene::open(archive_));
    }
    const ExitStatus written =
        write_stdout(json_ ? render_json(*report) : render_text(*report));
    if (written != ExitStatus::kSuccess) return written;
    return report->clean() ? ExitStatus::kSuccess : ExitStatus::kFailure;
  }

 private:
  std::string archive_;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> make_verify_command() {
  return std::make_unique<VerifyCommand>();
}

}  // namespace quillstone_dat::tool
