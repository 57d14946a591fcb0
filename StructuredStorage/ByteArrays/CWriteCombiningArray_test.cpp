#include "ByteArrays/CWriteCombiningArray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "CFailingByteArray.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CQssRef.h"

namespace qss {

namespace {

using Operation = CFailingByteArray::Operation;

std::vector<std::uint8_t> Pattern(std::size_t length, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + 1);
  return bytes;
}

// A memory array under a failing one under the combining one, and a plain
// memory array that takes the same calls directly, for comparison.
struct Stack {
  CQssRef<CMemoryByteArray> memory{new CMemoryByteArray()};
  CQssRef<CFailingByteArray> failing{new CFailingByteArray(memory.get())};
  CQssRef<CWriteCombiningArray> combining{new CWriteCombiningArray(failing.get())};
  CQssRef<CMemoryByteArray> reference{new CMemoryByteArray()};

  void Write(std::int64_t offset, const std::vector<std::uint8_t>& bytes) {
    std::uint32_t written = 0;
    ASSERT_EQ(combining->WriteAt(offset, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written), kQssOk);
    ASSERT_EQ(written, bytes.size());
    ASSERT_EQ(reference->WriteAt(offset, bytes.data(), static_cast<std::uint32_t>(bytes.size()), nullptr), kQssOk);
  }
  void Resize(std::int64_t size) {
    ASSERT_EQ(combining->SetSize(size), kQssOk);
    ASSERT_EQ(reference->SetSize(size), kQssOk);
  }
};

// Small appends with gaps, overwrites of bytes written earlier, large
// writes, growths, shrinks and reads in random order: every read and size
// agrees with an array that took the same calls directly, and after Flush
// so do the bytes beneath.
TEST(WriteCombiningArrayTest, EveryCallSeesWhatAnArrayWithoutItWouldSee) {
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    Stack stack;
    std::mt19937 random(seed);
    std::int64_t end = 0;
    for (int step = 0; step < 200; ++step) {
      const int what = static_cast<int>(random() % 10);
      if (what <= 4) {
        // Most often: the next small write, at the end or a little past it,
        // the way new streams take new blocks.
        const std::int64_t offset = end + static_cast<std::int64_t>(random() % 3 == 0 ? random() % 5000 : 0);
        const auto bytes = Pattern(1 + random() % 6000, seed * 1000 + static_cast<std::uint32_t>(step));
        stack.Write(offset, bytes);
        end = offset + static_cast<std::int64_t>(bytes.size());
      } else if (what == 5) {
        // Over bytes already there: the header rewritten, a block filled in.
        const std::int64_t offset = end > 0 ? static_cast<std::int64_t>(random() % end) : 0;
        stack.Write(offset, Pattern(1 + random() % 300, static_cast<std::uint32_t>(step)));
      } else if (what == 6) {
        stack.Write(end, Pattern(CWriteCombiningArray::kGatherBelow + random() % 1000, static_cast<std::uint32_t>(step)));
      } else if (what == 7) {
        std::int64_t size = 0;
        ASSERT_EQ(stack.reference->GetSize(&size), kQssOk);
        // Mostly growth, as allocations do; now and then a shrink.
        const std::int64_t next = random() % 4 == 0 ? size / 2 : size + static_cast<std::int64_t>(random() % 9000);
        stack.Resize(next);
        end = std::min(end, next);
      } else {
        std::int64_t size = 0;
        ASSERT_EQ(stack.reference->GetSize(&size), kQssOk);
        std::int64_t seen = -1;
        ASSERT_EQ(stack.combining->GetSize(&seen), kQssOk);
        ASSERT_EQ(seen, size) << "seed " << seed << " step " << step;
        if (size == 0) continue;
        const std::int64_t offset = static_cast<std::int64_t>(random() % size);
        std::vector<std::uint8_t> expected(3000), got(3000);
        std::uint32_t expectedCount = 0, gotCount = 0;
        ASSERT_EQ(stack.reference->ReadAt(offset, expected.data(), 3000, &expectedCount), kQssOk);
        ASSERT_EQ(stack.combining->ReadAt(offset, got.data(), 3000, &gotCount), kQssOk);
        ASSERT_EQ(gotCount, expectedCount);
        ASSERT_EQ(got, expected) << "seed " << seed << " step " << step;
      }
    }
    ASSERT_EQ(stack.combining->Flush(), kQssOk);
    ASSERT_EQ(stack.memory->Bytes(), stack.reference->Bytes()) << "seed " << seed;
  }
}

TEST(WriteCombiningArrayTest, SmallWritesAndGrowthsOfNewSpaceReachTheArrayTogether) {
  Stack stack;
  // 2000 streams of 1 to 4 KB, each in a block of its own that is grown
  // into first: what a pack of small files does.
  std::int64_t next = 0;
  for (std::uint32_t i = 0; i < 2000; ++i) {
    stack.Resize(next + 4096);
    stack.Write(next, Pattern(1024 + (i * 977) % 3072, i));
    next += 4096;
  }
  EXPECT_LE(stack.failing->Calls(Operation::kWrite), 8);
  EXPECT_LE(stack.failing->Calls(Operation::kSetSize), 8);
  ASSERT_EQ(stack.combining->Flush(), kQssOk);
  EXPECT_EQ(stack.memory->Bytes(), stack.reference->Bytes());
}

// A write held back and lost is never success: the call that sends it on
// fails, and so does every later one, Flush included.
TEST(WriteCombiningArrayTest, AFailureToSendOnIsReportedAndSticks) {
  for (const Operation op : {Operation::kWrite, Operation::kSetSize}) {
    for (std::int64_t n = 1; n <= 6; ++n) {
      Stack stack;
      stack.failing->FailNth(op, n);
      bool failed = false;
      std::int64_t next = 0;
      for (std::uint32_t i = 0; i < 600 && !failed; ++i) {
        const auto bytes = Pattern(3000, i);
        failed = QssFailed(stack.combining->SetSize(next + 4096)) ||
                 QssFailed(stack.combining->WriteAt(next, bytes.data(), 3000, nullptr));
        next += 4096;
      }
      const QssResult flushed = stack.combining->Flush();
      if (stack.failing->Failures() == 0) {
        // The plan was never reached: everything arrived.
        EXPECT_EQ(flushed, kQssOk);
        continue;
      }
      EXPECT_EQ(flushed, CFailingByteArray::kDefaultFailure) << n;
      std::uint8_t byte = 0;
      EXPECT_EQ(stack.combining->ReadAt(0, &byte, 1, nullptr), CFailingByteArray::kDefaultFailure);
      EXPECT_EQ(stack.combining->WriteAt(0, &byte, 1, nullptr), CFailingByteArray::kDefaultFailure);
      std::int64_t size = 0;
      EXPECT_EQ(stack.combining->GetSize(&size), CFailingByteArray::kDefaultFailure);
    }
  }
}

TEST(WriteCombiningArrayTest, AWriteCutShortBeneathIsAFailure) {
  Stack stack;
  stack.failing->CutShortNth(1);  // half arrives, and the array says nothing
  const auto bytes = Pattern(2000, 3);
  ASSERT_EQ(stack.combining->WriteAt(0, bytes.data(), 2000, nullptr), kQssOk);
  EXPECT_EQ(stack.combining->Flush(), kQssWriteFault);
}

}  // namespace

}  // namespace qss
