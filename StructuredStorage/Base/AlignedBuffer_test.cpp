#include "qss/AlignedBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace qss {

namespace {

bool Aligned(const char* bytes) { return reinterpret_cast<std::uintptr_t>(bytes) % AlignedBuffer::kAlignment == 0; }

TEST(AlignedBufferTest, GrowingKeepsTheBytesAndEveryAllocationIsAligned) {
  AlignedBuffer buffer;
  EXPECT_TRUE(buffer.empty());
  // Sizes the heap serves from its arenas and from mappings alike.
  for (std::size_t size : {1u, 100u, 4096u, 200000u, 1u << 21}) {
    const std::size_t kept = buffer.size();
    buffer.Resize(size);
    ASSERT_EQ(buffer.size(), size);
    EXPECT_TRUE(Aligned(buffer.data())) << size;
    for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(buffer.data()[i], static_cast<char>(i * 7)) << size;
    for (std::size_t i = kept; i < size; ++i) buffer.data()[i] = static_cast<char>(i * 7);
  }
}

TEST(AlignedBufferTest, ShrinkingKeepsTheMemoryForTheNextGrowth) {
  AlignedBuffer buffer(8192);
  buffer.data()[100] = 'x';
  char* const memory = buffer.data();
  buffer.Resize(10);
  buffer.Resize(8192);
  EXPECT_EQ(buffer.data(), memory);
  EXPECT_EQ(buffer.data()[100], 'x');
}

// A large buffer is rounded up (to huge pages, where the system has them):
// the rounding is room the buffer may grow into without moving.
TEST(AlignedBufferTest, ALargeBufferGrowsIntoItsWholeCapacityInPlace) {
  AlignedBuffer buffer(AlignedBuffer::kLargeBytes + 1);
  ASSERT_GE(buffer.capacity(), buffer.size());
  EXPECT_TRUE(Aligned(buffer.data()));
  buffer.data()[0] = 'x';
  char* const memory = buffer.data();
  buffer.Resize(buffer.capacity());
  EXPECT_EQ(buffer.data(), memory);
  buffer.data()[buffer.size() - 1] = 'y';  // the whole capacity is the buffer's to write
  EXPECT_EQ(buffer.data()[0], 'x');
}

TEST(AlignedBufferTest, AMovedFromBufferIsEmptyAndUsable) {
  AlignedBuffer first(64);
  first.data()[0] = 'a';
  AlignedBuffer second(std::move(first));
  EXPECT_EQ(second.size(), 64u);
  EXPECT_EQ(second.data()[0], 'a');
  EXPECT_TRUE(first.empty());  // NOLINT(bugprone-use-after-move): the state after a move is the point
  EXPECT_EQ(first.data(), nullptr);
  first.Resize(16);  // a moved-from buffer that kept its old capacity would write through null
  first.data()[15] = 'b';
  AlignedBuffer third;
  third = std::move(second);
  EXPECT_EQ(third.data()[0], 'a');
  EXPECT_TRUE(second.empty());  // NOLINT(bugprone-use-after-move)
}

}  // namespace

}  // namespace qss
