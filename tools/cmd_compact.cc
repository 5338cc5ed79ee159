// `compact ARCHIVE`: writes the archive again, every file as stored and
// every header field the writer does not own kept, without the free blocks
// that edits leave behind. The new archive takes the old one's name only
// once complete and flushed; no editor can change the archive meanwhile.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "arguments.h"
#include "command.h"
#include "error_text.h"
#include "output.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_editor.h"
#include "quillstone_dat/dat_writer.h"

namespace quillstone_dat::tool {
namespace {

class CompactCommand final : public Command {
 public:
  std::string_view name() const override { return "compact"; }
  std::string_view summary() const override {
    return "Write an archive again without its free blocks";
  }
  std::string_view synopsis() const override { return "ARCHIVE"; }
  std::string_view details() const override {
    return "Every file keeps its stored bytes, flags, timestamp and version; "
           "the header keeps\nits fields but the free list and file size. "
           "The archive is replaced only once\nthe new one is complete and "
           "on disk.\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat compact portal.dat\n";
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the archive to compact");
  }

  ExitStatus run() const override {
    // Held until the new archive has replaced the old: no edit between the
    // read and the rename can be lost.
    const auto editor = DatEditor::open(archive_);
    if (!editor)
      return report_error(editor.error(), ErrorScene::open(archive_));
    const auto db = DatDatabase::open(archive_);
    if (!db) return report_error(db.error(), ErrorScene::open(archive_));

    // Each file's stored bytes are read while the writer writes, a batch
    // at a time: memory stays bounded whatever the archive's size.
    DatWriter writer(WriterOptions::from_header(db->header()));
    std::vector<DatError> unreadable;
    std::mutex unreadable_mutex;
    for (const DatFileEntry& entry : db->files()) {
      const auto read_stored = [&, id = entry.id]() {
        auto bytes = db->get_stored(id);
        if (!bytes) {
          const std::lock_guard lock(unreadable_mutex);
          unreadable.push_back(bytes.error());
        }
        return bytes;
      };
      const auto added =
          writer.add({.id = entry.id,
                      .contents = ContentsReader{entry.size, read_stored},
                      .storage = Storage::kPreStored,
                      .bit_flags = entry.bit_flags,
                      .timestamp = entry.timestamp,
                      .version = entry.version});
      if (!added)
        return report_error(added.error(), ErrorScene::open(archive_));
    }
    const auto written = writer.write(archive_);
    if (!written) {
      // A file that could not be read is named as a read of it.
      for (const DatError& error : unreadable) {
        if (error == written.error()) {
          return report_error(error, ErrorScene::read(archive_));
        }
      }
      return report_error(written.error(), ErrorScene::write(archive_));
    }
    return write_stdout(fmt::format(
        "{}: {} files, {} bytes (was {})\n", archive_, written->file_count,
        written->header.file_size, db->header().file_size));
  }

 private:
  std::string archive_;
};

}  // namespace

std::unique_ptr<Command> make_compact_command() {
  return std::make_unique<CompactCommand>();
}

}  // namespace quillstone_dat::tool
