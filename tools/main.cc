// quillstone-dat: a command-line tool over the archive library.
// It parses the command line, hands it to the chosen command and turns the
// outcome into the exit status: 0 success, 1 an error from the library or
// from writing the output, 2 a usage error.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <array>
#include <csignal>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "output.h"

namespace quillstone_dat::tool {
namespace {

constexpr std::string_view kToolName = "quillstone-dat";

using CommandFactory = std::unique_ptr<Command> (*)();
constexpr std::array<CommandFactory, 7> kCommandFactories = {
    make_info_command,
    make_ls_command,
    make_cat_command,
    make_pack_command,
    make_extract_command,
    make_verify_command,
    make_sample_command,
};

struct RegisteredCommand {
  std::unique_ptr<Command> command;
  CLI::App* parser;
};

std::string command_names(const std::vector<RegisteredCommand>& commands) {
  std::string names;
  for (const RegisteredCommand& entry : commands) {
    if (!names.empty()) names += ", ";
    names += entry.command->name();
  }
  return names;
}

// A usage error: what was wrong, then the usage of the command the user
// chose, or the list of commands when none was recognised.
ExitStatus report_usage_error(const CLI::App& app, const CLI::ParseError& error,
                              const std::vector<RegisteredCommand>& commands,
                              int argc, char** argv) {
  const std::vector<CLI::App*> chosen = app.get_subcommands();
  std::string text;
  if (chosen.empty()) {
    const std::string_view first = argc > 1 ? argv[1] : "";
    text = !first.empty() && !first.starts_with('-')
               ? fmt::format("{}: unknown command '{}'\n", kToolName, first)
               : fmt::format("{}: {}\n", kToolName, error.what());
    text += fmt::format("usage: {} COMMAND ARCHIVE [ARGS...]  (commands: {})\n",
                        kToolName, command_names(commands));
  } else {
    text = fmt::format("{}: {}\n", kToolName, error.what());
    for (const RegisteredCommand& entry : commands) {
      if (entry.parser == chosen.front()) {
        text += fmt::format("usage: {} {} {}\n", kToolName,
                            entry.command->name(), entry.command->synopsis());
      }
    }
  }
  text += fmt::format("Run '{} --help' for more.\n", kToolName);
  fmt::print(stderr, "{}", text);
  return ExitStatus::kUsage;
}

ExitStatus run(int argc, char** argv) {
  CLI::App app(
      "Reads, checks and builds DAT archives: the header, the directory and "
      "the files.",
      std::string(kToolName));
  app.set_version_flag("--version",
                       fmt::format("{} {}", kToolName, QUILLSTONE_DAT_VERSION));
  app.require_subcommand(1);

  std::vector<RegisteredCommand> commands;
  for (const CommandFactory make : kCommandFactories) {
    std::unique_ptr<Command> command = make();
    CLI::App* parser = app.add_subcommand(std::string(command->name()),
                                          std::string(command->summary()));
    command->configure(*parser);
    commands.push_back({std::move(command), parser});
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() != static_cast<int>(CLI::ExitCodes::Success)) {
      return report_usage_error(app, error, commands, argc, argv);
    }
    // --help or --version: the text goes through the checked writer too.
    std::ostringstream out;
    std::ostringstream ignored;
    app.exit(error, out, ignored);
    return write_stdout(out.str());
  }

  for (const RegisteredCommand& entry : commands) {
    if (entry.parser->parsed()) return entry.command->run();
  }
  return ExitStatus::kUsage;  // require_subcommand(1) leaves no other way
}

}  // namespace
}  // namespace quillstone_dat::tool

int main(int argc, char** argv) {
  // A closed pipe must come back from write() as EPIPE, to be reported like
  // any failed write, instead of ending the process silently.
  std::signal(SIGPIPE, SIG_IGN);
  return static_cast<int>(quillstone_dat::tool::run(argc, argv));
}
