#include "patch_json.h"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "file_id.h"
#include "header_json.h"
#include "json_members.h"

namespace quillstone_dat::tool {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kKind = "quillstone-dat patch";
constexpr std::uint32_t kPatchVersion = 1;

// An entry's fields that a patch keeps, and the checksum of its bytes;
// with `file`, the name of the file holding them, after the id as in the
// extract manifest.
Json file_json(const DatFileEntry& entry, const Checksum& checksum,
               const Json* file = nullptr) {
  Json object = {{"id", entry.id}, {"id_hex", hex_id(entry.id)}};
  if (file != nullptr) object["file"] = *file;
  object["bit_flags"] = entry.bit_flags;
  object["size"] = entry.size;
  object["timestamp"] = entry.timestamp;
  object["version"] = entry.version;
  object["checksum"] = checksum.hex();
  return object;
}

struct ParsedFile {
  DatFileEntry entry;
  Checksum checksum;
};

std::expected<ParsedFile, std::string> parse_file(const Json& object,
                                                  std::string_view list) {
  if (!object.is_object()) {
    return std::unexpected(fmt::format("an item of '{}' is no object", list));
  }
  ParsedFile file;
  std::string problem;
  const auto take = [&](const char* name, std::uint32_t& out) {
    auto value = u32_member(object, name);
    if (!value && problem.empty()) problem = value.error();
    if (value) out = *value;
  };
  take("id", file.entry.id);
  take("bit_flags", file.entry.bit_flags);
  take("size", file.entry.size);
  take("timestamp", file.entry.timestamp);
  take("version", file.entry.version);
  if (!problem.empty()) {
    return std::unexpected(fmt::format("'{}': {}", list, problem));
  }
  const auto text = string_member(object, "checksum");
  const auto checksum = text ? Checksum::from_hex(*text) : std::nullopt;
  if (!checksum) {
    return std::unexpected(
        fmt::format("'{}': file {}: 'checksum' is not 32 lower-case hex digits",
                    list, shown_id(file.entry.id)));
  }
  file.checksum = *checksum;
  return file;
}

const Json* array_member(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_array() ? &*found : nullptr;
}

std::expected<void, std::string> parse_puts(const Json& list,
                                            PatchDocument& document) {
  std::set<std::string> names;
  for (const Json& item : list) {
    auto file = parse_file(item, "put");
    if (!file) return std::unexpected(file.error());
    const std::uint32_t id = file->entry.id;
    const auto name = item.find("file");
    const bool carried = name == item.end() || !name->is_null();
    if (carried) {
      if (name == item.end() || !name->is_string() ||
          !plain_file_name(name->get<std::string>())) {
        return std::unexpected(fmt::format(
            "'put': file {}: 'file' is neither null nor a file name in the "
            "folder",
            shown_id(id)));
      }
      if (!names.insert(name->get<std::string>()).second) {
        return std::unexpected(
            fmt::format("'put': {} is listed twice", name->get<std::string>()));
      }
      document.files[id] = name->get<std::string>();
    }
    document.patch.puts.push_back({file->entry, file->checksum, carried});
  }
  return {};
}

std::expected<void, std::string> parse_base(const Json& base,
                                            PatchDocument& document) {
  if (!base.is_object()) return std::unexpected("'base' is no object");
  const auto header = base.find("header");
  if (header == base.end()) return std::unexpected("'base' has no 'header'");
  std::vector<std::string> names;
  if (auto parsed =
          header_fields_from_json(*header, document.patch.base_header, names);
      !parsed) {
    return std::unexpected("'base': " + parsed.error());
  }
  if (names != document.patch.header_fields) {
    return std::unexpected(
        "'base' gives other header fields than the patch sets");
  }
  const Json* const files = array_member(base, "files");
  if (files == nullptr) return std::unexpected("'base' has no list 'files'");
  for (const Json& item : *files) {
    auto file = parse_file(item, "base");
    if (!file) return std::unexpected(file.error());
    document.patch.base_files.push_back({file->entry, file->checksum});
  }
  return {};
}

// What parse_patch checks across the lists, once each is read.
std::expected<void, std::string> check_consistent(const ArchivePatch& patch) {
  std::set<std::uint32_t> touched;
  for (const PatchedFile& put : patch.puts) {
    if (!touched.insert(put.entry.id).second) {
      return std::unexpected(
          fmt::format("file {} is put twice", shown_id(put.entry.id)));
    }
  }
  for (const std::uint32_t id : patch.removals) {
    if (!touched.insert(id).second) {
      return std::unexpected(
          fmt::format("file {} is listed twice", shown_id(id)));
    }
  }
  std::map<std::uint32_t, const BaseFile*> base;
  for (const BaseFile& file : patch.base_files) {
    const std::uint32_t id = file.entry.id;
    if (!touched.contains(id)) {
      return std::unexpected(
          fmt::format("the base lists file {}, which the patch does not touch",
                      shown_id(id)));
    }
    if (!base.emplace(id, &file).second) {
      return std::unexpected(
          fmt::format("the base lists file {} twice", shown_id(id)));
    }
  }
  for (const std::uint32_t id : patch.removals) {
    if (!base.contains(id)) {
      return std::unexpected(fmt::format(
          "file {} is removed, but the base does not list it", shown_id(id)));
    }
  }
  for (const PatchedFile& put : patch.puts) {
    if (put.carried) continue;
    const auto found = base.find(put.entry.id);
    if (found == base.end() || found->second->entry.size != put.entry.size ||
        found->second->checksum != put.checksum) {
      return std::unexpected(fmt::format(
          "file {} keeps its base's bytes, but the base does not list "
          "those bytes",
          shown_id(put.entry.id)));
    }
  }
  return {};
}

}  // namespace

std::string render_patch(const PatchDocument& document) {
  const ArchivePatch& patch = document.patch;
  std::vector<Json> puts;
  for (const PatchedFile& put : patch.puts) {
    const auto name = document.files.find(put.entry.id);
    const Json file = put.carried && name != document.files.end()
                          ? Json(name->second)
                          : Json(nullptr);
    puts.push_back(file_json(put.entry, put.checksum, &file));
  }
  std::vector<Json> removals;
  for (const std::uint32_t id : patch.removals) {
    removals.push_back({{"id", id}, {"id_hex", hex_id(id)}});
  }
  std::vector<Json> base;
  for (const BaseFile& file : patch.base_files) {
    base.push_back(file_json(file.entry, file.checksum));
  }
  // One file a line: readable, and a diff of two patches shows the files
  // that changed.
  const auto lines = [](const std::vector<Json>& items,
                        std::string_view indent) {
    if (items.empty()) return std::string("[]");
    std::string text = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
      text +=
          fmt::format("{}\n{}  {}", i == 0 ? "" : ",", indent, items[i].dump());
    }
    return text + fmt::format("\n{}]", indent);
  };
  return fmt::format(
      "{{\n  \"patch\": {},\n  \"patch_version\": {},\n  \"header\": {},\n"
      "  \"put\": {},\n  \"remove\": {},\n  \"base\": {{\n"
      "    \"header\": {},\n    \"files\": {}\n  }}\n}}\n",
      Json(kKind).dump(), kPatchVersion,
      header_fields_to_json(patch.header, patch.header_fields).dump(),
      lines(puts, "  "), lines(removals, "  "),
      header_fields_to_json(patch.base_header, patch.header_fields).dump(),
      lines(base, "    "));
}

std::expected<PatchDocument, std::string> parse_patch(std::string_view text) {
  const Json object = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (object.is_discarded()) return std::unexpected("not valid JSON");
  if (!object.is_object() || object.value("patch", "") != kKind) {
    return std::unexpected(
        fmt::format("not a patch (no \"patch\": \"{}\")", kKind));
  }
  const auto version = u32_member(object, "patch_version");
  if (!version || *version != kPatchVersion) {
    return std::unexpected(fmt::format(
        "patch_version is not {}, the one this tool reads", kPatchVersion));
  }

  PatchDocument document;
  ArchivePatch& patch = document.patch;
  const auto header = object.find("header");
  if (header == object.end()) return std::unexpected("no 'header'");
  if (auto parsed =
          header_fields_from_json(*header, patch.header, patch.header_fields);
      !parsed) {
    return std::unexpected(parsed.error());
  }
  const Json* const puts = array_member(object, "put");
  if (puts == nullptr) return std::unexpected("no list 'put'");
  if (auto parsed = parse_puts(*puts, document); !parsed) {
    return std::unexpected(parsed.error());
  }
  const Json* const removals = array_member(object, "remove");
  if (removals == nullptr) return std::unexpected("no list 'remove'");
  for (const Json& item : *removals) {
    auto id = item.is_object() ? u32_member(item, "id")
                               : std::unexpected(std::string("no object"));
    if (!id) return std::unexpected("'remove': " + id.error());
    patch.removals.push_back(*id);
  }
  const auto base = object.find("base");
  if (base == object.end()) return std::unexpected("no 'base'");
  if (auto parsed = parse_base(*base, document); !parsed) {
    return std::unexpected(parsed.error());
  }
  if (auto consistent = check_consistent(patch); !consistent) {
    return std::unexpected(consistent.error());
  }
  std::ranges::sort(patch.puts, {},
                    [](const PatchedFile& put) { return put.entry.id; });
  std::ranges::sort(patch.removals);
  std::ranges::sort(patch.base_files, {},
                    [](const BaseFile& file) { return file.entry.id; });
  return document;
}

}  // namespace quillstone_dat::tool
