// `cat ARCHIVE ID [--raw]`: one file's bytes to standard output,
// decompressed when its entry is compressed. --raw writes the bytes as the
// block chain stores them instead. A compressed file that decodes to
// another length than it declares is still written, with a warning.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "arguments.h"
#include "command.h"
#include "error_text.h"
#include "file_id.h"
#include "number_text.h"
#include "output.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/lrs.h"

namespace quillstone_dat::tool {
namespace {

class CatCommand final : public Command {
 public:
  std::string_view name() const override { return "cat"; }
  std::string_view summary() const override {
    return "Write a file's bytes to standard output";
  }
  std::string_view synopsis() const override { return "ARCHIVE ID [--raw]"; }
  std::string_view example() const override {
    return "  quillstone-dat cat portal.dat 06000001 > 06000001.bin\n"
           "  quillstone-dat cat portal.dat 0x06000001 --raw | xxd | head\n";
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the DAT archive");
    parser
        .add_option("ID", id_text_,
                    "File id in hexadecimal, as ls prints it (06000001, "
                    "0x06000001)")
        ->required()
        ->type_name("ID")
        ->check(file_id_validator());
    parser.add_flag("--raw", raw_,
                    "Write the stored bytes without decompressing them");
  }

  ExitStatus run() const override {
    // The validator has accepted the text already.
    const std::uint32_t id = parse_file_id(id_text_).value();
    const auto db = DatDatabase::open(archive_);
    if (!db) return report_error(db.error(), ErrorScene::open(archive_));
    const auto stored = db->get_stored(id);
    if (!stored)
      return report_error(stored.error(), ErrorScene::read(archive_));
    if (raw_ || !db->files().find(id)->is_compressed()) {
      return write_stdout(*stored);
    }

    const std::vector<std::uint8_t> decoded = decompress_lrs(*stored);
    const ExitStatus written = write_stdout(decoded);
    const std::optional<std::uint32_t> declared = lrs_declared_size(*stored);
    if (written == ExitStatus::kSuccess && declared &&
        *declared != decoded.size()) {
      std::fputs(plain_line(archive_,
                            fmt::format("warning: file {} decodes to {} bytes "
                                        "but declares {}",
                                        shown_id(id), grouped(decoded.size()),
                                        grouped(*declared)))
                     .c_str(),
                 stderr);
    }
    return written;
  }

 private:
  std::string archive_;
  std::string id_text_;
  bool raw_ = false;
};

}  // namespace

std::unique_ptr<Command> make_cat_command() {
  return std::make_unique<CatCommand>();
}

}  // namespace quillstone_dat::tool
