// Debug forms of DatError, what every caller shows when something fails,
// and the one-line messages for people that the library builds from an
// error's facts and the archive it arose in.

#include "quillstone_dat/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/error_context.h"
#include "quillstone_dat/io_error.h"
#include "support/archive_builder.h"

namespace quillstone_dat {
namespace {

std::string hex_of(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

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

// The record readers name what failed as facts, not only in frame text.
TEST(DatErrorMessage, RecordReadsNameRecordFieldAndCount) {
  const auto short_header = testing::open_in_memory(testing::Bytes(330, 0));
  ASSERT_FALSE(short_header);
  const BinReadError* header = short_header.error().bin_read_error();
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->record(), "DatHeader");
  EXPECT_EQ(header->field(), "file_size");
  EXPECT_FALSE(header->counted_entries());

  testing::ArchiveBuilder builder;
  builder.put_root(testing::Node{{}, {}, 62});
  const auto counted = testing::open_in_memory(builder.bytes());
  ASSERT_FALSE(counted);
  // Still the end-of-data error of the 62nd entry's first field.
  const BinReadError* node = counted.error().bin_read_error();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->record(), "DatFileEntry");
  EXPECT_EQ(node->field(), "bit_flags");
  EXPECT_EQ(node->counted_entries(), 62u);
  ASSERT_EQ(node->frames().size(), 1u);
  EXPECT_EQ(node->frames()[0].message,
            "While parsing field 'bit_flags' in DatFileEntry");
}

// What the tool prints after the file's name comes from the library, told
// by where the error arose.
TEST(DatErrorMessage, SaysWhatIsWrongInTheArchivesTerms) {
  const auto empty = testing::open_in_memory({});
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().message(), "not a DAT archive: the file is empty");
  ASSERT_NE(empty.error().context(), nullptr);
  EXPECT_EQ(empty.error().context()->archive_length, 0u);

  const auto short_file = testing::open_in_memory(testing::Bytes(322, 0));
  EXPECT_EQ(short_file.error().message(),
            "not a DAT archive, or truncated: the file is 322 bytes and its "
            "header ends at byte 400");

  testing::ArchiveBuilder counted;
  counted.put_root(testing::Node{{}, {}, 62});
  const std::uint32_t root = counted.header().root_offset;
  const auto overfull = testing::open_in_memory(counted.bytes());
  EXPECT_EQ(overfull.error().message(),
            "damaged directory: a node counts more entries than its 61 "
            "slots: the node at 0x" +
                hex_of(root) + " counts 62");
  EXPECT_EQ(overfull.error().context()->node_offset, root);

  // A root past the end of a file whose header gives a longer length: an
  // archive cut short.
  testing::ArchiveBuilder cut;
  cut.header().root_offset = 100000;
  cut.header().file_size = 200000;
  cut.header().block_size = 1024;
  const auto truncated = testing::open_in_memory(cut.bytes());
  EXPECT_EQ(truncated.error().message(),
            "truncated: directory node at 0x000186A0 lies past the end of "
            "the 400-byte file (its header gives 200,000 bytes)");

  EXPECT_EQ(DatError::not_found(0x0600002A).message(),
            "no file 0x0600002A in the archive");
  EXPECT_EQ(
      DatError::path_error("x.dat", IoError::from_errno(ENOENT)).message(),
      "No such file or directory");
}

TEST(DatErrorMessage, EntryErrorsNameTheFile) {
  testing::ArchiveBuilder builder;
  const std::uint8_t data[] = {1, 2, 3};
  DatFileEntry entry = builder.add_file(0x0A000001, data);
  entry.size = 5000;  // runs past the end of the image
  builder.put_root(testing::Node{{}, {entry}, std::nullopt});
  const testing::Bytes image = builder.bytes();
  const auto db = testing::open_in_memory(image);
  ASSERT_TRUE(db) << db.error();
  const auto read = db->get_file(0x0A000001);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error(), DatError(IoError::fill_whole_buffer()));
  ASSERT_EQ(image.size(), 2136u);
  EXPECT_EQ(read.error().message(),
            "file 0x0A000001 is truncated: its 5,000 stored bytes at 0x" +
                hex_of(entry.offset) +
                " run past the end of the 2,136-byte archive");
  ASSERT_NE(read.error().context(), nullptr);
  EXPECT_EQ(read.error().context()->entry, entry);
  EXPECT_EQ(db->get_stored(0x0A000001).error().message(),
            read.error().message());

  // Without a context an error says no more than itself.
  EXPECT_EQ(DatError(IoError::fill_whole_buffer()).message(),
            "failed to fill whole buffer");
  DatError corrupt = DatError::corruption("block size 4 leaves no room");
  EXPECT_EQ(corrupt.message(), "damaged: block size 4 leaves no room");
  ErrorContext reading;
  reading.entry = entry;
  corrupt.set_context(reading);
  EXPECT_EQ(corrupt.message(),
            "file 0x0A000001: damaged: block size 4 leaves no room");
  EXPECT_EQ(corrupt, DatError::corruption("block size 4 leaves no room"));
}

}  // namespace
}  // namespace quillstone_dat
