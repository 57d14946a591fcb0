#include "qss/ContainerCheck.h"

#include <lz4.h>

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <unordered_set>
#include <utility>

#include "Container/CBlockAllocationTable.h"
#include "Format/Format.h"
#include "qss/CPhysicalByteArray.h"
#include "qss/NameText.h"

namespace qss {

namespace {

constexpr std::int32_t kLargestCheckedBlockSize = 1 << 24;

// Where the bytes of one container come from: the byte array, or the chain
// of a kind-3 entry of an outer container.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::int64_t Size() = 0;
  // Reads up to count bytes; returns the number read (0 on failure).
  virtual std::uint32_t Read(std::int64_t offset, void* buffer, std::uint32_t count) = 0;
};

class ArraySource : public ByteSource {
 public:
  explicit ArraySource(CPhysicalByteArray* array) : array_(array) {}
  std::int64_t Size() override {
    std::int64_t size = 0;
    if (QssFailed(array_->GetSize(&size)) || size < 0) return 0;
    return size;
  }
  std::uint32_t Read(std::int64_t offset, void* buffer, std::uint32_t count) override {
    std::uint32_t done = 0;
    if (QssFailed(array_->ReadAt(offset, buffer, count, &done))) return 0;
    return std::min(done, count);
  }

 private:
  CPhysicalByteArray* array_;
};

// The content of a chain: size bytes spread over the listed blocks.
class ChainSource : public ByteSource {
 public:
  ChainSource(ByteSource& outer, std::int64_t dataOffset, std::int32_t blockSize, std::vector<std::int64_t> blocks,
              std::int64_t size)
      : outer_(outer), dataOffset_(dataOffset), blockSize_(blockSize), blocks_(std::move(blocks)), size_(size) {}
  std::int64_t Size() override { return size_; }
  std::uint32_t Read(std::int64_t offset, void* buffer, std::uint32_t count) override {
    std::uint32_t done = 0;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    while (done < count && offset + done < size_) {
      const std::int64_t position = offset + done;
      const auto index = static_cast<std::size_t>(position / blockSize_);
      if (index >= blocks_.size()) break;
      const std::int64_t within = position % blockSize_;
      // Blocks that follow each other in the outer bytes are read together.
      std::size_t run = 1;
      while (index + run < blocks_.size() && blocks_[index + run] == blocks_[index] + static_cast<std::int64_t>(run) &&
             static_cast<std::int64_t>(run) * blockSize_ - within < count - done) {
        ++run;
      }
      std::int64_t piece = std::min<std::int64_t>(count - done, static_cast<std::int64_t>(run) * blockSize_ - within);
      piece = std::min(piece, size_ - position);
      const std::uint32_t got = outer_.Read(dataOffset_ + (blocks_[index] - 1) * blockSize_ + within, bytes + done,
                                            static_cast<std::uint32_t>(piece));
      done += got;
      if (got < piece) break;
    }
    return done;
  }

 private:
  ByteSource& outer_;
  std::int64_t dataOffset_;
  std::int32_t blockSize_;
  std::vector<std::int64_t> blocks_;
  std::int64_t size_;
};

// Shared by a check and the checks of its nested containers: the problem
// lines in the order the walk meets them. A line whose check still runs on
// another thread has its place reserved; it is filled, or stays empty, when
// that check ends.
struct Report {
  std::size_t found = 0;
  std::vector<std::optional<std::string>> lines;
  std::size_t definite = 0;  // lines stored, not counting reserved places

  void Add(const std::string& line) {
    ++found;
    // Past the limit of definite lines, no line can be among those shown.
    if (definite >= kMaxReportedProblems) return;
    lines.emplace_back(line);
    ++definite;
  }
  std::size_t Reserve() {
    lines.emplace_back();
    return lines.size() - 1;
  }
  void Fill(std::size_t place, std::string line) {
    ++found;
    lines[place] = std::move(line);
  }
  // The first lines, up to the limit, and how many more there were.
  void Emit(std::vector<std::string>* problems) const {
    std::size_t shown = 0;
    for (const std::optional<std::string>& line : lines) {
      if (!line || shown == kMaxReportedProblems) continue;
      problems->push_back(*line);
      ++shown;
    }
    if (found > shown) problems->push_back(std::to_string(found - shown) + " more problems not shown");
  }
};

// The decompression of compressed images, the one costly part of a check,
// on worker threads while the walk goes on. Images and their content in
// flight stay under a budget (one is always let through), so memory stays
// bounded as in a check on one thread.
//
// Buffers go round: an image checked hands its buffer back for the next
// one to be read into, and each thread decompresses into the same memory
// every time. Memory of several megabytes fresh from the system costs more
// to fault in than the image costs to decompress; what is kept stays
// within the budget.
class ImageChecks {
 public:
  static constexpr std::int64_t kBytesInFlight = 64 << 20;

  // The threads start at the first image: most containers hold none, and a
  // check of them would only make and join the threads.
  ImageChecks(Report& report, int threads) : report_(report), threads_(threads) {}
  ~ImageChecks() { Finish(); }
  ImageChecks(const ImageChecks&) = delete;
  ImageChecks& operator=(const ImageChecks&) = delete;

  bool parallel() const { return threads_ > 0; }

  // A buffer to read the next image into: one handed back, or a new one.
  // Its size is whatever it held; the caller resizes it.
  std::vector<std::uint8_t> TakeBuffer() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (spares_.empty()) return {};
    std::vector<std::uint8_t> buffer = std::move(spares_.back());
    spares_.pop_back();
    spareBytes_ -= static_cast<std::int64_t>(buffer.capacity());
    return buffer;
  }

  // Checks image on the caller's thread, where there are no workers, and
  // takes its buffer back.
  bool CheckHere(std::vector<std::uint8_t> image, std::int64_t size) {
    const bool sound = Decompresses(image, size, &content_);
    std::lock_guard<std::mutex> guard(mutex_);
    GiveBack(std::move(image));
    return sound;
  }

  // Checks image (read whole) against size; line is the problem if it does
  // not decompress.
  void Add(std::vector<std::uint8_t> image, std::int64_t size, std::string line) {
    const std::int64_t cost = static_cast<std::int64_t>(image.size()) + size;
    while (static_cast<int>(workers_.size()) < threads_) workers_.emplace_back([this] { Work(); });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return inFlight_ == 0 || inFlight_ + cost <= kBytesInFlight; });
    inFlight_ += cost;
    tasks_.push_back(Task{std::move(image), size, cost, report_.Reserve(), std::move(line)});
    changed_.notify_all();
  }

  // Waits for every image, then puts the failures in their places.
  void Finish() {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    for (auto& [place, line] : failures_) report_.Fill(place, std::move(line));
    failures_.clear();
  }

 private:
  struct Task {
    std::vector<std::uint8_t> image;
    std::int64_t size;
    std::int64_t cost;
    std::size_t place;
    std::string line;
  };

  void Work() {
    std::vector<char> content;
    for (;;) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      const bool sound = Decompresses(task.image, task.size, &content);
      {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!sound) failures_.emplace_back(task.place, std::move(task.line));
        inFlight_ -= task.cost;
        GiveBack(std::move(task.image));
      }
      changed_.notify_all();
    }
  }

  // Keeps buffer for another image while the spares stay within the
  // budget; frees it otherwise, or where there is no room to note it (a
  // worker must not throw). Called under the lock.
  void GiveBack(std::vector<std::uint8_t> buffer) noexcept {
    const auto bytes = static_cast<std::int64_t>(buffer.capacity());
    if (spareBytes_ + bytes > kBytesInFlight) return;
    try {
      spares_.push_back(std::move(buffer));
      spareBytes_ += bytes;
    } catch (const std::bad_alloc&) {
    }
  }

  // Whether a compressed image's block decompresses to exactly size bytes.
  // content is the thread's scratch, grown as needed and kept for the next
  // image unless one image grew it past the budget.
  static bool Decompresses(const std::vector<std::uint8_t>& image, std::int64_t size, std::vector<char>* content) {
    const std::int64_t blockLength = static_cast<std::int64_t>(image.size()) - kCompressedImageHeaderSize;
    const auto room = static_cast<std::size_t>(std::max<std::int64_t>(size, 1));
    if (content->size() < room) content->resize(room);
    const int result = LZ4_decompress_safe(reinterpret_cast<const char*>(image.data()) + kCompressedImageHeaderSize,
                                           content->data(), static_cast<int>(blockLength), static_cast<int>(size));
    if (static_cast<std::int64_t>(content->capacity()) > kBytesInFlight) std::vector<char>().swap(*content);
    return result == size;
  }

  Report& report_;
  const int threads_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task> tasks_;
  std::vector<std::pair<std::size_t, std::string>> failures_;
  std::int64_t inFlight_ = 0;
  bool stopping_ = false;
  std::vector<std::vector<std::uint8_t>> spares_;
  std::int64_t spareBytes_ = 0;
  std::vector<char> content_;  // the caller's thread's scratch, without workers
};

// A record as the check reads it: any bytes are a record, what they say is
// judged field by field.
EntryRecord ParseRecord(const std::uint8_t* bytes) {
  EntryRecord record;
  static_cast<void>(EntryRecord::Decode(bytes, kEntryRecordSize, &record));  // callers pass whole records
  record.flags = record.StoredFlags();
  return record;
}

std::string Code(QssResult result) {
  char text[24];
  std::snprintf(text, sizeof(text), " (0x%08x)", static_cast<unsigned>(static_cast<std::int32_t>(result)));
  return text;
}

class Checker {
 public:
  // baseDepth: the names above this container's root (0 for the outermost).
  Checker(ByteSource& source, std::string scope, int baseDepth, int maxDepth, Report& report, ImageChecks& images)
      : source_(source),
        scope_(std::move(scope)),
        baseDepth_(baseDepth),
        maxDepth_(maxDepth),
        report_(report),
        images_(images) {}

  void Run() {
    if (!CheckHeader()) return;
    if (!LoadTable()) return;
    claimed_.assign(static_cast<std::size_t>(entryCount_ + 63) / 64, 0);
    for (const std::int64_t block : tableBlocks_) Claim(block);
    places_.resize(kRoot + 1);

    CheckStorage(root_, kRoot, baseDepth_);
    CheckFreeList();
    CheckLostBlocks();
  }

 private:
  void Problem(const std::string& text) { report_.Add(scope_ + text); }

  bool CheckHeader() {
    size_ = source_.Size();
    std::uint8_t bytes[kContainerHeaderSize] = {};
    if (size_ < kContainerHeaderSize || source_.Read(0, bytes, kContainerHeaderSize) != kContainerHeaderSize) {
      Problem("header: the byte array holds " + std::to_string(size_) + " bytes, no whole " +
              std::to_string(kContainerHeaderSize) + "-byte header" + Code(kQssNotAContainer));
      return false;
    }
    // The codec's refusals of dataOffset and tableStart are not final here:
    // the walks below say more about them than a refusal would.
    ContainerHeader header;
    ContainerHeader::Fault fault = ContainerHeader::Fault::kNone;
    static_cast<void>(ContainerHeader::Decode(bytes, sizeof(bytes), &header, &fault));
    if (fault == ContainerHeader::Fault::kMagic) {
      Problem("header: the magic is not \"Quorell Structured Storage\" 0x1A 0x00" + Code(kQssNotAContainer));
      return false;
    }
    entryWidth_ = header.entryWidth;
    blockSize_ = header.blockSize;
    dataOffset_ = header.dataOffset;
    tableStart_ = header.tableStart;
    root_ = ParseRecord(bytes + kRootEntryOffset);
    if (fault == ContainerHeader::Fault::kEntryWidth) {
      Problem("header: entryWidth " + std::to_string(entryWidth_) + " is not 2, 4 or 8" + Code(kQssNotAContainer));
      return false;
    }
    if (fault == ContainerHeader::Fault::kBlockSize) {
      Problem("header: blockSize " + std::to_string(blockSize_) + " is not a power of two of at least entryWidth" +
              Code(kQssNotAContainer));
      return false;
    }
    if (blockSize_ > kLargestCheckedBlockSize) {
      Problem("header: blockSize " + std::to_string(blockSize_) + " is larger than check handles (" +
              std::to_string(kLargestCheckedBlockSize) + ")");
      return false;
    }
    if (dataOffset_ < 0) {
      Problem("header: dataOffset " + std::to_string(dataOffset_) + " is negative");
      return false;
    }
    if (dataOffset_ < kContainerHeaderSize) {
      Problem("header: dataOffset " + std::to_string(dataOffset_) + " puts block 1 over the header");
    }
    entriesPerBlock_ = blockSize_ / entryWidth_;
    entryShift_ = std::countr_zero(static_cast<std::uint64_t>(entriesPerBlock_));
    blockCount_ = std::max<std::int64_t>(0, (size_ - dataOffset_) / blockSize_);
    startedBlocks_ = size_ > dataOffset_ ? (size_ - dataOffset_ - 1) / blockSize_ + 1 : 0;
    tableBlockCount_ = (blockCount_ + entriesPerBlock_ - 1) / entriesPerBlock_;
    // The in-memory table always has at least one block.
    entryCount_ = std::max<std::int64_t>(tableBlockCount_, 1) * entriesPerBlock_;
    return true;
  }

  // The table entry k, as the library holds it: bytes loaded from the
  // table's chain, and the initial index chain (k + 1, with -1 closing the
  // first block) where nothing was loaded.
  std::int64_t Entry(std::int64_t k) const {
    // Both widths are powers of two, so a block's entries are too.
    const auto block = static_cast<std::size_t>(k >> entryShift_);
    const std::size_t offset = static_cast<std::size_t>(k & (entriesPerBlock_ - 1)) * entryWidth_;
    if (block < wholeBlocks_) return LoadTableEntry(tableBytes_[block].data() + offset, entryWidth_);
    const bool loaded = block < tableBytes_.size();
    if (loaded && offset + entryWidth_ <= tableBytes_[block].size())
      return LoadTableEntry(tableBytes_[block].data() + offset, entryWidth_);
    const std::int64_t initial = k == entriesPerBlock_ - 1 ? -1 : k + 1;
    if (!loaded) return initial;
    const std::vector<std::uint8_t>& bytes = tableBytes_[block];
    if (offset >= bytes.size()) return initial;
    // An entry cut short by the end of the byte array keeps the initial
    // value's bytes beyond the cut.
    std::uint8_t raw[8];
    StoreTableEntry(raw, 8, initial);
    std::memcpy(raw, bytes.data() + offset, std::min<std::size_t>(entryWidth_, bytes.size() - offset));
    return LoadTableEntry(raw, entryWidth_);
  }

  bool LoadTable() {
    std::int64_t current = tableStart_;
    while (current != -1) {
      const auto loaded = static_cast<std::int64_t>(tableBytes_.size());
      // A block number far outside the table lies before the data or past
      // the end; computing its position could overflow.
      const std::int64_t position =
          current < 1 ? -1
          : current > entryCount_ ? INT64_MAX
                                  : dataOffset_ + (current - 1) * static_cast<std::int64_t>(blockSize_);
      // The same order and codes as the library's loading: a chain longer
      // than the table, or a block it cannot read, is 0x81016007 when the
      // block lies past the end of the byte array and 0x81016005 otherwise.
      const QssResult code = position >= size_ ? kQssTruncated : kQssNotAContainer;
      if (loaded >= tableBlockCount_) {
        Problem("table: the table's chain is longer than the " + std::to_string(tableBlockCount_) +
                " blocks the byte array needs" + (position >= size_ ? ", and runs past its end" : "") + Code(code));
        return false;
      }
      if (current < 1 || current >= entryCount_) {
        Problem("table: the table's chain reaches block " + std::to_string(current) + ", outside the table" +
                Code(kQssNotAContainer));
        return false;
      }
      if (position >= size_) {
        Problem("table: table block " + std::to_string(current) + " lies past the end of the byte array" +
                Code(kQssTruncated));
        return false;
      }
      const auto want = static_cast<std::uint32_t>(std::min<std::int64_t>(blockSize_, size_ - position));
      std::vector<std::uint8_t> bytes(want);
      const std::uint32_t got = source_.Read(position, bytes.data(), want);
      if (got == 0) {
        Problem("table: table block " + std::to_string(current) + " cannot be read" + Code(kQssNotAContainer));
        return false;
      }
      bytes.resize(got);
      if (wholeBlocks_ == tableBytes_.size() && got == static_cast<std::uint32_t>(blockSize_)) ++wholeBlocks_;
      tableBytes_.push_back(std::move(bytes));
      tableBlocks_.push_back(current);
      current = Entry(current);
    }
    std::int64_t bad = 0;
    switch (entryWidth_) {
      case 2: CheckLoadedEntries<std::int16_t>(&bad); break;
      case 4: CheckLoadedEntries<std::int32_t>(&bad); break;
      default: CheckLoadedEntries<std::int64_t>(&bad); break;
    }
    // Beyond what was loaded only the initial chain's last entry can be out
    // of range: it points one past the table when the table's chain is short.
    CheckEntryValue(entryCount_ - 1, &bad);
    if (bad > 10) Problem("table: " + std::to_string(bad - 10) + " more entries out of range");
    if (static_cast<std::int64_t>(tableBlocks_.size()) < tableBlockCount_) {
      Problem("table: the table's chain holds " + std::to_string(tableBlocks_.size()) + " blocks; the byte array needs " +
              std::to_string(tableBlockCount_) + Code(kQssNotAContainer));
    }
    // Even a table the library refuses is worth walking: every walk below
    // is bounded and says where the damage lies.
    return true;
  }

  // An entry value the library takes: -1 or a block of the table. As one
  // comparison, counted without sign so that no value overflows: value + 1
  // lies in [0, limit], limit being AcceptedLimit().
  static bool ValueAccepted(std::int64_t value, std::uint64_t limit) {
    return static_cast<std::uint64_t>(value) + 1 <= limit;
  }
  bool ValueAccepted(std::int64_t value) const { return ValueAccepted(value, AcceptedLimit()); }
  // The blocks of the table the byte array needs, or of the in-memory table
  // where the byte array needs none.
  std::uint64_t AcceptedLimit() const {
    return static_cast<std::uint64_t>(tableBlockCount_ > 0 ? tableBlockCount_ * entriesPerBlock_ : entryCount_);
  }

  // Checks every loaded entry. Whole entries the library takes pass in one
  // tight pass per block; the rest (and an entry cut short) go the way that
  // says what is wrong. T is the entry type of entryWidth_.
  template <typename T>
  void CheckLoadedEntries(std::int64_t* bad) {
    const std::uint64_t limit = AcceptedLimit();
    const auto accepted = [limit](std::int64_t value) { return ValueAccepted(value, limit); };
    for (std::size_t block = 0; block < tableBytes_.size(); ++block) {
      const std::vector<std::uint8_t>& bytes = tableBytes_[block];
      const std::int64_t first = static_cast<std::int64_t>(block) * entriesPerBlock_;
      const auto whole = static_cast<std::int64_t>(bytes.size() / sizeof(T));
      bool allAccepted = true;
      for (std::int64_t j = 0; j < whole; ++j)
        allAccepted &= accepted(LoadLittleEndian<T>(bytes.data() + j * static_cast<std::int64_t>(sizeof(T))));
      if (!allAccepted) {
        for (std::int64_t j = 0; j < whole; ++j) {
          if (!accepted(LoadLittleEndian<T>(bytes.data() + j * static_cast<std::int64_t>(sizeof(T)))))
            CheckEntryValue(first + j, bad);
        }
      }
      if (bytes.size() % sizeof(T) != 0) CheckEntryValue(first + whole, bad);
    }
  }

  void CheckEntryValue(std::int64_t k, std::int64_t* bad) {
    if (k < 0 || k >= entryCount_) return;
    const std::int64_t value = Entry(k);
    if (ValueAccepted(value)) return;
    // Below -1 the container still opens: the link is broken only for the
    // chain that meets it, which its walk reports.
    if (value < -1) {
      if (++*bad <= 10) Problem("table: entry " + std::to_string(k) + " holds " + std::to_string(value) + ", a broken link");
      return;
    }
    if (++*bad <= 10) {
      Problem("table: entry " + std::to_string(k) + " holds " + std::to_string(value) + ", not a block of the table" +
              Code(kQssNotAContainer));
    }
  }

  // Walks the chain from first, claiming its blocks for place (each place
  // walks one chain). Returns the blocks in chain order; stops at the first
  // fault. expected: the blocks the entry's record asks for, a hint for the
  // vector's first size, which a record cannot push past kLargestReserve.
  //
  // Blocks are claimed in a bitmap first: a sound container has no block
  // claimed twice, and a bit per block keeps the check's memory small. The
  // first block met twice needs its owner's name, so the owners of every
  // block are then worked out by walking the chains already walked again,
  // and the checking goes on with them.
  std::vector<std::int64_t> WalkChain(std::int32_t place, std::int64_t first, std::int64_t expected = 0) {
    std::vector<std::int64_t> blocks;
    blocks.reserve(static_cast<std::size_t>(std::clamp<std::int64_t>(expected, 0, std::min(startedBlocks_, kLargestReserve))));
    if (owners_.empty()) {
      if (ClaimChain(place, first, /*report=*/true, /*exact=*/false, &blocks)) {
        walks_.push_back({place, first});
        return blocks;
      }
      LearnOwners();
      blocks.clear();
    }
    ClaimChain(place, first, /*report=*/true, /*exact=*/true, &blocks);
    return blocks;
  }

  // The walk of WalkChain. Without exact, blocks are claimed in the bitmap,
  // and a block claimed before stops the walk with false, nothing reported.
  // With exact, each block records its owner, and every fault found is
  // reported when report is set.
  bool ClaimChain(std::int32_t place, std::int64_t first, bool report, bool exact, std::vector<std::int64_t>* blocks) {
    // Locals: the stores below would otherwise make the compiler reload
    // these at every step.
    const std::int64_t entryCount = entryCount_;
    const std::int64_t started = startedBlocks_;
    std::uint64_t* const claimed = claimed_.data();
    std::int32_t* const owners = owners_.data();
    std::int64_t current = first;
    while (current != -1) {
      if (current < 1 || current >= entryCount) {
        if (report) Problem(What(place) + ": the chain reaches block " + std::to_string(current) + ", outside the table");
        break;
      }
      // A last block cut short by the end of the byte array is sound when
      // the bytes its content needs are there (CheckChainLength).
      if (current > started) {
        if (report) Problem(What(place) + ": block " + std::to_string(current) + " lies past the end of the byte array");
        break;
      }
      if (!exact) {
        std::uint64_t& word = claimed[current >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (current & 63);
        if ((word & bit) != 0) return false;
        word |= bit;
      } else {
        std::int32_t& holder = owners[current];
        if (holder == place) {
          if (report) Problem(What(place) + ": the chain runs in a cycle at block " + std::to_string(current));
          break;
        }
        if (holder != kNobody) {
          if (report) Problem(What(place) + ": block " + std::to_string(current) + " is also used by " + What(holder));
          break;
        }
        holder = place;
      }
      blocks->push_back(current);
      current = Entry(current);
    }
    return true;
  }

  // Records the owner of every block claimed so far, by walking again, in
  // the same order, the chains the bitmap claimed them for: each of those
  // walks met no block twice, so each stops where it did the first time.
  void LearnOwners() {
    owners_.assign(static_cast<std::size_t>(entryCount_), kNobody);
    for (const std::int64_t block : tableBlocks_) owners_[static_cast<std::size_t>(block)] = kTable;
    std::vector<std::int64_t> blocks;
    for (const auto& [place, first] : walks_) {
      blocks.clear();
      ClaimChain(place, first, /*report=*/false, /*exact=*/true, &blocks);
    }
    walks_.clear();
    walks_.shrink_to_fit();
    claimed_.clear();
    claimed_.shrink_to_fit();
  }

  void Claim(std::int64_t block) { claimed_[static_cast<std::size_t>(block >> 6)] |= std::uint64_t{1} << (block & 63); }
  bool Claimed(std::int64_t block) const {
    return (claimed_[static_cast<std::size_t>(block >> 6)] >> (block & 63)) & 1;
  }

  // Checks the chain of an entry against the bytes it must hold. True when
  // the chain is whole.
  bool CheckChainLength(std::int32_t place, const std::vector<std::int64_t>& blocks, std::int64_t length,
                        std::int64_t headOffset, std::int64_t firstBlock) {
    const auto held = static_cast<std::int64_t>(blocks.size());
    if (length <= 0) {
      if (held > 0) Problem(What(place) + ": empty, but its chain holds " + std::to_string(held) + " blocks");
      return true;
    }
    const std::int64_t base = headOffset / blockSize_;
    const std::int64_t needed = BlocksFor(length, blockSize_) - base;
    if (firstBlock == -1 && needed > 0) {
      Problem(What(place) + ": " + std::to_string(length) + " bytes but no blocks");
      return false;
    }
    if (held < needed) {
      Problem(What(place) + ": the chain holds " + std::to_string(held) + " blocks; " + std::to_string(length) +
              " bytes need " + std::to_string(needed));
      return false;
    }
    if (held > needed) {
      Problem(What(place) + ": the chain holds " + std::to_string(held) + " blocks; " + std::to_string(length) +
              " bytes need only " + std::to_string(needed));
    }
    // Only a block at the end of the byte array can be cut short; the bytes
    // of the content in it must be there. Blocks that lie wholly inside it
    // hold whatever part of the content they carry.
    if (needed <= 0 || *std::max_element(blocks.begin(), blocks.begin() + needed) <= blockCount_) return true;
    for (std::int64_t i = 0; i < needed; ++i) {
      const std::int64_t block = blocks[static_cast<std::size_t>(i)];
      const std::int64_t end = i == needed - 1 ? length - (base + i) * blockSize_ : blockSize_;
      if (BlockPosition(block) + end > size_) {
        Problem(What(place) + ": block " + std::to_string(block) + " is cut short by the end of the byte array");
        return false;
      }
    }
    return true;
  }

  std::int64_t BlockPosition(std::int64_t block) const {
    return dataOffset_ + (block - 1) * static_cast<std::int64_t>(blockSize_);
  }

  std::vector<std::uint8_t> ReadContent(const std::vector<std::int64_t>& blocks, std::int64_t length,
                                        std::vector<std::uint8_t> content = {}) {
    ChainSource chain(source_, dataOffset_, blockSize_, blocks, length);
    content.resize(static_cast<std::size_t>(length));
    content.resize(chain.Read(0, content.data(), static_cast<std::uint32_t>(length)));
    return content;
  }

  void CheckStorage(const EntryRecord& record, std::int32_t place, int depth) {
    if (record.size < 0 || record.headOffset != 0) {
      Problem(What(place) + ": size " + std::to_string(record.size) + " and head offset " +
              std::to_string(record.headOffset) + " do not describe a directory");
      return;
    }
    const std::vector<std::int64_t> blocks =
        WalkChain(place, record.firstBlock, BlocksFor(std::max<std::int64_t>(record.size, 0), blockSize_));
    if (!CheckChainLength(place, blocks, record.size, 0, record.firstBlock)) return;
    if (record.size % kEntryRecordSize != 0) {
      Problem(What(place) + ": size " + std::to_string(record.size) + " is not a whole number of 128-byte records");
    }
    if (record.size > static_cast<std::int64_t>(blocks.size()) * blockSize_ || record.size > INT32_MAX) return;
    const std::vector<std::uint8_t> content = ReadContent(blocks, record.size);
    if (static_cast<std::int64_t>(content.size()) < record.size) {
      Problem(What(place) + ": the directory cannot be read");
      return;
    }
    std::unordered_set<std::u16string> names;
    names.reserve(content.size() / kEntryRecordSize);
    for (std::size_t offset = 0; offset + kEntryRecordSize <= content.size(); offset += kEntryRecordSize) {
      const EntryRecord child = ParseRecord(content.data() + offset);
      const auto childPlace = static_cast<std::int32_t>(places_.size());
      places_.push_back(Place{place, child.Name()});
      const std::u16string& childName = places_.back().name;
      if (!child.NameIsTerminated()) Problem(What(childPlace) + ": the name has no terminator");
      if (childName.empty()) {
        Problem(What(place) + ": entry " + std::to_string(offset / kEntryRecordSize) + " has an empty name");
      }
      if (!names.insert(childName).second) Problem(What(childPlace) + ": the name appears twice in its directory");
      CheckEntry(child, childPlace, depth);
    }
  }

  void CheckEntry(const EntryRecord& record, std::int32_t place, int depth) {
    const std::uint32_t kind = record.flags & kEntryKindMask;
    // The tools open no storage or nested container this deep; such a
    // container is not damaged, only beyond what they read.
    if ((kind & kEntryStorage) != 0 && depth + 1 >= maxDepth_) {
      Problem(What(place) + ": too deep to check: storages and nested containers nest more than " +
              std::to_string(maxDepth_) + " levels");
      return;
    }
    if (kind == kEntryStorage) {
      CheckStorage(record, place, depth + 1);
      return;
    }
    if (record.size < 0 || record.headOffset < 0 || record.headOffset > record.size) {
      Problem(What(place) + ": size " + std::to_string(record.size) + " and head offset " +
              std::to_string(record.headOffset) + " do not describe content");
      WalkChain(place, record.firstBlock);
      return;
    }
    const bool compressedImage =
        kind == kEntryStream && (record.flags & kEntryCompressed) != 0 && static_cast<std::int64_t>(record.storedLength) != record.size;
    const std::int64_t stored = compressedImage ? record.storedLength : record.size;
    if (compressedImage && record.storedLength < 0) {
      Problem(What(place) + ": storedLength " + std::to_string(record.storedLength) + " is negative");
      WalkChain(place, record.firstBlock);
      return;
    }
    const std::int64_t head = compressedImage ? 0 : record.headOffset;
    const std::vector<std::int64_t> blocks =
        WalkChain(place, record.firstBlock, BlocksFor(stored, blockSize_) - head / blockSize_);
    if (!CheckChainLength(place, blocks, stored, head, record.firstBlock)) return;
    if (compressedImage) {
      CheckCompressedImage(record, place, blocks);
    } else if (kind == kEntryNestedContainer) {
      CheckNested(record, place, blocks, depth + 1);
    }
  }

  void CheckCompressedImage(const EntryRecord& record, std::int32_t place, const std::vector<std::int64_t>& blocks) {
    if (record.storedLength < kCompressedImageHeaderSize) {
      Problem(What(place) + ": storedLength " + std::to_string(record.storedLength) +
              " is too short for a compressed image");
      return;
    }
    std::vector<std::uint8_t> image = ReadContent(blocks, record.storedLength, images_.TakeBuffer());
    if (static_cast<std::int64_t>(image.size()) < record.storedLength) {
      Problem(What(place) + ": the compressed image cannot be read");
      return;
    }
    CompressedImageHeader header;
    if (QssFailed(CompressedImageHeader::Decode(image.data(), image.size(), &header))) {
      Problem(What(place) + ": the compressed image does not start with its magic");
      return;
    }
    const std::uint32_t uncompressed = header.contentLength;
    const std::uint32_t imageLength = header.imageLength;
    if (uncompressed != static_cast<std::uint64_t>(record.size) ||
        imageLength != static_cast<std::uint32_t>(record.storedLength)) {
      Problem(What(place) + ": the image header says " + std::to_string(uncompressed) + " bytes in an image of " +
              std::to_string(imageLength) + "; the entry says " + std::to_string(record.size) + " in " +
              std::to_string(record.storedLength));
      return;
    }
    const std::int64_t blockLength = record.storedLength - kCompressedImageHeaderSize;
    if (record.size > kMaxCompressedContentLength || record.size > blockLength * kMaxCompressionRatio + 64) {
      Problem(What(place) + ": " + std::to_string(record.size) + " bytes cannot come from a compressed block of " +
              std::to_string(blockLength));
      return;
    }
    const std::string problem = scope_ + What(place) + ": the compressed image does not decompress";
    if (images_.parallel()) {
      images_.Add(std::move(image), record.size, problem);
    } else if (!images_.CheckHere(std::move(image), record.size)) {
      report_.Add(problem);
    }
  }

  void CheckNested(const EntryRecord& record, std::int32_t place,
                   const std::vector<std::int64_t>& blocks, int depth) {
    // The nested header is read from position 0, which a head offset puts
    // out of reach; the length is then not backed by the chain either.
    if (record.headOffset != 0) {
      Problem(What(place) + ": a nested container with head offset " + std::to_string(record.headOffset) +
              " cannot be opened" + Code(kQssNotAContainer));
      return;
    }
    ChainSource nested(source_, dataOffset_, blockSize_, blocks, record.size);
    Checker inner(nested, scope_ + "in nested container '" + PathOf(place) + "': ", depth, maxDepth_, report_, images_);
    inner.Run();
  }

  void CheckFreeList() {
    std::int64_t previous = 0;
    std::int64_t current = Entry(0);
    std::int64_t overlaps = 0;
    while (current != -1) {
      if (current < 1 || current >= entryCount_) {
        Problem("free list: reaches block " + std::to_string(current) + ", outside the table");
        return;
      }
      if (current <= previous) {
        Problem("free list: not ascending: block " + std::to_string(current) + " follows block " +
                std::to_string(previous));
        return;
      }
      if (owners_.empty()) {
        // The bitmap marks free blocks as claimed. A free block claimed
        // before needs its owner's name: nothing was reported yet, so the
        // list is checked again from its head, with owners.
        if (Claimed(current)) {
          LearnOwners();
          CheckFreeList();
          return;
        }
        Claim(current);
      } else {
        std::int32_t& holder = owners_[static_cast<std::size_t>(current)];
        if (holder > kNobody && ++overlaps <= 10) {
          Problem("free list: block " + std::to_string(current) + " is free but used by " + What(holder));
        }
        if (holder == kNobody) holder = kFree;
      }
      previous = current;
      current = Entry(current);
    }
    if (overlaps > 10) Problem("free list: " + std::to_string(overlaps - 10) + " more used blocks are free");
  }

  // Blocks of the byte array that are neither free nor in any chain the walk
  // reached: space no write will use again.
  void CheckLostBlocks() {
    const std::int64_t last = std::min(blockCount_, entryCount_ - 1);
    if (last < 1) return;
    std::int64_t count = 0;
    std::vector<std::int64_t> lost;
    if (owners_.empty()) {
      // Whole words of the bitmap at a time; the bits outside [1, last] are
      // set in a copy of the first and last word.
      const std::size_t lastWord = static_cast<std::size_t>(last >> 6);
      for (std::size_t w = 0; w <= lastWord; ++w) {
        std::uint64_t word = claimed_[w];
        if (w == 0) word |= 1;
        if (w == lastWord && (last & 63) != 63) word |= ~std::uint64_t{0} << ((last & 63) + 1);
        if (word == ~std::uint64_t{0}) continue;
        count += std::popcount(~word);
        for (std::uint64_t unclaimed = ~word; unclaimed != 0 && lost.size() < 5; unclaimed &= unclaimed - 1)
          lost.push_back(static_cast<std::int64_t>(w) * 64 + std::countr_zero(unclaimed));
      }
    } else {
      const auto begin = owners_.begin() + 1;
      const auto end = owners_.begin() + last + 1;
      count = static_cast<std::int64_t>(std::count(begin, end, kNobody));
      for (auto at = std::find(begin, end, kNobody); at != end && lost.size() < 5; at = std::find(at + 1, end, kNobody))
        lost.push_back(at - owners_.begin());
    }
    if (count == 0) return;
    std::string listed;
    for (const std::int64_t block : lost) listed += (listed.empty() ? "" : ", ") + std::to_string(block);
    Problem("lost blocks: " + std::to_string(count) + " blocks are neither free nor in any chain (" + listed +
            (count > 5 ? ", ..." : "") + ")");
  }

  // The owner of a block on the free list.
  static constexpr std::int32_t kFree = -1;
  // The most blocks a walk makes room for before it has seen them.
  static constexpr std::int64_t kLargestReserve = 1 << 14;
  // The places that are no entry: the owner of a block nothing claimed, the
  // table's blocks, the root directory. The entries' places follow.
  static constexpr std::int32_t kNobody = 0;
  static constexpr std::int32_t kTable = 1;
  static constexpr std::int32_t kRoot = 2;

  // An entry, for messages: the storage it lies in and its name, made into a
  // path only when a message needs one (a directory of many entries would
  // otherwise build a path and a quoted name for each).
  struct Place {
    std::int32_t storage = kNobody;
    std::u16string name;
  };

  // "'A\B\name'", or what a place that is no entry is called.
  std::string What(std::int32_t place) const {
    switch (place) {
      case kNobody:
        return "";
      case kTable:
        return "the allocation table";
      case kRoot:
        return "root directory";
      default: {
        std::string quoted = "'";
        quoted += PathOf(place);
        quoted += '\'';
        return quoted;
      }
    }
  }

  // The names from the root down to place, '\\' between them ("" for the root).
  std::string PathOf(std::int32_t place) const {
    std::vector<const std::u16string*> names;
    for (std::int32_t at = place; at > kRoot; at = places_[static_cast<std::size_t>(at)].storage)
      names.push_back(&places_[static_cast<std::size_t>(at)].name);
    std::string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
      if (!path.empty()) path += "\\";
      path += PrintableEntryName(**name);
    }
    return path;
  }

  ByteSource& source_;
  std::string scope_;
  int baseDepth_;
  int maxDepth_;
  Report& report_;
  ImageChecks& images_;
  EntryRecord root_;

  std::int64_t size_ = 0;
  std::int32_t entryWidth_ = 0;
  std::int32_t blockSize_ = 0;
  std::int32_t dataOffset_ = 0;
  std::int64_t tableStart_ = -1;
  std::int64_t entriesPerBlock_ = 0;
  int entryShift_ = 0;  // log2 of entriesPerBlock_
  std::int64_t blockCount_ = 0;       // whole blocks in the byte array
  std::int64_t startedBlocks_ = 0;    // blocks that start inside it, the last perhaps cut short
  std::int64_t tableBlockCount_ = 0;  // blocks the table must have
  std::int64_t entryCount_ = 0;       // entries of the in-memory table
  std::vector<std::vector<std::uint8_t>> tableBytes_;
  // The leading table blocks read whole: their entries need no care for a cut.
  std::size_t wholeBlocks_ = 0;
  std::vector<std::int64_t> tableBlocks_;
  // Blocks claimed by a chain, the table or the free list, a bit each, while
  // no block was met twice; then empty, and owners_ holds the place whose
  // chain holds each block.
  std::vector<std::uint64_t> claimed_;
  std::vector<std::int32_t> owners_;
  // The chains claimed in the bitmap, in order, to learn their owners from.
  std::vector<std::pair<std::int32_t, std::int64_t>> walks_;
  std::vector<Place> places_;
};

}  // namespace

QssResult CheckContainer(CPhysicalByteArray* array, std::vector<std::string>* problems, int maxDepth) {
  CheckOptions options;
  options.maxDepth = maxDepth;
  return CheckContainer(array, problems, options);
}

QssResult CheckContainer(CPhysicalByteArray* array, std::vector<std::string>* problems, const CheckOptions& options) {
  if (array == nullptr) return kQssInvalidArgument;
  if (problems == nullptr) return kQssNullResult;
  Report report;
  {
    // One thread walks; with more allowed, the others decompress.
    ImageChecks images(report, options.threads > 1 ? std::min(options.threads, kMostCheckThreads) : 0);
    ArraySource source(array);
    Checker checker(source, "", 0, options.maxDepth, report, images);
    checker.Run();
    images.Finish();
  }
  report.Emit(problems);
  return report.found == 0 ? kQssOk : kQssNotAContainer;
}

}  // namespace qss
