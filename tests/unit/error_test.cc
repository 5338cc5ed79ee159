// Debug forms of DatError: what every caller shows when something fails.

#include "quillstone_dat/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "quillstone_dat/io_error.h"

namespace quillstone_dat {
namespace {

BinReadError eof_in(const char* field, const char* record) {
  BinReadError error(IoError::fill_whole_buffer());
  error.with_context(std::string("While parsing field '") + field + "' in " +
                     record);
  return error;
}

TEST(DatErrorDebug, NumbersAreDecimal) {
  EXPECT_EQ(DatError::not_found(255).debug(), "NotFound(255)");
  EXPECT_EQ(DatError::not_found(0xFFFFFFFF).debug(), "NotFound(4294967295)");
  EXPECT_EQ(DatError::unsupported_version(0x10).debug(),
            "UnsupportedVersion(16)");
}

TEST(DatErrorDebug, PathErrorShowsQuotedPathThenIoError) {
  const IoError source = IoError::from_errno(ENOENT);
  const DatError error = DatError::path_error("dats/no such.dat", source);

  EXPECT_EQ(error.debug(), "PathError { path: \"dats/no such.dat\", source: " +
                               source.debug() + " }");
  EXPECT_EQ(error.kind(), DatError::Kind::kPathError);
  EXPECT_EQ(*error.path(), "dats/no such.dat");
  EXPECT_EQ(*error.io_error(), source);
}

TEST(DatErrorDebug, IoErrorNamesKindMessageAndOsErrorNumber) {
  const std::string os = IoError::from_errno(EIO).debug();
  EXPECT_NE(os.find("Other"), std::string::npos) << os;
  EXPECT_NE(os.find("\"Input/output error\""), std::string::npos) << os;
  EXPECT_NE(os.find(std::to_string(EIO)), std::string::npos) << os;

  EXPECT_EQ(IoError::from_errno(ENOENT).kind(), IoErrorKind::kNotFound);
  EXPECT_EQ(IoError::from_errno(ENOENT).os_error(), ENOENT);
  EXPECT_EQ(IoError::from_errno(EINTR).kind(), IoErrorKind::kInterrupted);

  const std::string eof = IoError::fill_whole_buffer().debug();
  EXPECT_NE(eof.find("UnexpectedEof"), std::string::npos) << eof;
  EXPECT_NE(eof.find("failed to fill whole buffer"), std::string::npos) << eof;
  EXPECT_EQ(IoError::not_enough_bytes().kind(), IoErrorKind::kUnexpectedEof);
  EXPECT_EQ(IoError::not_enough_bytes().message(),
            "not enough bytes in reader");
}

TEST(DatErrorDebug, IoWrapsTheIoErrorDebugForm) {
  const IoError io = IoError::from_errno(EIO);
  const DatError error = io;
  EXPECT_EQ(error.kind(), DatError::Kind::kIo);
  EXPECT_EQ(error.debug(), "Io(" + io.debug() + ")");
  EXPECT_EQ(*error.io_error(), io);
}

TEST(DatErrorDebug, BinReadWithFramesIsABacktraceBlock) {
  BinReadError bin = eof_in("id", "DatFileEntry");
  bin.with_context("While reading node at 4096");
  const DatError error = bin;
  const std::string text = error.debug();

  EXPECT_EQ(error.kind(), DatError::Kind::kBinRead);
  EXPECT_EQ(text.rfind("BinRead(", 0), 0u) << text;
  EXPECT_EQ(text.back(), ')') << text;
  const std::size_t heading = text.find("Backtrace");
  const std::size_t cause = text.find("failed to fill whole buffer");
  const std::size_t inner =
      text.find("While parsing field 'id' in DatFileEntry");
  const std::size_t outer = text.find("While reading node at 4096");
  ASSERT_NE(heading, std::string::npos) << text;
  ASSERT_NE(cause, std::string::npos) << text;
  ASSERT_NE(inner, std::string::npos) << text;
  ASSERT_NE(outer, std::string::npos) << text;
  // The heading sets the block off on a line of its own; frames follow the
  // cause, innermost first.
  EXPECT_LT(text.find('\n'), heading) << text;
  EXPECT_LT(heading, cause);
  EXPECT_LT(cause, inner);
  EXPECT_LT(inner, outer);
  EXPECT_EQ(error.bin_read_error()->frames().size(), 2u);
}

TEST(DatErrorDebug, BinReadWithoutFramesIsTheCauseMessage) {
  const DatError error = BinReadError(IoError::fill_whole_buffer());
  EXPECT_EQ(error.debug(), "BinRead(failed to fill whole buffer)");
}

TEST(DatErrorDebug, EveryKindHasItsNameAndForm) {
  struct Case {
    DatError error;
    DatError::Kind kind;
    const char* debug;
  };
  const std::vector<Case> cases = {
      {DatError::not_found(1), DatError::Kind::kNotFound, "NotFound(1)"},
      {DatError::duplicate_id(7), DatError::Kind::kDuplicateId,
       "DuplicateId(7)"},
      {DatError::duplicate_namespaced_id("portal", 9),
       DatError::Kind::kDuplicateNamespacedId,
       "DuplicateNamespacedId { namespace: \"portal\", file_id: 9 }"},
      {DatError::invalid_magic("TB"), DatError::Kind::kInvalidMagic,
       "InvalidMagic(\"TB\")"},
      {DatError::unsupported_version(3), DatError::Kind::kUnsupportedVersion,
       "UnsupportedVersion(3)"},
      {DatError::invalid_namespace("x"), DatError::Kind::kInvalidNamespace,
       "InvalidNamespace(\"x\")"},
      {DatError::corruption("loop"), DatError::Kind::kCorruption,
       "Corruption(\"loop\")"},
      {DatError::decompression_failed(12), DatError::Kind::kDecompressionFailed,
       "DecompressionFailed(12)"},
      {DatError::other("else"), DatError::Kind::kOther, "Other(\"else\")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.debug(), c.debug);
    const std::string message = c.error.message();
    EXPECT_FALSE(message.empty()) << c.debug;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }

  const std::vector<std::string> names = {"Io",
                                          "BinRead",
                                          "NotFound",
                                          "DuplicateId",
                                          "DuplicateNamespacedId",
                                          "InvalidMagic",
                                          "UnsupportedVersion",
                                          "InvalidNamespace",
                                          "Corruption",
                                          "DecompressionFailed",
                                          "PathError",
                                          "Other"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(to_string(static_cast<DatError::Kind>(i)), names[i]);
  }
}

TEST(DatErrorDebug, TextIsEscapedOntoOneLine) {
  EXPECT_EQ(DatError::corruption("say \"hi\"\\now\n\tand\x01").debug(),
            R"(Corruption("say \"hi\"\\now\n\tand\x01"))");
  EXPECT_EQ(DatError::path_error("a\"b", IoError::fill_whole_buffer())
                .debug()
                .rfind(R"(PathError { path: "a\"b", source: )", 0),
            0u);
  EXPECT_EQ(DatError::duplicate_namespaced_id("q\"", 1).debug(),
            R"(DuplicateNamespacedId { namespace: "q\"", file_id: 1 })");
}

TEST(DatErrorDebug, StreamsItsDebugForm) {
  std::ostringstream out;
  out << DatError::not_found(42);
  EXPECT_EQ(out.str(), "NotFound(42)");
}

}  // namespace
}  // namespace quillstone_dat
