// `cat ARCHIVE ID [--raw]`: one file's bytes to standard output,
// decompressed when its entry is compressed. --raw writes the bytes as the
// block chain stores them instead.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "command.h"
#include "file_id.h"
#include "output.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::tool {
namespace {

class CatCommand final : public Command {
 public:
  std::string_view name() const override { return "cat"; }
  std::string_view summary() const override {
    return "Write a file's bytes to standard output";
  }
  std::string_view synopsis() const override { return "ARCHIVE ID [--raw]"; }

  void configure(CLI::App& parser) override {
    parser.add_option("ARCHIVE", archive_, "Path of the DAT archive")
        ->required()
        ->type_name("PATH");
    parser
        .add_option("ID", id_text_,
                    "File id: decimal, or hexadecimal with a 0x prefix")
        ->required()
        ->type_name("UINT32")
        ->check(file_id_validator());
    parser.add_flag("--raw", raw_,
                    "Write the stored bytes without decompressing them");
  }

  ExitStatus run() const override {
    // The validator has accepted the text already.
    const std::uint32_t id = parse_file_id(id_text_).value();
    const auto db = DatDatabase::open(archive_);
    if (!db) return report_error(db.error());
    const DatFileEntry* const entry = db->files().find(id);
    if (entry == nullptr) return report_error(DatError::not_found(id));
    const auto bytes = raw_ ? db->read_file_data(entry->offset, entry->size)
                            : db->get_file(id);
    if (!bytes) return report_error(bytes.error());
    return write_stdout(*bytes);
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
