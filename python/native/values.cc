#include "values.h"

#include <pybind11/stl.h>

#include <string>
#include <string_view>
#include <type_traits>

#include "quillstone_dat/archive_check.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"

namespace quillstone_dat::python {
namespace {

py::object field_object(std::uint32_t value) { return py::int_(value); }

py::object field_object(const std::array<std::uint8_t, 16>& value) {
  return py::bytes(reinterpret_cast<const char*>(value.data()), value.size());
}

std::string entry_repr(const DatFileEntry& entry) {
  // Ids in hexadecimal, as the tool prints them.
  char id[16];
  std::snprintf(id, sizeof id, "0x%08X", entry.id);
  return std::string("Entry(id=") + id +
         ", bit_flags=" + std::to_string(entry.bit_flags) +
         ", offset=" + std::to_string(entry.offset) +
         ", size=" + std::to_string(entry.size) +
         ", timestamp=" + std::to_string(entry.timestamp) +
         ", version=" + std::to_string(entry.version) + ")";
}

void bind_entry(py::module_& module) {
  py::class_<DatFileEntry>(module, "Entry",
                           "One directory entry: six unsigned 32-bit fields.")
      .def_readonly("id", &DatFileEntry::id, "The file's id.")
      .def_readonly("bit_flags", &DatFileEntry::bit_flags,
                    "Bit 0 set: the stored bytes are LRS-compressed.")
      .def_readonly("offset", &DatFileEntry::offset,
                    "Where the file's chain of blocks begins.")
      .def_readonly("size", &DatFileEntry::size,
                    "The stored bytes: for a compressed file, the payload "
                    "with its 4-byte size prefix.")
      .def_readonly("timestamp", &DatFileEntry::timestamp,
                    "Stored and not interpreted.")
      .def_readonly("version", &DatFileEntry::version,
                    "Stored and not interpreted.")
      .def_property_readonly("is_compressed", &DatFileEntry::is_compressed,
                             "Whether the stored bytes are LRS-compressed.")
      .def("__eq__",
           [](const DatFileEntry& a, const DatFileEntry& b) { return a == b; })
      .def("__hash__",
           [](const DatFileEntry& e) {
             return py::hash(py::make_tuple(e.bit_flags, e.id, e.offset, e.size,
                                            e.timestamp, e.version));
           })
      .def("__repr__", &entry_repr);
}

void bind_header(py::module_& module) {
  py::class_<DatHeader> header(
      module, "Header",
      "The archive's header record: its fields as attributes, named as in "
      "the library's DatHeader, in on-disk order. version_string is 16 "
      "bytes; every other field an unsigned 32-bit int.");
  // One property per field of the library's own list.
  const DatHeader fields{};
  for_each_header_field(fields, [&](const char* name, const auto&) {
    const std::string_view wanted = name;
    const std::string doc =
        std::string("The header's ") + name + " field, as stored.";
    header.def_property_readonly(
        name,
        [wanted](const DatHeader& self) {
          py::object value;
          for_each_header_field(
              self, [&](std::string_view field_name, const auto& field) {
                if (field_name == wanted) value = field_object(field);
              });
          return value;
        },
        doc.c_str());
  });
  header
      .def("as_dict", &header_dict,
           "The fields by name, in on-disk order: {'magic': ..., ...}.")
      .def("__eq__",
           [](const DatHeader& a, const DatHeader& b) { return a == b; })
      .def("__repr__", [](const DatHeader& self) {
        std::string text = "Header(";
        bool first = true;
        for (const auto& [name, value] : header_dict(self)) {
          if (!first) text += ", ";
          first = false;
          text += py::str(name).cast<std::string>() + "=" +
                  py::repr(value).cast<std::string>();
        }
        return text + ")";
      });
}

void bind_check_report(py::module_& module) {
  py::class_<CheckProblem>(module, "CheckProblem",
                           "One problem an integrity check found.")
      .def_property_readonly(
          "kind",
          [](const CheckProblem& problem) {
            return std::string(to_string(problem.kind));
          },
          "The kind's name, as `verify --json` gives it: \"read_error\", "
          "\"outside_file\", \"chain_loop\", \"shared_block\", "
          "\"node_overlap\", \"short_payload\", \"size_mismatch\", "
          "\"free_list\", \"leaked\".")
      .def_readonly("id", &CheckProblem::id,
                    "The entry with the problem; None for a directory "
                    "node's, the free list's or leaked bytes.")
      .def_readonly("offset", &CheckProblem::offset,
                    "The first block of the chain at fault: the entry's "
                    "offset, or the node's.")
      .def_readonly("message", &CheckProblem::detail,
                    "One line saying what is wrong and where.")
      .def("__repr__", [](const CheckProblem& problem) {
        return "CheckProblem(kind=" +
               py::repr(py::str(std::string(to_string(problem.kind))))
                   .cast<std::string>() +
               ", id=" + py::repr(py::cast(problem.id)).cast<std::string>() +
               ", offset=" + std::to_string(problem.offset) + ", message=" +
               py::repr(py::str(problem.detail)).cast<std::string>() + ")";
      });

  py::class_<CheckReport>(module, "CheckReport", "What Archive.check() found.")
      .def_property_readonly("ok", &CheckReport::clean,
                             "True when no problem was found.")
      .def_readonly("problems", &CheckReport::problems,
                    "Problems of directory nodes, of the free list and of "
                    "leaked bytes first, by offset, then entries' by id.")
      .def_readonly("entries", &CheckReport::entries,
                    "Entries in the archive's directory.")
      .def_readonly("nodes", &CheckReport::nodes, "Nodes of the directory.")
      .def("__bool__", &CheckReport::clean)
      .def("__repr__", [](const CheckReport& report) {
        return "CheckReport(ok=" +
               std::string(report.clean() ? "True" : "False") +
               ", entries=" + std::to_string(report.entries) +
               ", nodes=" + std::to_string(report.nodes) +
               ", problems=" + std::to_string(report.problems.size()) + ")";
      });
}

}  // namespace

void bind_values(py::module_& module) {
  bind_entry(module);
  bind_header(module);
  bind_check_report(module);
}

py::dict header_dict(const DatHeader& header) {
  py::dict fields;
  for_each_header_field(header, [&](const char* name, const auto& field) {
    fields[name] = field_object(field);
  });
  return fields;
}

py::dict summary_dict(const ArchiveSummary& summary) {
  py::dict fields;
  fields["header"] = summary.header;
  fields["file_count"] = summary.file_count;
  fields["compressed_count"] = summary.compressed_count;
  fields["content_bytes"] = summary.content_bytes;
  fields["stored_bytes"] = summary.stored_bytes;
  fields["directory_nodes"] = summary.directory_nodes;
  fields["directory_depth"] = summary.directory_depth;
  return fields;
}

py::dict summary_dict(const CommitSummary& summary) {
  py::dict fields;
  fields["added"] = summary.added;
  fields["replaced"] = summary.replaced;
  fields["removed"] = summary.removed;
  fields["blocks_reused"] = summary.blocks_reused;
  fields["blocks_appended"] = summary.blocks_appended;
  fields["blocks_freed"] = summary.blocks_freed;
  fields["blocks_leaked"] = summary.blocks_leaked;
  fields["free_list_discarded"] = summary.free_list_discarded;
  fields["free_list_problem"] = summary.free_list_problem;
  fields["directory_rebuilt"] = summary.directory_rebuilt;
  fields["free_blocks"] = summary.free_blocks;
  fields["archive_blocks"] = summary.archive_blocks;
  return fields;
}

}  // namespace quillstone_dat::python
