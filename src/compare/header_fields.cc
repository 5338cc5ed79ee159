#include "compare/header_fields.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "quillstone_dat/dat_writer.h"

namespace quillstone_dat {

namespace {

// Where each field lies in a header object, in on-disk order.
struct FieldPlace {
  std::string_view name;
  std::size_t offset;
  std::size_t size;
};

std::vector<FieldPlace> field_places() {
  std::vector<FieldPlace> places;
  const DatHeader header;
  const auto* const base = reinterpret_cast<const std::byte*>(&header);
  for_each_header_field(header, [&](const char* name, const auto& field) {
    const auto* const at = reinterpret_cast<const std::byte*>(&field);
    places.push_back({name, static_cast<std::size_t>(at - base), sizeof field});
  });
  return places;
}

const std::vector<FieldPlace>& places() {
  static const std::vector<FieldPlace> kPlaces = field_places();
  return kPlaces;
}

const FieldPlace* find_place(std::string_view name) {
  for (const FieldPlace& place : places()) {
    if (place.name == name) return &place;
  }
  return nullptr;
}

std::span<const std::byte> bytes_of(const DatHeader& header,
                                    const FieldPlace& place) {
  return {reinterpret_cast<const std::byte*>(&header) + place.offset,
          place.size};
}

bool same_at(const DatHeader& a, const DatHeader& b, const FieldPlace& place) {
  return std::memcmp(bytes_of(a, place).data(), bytes_of(b, place).data(),
                     place.size) == 0;
}

std::vector<std::string_view> find_given_fields() {
  std::vector<std::string_view> names;
  for (const FieldPlace& place : places()) {
    if (WriterOptions::takes_header_field(place.name)) {
      names.push_back(place.name);
    }
  }
  return names;
}

}  // namespace

const std::vector<std::string_view>& given_header_fields() {
  static const std::vector<std::string_view> kNames = find_given_fields();
  return kNames;
}

std::vector<std::string_view> differing_given_fields(const DatHeader& a,
                                                     const DatHeader& b) {
  std::vector<std::string_view> names;
  for (const std::string_view name : given_header_fields()) {
    if (!same_header_field(a, b, name)) names.push_back(name);
  }
  return names;
}

bool same_header_field(const DatHeader& a, const DatHeader& b,
                       std::string_view name) {
  const FieldPlace* const place = find_place(name);
  return place != nullptr && same_at(a, b, *place);
}

bool copy_header_field(const DatHeader& from, DatHeader& to,
                       std::string_view name) {
  const FieldPlace* const place = find_place(name);
  if (place == nullptr) return false;
  std::memcpy(reinterpret_cast<std::byte*>(&to) + place->offset,
              bytes_of(from, *place).data(), place->size);
  return true;
}

}  // namespace quillstone_dat
