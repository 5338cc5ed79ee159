// SpaceMap counts, for every byte of an archive, how many live chains (the
// chains of files and of directory nodes) hold it. The editor asks it which
// blocks nothing holds: a free-list block must be one, and so must a block
// it frees. Counts rather than flags, so that a block two chains share
// stays held until both have let it go.
//
// Stored as boundaries: each key starts a run of bytes with one count that
// lasts to the next key, and neighbouring runs never have the same count,
// so chains lying back to back cost one key in all.

#ifndef QUILLSTONE_DAT_EDIT_SPACE_MAP_H_
#define QUILLSTONE_DAT_EDIT_SPACE_MAP_H_

#include <cstdint>
#include <map>
#include <vector>

#include "format/block_chain.h"

namespace quillstone_dat {

class SpaceMap {
 public:
  void add(const ByteRange& range) { change(range, +1); }
  // Adds every range at once, sorted first: how a map is filled from a
  // whole archive. Precondition: nothing was added before.
  void add_all(std::vector<ByteRange> ranges);
  // Precondition: `range` was added before and not removed since.
  void remove(const ByteRange& range) { change(range, -1); }

  // True when no chain holds any byte of `range`.
  bool is_free(const ByteRange& range) const;

  // One past the last byte a chain holds; 0 when none does.
  std::uint64_t end() const {
    return counts_.empty() ? 0 : counts_.rbegin()->first;
  }

 private:
  void change(const ByteRange& range, int delta);
  // Makes `at` a key and returns it.
  std::map<std::uint64_t, std::uint32_t>::iterator split(std::uint64_t at);
  // Drops the key at `it` if its run has the count of the run before it.
  void merge(std::map<std::uint64_t, std::uint32_t>::iterator it);

  // Bytes before the first key, and from the last key on, have count 0.
  std::map<std::uint64_t, std::uint32_t> counts_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_EDIT_SPACE_MAP_H_
