// Copying a stream into a file: whole copies only.

#include "StreamCopy.h"

#include <gtest/gtest.h>

#include <new>
#include <optional>

#include "qss/CStream.h"
#include "testing/FakeInstallerServices.h"
#include "testing/TestPackage.h"

using namespace qss;

namespace {

const std::u16string kOutput = u"/sys32/out.tmp";

// A stream that serves content from memory and can misbehave on purpose.
class ScriptedStream final : public CStream {
 public:
  explicit ScriptedStream(std::string content) : content_(std::move(content)) {}

  QssResult Read(void* buffer, std::int32_t count, std::uint32_t* read) override {
    *read = 0;
    reads.push_back(count);
    if (throwAtRead && reads.size() > *throwAtRead) throw std::bad_alloc();
    std::size_t available = content_.size() - std::min(content_.size(), cursor_);
    if (deliverLimit) available = std::min(available, *deliverLimit - std::min(*deliverLimit, cursor_));
    const std::size_t n = std::min<std::size_t>(available, static_cast<std::size_t>(count));
    content_.copy(static_cast<char*>(buffer), n, cursor_);
    cursor_ += n;
    *read = static_cast<std::uint32_t>(n);
    if (failWhenShort && n < static_cast<std::size_t>(count)) return kQssNotAContainer;
    return kQssOk;
  }

  QssResult Seek(std::int64_t offset, std::int32_t origin, std::int64_t* position) override {
    if (origin == kSeekBegin) cursor_ = static_cast<std::size_t>(offset);
    if (origin == kSeekEnd) cursor_ = content_.size() - static_cast<std::size_t>(offset);
    if (position) *position = static_cast<std::int64_t>(cursor_);
    return kQssOk;
  }

  // Reads deliver nothing past this position (a chain that ends early).
  std::optional<std::size_t> deliverLimit;
  // A read that delivers less than asked also reports a failure.
  bool failWhenShort = false;
  // Reads after this many throw std::bad_alloc, as the library's may when a
  // hostile record asks for more memory than there is.
  std::optional<std::size_t> throwAtRead;
  std::vector<std::int32_t> reads;

 private:
  std::string content_;
  std::size_t cursor_ = 0;
};

TEST(StreamCopyTest, CopiesInOneMegabytePiecesAndEndsWithTheShortRead) {
  for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{kCopyChunkBytes},
                                   std::size_t{2 * kCopyChunkBytes + 7}}) {
    FakeFilePlacement files;
    const std::string content = PatternContent(length, static_cast<unsigned>(length));
    ScriptedStream stream(content);
    ASSERT_TRUE(CopyStreamToNewFile(files, stream, kOutput)) << length;
    EXPECT_EQ(files.files[kOutput], content);
    EXPECT_TRUE(files.openFiles.empty());
    // Exact multiples end with a read of nothing.
    EXPECT_EQ(stream.reads.size(), length / kCopyChunkBytes + 1) << length;
    for (const std::int32_t asked : stream.reads) EXPECT_EQ(asked, static_cast<std::int32_t>(kCopyChunkBytes));
  }
}

TEST(StreamCopyTest, StartsAtTheBeginningWhereverThePositionWas) {
  FakeFilePlacement files;
  ScriptedStream stream("0123456789");
  ASSERT_EQ(stream.Seek(4, kSeekBegin, nullptr), kQssOk);
  ASSERT_TRUE(CopyStreamToNewFile(files, stream, kOutput));
  EXPECT_EQ(files.files[kOutput], "0123456789");
}

// A stream that ends before its length would have installed a truncated
// executable; the attempt fails instead and leaves no file behind.
TEST(StreamCopyTest, AReadThatStopsShortFailsAndRemovesTheFile) {
  FakeFilePlacement files;
  ScriptedStream stream(PatternContent(kCopyChunkBytes + 100));
  stream.deliverLimit = kCopyChunkBytes + 10;
  EXPECT_FALSE(CopyStreamToNewFile(files, stream, kOutput));
  EXPECT_EQ(files.files.count(kOutput), 0u);
  EXPECT_EQ(files.log.back(), "delete /sys32/out.tmp");
}

TEST(StreamCopyTest, AFailedReadFailsAndRemovesTheFile) {
  FakeFilePlacement files;
  ScriptedStream stream(PatternContent(3 * kCopyChunkBytes));
  stream.deliverLimit = kCopyChunkBytes + kCopyChunkBytes / 2;
  stream.failWhenShort = true;
  EXPECT_FALSE(CopyStreamToNewFile(files, stream, kOutput));
  EXPECT_EQ(files.files.count(kOutput), 0u);
}

TEST(StreamCopyTest, AFailedWriteOrCloseFailsAndRemovesTheFile) {
  {
    FakeFilePlacement files;
    files.writeLimit = 5000;
    ScriptedStream stream(PatternContent(10000));
    EXPECT_FALSE(CopyStreamToNewFile(files, stream, kOutput));
    EXPECT_EQ(files.files.count(kOutput), 0u);
    EXPECT_TRUE(files.openFiles.empty());
  }
  {
    FakeFilePlacement files;
    files.closeFails = true;
    ScriptedStream stream("abc");
    EXPECT_FALSE(CopyStreamToNewFile(files, stream, kOutput));
    EXPECT_EQ(files.files.count(kOutput), 0u);
  }
}

TEST(StreamCopyTest, AThrowingReadOrCreateFailsLikeAFailedOne) {
  {
    FakeFilePlacement files;
    ScriptedStream stream(PatternContent(3 * kCopyChunkBytes));
    stream.throwAtRead = 1;
    EXPECT_FALSE(CopyStreamToNewFile(files, stream, kOutput));
    EXPECT_EQ(files.files.count(kOutput), 0u);
    EXPECT_TRUE(files.openFiles.empty());
    EXPECT_EQ(files.log.back(), "delete /sys32/out.tmp");
  }
  {
    // No file was made, so none is deleted: the name may be someone else's.
    FakeFilePlacement files;
    files.throwFrom["create /sys32/out.tmp"] = 1;
    ScriptedStream stream("abc");
    EXPECT_FALSE(CopyStreamToNewFile(files, stream, kOutput));
    EXPECT_EQ(files.log, std::vector<std::string>{"create /sys32/out.tmp"});
  }
}

TEST(StreamCopyTest, AFileThatCannotBeCreatedFailsWithoutReading) {
  FakeFilePlacement files;
  files.uncreatable.insert(kOutput);
  ScriptedStream stream("abc");
  EXPECT_FALSE(CopyStreamToNewFile(files, stream, kOutput));
  EXPECT_TRUE(stream.reads.empty());
  EXPECT_EQ(files.log, std::vector<std::string>{"create /sys32/out.tmp"});
}

}  // namespace
