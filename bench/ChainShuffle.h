// ChainShuffle: the one fixture of the benchmarks that no public call can
// make. A stream's blocks are always handed out in ascending order, so a
// stream whose chain jumps about (case 2) is made by relinking the chain in
// the allocation table, which only the library's internals can do. Kept
// apart, in its own library, so that everything timed uses the public API.

#ifndef BENCH_CHAINSHUFFLE_H_
#define BENCH_CHAINSHUFFLE_H_

#include <cstdint>

#include "qss/ResultCodes.h"

namespace qss {
class CStream;
}

namespace bench {

// Relinks the first blocks of stream's chain (a writable, presized stream)
// in a shuffled order in which no block is followed by the next higher one,
// so that no two blocks of the stream merge into one transfer.
qss::QssResult ShuffleChain(qss::CStream* stream, std::int64_t blocks);

}  // namespace bench

#endif  // BENCH_CHAINSHUFFLE_H_
