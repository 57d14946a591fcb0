#include "ChainShuffle.h"

#include <algorithm>
#include <random>
#include <vector>

#include "qss/CLockGuard.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"

using namespace qss;

namespace bench {

QssResult ShuffleChain(CStream* stream, std::int64_t blocks) {
  CBlockAllocationTable* table = stream->table();
  CStorageEntry* entry = stream->entry();
  std::vector<std::int64_t> chain(static_cast<std::size_t>(blocks) + 1);
  std::int32_t got = 0;
  if (QssResult result = table->GetChain(entry->FirstBlock(), static_cast<std::int32_t>(blocks), chain.data(), &got);
      QssFailed(result))
    return result;
  if (got != blocks) return kQssNotAContainer;
  chain.resize(static_cast<std::size_t>(blocks));
  std::mt19937_64 random(42);
  std::shuffle(chain.begin(), chain.end(), random);
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
      if (chain[i + 1] == chain[i] + 1) {
        std::swap(chain[i + 1], chain[random() % chain.size()]);
        changed = true;
      }
    }
  }
  {
    CLockGuard guard(table->lock());
    for (std::size_t i = 0; i < chain.size(); ++i) table->SetNext(chain[i], i + 1 < chain.size() ? chain[i + 1] : -1);
  }
  entry->SetFirstBlock(chain.front());
  // Taking a block and giving it back marks the table changed and writes the
  // relinked table blocks out.
  std::int64_t spare = -1;
  if (QssResult result = table->AllocateBlocks(-1, 1, &spare, nullptr); QssFailed(result)) return result;
  return table->FreeBlocks(spare, -1, nullptr);
}

}  // namespace bench
