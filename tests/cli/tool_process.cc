#include "cli/tool_process.h"

namespace quillstone_dat::testing {
namespace {

std::vector<std::string> tool_argv(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {QUILLSTONE_DAT_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

ProcessResult run_tool(const std::vector<std::string>& args,
                       StdoutTarget target) {
  ProcessOptions options;
  options.stdout_target = target;
  return run_process(tool_argv(args), options);
}

ProcessResult run_tool_with_input(const std::vector<std::string>& args,
                                  const std::string& input) {
  ProcessOptions options;
  options.input = input;
  return run_process(tool_argv(args), options);
}

ChildProcess start_tool(const std::vector<std::string>& args) {
  return ChildProcess(tool_argv(args));
}

}  // namespace quillstone_dat::testing
