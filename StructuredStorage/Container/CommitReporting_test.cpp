// What a writer learns from a commit: every failure on the way to the byte
// array, including the ones that happened where no caller could be told
// (the last release of a child storage or nested container), and refusals
// where a change could not be stored at all.

#include <gtest/gtest.h>

#include <vector>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "CFailingByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStream.h"
#include "qss/CreateContainer.h"
#include "ContainerTesting.h"

namespace qss {

namespace {

using Operation = CFailingByteArray::Operation;
using qss_testing::Pattern;

constexpr QssResult kDiskFull = QssResultFromSystemError(28);

void WriteAll(CStream* stream, const std::vector<std::uint8_t>& bytes) {
  std::uint32_t written = 0;
  ASSERT_EQ(stream->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()), &written), kQssOk);
  ASSERT_EQ(written, bytes.size());
}

std::vector<std::uint8_t> ReadWhole(CStorage* storage, const char16_t* name) {
  CQssRef<CStream> stream;
  if (QssFailed(storage->OpenStream(name, 0, stream.Receive()))) return {};
  std::vector<std::uint8_t> bytes(1 << 16);
  std::uint32_t got = 0;
  EXPECT_EQ(stream->Read(bytes.data(), static_cast<std::int32_t>(bytes.size()), &got), kQssOk);
  bytes.resize(got);
  return bytes;
}

// A fresh container of 512-byte blocks behind a byte array whose failures
// the test plans.
struct FailingContainer {
  FailingContainer() {
    EXPECT_EQ(CreateContainer(memory.get(), 4, 512), kQssOk);
    root = CQssRef<CRootStorage>(new CRootStorage(failing.get()));
    EXPECT_TRUE(root->valid());
  }
  CQssRef<CMemoryByteArray> memory{new CMemoryByteArray()};
  CQssRef<CFailingByteArray> failing{new CFailingByteArray(memory.get())};
  CQssRef<CRootStorage> root;
};

TEST(CommitReportingTest, AFailedDirectorySaveIsReportedAndTheNextCommitFinishesIt) {
  FailingContainer c;
  const auto content = Pattern(3000, 1);
  {
    CQssRef<CStream> stream;
    ASSERT_EQ(c.root->CreateStream(u"s", false, stream.Receive()), kQssOk);
    WriteAll(stream.get(), content);
  }
  c.failing->FailFrom(Operation::kWrite, 1, kDiskFull);
  EXPECT_EQ(c.root->Commit(), kDiskFull);
  EXPECT_EQ(c.root->Commit(), kDiskFull);
  c.failing->Heal();
  EXPECT_EQ(c.root->Commit(), kQssOk);

  CQssRef<CMemoryByteArray> copy(new CMemoryByteArray(c.memory->Bytes()));
  CQssRef<CRootStorage> reopened(new CRootStorage(copy.get()));
  ASSERT_TRUE(reopened->valid());
  EXPECT_EQ(ReadWhole(reopened.get(), u"s"), content);
}

// A commit writes the directory, the header record and the table block;
// whichever of those writes fails, the commit says so.
TEST(CommitReportingTest, EveryWriteOfACommitThatFailsIsReported) {
  const auto prepare = [](FailingContainer& c) {
    CQssRef<CStream> stream;
    ASSERT_EQ(c.root->CreateStream(u"s", false, stream.Receive()), kQssOk);
    WriteAll(stream.get(), Pattern(100, 2));
    ASSERT_EQ(stream->SetSize(0), kQssOk);  // frees its block: only the table in memory knows
  };
  std::int64_t writes = 0;
  {
    FailingContainer healthy;
    prepare(healthy);
    const std::int64_t before = healthy.failing->Calls(Operation::kWrite);
    ASSERT_EQ(healthy.root->Commit(), kQssOk);
    writes = healthy.failing->Calls(Operation::kWrite) - before;
  }
  ASSERT_GE(writes, 3);
  for (std::int64_t n = 1; n <= writes; ++n) {
    SCOPED_TRACE(n);
    FailingContainer c;
    prepare(c);
    c.failing->FailNth(Operation::kWrite, n, kDiskFull);
    EXPECT_EQ(c.root->Commit(), kDiskFull);
    EXPECT_EQ(c.root->Commit(), kQssOk);  // the failed step is written again
  }
}

// A child whose last release cannot save its records has nobody to tell but
// its parent: the parent's commits report it from then on, since the lost
// records cannot be written again.
TEST(CommitReportingTest, AChildThatCouldNotSaveAtItsLastReleaseFailsEveryLaterCommitOfItsParent) {
  for (const bool nested : {false, true}) {
    SCOPED_TRACE(nested ? "nested container" : "storage");
    FailingContainer c;
    CQssRef<CStorage> child;
    if (nested) {
      CQssRef<CRootStorage> created;
      ASSERT_EQ(c.root->CreateNestedContainer(u"child", 4, 512, created.Receive()), kQssOk);
      child = CQssRef<CStorage>(created.get());
    } else {
      ASSERT_EQ(c.root->CreateStorage(u"child", child.Receive()), kQssOk);
    }
    {
      CQssRef<CStream> stream;
      ASSERT_EQ(child->CreateStream(u"inner", false, stream.Receive()), kQssOk);
      WriteAll(stream.get(), Pattern(2000, 3));
    }
    c.failing->FailFrom(Operation::kWrite, 1, kDiskFull);
    child.Reset();
    c.failing->Heal();
    EXPECT_EQ(c.root->Commit(), kDiskFull);
    EXPECT_EQ(c.root->Commit(), kDiskFull);
  }
}

TEST(CommitReportingTest, ChildrenReleasedWithoutFailureLeaveTheParentsCommitClean) {
  FailingContainer c;
  {
    CQssRef<CStorage> storage;
    ASSERT_EQ(c.root->CreateStorage(u"dir", storage.Receive()), kQssOk);
    CQssRef<CRootStorage> nested;
    ASSERT_EQ(c.root->CreateNestedContainer(u"box", 2, 256, nested.Receive()), kQssOk);
    CQssRef<CStream> a, b;
    ASSERT_EQ(storage->CreateStream(u"a", false, a.Receive()), kQssOk);
    ASSERT_EQ(nested->CreateStream(u"b", true, b.Receive()), kQssOk);
    WriteAll(a.get(), Pattern(700, 4));
    WriteAll(b.get(), std::vector<std::uint8_t>(5000, 'b'));
  }
  EXPECT_EQ(c.root->Commit(), kQssOk);
  EXPECT_EQ(c.failing->Failures(), 0);
}

// A container whose header names no table chain has nowhere to store a new
// block: the first write that needs one fails, and the bytes stay as they
// were (before, the data was written and lost at the next open).
TEST(CommitReportingTest, WithoutATableChainNothingIsWrittenAndEveryStepSaysSo) {
  std::vector<std::uint8_t> bytes = qss_testing::MakeHeader(4, 512, 512, -1);
  bytes.resize(512 + 4 * 512);
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    ASSERT_TRUE(root->valid());
    CQssRef<CStream> stream;
    ASSERT_EQ(root->CreateStream(u"s", false, stream.Receive()), kQssOk);
    std::uint32_t written = 7;
    EXPECT_EQ(stream->Write("data", 4, &written), kQssTableCannotGrow);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(stream->SetSize(10), kQssTableCannotGrow);
    stream.Reset();
    EXPECT_EQ(root->Commit(), kQssTableCannotGrow);  // the new record needs a directory block
  }
  EXPECT_EQ(array->Bytes(), bytes);
}

// A directory that could not be read whole shows what was read, but writing
// it back would drop the records that were not.
TEST(CommitReportingTest, ADirectoryThatWasNotReadWholeTakesNoChildAndIsNeverSaved) {
  // More records than one transfer of the directory brings in, so that a
  // failure of the last transfer leaves the records of the first.
  constexpr int kRecords = 600;
  constexpr int kRecordsPerTransfer = 512;
  CQssRef<CMemoryByteArray> memory(new CMemoryByteArray());
  ASSERT_EQ(CreateContainer(memory.get(), 4, 512), kQssOk);
  {
    CQssRef<CRootStorage> root(new CRootStorage(memory.get()));
    for (int i = 0; i < kRecords; ++i) {
      const char16_t name[] = {u's', static_cast<char16_t>(u'A' + i / 26 / 26),
                               static_cast<char16_t>(u'A' + i / 26 % 26), static_cast<char16_t>(u'A' + i % 26), 0};
      CQssRef<CStream> stream;
      ASSERT_EQ(root->CreateStream(name, false, stream.Receive()), kQssOk);
    }
    ASSERT_EQ(root->Commit(), kQssOk);
  }
  const std::vector<std::uint8_t> before = memory->Bytes();

  CQssRef<CFailingByteArray> failing(new CFailingByteArray(memory.get()));
  { CQssRef<CRootStorage> counting(new CRootStorage(failing.get())); }
  const std::int64_t reads = failing->Calls(Operation::kRead);
  // The last read of an open brings in the directory's last records; from it
  // on the byte array fails, so reading them one by one fails too.
  failing->FailFrom(Operation::kRead, reads, kDiskFull);
  {
    CQssRef<CRootStorage> root(new CRootStorage(failing.get()));
    ASSERT_TRUE(root->valid());
    EXPECT_EQ(root->EntryCount(), kRecordsPerTransfer);
    EXPECT_EQ(root->loadStatus(), kDiskFull);
    CQssRef<CStream> stream;
    EXPECT_EQ(root->CreateStream(u"f", false, stream.Receive()), kDiskFull);
    EXPECT_EQ(root->Commit(), kQssOk);  // nothing changed, nothing to save
  }
  EXPECT_EQ(memory->Bytes(), before);
}

}  // namespace

}  // namespace qss
