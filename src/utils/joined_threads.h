// JoinedThreads: threads that are joined on every way out of a scope, as
// std::jthread would be; libc++ 16, which the fuzz build uses, has no
// jthread.

#ifndef QUILLSTONE_DAT_UTILS_JOINED_THREADS_H_
#define QUILLSTONE_DAT_UTILS_JOINED_THREADS_H_

#include <thread>
#include <utility>
#include <vector>

namespace quillstone_dat {

class JoinedThreads {
 public:
  JoinedThreads() = default;
  JoinedThreads(const JoinedThreads&) = delete;
  JoinedThreads& operator=(const JoinedThreads&) = delete;
  ~JoinedThreads() {
    for (std::thread& thread : threads_) thread.join();
  }

  // Starts `work` on a new thread; throws std::system_error when no thread
  // can be had.
  template <typename Work>
  void start(Work&& work) {
    threads_.emplace_back(std::forward<Work>(work));
  }

  bool empty() const { return threads_.empty(); }

 private:
  std::vector<std::thread> threads_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_UTILS_JOINED_THREADS_H_
