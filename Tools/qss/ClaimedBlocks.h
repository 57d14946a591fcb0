// ClaimedBlocks: a set of block numbers of one container, for telling
// whether a chain's first block was met before.
//
// A walk over a container of 100,000 files claims 100,000 blocks; a hash
// set of them, scattered over fresh memory, cost about 6% of unpacking the
// files. Blocks below a bound are kept one bit each, in a bitmap grown to
// the largest block claimed. The bound comes from the container's size, so
// the bitmap is at most a 4096th of the bytes the container really has. The
// blocks outside it (those of a damaged entry, or of a container of tiny
// blocks) go to a hash set.

#ifndef TOOLS_QSS_CLAIMEDBLOCKS_H_
#define TOOLS_QSS_CLAIMEDBLOCKS_H_

#include <cstdint>
#include <unordered_set>
#include <vector>

namespace qss_tool {

class ClaimedBlocks {
 public:
  // containerBytes: the size of the byte array the container lies in.
  explicit ClaimedBlocks(std::int64_t containerBytes);

  // Adds block; false when it was there already.
  bool Claim(std::int64_t block);

 private:
  // Blocks in [0, denseLimit_) are kept in bits_.
  std::int64_t denseLimit_;
  std::vector<std::uint64_t> bits_;
  std::unordered_set<std::int64_t> others_;
};

}  // namespace qss_tool

#endif  // TOOLS_QSS_CLAIMEDBLOCKS_H_
