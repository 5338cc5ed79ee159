// How the tool reports a failure: one line on standard error in plain
// words, "quillstone-dat: FILE: what is wrong". What is wrong with an
// archive is the library's DatError::message(); the tool adds the file it
// was working on and, for its own inputs and outputs, what it was doing
// with them. After the global --debug option each DatError is shown
// instead as "error: " and its debug form, unchanged, for scripts and bug
// reports.

#ifndef QUILLSTONE_DAT_TOOLS_ERROR_TEXT_H_
#define QUILLSTONE_DAT_TOOLS_ERROR_TEXT_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "command.h"
#include "quillstone_dat/error.h"

namespace quillstone_dat::tool {

inline constexpr std::string_view kToolName = "quillstone-dat";

// Chosen once by main() before any command runs.
enum class ErrorStyle : std::uint8_t { kPlain, kDebug };
void set_error_style(ErrorStyle style);
ErrorStyle error_style();

// What the tool was doing when an error came back.
struct ErrorScene {
  enum class Action : std::uint8_t {
    kOpenArchive,  // opening `file` as an archive and walking its directory
    kReadEntry,    // reading an entry of the archive `file`
    kReadFile,     // reading `file`, an input
    kWriteFile,    // writing `file`
  };

  Action action = Action::kOpenArchive;
  std::filesystem::path file;
  // Put before the debug form: "0000002A: " for a file of a batch.
  std::string debug_label;

  static ErrorScene open(std::filesystem::path archive);
  static ErrorScene read(std::filesystem::path archive);
  static ErrorScene input(std::filesystem::path file);
  static ErrorScene write(std::filesystem::path file);
};

// What is wrong, in plain words, without the file's name: "not a DAT
// archive, or truncated: the file is 300 bytes and its header ends at byte
// 400", or "cannot write: No space left on device". Always in plain words,
// whatever the style.
std::string describe(const DatError& error, const ErrorScene& scene);

// The whole report of `error`, in the chosen style, ending in a newline.
std::string error_report(const DatError& error, const ErrorScene& scene);

// Prints error_report() on standard error; returns kFailure.
ExitStatus report_error(const DatError& error, const ErrorScene& scene);

// "quillstone-dat: SUBJECT: TEXT\n", or "quillstone-dat: TEXT\n" when the
// subject is empty, for failures and warnings that are no DatError.
std::string plain_line(std::string_view subject, std::string_view text);

// Prints plain_line() on standard error; returns kFailure.
ExitStatus report_failure(std::string_view subject, std::string_view text);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_ERROR_TEXT_H_
