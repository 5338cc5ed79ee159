#include "unit/allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> largest_request{0};

void note_request(std::size_t size) {
  std::size_t seen = largest_request.load(std::memory_order_relaxed);
  while (size > seen && !largest_request.compare_exchange_weak(
                            seen, size, std::memory_order_relaxed)) {
  }
}

}  // namespace

namespace quillstone_dat::testing {

LargestAllocation::LargestAllocation() { largest_request.store(0); }

std::size_t LargestAllocation::bytes() const { return largest_request.load(); }

}  // namespace quillstone_dat::testing

// The array and sized forms of the standard library forward to these. The
// nothrow forms are replaced too: under AddressSanitizer the runtime
// provides its own, whose blocks must not reach the free() below.
void* operator new(std::size_t size) {
  note_request(size);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }

void operator delete(void* block, std::size_t) noexcept { std::free(block); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  note_request(size);
  return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
