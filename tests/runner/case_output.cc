#include "runner/case_output.h"

#include <iostream>

#include "runner/check.h"

namespace runner {
namespace {

thread_local std::ostream* current_output = nullptr;

}  // namespace

std::ostream& out() {
  return current_output != nullptr ? *current_output : std::cout;
}

CaseOutputScope::CaseOutputScope(std::ostream& sink)
    : previous_(current_output) {
  current_output = &sink;
}

CaseOutputScope::~CaseOutputScope() { current_output = previous_; }

LineForwardingBuffer::~LineForwardingBuffer() { sync(); }

LineForwardingBuffer::int_type LineForwardingBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) {
    return traits_type::not_eof(c);
  }
  pending_.push_back(traits_type::to_char_type(c));
  if (traits_type::to_char_type(c) == '\n') forward_complete_lines();
  return c;
}

std::streamsize LineForwardingBuffer::xsputn(const char* text,
                                             std::streamsize count) {
  pending_.append(text, static_cast<std::size_t>(count));
  forward_complete_lines();
  return count;
}

int LineForwardingBuffer::sync() {
  if (!pending_.empty()) {
    const std::scoped_lock hold(lock_);
    sink_ << pending_ << std::flush;
    pending_.clear();
  }
  return 0;
}

void LineForwardingBuffer::forward_complete_lines() {
  const std::size_t last_newline = pending_.rfind('\n');
  if (last_newline == std::string::npos) return;
  {
    const std::scoped_lock hold(lock_);
    sink_.write(pending_.data(),
                static_cast<std::streamsize>(last_newline + 1));
    sink_.flush();
  }
  pending_.erase(0, last_newline + 1);
}

}  // namespace runner
