// Command is one subcommand of the quillstone-dat tool. main() gives each
// command its own CLI11 subcommand parser to declare its arguments on, and
// runs the one the user chose once the command line has parsed cleanly.
//
// Adding a command: write cmd_<name>.cc with a Command subclass and its
// factory, declare the factory below, and list it in main.cc.

#ifndef QUILLSTONE_DAT_TOOLS_COMMAND_H_
#define QUILLSTONE_DAT_TOOLS_COMMAND_H_

#include <memory>
#include <string_view>

namespace CLI {
class App;
}  // namespace CLI

namespace quillstone_dat::tool {

// The process exit status. Scripts rely on these values.
enum class ExitStatus : int {
  kSuccess = 0,
  kFailure = 1,  // the library or the output reported an error
  kUsage = 2,    // the command line was wrong
  // The reader of standard output went away (`| head`): what a tool ended
  // by SIGPIPE reports to its shell, 128 + 13.
  kBrokenPipe = 141,
};

// The end of every command's --help.
inline constexpr std::string_view kExitStatuses =
    "Exit status:\n"
    "  0    success\n"
    "  1    the archive, a file or the output failed; a message says why\n"
    "  2    the command line was wrong\n"
    "  141  the reader of standard output went away (| head)\n";

class Command {
 public:
  virtual ~Command() = default;

  virtual std::string_view name() const = 0;
  // One line for the tool's help.
  virtual std::string_view summary() const = 0;
  // The arguments, as shown after a usage error: "ARCHIVE ID [--raw]".
  virtual std::string_view synopsis() const = 0;
  // More about the output for --help, or nothing; ends in a newline.
  virtual std::string_view details() const { return ""; }
  // Lines of examples for --help, each indented and ending in a newline.
  virtual std::string_view example() const { return ""; }
  // What the exit statuses mean, for --help.
  virtual std::string_view exit_statuses() const { return kExitStatuses; }

  // Declares the command's arguments on `parser`, bound to members of this
  // object; the command must outlive the parse.
  virtual void configure(CLI::App& parser) = 0;

  // Runs with the parsed arguments. Reports its own failures on stderr.
  virtual ExitStatus run() const = 0;
};

std::unique_ptr<Command> make_info_command();
std::unique_ptr<Command> make_ls_command();
std::unique_ptr<Command> make_cat_command();
std::unique_ptr<Command> make_pack_command();
std::unique_ptr<Command> make_extract_command();
std::unique_ptr<Command> make_verify_command();
std::unique_ptr<Command> make_sample_command();
std::unique_ptr<Command> make_add_command();
std::unique_ptr<Command> make_rm_command();
std::unique_ptr<Command> make_compact_command();
std::unique_ptr<Command> make_diff_command();
std::unique_ptr<Command> make_apply_command();
// Built where libfuse3 is (QUILLSTONE_DAT_BUILD_MOUNT).
std::unique_ptr<Command> make_mount_command();
std::unique_ptr<Command> make_umount_command();

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_COMMAND_H_
