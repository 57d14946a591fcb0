#include "ClaimedBlocks.h"

#include <algorithm>

namespace qss_tool {

namespace {

// Blocks of fewer bytes than this are rare: a container of them keeps its
// blocks past the bound in the hash set.
constexpr std::int64_t kDenseBlockBytes = 512;

}  // namespace

ClaimedBlocks::ClaimedBlocks(std::int64_t containerBytes)
    : denseLimit_(std::max<std::int64_t>(containerBytes, 0) / kDenseBlockBytes + 1) {}

bool ClaimedBlocks::Claim(std::int64_t block) {
  if (block < 0 || block >= denseLimit_) return others_.insert(block).second;
  const auto word = static_cast<std::size_t>(block / 64);
  if (word >= bits_.size()) {
    // Doubling keeps the growth to a few copies; the limit keeps it within
    // what the container's size justifies.
    const auto limitWords = static_cast<std::size_t>((denseLimit_ + 63) / 64);
    bits_.resize(std::min(limitWords, std::max(word + 1, bits_.size() * 2)));
  }
  const std::uint64_t bit = std::uint64_t{1} << (block % 64);
  if ((bits_[word] & bit) != 0) return false;
  bits_[word] |= bit;
  return true;
}

}  // namespace qss_tool
