// quillstone-dat: a command-line tool over the archive library.
// It parses the command line, hands it to the chosen command and turns the
// outcome into the exit status: 0 success, 1 an error from the library or
// from writing the output, 2 a usage error, 141 when the reader of the
// output went away. The global option --debug, before the command, shows
// errors in their debug form.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <array>
#include <csignal>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "error_text.h"
#include "output.h"

namespace quillstone_dat::tool {
namespace {

using CommandFactory = std::unique_ptr<Command> (*)();
constexpr auto kCommandFactories = std::to_array<CommandFactory>({
    make_info_command,    make_ls_command,      make_cat_command,
    make_pack_command,    make_extract_command, make_verify_command,
    make_sample_command,  make_add_command,     make_rm_command,
    make_compact_command, make_diff_command,    make_apply_command,
#ifdef QUILLSTONE_DAT_HAVE_MOUNT
    make_mount_command,   make_umount_command,
#endif
});

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
    // The first word that is no option names the command.
    std::string_view first;
    for (int i = 1; i < argc && first.empty(); ++i) {
      if (!std::string_view(argv[i]).starts_with('-')) first = argv[i];
    }
    text = !first.empty()
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
  app.set_version_flag("-V,--version",
                       fmt::format("{} {}", kToolName, QUILLSTONE_DAT_VERSION));
  CLI::Option* const debug = app.add_flag("--debug")->description(
      "Show errors as 'error: ' and their debug form, for scripts and "
      "bug reports; give it before the command");
  app.require_subcommand(1);
  app.footer(std::string(kExitStatuses));

  std::vector<RegisteredCommand> commands;
  for (const CommandFactory make : kCommandFactories) {
    std::unique_ptr<Command> command = make();
    CLI::App* parser = app.add_subcommand(std::string(command->name()),
                                          std::string(command->summary()));
    command->configure(*parser);
    const std::string_view details = command->details();
    parser->footer(fmt::format("{}{}Example:\n{}\n{}", details,
                               details.empty() ? "" : "\n", command->example(),
                               command->exit_statuses()));
    commands.push_back({std::move(command), parser});
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() != static_cast<int>(CLI::ExitCodes::Success)) {
      return report_usage_error(app, error, commands, argc, argv);
    }
    // --help or --version: the text goes through the checked writer too,
    // whose errors follow --debug when it came first.
    if (debug->count() > 0) set_error_style(ErrorStyle::kDebug);
    std::ostringstream out;
    std::ostringstream ignored;
    app.exit(error, out, ignored);
    return write_stdout(out.str());
  }

  set_error_style(debug->count() > 0 ? ErrorStyle::kDebug : ErrorStyle::kPlain);
  for (const RegisteredCommand& entry : commands) {
    if (entry.parser->parsed()) return entry.command->run();
  }
  return ExitStatus::kUsage;  // require_subcommand(1) leaves no other way
}

}  // namespace
}  // namespace quillstone_dat::tool

int main(int argc, char** argv) {
  // A closed pipe must come back from write() as EPIPE, so that the command
  // can stop in order (status 141) and tell it from a full disk.
  std::signal(SIGPIPE, SIG_IGN);
  return static_cast<int>(quillstone_dat::tool::run(argc, argv));
}
