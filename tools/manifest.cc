#include "manifest.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <iterator>
#include <set>

#include "file_id.h"
#include "header_json.h"
#include "json_members.h"
#include "written_file.h"

namespace quillstone_dat::tool {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kKind = "quillstone-dat extract manifest";
constexpr std::uint32_t kManifestVersion = 1;
constexpr std::string_view kStored = "stored";
constexpr std::string_view kDecoded = "decoded";

std::expected<ManifestEntry, std::string> parse_entry(const Json& object) {
  if (!object.is_object()) return std::unexpected("an entry is no object");
  ManifestEntry entry;
  std::string problem;
  const auto take = [&](const char* name, std::uint32_t& out) {
    auto value = u32_member(object, name);
    if (!value && problem.empty()) problem = value.error();
    if (value) out = *value;
  };
  take("id", entry.id);
  take("bit_flags", entry.bit_flags);
  take("timestamp", entry.timestamp);
  take("version", entry.version);
  if (!problem.empty()) return std::unexpected(problem);
  const std::string where = "entry " + shown_id(entry.id);

  auto file = string_member(object, "file");
  if (!file) return std::unexpected(where + ": " + file.error());
  if (!plain_file_name(*file)) {
    return std::unexpected(
        fmt::format("{}: '{}' is not a file name in the folder", where, *file));
  }
  entry.file = std::move(*file);
  auto contents = string_member(object, "contents");
  if (!contents || (*contents != kStored && *contents != kDecoded)) {
    return std::unexpected(where +
                           ": 'contents' is neither \"stored\" nor "
                           "\"decoded\"");
  }
  entry.stored = *contents == kStored;
  return entry;
}

}  // namespace

std::string manifest_head(const DatHeader& header, std::uint32_t block_size) {
  return fmt::format(
      "{{\n  \"manifest\": {},\n  \"manifest_version\": {},\n"
      "  \"header\": {},\n  \"block_size\": {},\n  \"files\": [",
      Json(kKind).dump(), kManifestVersion, header_to_json(header).dump(),
      block_size);
}

void append_manifest_entry(std::string& text, std::size_t index,
                           const ManifestEntry& entry) {
  // One entry a line: readable, and a diff shows the entries that changed.
  text += index == 0 ? "\n    " : ",\n    ";
  // As Json's dump writes the object, without building one.
  fmt::format_to(std::back_inserter(text),
                 "{{\"id\":{},\"id_hex\":\"{}\",\"file\":{},"
                 "\"bit_flags\":{},\"timestamp\":{},\"version\":{},"
                 "\"contents\":\"{}\"}}",
                 entry.id, hex_id(entry.id), Json(entry.file).dump(),
                 entry.bit_flags, entry.timestamp, entry.version,
                 entry.stored ? kStored : kDecoded);
}

std::string_view manifest_tail(std::size_t count) {
  return count == 0 ? "]\n}\n" : "\n  ]\n}\n";
}

ManifestEntry manifest_entry_of(const DatFileEntry& entry, bool raw) {
  return {.id = entry.id,
          .file = file_name_of(entry.id),
          .bit_flags = entry.bit_flags,
          .timestamp = entry.timestamp,
          .version = entry.version,
          .stored = raw || !entry.is_compressed()};
}

std::string render_manifest(const Manifest& manifest) {
  std::string text = manifest_head(manifest.header, manifest.block_size);
  for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
    append_manifest_entry(text, i, manifest.entries[i]);
  }
  text += manifest_tail(manifest.entries.size());
  return text;
}

std::expected<Manifest, std::string> parse_manifest(std::string_view text) {
  const Json object = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (object.is_discarded()) return std::unexpected("not valid JSON");
  if (!object.is_object() || object.value("manifest", "") != kKind) {
    return std::unexpected(fmt::format(
        "not an extract manifest (no \"manifest\": \"{}\")", kKind));
  }
  const auto version = u32_member(object, "manifest_version");
  if (!version || *version != kManifestVersion) {
    return std::unexpected(
        fmt::format("manifest_version is not {}, the one this tool reads",
                    kManifestVersion));
  }

  Manifest manifest;
  const auto header = object.find("header");
  if (header == object.end()) return std::unexpected("no 'header'");
  auto decoded = header_from_json(*header);
  if (!decoded) return std::unexpected(decoded.error());
  manifest.header = *decoded;
  const auto block_size = u32_member(object, "block_size");
  if (!block_size) return std::unexpected(block_size.error());
  if (*block_size != manifest.header.block_size) {
    return std::unexpected(
        fmt::format("block_size {} disagrees with the header's {}", *block_size,
                    manifest.header.block_size));
  }
  manifest.block_size = *block_size;

  const auto files = object.find("files");
  if (files == object.end() || !files->is_array()) {
    return std::unexpected("no list 'files'");
  }
  std::set<std::uint32_t> ids;
  std::set<std::string> names;
  for (const Json& item : *files) {
    auto entry = parse_entry(item);
    if (!entry) return std::unexpected(entry.error());
    if (!ids.insert(entry->id).second) {
      return std::unexpected(
          fmt::format("id {} is listed twice", shown_id(entry->id)));
    }
    if (!names.insert(entry->file).second) {
      return std::unexpected(
          fmt::format("file {} is listed twice", entry->file));
    }
    manifest.entries.push_back(std::move(*entry));
  }
  return manifest;
}

}  // namespace quillstone_dat::tool
