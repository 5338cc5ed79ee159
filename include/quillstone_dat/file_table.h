// FileTable is a database's table of directory entries, keyed by file id:
// an open-addressing hash table that stores each DatFileEntry once (the id
// is the entry's own field) beside one control byte, so that a directory of
// a million entries costs a few tens of bytes per entry.
//
// The hash is seeded at random once per process, so iteration order is
// unspecified and may differ from run to run. Inserting an id that is
// already present replaces its entry.

#ifndef QUILLSTONE_DAT_FILE_TABLE_H_
#define QUILLSTONE_DAT_FILE_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <vector>

#include "quillstone_dat/dat_file_entry.h"

namespace quillstone_dat {

class FileTable {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = DatFileEntry;
    using difference_type = std::ptrdiff_t;
    using pointer = const DatFileEntry*;
    using reference = const DatFileEntry&;

    const_iterator() = default;
    reference operator*() const { return table_->slots_[index_]; }
    pointer operator->() const { return &table_->slots_[index_]; }
    const_iterator& operator++() {
      ++index_;
      skip_empty();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.index_ == b.index_;
    }

   private:
    friend class FileTable;
    const_iterator(const FileTable* table, std::size_t index)
        : table_(table), index_(index) {
      skip_empty();
    }
    void skip_empty() {
      while (index_ < table_->used_.size() && !table_->used_[index_]) ++index_;
    }

    const FileTable* table_ = nullptr;
    std::size_t index_ = 0;
  };

  FileTable() = default;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The entry under `id`, or null.
  const DatFileEntry* find(std::uint32_t id) const;
  bool contains(std::uint32_t id) const { return find(id) != nullptr; }

  // Stores `entry` under entry.id, replacing any entry already there.
  void insert_or_replace(const DatFileEntry& entry);
  // Stores each of `entries` in order, as one call per entry would; faster
  // for many entries, whose slots it fetches ahead of use.
  void insert_or_replace(std::span<const DatFileEntry> entries);

  // Makes room for `count` entries in all, so that inserting up to that
  // many never rehashes.
  void reserve(std::size_t count);

  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, used_.size()); }

  // Every entry, or every id, in ascending id order: a copy, sorted.
  std::vector<DatFileEntry> sorted_entries() const;
  std::vector<std::uint32_t> sorted_ids() const;

 private:
  std::size_t home_of(std::uint64_t hash) const;
  // The slot holding `id`, or the free slot where it would go.
  std::size_t slot_of(std::uint32_t id) const;
  void store(const DatFileEntry& entry);
  void rehash(std::size_t capacity);

  std::vector<DatFileEntry> slots_;
  // Per slot: 0 when free, else a tag of the id's hash with the top bit set.
  std::vector<std::uint8_t> used_;
  std::size_t size_ = 0;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_FILE_TABLE_H_
