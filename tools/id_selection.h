// IdSelection is the files a command is asked for: ids and inclusive
// ranges given on the command line or listed in a file (--ids-from). An
// empty selection asks for every file. Matched against an archive's
// directory, it yields the entries asked for, each once and sorted by id,
// and whatever was asked for that the archive lacks.

#ifndef QUILLSTONE_DAT_TOOLS_ID_SELECTION_H_
#define QUILLSTONE_DAT_TOOLS_ID_SELECTION_H_

#include <expected>
#include <filesystem>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "file_id.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/file_table.h"

namespace CLI {
class App;
}  // namespace CLI

namespace quillstone_dat::tool {

class IdSelection {
 public:
  struct Match {
    std::vector<DatFileEntry> entries;  // sorted by id, each once
    std::vector<IdRange> missing;       // ids and ranges matching no entry
  };

  bool empty() const { return ranges_.empty(); }

  void add(const IdRange& range) { ranges_.push_back(range); }

  // Adds one id or range per line of `in`. '#' starts a comment; blank
  // lines are skipped. On a bad line, returns "NAME:LINE: ..." and adds
  // nothing from it.
  std::expected<void, std::string> add_list(std::istream& in,
                                            std::string_view name);

  // `entries` in any order, each id once.
  Match match(std::vector<DatFileEntry> entries) const;
  Match match(const FileTable& files) const {
    return match(std::vector<DatFileEntry>(files.begin(), files.end()));
  }

  // Declares "ID|RANGE..." and "--ids-from FILE" on `parser`, filling this
  // selection as the command line is parsed.
  void configure(CLI::App& parser, std::string_view positional_help);

 private:
  std::vector<IdRange> ranges_;
  std::vector<std::string> texts_;  // as given on the command line
};

// Reports on standard error each id and range of `missing` that the archive
// at `archive` lacks.
void report_missing(const std::vector<IdRange>& missing,
                    const std::filesystem::path& archive);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_ID_SELECTION_H_
