#include "error_text.h"

#include <fmt/format.h>

#include <cstdio>

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

ErrorStyle chosen_style = ErrorStyle::kPlain;

}  // namespace

void set_error_style(ErrorStyle style) { chosen_style = style; }

ErrorStyle error_style() { return chosen_style; }

ErrorScene ErrorScene::open(fs::path archive) {
  ErrorScene scene;
  scene.file = std::move(archive);
  return scene;
}

ErrorScene ErrorScene::read(fs::path archive) {
  ErrorScene scene = open(std::move(archive));
  scene.action = Action::kReadEntry;
  return scene;
}

ErrorScene ErrorScene::input(fs::path file) {
  ErrorScene scene = open(std::move(file));
  scene.action = Action::kReadFile;
  return scene;
}

ErrorScene ErrorScene::write(fs::path file) {
  ErrorScene scene = open(std::move(file));
  scene.action = Action::kWriteFile;
  return scene;
}

std::string describe(const DatError& error, const ErrorScene& scene) {
  // The tool's own inputs and outputs: the library knows no more of them
  // than the I/O error, and the tool knows what it was doing.
  const bool io = error.kind() == DatError::Kind::kIo ||
                  error.kind() == DatError::Kind::kPathError;
  if (io && scene.action == ErrorScene::Action::kReadFile) {
    return "cannot read: " + error.io_error()->message();
  }
  if (io && scene.action == ErrorScene::Action::kWriteFile) {
    return "cannot write: " + error.io_error()->message();
  }
  return error.message();
}

std::string error_report(const DatError& error, const ErrorScene& scene) {
  if (chosen_style == ErrorStyle::kDebug) {
    return "error: " + scene.debug_label + error.debug() + "\n";
  }
  // A path error names the file that failed, which may be another than the
  // one the command was given (a file written into a folder, say).
  const fs::path* const failed = error.path();
  return plain_line((failed != nullptr ? *failed : scene.file).string(),
                    describe(error, scene));
}

ExitStatus report_error(const DatError& error, const ErrorScene& scene) {
  const std::string text = error_report(error, scene);
  std::fwrite(text.data(), 1, text.size(), stderr);
  return ExitStatus::kFailure;
}

std::string plain_line(std::string_view subject, std::string_view text) {
  if (subject.empty()) return fmt::format("{}: {}\n", kToolName, text);
  return fmt::format("{}: {}: {}\n", kToolName, subject, text);
}

ExitStatus report_failure(std::string_view subject, std::string_view text) {
  const std::string line = plain_line(subject, text);
  std::fwrite(line.data(), 1, line.size(), stderr);
  return ExitStatus::kFailure;
}

}  // namespace quillstone_dat::tool
