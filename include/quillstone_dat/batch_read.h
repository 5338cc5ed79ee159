// The vocabulary of DatDatabase::for_each_file, which reads many files in
// one pass in the order their chains lie in the archive: which files
// (FileSelection), how (BatchOptions), what each visit receives (BatchFile)
// and how the visitor answers (BatchStep).

#ifndef QUILLSTONE_DAT_BATCH_READ_H_
#define QUILLSTONE_DAT_BATCH_READ_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/error.h"

namespace quillstone_dat {

// Every file of the archive (the default), or a list of ids. Each element
// of a list is one visit: an id listed twice is handed over twice, and an
// id the archive lacks is handed over as NotFound.
class FileSelection {
 public:
  FileSelection() = default;

  static FileSelection all() { return {}; }
  static FileSelection of(std::vector<std::uint32_t> ids) {
    FileSelection selection;
    selection.ids_ = std::move(ids);
    return selection;
  }

  bool is_all() const { return !ids_.has_value(); }
  // The listed ids; empty when is_all().
  std::span<const std::uint32_t> ids() const {
    return ids_ ? std::span<const std::uint32_t>(*ids_)
                : std::span<const std::uint32_t>();
  }

 private:
  std::optional<std::vector<std::uint32_t>> ids_;
};

struct BatchOptions {
  // Hand over each file as stored, as get_stored gives it, instead of
  // decompressed as get_file gives it.
  bool raw = false;
  // Neighbouring chains are read together, up to this many bytes in one
  // read; a chain longer than this is read on its own. The pass holds this
  // buffer plus the file in hand. The default stays within a core's cache,
  // where the kernel's copy and the compaction after it run fastest.
  std::size_t window_bytes = std::size_t{1} << 20;
};

// One file of the pass, valid only during the visit.
struct BatchFile {
  std::uint32_t id = 0;
  // The file's directory entry; null when the archive has no file `id`.
  const DatFileEntry* entry = nullptr;
  // Exactly what get_file (or get_stored, when raw) returns for the
  // file, as a view into the pass's own buffers.
  DatResult<std::span<const std::uint8_t>> bytes;
};

enum class BatchStep : std::uint8_t { kContinue, kStop };

namespace detail {

class BatchVisitorRef;

template <typename Visitor>
constexpr bool accepts_batch_files() {
  if constexpr (std::is_invocable_v<Visitor&, const BatchFile&>) {
    using Answer = std::invoke_result_t<Visitor&, const BatchFile&>;
    constexpr bool answers =
        std::is_void_v<Answer> || std::is_same_v<Answer, BatchStep>;
    // Not the reference itself, whose copies must stay copies.
    constexpr bool is_reference =
        std::is_same_v<std::remove_cvref_t<Visitor>, BatchVisitorRef>;
    return answers && !is_reference;
  } else {
    return false;
  }
}

}  // namespace detail

// What for_each_file accepts: callable with a BatchFile, returning
// BatchStep, or nothing to always continue.
template <typename Visitor>
concept BatchVisitor = detail::accepts_batch_files<Visitor>();

namespace detail {

// A non-owning reference to the caller's visitor, so that the pass itself
// is compiled once, in the library.
class BatchVisitorRef {
 public:
  template <BatchVisitor Visitor>
  explicit BatchVisitorRef(Visitor& visitor)
      : object_(const_cast<void*>(
            static_cast<const void*>(std::addressof(visitor)))),
        call_([](void* object, const BatchFile& file) {
          Visitor& visit = *static_cast<Visitor*>(object);
          if constexpr (std::is_void_v<
                            std::invoke_result_t<Visitor&, const BatchFile&>>) {
            std::invoke(visit, file);
            return BatchStep::kContinue;
          } else {
            return std::invoke(visit, file);
          }
        }) {}

  BatchStep operator()(const BatchFile& file) const {
    return call_(object_, file);
  }

 private:
  void* object_;
  BatchStep (*call_)(void*, const BatchFile&);
};

}  // namespace detail

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_BATCH_READ_H_
