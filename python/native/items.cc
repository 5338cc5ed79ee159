#include "items.h"

#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "archive.h"
#include "arguments.h"
#include "errors.h"
#include "file_bytes.h"

namespace quillstone_dat::python {
namespace {

// A chunk ends once its files' recorded sizes pass this, or at this many
// files. Small, so that what one pass allocates (its window and the bytes
// objects, freed as the caller drops them) stays below what malloc hands
// back to the system: with 4 MiB chunks every pass faulted in fresh pages
// and ran at a tenth of the speed, and at 1 MiB a second thread's arena
// still did. Each for_each_file call still reads whole windows.
constexpr std::size_t kChunkBytes = std::size_t{256} << 10;
constexpr std::size_t kChunkFiles = 256;

struct PlannedFile {
  std::uint32_t id;
  const DatFileEntry* entry;  // null for an id the archive lacks
};

// The files of a pass in the order for_each_file hands them over, as the
// library gives it, each with its entry (null for an id the archive lacks).
std::vector<PlannedFile> plan_pass(
    const DatDatabase& database,
    const std::optional<std::vector<std::uint32_t>>& ids) {
  const std::vector<std::uint32_t> order = database.batch_order(
      ids ? FileSelection::of(*ids) : FileSelection::all());
  std::vector<PlannedFile> plan;
  plan.reserve(order.size());
  for (const std::uint32_t id : order) {
    plan.push_back({id, database.files().find(id)});
  }
  return plan;
}

class Items {
 public:
  Items(py::object archive, std::shared_ptr<const DatDatabase> database,
        std::optional<std::vector<std::uint32_t>> ids, bool raw)
      : archive_object_(std::move(archive)),
        archive_(&archive_object_.cast<const Archive&>()),
        database_(std::move(database)),
        ids_(std::move(ids)),
        raw_(raw) {}

  // The next pair; a null object once every file has been handed over.
  py::object next() {
    if (archive_->closed()) {
      throw py::value_error("operation on a closed archive");
    }
    if (busy_) throw py::value_error("items() iterator already executing");
    while (ready_next_ == ready_.size()) {
      ready_.clear();
      ready_next_ = 0;
      if (!database_ || (planned_ && next_file_ == plan_.size())) {
        database_.reset();  // the archive may close its file now
        return py::object();
      }
      busy_ = true;
      try {
        read_chunk();
      } catch (...) {
        busy_ = false;
        ready_.clear();  // the chunk is read whole, or not at all
        throw;
      }
      busy_ = false;
    }
    return std::move(ready_[ready_next_++]);
  }

 private:
  // What the pass gave for one visit, in visit order.
  struct Visit {
    std::uint32_t id;
    enum class Source : std::uint8_t { kFilled, kCopied, kFailed } source;
    std::size_t index;  // into the chunk's objects, copies or errors
  };

  void read_chunk() {
    if (!planned_) {
      py::gil_scoped_release unlocked;
      plan_ = plan_pass(*database_, ids_);
      ids_.reset();
      planned_ = true;
      if (plan_.empty()) return;
    }
    const std::size_t first = next_file_;
    std::size_t last = first;
    std::size_t chunk_bytes = 0;
    while (last < plan_.size() && last - first < kChunkFiles) {
      const std::size_t size = plan_[last].entry ? plan_[last].entry->size : 0;
      if (last > first && chunk_bytes + size > kChunkBytes) break;
      chunk_bytes += size;
      ++last;
    }

    // Objects for the files whose size the entry gives, made while the GIL
    // is held; the pass then writes into them without it.
    std::vector<py::bytes> objects(last - first);
    std::vector<std::span<std::uint8_t>> targets(last - first);
    std::vector<std::uint32_t> ids(last - first);
    for (std::size_t i = first; i < last; ++i) {
      ids[i - first] = plan_[i].id;
      const DatFileEntry* const entry = plan_[i].entry;
      if (entry == nullptr || entry->size > kChunkBytes ||
          (!raw_ && entry->is_compressed())) {
        continue;
      }
      objects[i - first] = uninitialised_bytes(entry->size);
      targets[i - first] = {
          reinterpret_cast<std::uint8_t*>(bytes_storage(objects[i - first])),
          entry->size};
    }

    std::vector<Visit> visits;
    std::vector<std::vector<std::uint8_t>> copies;
    std::vector<DatError> errors;
    {
      py::gil_scoped_release unlocked;
      visits.reserve(ids.size());
      std::size_t k = 0;
      const std::vector<std::uint32_t> planned_ids = ids;
      database_->for_each_file(
          FileSelection::of(std::move(ids)), {.raw = raw_},
          [&](const BatchFile& file) {
            // The k-th visit is planned file k unless the library's order
            // ever differs from the plan; then it is copied, not lost.
            const bool planned = k < planned_ids.size() &&
                                 planned_ids[k] == file.id &&
                                 !targets[k].empty();
            if (!file.bytes) {
              visits.push_back(
                  {file.id, Visit::Source::kFailed, errors.size()});
              errors.push_back(file.bytes.error());
            } else if (planned && targets[k].size() == file.bytes->size()) {
              std::memcpy(targets[k].data(), file.bytes->data(),
                          file.bytes->size());
              visits.push_back({file.id, Visit::Source::kFilled, k});
            } else {
              visits.push_back(
                  {file.id, Visit::Source::kCopied, copies.size()});
              copies.emplace_back(file.bytes->begin(), file.bytes->end());
            }
            ++k;
          });
    }

    ready_.reserve(visits.size());
    for (const Visit& visit : visits) {
      py::object data;
      switch (visit.source) {
        case Visit::Source::kFilled:
          data = std::move(objects[visit.index]);
          break;
        case Visit::Source::kCopied:
          data = bytes_of(copies[visit.index]);
          break;
        case Visit::Source::kFailed:
          data = to_exception(errors[visit.index]);
          break;
      }
      PyObject* const pair = PyTuple_New(2);
      if (pair == nullptr) throw py::error_already_set();
      PyObject* const id = PyLong_FromUnsignedLong(visit.id);
      if (id == nullptr) {
        Py_DECREF(pair);
        throw py::error_already_set();
      }
      PyTuple_SET_ITEM(pair, 0, id);
      PyTuple_SET_ITEM(pair, 1, data.release().ptr());
      ready_.push_back(py::reinterpret_steal<py::object>(pair));
    }
    next_file_ = last;  // only now: a chunk that failed is read again
  }

  py::object archive_object_;  // keeps archive_ alive
  const Archive* archive_;
  std::shared_ptr<const DatDatabase> database_;
  std::optional<std::vector<std::uint32_t>> ids_;
  bool raw_;
  bool busy_ = false;

  bool planned_ = false;
  std::vector<PlannedFile> plan_;
  std::size_t next_file_ = 0;

  std::vector<py::object> ready_;
  std::size_t ready_next_ = 0;
};

// The iterator is a plain type rather than a pybind11 class: a for loop
// calls tp_iternext straight, without pybind11's dispatch for every file,
// which all runs with the GIL held.
struct ItemsObject {
  PyObject_HEAD Items* items;
};

PyTypeObject* items_type = nullptr;

void items_dealloc(PyObject* self) {
  delete reinterpret_cast<ItemsObject*>(self)->items;
  PyTypeObject* const type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* items_next(PyObject* self) {
  try {
    return reinterpret_cast<ItemsObject*>(self)->items->next().release().ptr();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (py::builtin_exception& error) {
    error.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return nullptr;
}

}  // namespace

py::object make_items(py::object archive,
                      std::shared_ptr<const DatDatabase> database,
                      py::handle ids, bool raw) {
  std::optional<std::vector<std::uint32_t>> listed;
  if (!ids.is_none()) listed = file_ids(ids);
  auto items = std::make_unique<Items>(std::move(archive), std::move(database),
                                       std::move(listed), raw);
  PyObject* const object = items_type->tp_alloc(items_type, 0);
  if (object == nullptr) throw py::error_already_set();
  reinterpret_cast<ItemsObject*>(object)->items = items.release();
  return py::reinterpret_steal<py::object>(object);
}

void bind_items(py::module_& module) {
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&items_dealloc)},
      {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(&items_next)},
      {Py_tp_doc,
       const_cast<char*>("The iterator of Archive.items(): (id, data) pairs.")},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "quillstone_dat._native.ItemsIterator",
      sizeof(ItemsObject),
      0,
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  PyObject* const type = PyType_FromSpec(&spec);
  if (type == nullptr) throw py::error_already_set();
  items_type = reinterpret_cast<PyTypeObject*>(type);
  module.attr("ItemsIterator") = py::reinterpret_borrow<py::object>(type);
}

}  // namespace quillstone_dat::python
