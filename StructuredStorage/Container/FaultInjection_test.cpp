// Failing storage under a container: every read, write or resize of the
// byte array may fail. Whatever fails, each operation of the library reports
// a failure code or delivers exactly the right bytes (never success with
// wrong data), every object stays releasable, nothing leaks (the sanitizer
// build checks leaks), and content committed before a failure is still
// readable after the container is reopened on healthy storage.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
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
using Contents = std::map<std::u16string, std::vector<std::uint8_t>>;  // path with '/' -> bytes

using qss_testing::Bytes;

void WriteAll(CStream* stream, const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
  std::uint32_t written = 0;
  ASSERT_EQ(stream->Write(bytes.data() + from, static_cast<std::int32_t>(to - from), &written), kQssOk);
  ASSERT_EQ(written, to - from);
}

// A container with every kind of object. Two streams are written in turns,
// so that their chains interleave and reads need several runs.
void BuildContainer(CMemoryByteArray* array, Contents* contents) {
  ASSERT_EQ(CreateContainer(array, 4, 512), kQssOk);
  CQssRef<CRootStorage> root(new CRootStorage(array));
  ASSERT_TRUE(root->valid());
  (*contents)[u"plain"] = Bytes(5000, 1, false);
  (*contents)[u"packed"] = Bytes(9000, 2, true);
  (*contents)[u"other"] = Bytes(3000, 3, false);
  (*contents)[u"dir/inner"] = Bytes(1500, 4, false);
  (*contents)[u"nested/deep"] = Bytes(2600, 5, false);
  (*contents)[u"nested/deeppacked"] = Bytes(4000, 6, true);
  {
    CQssRef<CStream> plain, packed, other;
    ASSERT_EQ(root->CreateStream(u"plain", false, plain.Receive()), kQssOk);
    ASSERT_EQ(root->CreateStream(u"packed", true, packed.Receive()), kQssOk);
    ASSERT_EQ(root->CreateStream(u"other", false, other.Receive()), kQssOk);
    WriteAll(plain.get(), (*contents)[u"plain"], 0, 1200);
    WriteAll(other.get(), (*contents)[u"other"], 0, 1000);
    WriteAll(plain.get(), (*contents)[u"plain"], 1200, 5000);
    WriteAll(other.get(), (*contents)[u"other"], 1000, 3000);
    WriteAll(packed.get(), (*contents)[u"packed"], 0, 9000);
  }
  {
    CQssRef<CStorage> dir;
    ASSERT_EQ(root->CreateStorage(u"dir", dir.Receive()), kQssOk);
    CQssRef<CStream> inner;
    ASSERT_EQ(dir->CreateStream(u"inner", false, inner.Receive()), kQssOk);
    WriteAll(inner.get(), (*contents)[u"dir/inner"], 0, 1500);
  }
  CQssRef<CRootStorage> nested;
  ASSERT_EQ(root->CreateNestedContainer(u"nested", 2, 256, nested.Receive()), kQssOk);
  CQssRef<CStream> deep, deepPacked;
  ASSERT_EQ(nested->CreateStream(u"deep", false, deep.Receive()), kQssOk);
  ASSERT_EQ(nested->CreateStream(u"deeppacked", true, deepPacked.Receive()), kQssOk);
  WriteAll(deep.get(), (*contents)[u"nested/deep"], 0, 2600);
  WriteAll(deepPacked.get(), (*contents)[u"nested/deeppacked"], 0, 4000);
}

struct WalkOutcome {
  int failures = 0;    // operations that reported a failure
  int verified = 0;    // streams read whole and found right
  std::string wrong;   // the first success with wrong data, if any
};

// Opens every stream of contents from a new root storage on array and reads
// it in pieces. A piece is either refused with a failure code or right. With
// allowShort a stream may hold only the beginning of its content (its
// writing was reported to have failed).
void ReadEverything(CPhysicalByteArray* array, const Contents& contents, WalkOutcome* outcome,
                    bool allowShort = false) {
  CQssRef<CRootStorage> root(new CRootStorage(array));
  if (!root->valid()) {
    ++outcome->failures;
    if (root->status() != kQssNotAContainer && root->status() != kQssTruncated) outcome->wrong = "open status";
    return;
  }
  for (const auto& [path, expected] : contents) {
    CQssRef<CStorage> storage(root.get());
    std::u16string name = path;
    if (const auto slash = path.find(u'/'); slash != std::u16string::npos) {
      CQssRef<CStorage> child;
      if (QssFailed(root->OpenStorage(path.substr(0, slash).c_str(), 0, child.Receive()))) {
        ++outcome->failures;
        continue;
      }
      storage = child;
      name = path.substr(slash + 1);
    }
    CQssRef<CStream> stream;
    if (QssFailed(storage->OpenStream(name.c_str(), 0, stream.Receive()))) {
      ++outcome->failures;
      continue;
    }
    std::size_t position = 0;
    bool failed = false;
    for (;;) {
      std::uint8_t piece[700];
      std::uint32_t got = 0;
      const QssResult result = stream->Read(piece, sizeof(piece), &got);
      if (result != kQssOk) {  // a failure, or a compressed image that did not restore
        failed = true;
        break;
      }
      if (got == 0) break;
      if (position + got > expected.size() || std::memcmp(piece, expected.data() + position, got) != 0) {
        if (outcome->wrong.empty()) outcome->wrong = "wrong bytes read from a stream";
        return;
      }
      position += got;
    }
    if (failed) {
      ++outcome->failures;
    } else if (position != expected.size() && !allowShort) {
      if (outcome->wrong.empty()) outcome->wrong = "a stream ended early without a failure";
    } else {
      ++outcome->verified;
    }
  }
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
    BuildContainer(array.get(), &contents_);
    image_ = array->Bytes();
  }

  // A fresh copy of the container behind a failing array.
  CQssRef<CFailingByteArray> Failing(CQssRef<CMemoryByteArray>* healthy) {
    *healthy = CQssRef<CMemoryByteArray>(new CMemoryByteArray(image_));
    return CQssRef<CFailingByteArray>(new CFailingByteArray(healthy->get()));
  }

  Contents contents_;
  std::vector<std::uint8_t> image_;
};

TEST_F(FaultInjectionTest, HealthyStorageReadsEverything) {
  CQssRef<CMemoryByteArray> healthy;
  CQssRef<CFailingByteArray> failing = Failing(&healthy);
  WalkOutcome outcome;
  ReadEverything(failing.get(), contents_, &outcome);
  EXPECT_EQ(outcome.wrong, "");
  EXPECT_EQ(outcome.failures, 0);
  EXPECT_EQ(outcome.verified, static_cast<int>(contents_.size()));
  EXPECT_GT(failing->Calls(Operation::kRead), 20);
}

// Each read of the byte array in turn fails, once or for good: every result
// is a failure or the right bytes, and afterwards the storage reads whole.
TEST_F(FaultInjectionTest, FailingReadsNeverYieldWrongBytes) {
  std::int64_t reads = 0;
  {
    CQssRef<CMemoryByteArray> healthy;
    CQssRef<CFailingByteArray> failing = Failing(&healthy);
    WalkOutcome outcome;
    ReadEverything(failing.get(), contents_, &outcome);
    reads = failing->Calls(Operation::kRead);
  }
  for (const bool onwards : {false, true}) {
    for (std::int64_t n = 1; n <= reads; ++n) {
      SCOPED_TRACE((onwards ? "from read " : "only read ") + std::to_string(n));
      CQssRef<CMemoryByteArray> healthy;
      CQssRef<CFailingByteArray> failing = Failing(&healthy);
      if (onwards) {
        failing->FailFrom(Operation::kRead, n);
      } else {
        failing->FailNth(Operation::kRead, n);
      }
      WalkOutcome outcome;
      ReadEverything(failing.get(), contents_, &outcome);
      // A failure may also go unseen where it touched nothing that was asked
      // for: a directory load stops at a failed record, and a later open of
      // a missing name says "not found".
      EXPECT_EQ(outcome.wrong, "");
      // Reading never writes: the bytes are as they were.
      EXPECT_EQ(healthy->Bytes(), image_);
      failing->Heal();
      WalkOutcome again;
      ReadEverything(failing.get(), contents_, &again);
      EXPECT_EQ(again.wrong, "");
      EXPECT_EQ(again.verified, static_cast<int>(contents_.size()));
    }
  }
}

// Adds to the container: a new stream written in pieces (growing the table),
// a compressed stream, a storage with a stream, then commits. Counts the
// operations that reported a failure.
int Modify(CPhysicalByteArray* array, const Contents& added) {
  int failures = 0;
  const auto note = [&failures](QssResult result) {
    if (QssFailed(result)) ++failures;
    return QssSucceeded(result);
  };
  CQssRef<CRootStorage> root(new CRootStorage(array));
  if (!root->valid()) return 1;
  {
    CQssRef<CStream> fresh, packed;
    if (note(root->CreateStream(u"fresh", false, fresh.Receive()))) {
      const auto& bytes = added.at(u"fresh");
      for (std::size_t at = 0; at < bytes.size(); at += 3000) {
        const std::size_t length = std::min<std::size_t>(3000, bytes.size() - at);
        std::uint32_t written = 0;
        if (!note(fresh->Write(bytes.data() + at, static_cast<std::int32_t>(length), &written))) break;
        if (written != length) ++failures;
      }
    }
    if (note(root->CreateStream(u"freshpacked", true, packed.Receive()))) {
      const auto& bytes = added.at(u"freshpacked");
      std::uint32_t written = 0;
      const QssResult result = packed->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()), &written);
      if (result != kQssOk || written != bytes.size()) ++failures;
    }
  }
  {
    CQssRef<CStorage> dir;
    if (note(root->CreateStorage(u"freshdir", dir.Receive()))) {
      CQssRef<CStream> inner;
      if (note(dir->CreateStream(u"a", false, inner.Receive()))) {
        const auto& bytes = added.at(u"freshdir/a");
        std::uint32_t written = 0;
        note(inner->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()), &written));
      }
    }
  }
  note(root->Commit());
  return failures;
}

// After the old content was committed and closed, more is added while one
// write or resize of the byte array fails (once, or from then on). Reopened
// on healthy storage the container opens, and everything committed before
// reads back right. New content that is found at all is right or refused.
TEST_F(FaultInjectionTest, FailingWritesKeepCommittedContent) {
  Contents added;
  added[u"fresh"] = Bytes(40000, 7, false);
  added[u"freshpacked"] = Bytes(6000, 8, true);
  added[u"freshdir/a"] = Bytes(900, 9, false);
  std::int64_t calls[CFailingByteArray::kOperationCount] = {};
  {
    CQssRef<CMemoryByteArray> healthy;
    CQssRef<CFailingByteArray> failing = Failing(&healthy);
    ASSERT_EQ(Modify(failing.get(), added), 0);
    for (const Operation op : {Operation::kWrite, Operation::kSetSize}) calls[static_cast<int>(op)] = failing->Calls(op);
    WalkOutcome all;
    Contents everything = contents_;
    everything.insert(added.begin(), added.end());
    ReadEverything(healthy.get(), everything, &all);
    ASSERT_EQ(all.wrong, "");
    ASSERT_EQ(all.verified, static_cast<int>(everything.size()));
  }
  ASSERT_GT(calls[static_cast<int>(Operation::kWrite)], 10);
  ASSERT_GT(calls[static_cast<int>(Operation::kSetSize)], 1);

  for (const Operation op : {Operation::kWrite, Operation::kSetSize}) {
    for (const bool onwards : {false, true}) {
      for (std::int64_t n = 1; n <= calls[static_cast<int>(op)]; ++n) {
        SCOPED_TRACE(std::string(op == Operation::kWrite ? "write " : "resize ") + (onwards ? "from " : "only ") +
                     std::to_string(n));
        CQssRef<CMemoryByteArray> healthy;
        CQssRef<CFailingByteArray> failing = Failing(&healthy);
        if (onwards) {
          failing->FailFrom(op, n);
        } else {
          failing->FailNth(op, n);
        }
        const int reported = Modify(failing.get(), added);  // the objects are all released inside
        EXPECT_GT(failing->Failures(), 0);

        WalkOutcome committed;
        ReadEverything(healthy.get(), contents_, &committed);
        EXPECT_EQ(committed.wrong, "");
        EXPECT_EQ(committed.verified, static_cast<int>(contents_.size()));
        WalkOutcome fresh;
        ReadEverything(healthy.get(), added, &fresh, /*allowShort=*/reported > 0);
        EXPECT_EQ(fresh.wrong, "");
      }
    }
  }
}

// The objects that met a failure are the ones used afterwards: once the
// storage heals, the same stream reads and writes right.
TEST_F(FaultInjectionTest, ObjectsStayUsableAfterAFailure) {
  CQssRef<CMemoryByteArray> healthy;
  CQssRef<CFailingByteArray> failing = Failing(&healthy);
  const auto& plain = contents_.at(u"plain");
  std::vector<std::uint8_t> fresh = Bytes(2000, 12, false);
  {
    CQssRef<CRootStorage> root(new CRootStorage(failing.get()));
    ASSERT_TRUE(root->valid());
    CQssRef<CStream> stream;
    ASSERT_EQ(root->OpenStream(u"plain", 0, stream.Receive()), kQssOk);
    std::vector<std::uint8_t> buffer(plain.size());
    std::uint32_t got = 0;
    failing->FailFrom(Operation::kRead, 1);
    EXPECT_LT(stream->Read(buffer.data(), static_cast<std::int32_t>(buffer.size()), &got), 0);
    EXPECT_EQ(stream->position(), 0);
    failing->Heal();
    ASSERT_EQ(stream->Read(buffer.data(), static_cast<std::int32_t>(buffer.size()), &got), kQssOk);
    EXPECT_EQ(got, plain.size());
    EXPECT_EQ(buffer, plain);

    CQssRef<CStream> created;
    ASSERT_EQ(root->CreateStream(u"fresh", false, created.Receive()), kQssOk);
    WriteAll(created.get(), fresh, 0, 700);  // owns a block now
    failing->FailFrom(Operation::kWrite, 1);
    std::uint32_t written = 0;
    EXPECT_LT(created->Write(fresh.data() + 700, 1300, &written), 0);
    EXPECT_EQ(created->position(), 700);
    failing->Heal();
    WriteAll(created.get(), fresh, 700, 2000);
  }
  WalkOutcome outcome;
  Contents expected = contents_;
  expected[u"fresh"] = fresh;
  ReadEverything(healthy.get(), expected, &outcome);
  EXPECT_EQ(outcome.wrong, "");
  EXPECT_EQ(outcome.verified, static_cast<int>(expected.size()));
}

}  // namespace

}  // namespace qss
