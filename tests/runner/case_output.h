// Where runner::out() writes. Each worker thread points it at the output of
// the case it is running, so parallel cases never share a stream; with no
// case running it is the process's standard output.

#ifndef QUILLSTONE_DAT_TESTS_RUNNER_CASE_OUTPUT_H_
#define QUILLSTONE_DAT_TESTS_RUNNER_CASE_OUTPUT_H_

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

namespace runner {

// Points out() at `sink` on this thread for the scope's life.
class CaseOutputScope {
 public:
  explicit CaseOutputScope(std::ostream& sink);
  ~CaseOutputScope();
  CaseOutputScope(const CaseOutputScope&) = delete;
  CaseOutputScope& operator=(const CaseOutputScope&) = delete;

 private:
  std::ostream* previous_;
};

// A stream buffer that passes text on to `sink` a whole line at a time,
// holding `lock` for each line, so that cases printing at once through
// their own buffers never tear each other's lines. The rest of an unfinished
// line goes out on sync() and when the buffer is destroyed.
class LineForwardingBuffer : public std::streambuf {
 public:
  LineForwardingBuffer(std::ostream& sink, std::mutex& lock)
      : sink_(sink), lock_(lock) {}
  ~LineForwardingBuffer() override;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  void forward_complete_lines();

  std::ostream& sink_;
  std::mutex& lock_;
  std::string pending_;
};

}  // namespace runner

#endif  // QUILLSTONE_DAT_TESTS_RUNNER_CASE_OUTPUT_H_
