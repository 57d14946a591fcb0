#include "ContainerReadHarness.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "HarnessCheck.h"

using namespace qss;

namespace {

// Bounds that keep one input cheap however it is built: a directory whose
// entries all point at the same chain would otherwise fan out without end.
constexpr int kMaxDepth = 6;
constexpr int kMaxObjects = 300;
// A directory whose chain loops can hold hundreds of entries that all lead
// back to it; every entry looked at counts.
constexpr std::int64_t kMaxEntriesVisited = 20000;
constexpr std::int64_t kMaxBytesPerStream = 256 * 1024;
constexpr std::int64_t kMaxBytesPerInput = 4 * 1024 * 1024;
// The second pass reads in small pieces; compressed content is decompressed
// whole for every piece, so only short streams get it.
constexpr std::int64_t kMaxBytesForSecondPass = 32 * 1024;
constexpr std::int32_t kFirstPiece = 4096;
constexpr std::int32_t kSecondPiece = 1000;

struct Digest {
  std::uint64_t hash = 1469598103934665603ull;
  std::int64_t length = 0;
  void Add(const std::uint8_t* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    length += count;
  }
  bool operator==(const Digest&) const = default;
};

class Walker {
 public:
  explicit Walker(ReadHarnessReport* report) : report_(report) {}

  void WalkStorage(CStorage* storage, int depth) {
    const std::int32_t count = storage->EntryCount();
    Check(count >= 0, "negative entry count");
    const std::map<std::u16string, int> nameCounts = CountNames(storage);
    for (std::int32_t i = 0; i < count && Affordable(); ++i) {
      ++entriesVisited_;
      CStorageEntry* entry = storage->EntryAt(i);
      Check(entry != nullptr, "EntryAt gave null inside the entry count");
      if (!entry->NameIsTerminated()) {
        // Not a valid record; it must not be found under its 32 units.
        std::u16string units = entry->Name();
        Check(storage->FindEntry(units.c_str()) != entry, "an unterminated name matched");
        continue;
      }
      const std::u16string name = entry->Name();
      const std::uint32_t kind = entry->Kind();
      if (name.empty()) {
        CStorage* child = nullptr;
        Check(storage->OpenStorage(name.c_str(), 0, &child) == kQssInvalidRequest, "empty name was not refused");
        Check(child == nullptr, "a refused OpenStorage changed the result");
        continue;
      }
      // With duplicate names the lookup may reach another entry of the same
      // name (it tries the one after its last hit first), so which kind
      // opens is only known for a unique name.
      const bool unique = nameCounts.at(name) == 1;
      if (kind & kEntryStream) ReadStreamEntry(storage, name, unique);
      if ((kind & kEntryStorage) && depth < kMaxDepth) OpenStorageEntry(storage, name, unique, depth);
    }
  }

 private:
  // How often each terminated name occurs in the storage.
  static std::map<std::u16string, int> CountNames(CStorage* storage) {
    std::map<std::u16string, int> counts;
    for (std::int32_t i = 0; i < storage->EntryCount(); ++i) {
      CStorageEntry* entry = storage->EntryAt(i);
      if (entry->NameIsTerminated()) ++counts[entry->Name()];
    }
    return counts;
  }

  bool Affordable() const {
    return objects_ < kMaxObjects && entriesVisited_ < kMaxEntriesVisited && report_->bytesRead < kMaxBytesPerInput;
  }

  void Check(bool condition, const std::string& what) {
    if (!condition && report_->problem.empty()) report_->problem = what;
  }

  void ReadStreamEntry(CStorage* storage, const std::u16string& name, bool unique) {
    ++objects_;
    CQssRef<CStream> stream;
    const QssResult opened = storage->OpenStream(name.c_str(), 0, stream.Receive());
    if (opened < 0) {
      Check(!stream, "a failed OpenStream handed out a stream");
      Check(!unique || opened == kQssAlreadyOpen,
            "OpenStream failed on a closed stream entry: " + std::to_string(opened));
      Check(opened == kQssAlreadyOpen || opened == kQssNotFound, "OpenStream failed with an unexpected code");
      return;
    }
    Check(stream && opened == kQssOk, "OpenStream succeeded without a stream");
    if (!stream) return;

    if (unique) {
      CQssRef<CStream> second;
      Check(storage->OpenStream(name.c_str(), 0, second.Receive()) == kQssAlreadyOpen && !second,
            "an open stream entry opened a second time");
    }
    const std::uint8_t probe = 0x5A;
    std::uint32_t written = 1;
    Check(stream->Write(&probe, 1, &written) == kQssReadOnly && written == 0,
          "a stream opened by name accepted a write");

    ++report_->streamsRead;
    const std::int64_t head = stream->entry()->HeadOffset();
    // Where a read fails depends on the piece size, so only streams read to
    // a clean end are compared.
    const Digest first = ReadAll(stream.get(), head, kFirstPiece, kMaxBytesPerStream);
    const bool comparable = cleanEnd_ && first.length > 0 && first.length <= kMaxBytesForSecondPass;
    if (comparable) {
      const Digest again = ReadAll(stream.get(), head, kSecondPiece, kMaxBytesPerStream);
      Check(!cleanEnd_ || again == first, "reading a stream in other pieces gave other bytes");
    }
    stream.Reset();

    // Released, the entry opens again and reads the same.
    if (unique && comparable) {
      CQssRef<CStream> reopened;
      Check(storage->OpenStream(name.c_str(), 0, reopened.Receive()) == kQssOk && reopened,
            "a released stream entry did not open again");
      if (reopened) {
        const Digest third = ReadAll(reopened.get(), head, kFirstPiece, kMaxBytesPerStream);
        Check(!cleanEnd_ || third == first, "a reopened stream read other bytes");
      }
    }
  }

  // Reads from position start to the end in pieces; stops at the first
  // failure, at a read of nothing (a clean end), or at the byte limit.
  Digest ReadAll(CStream* stream, std::int64_t start, std::int32_t piece, std::int64_t limit) {
    Digest digest;
    cleanEnd_ = false;
    std::int64_t position = -1;
    Check(QssSucceeded(stream->Seek(start, kSeekBegin, &position)), "Seek from the beginning failed");
    // A compressed stream keeps a 32-bit position; only such starts compare.
    if (start >= 0 && start <= INT32_MAX)
      Check(position == start, "Seek from the beginning did not report the position");
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(piece) + 16);
    const std::uint8_t guard = 0xC3;
    std::memset(buffer.data() + piece, guard, 16);
    for (;;) {
      std::uint32_t got = 0xFFFFFFFFu;
      const QssResult result = stream->Read(buffer.data(), piece, &got);
      if (result < 0) {
        Check(got <= static_cast<std::uint32_t>(piece), "a failed read reported more than asked");
        break;
      }
      Check(result == kQssOk, "a read succeeded with reservations; every refusal is a failure");
      Check(got <= static_cast<std::uint32_t>(piece), "a read reported more bytes than asked");
      if (got == 0 || got > static_cast<std::uint32_t>(piece)) {
        cleanEnd_ = got == 0 && result == kQssOk;
        break;
      }
      for (int i = 0; i < 16; ++i) Check(buffer[piece + i] == guard, "a read wrote past its count");
      digest.Add(buffer.data(), got);
      report_->bytesRead += got;
      if (digest.length >= limit || report_->bytesRead >= kMaxBytesPerInput) break;
    }
    return digest;
  }

  void OpenStorageEntry(CStorage* storage, const std::u16string& name, bool unique, int depth) {
    ++objects_;
    CQssRef<CStorage> child;
    const QssResult opened = storage->OpenStorage(name.c_str(), 0, child.Receive());
    if (opened < 0) {
      Check(!child, "a failed OpenStorage handed out an object");
      Check(opened == kQssAlreadyOpen || opened == kQssNotAContainer || opened == kQssTruncated ||
                (!unique && opened == kQssNotFound),
            "OpenStorage failed with an unexpected code: " + std::to_string(opened));
      if (opened != kQssAlreadyOpen && unique) {
        // A failed nested open leaves nothing attached: the entry opens
        // (and fails) the same way again.
        CQssRef<CStorage> again;
        Check(storage->OpenStorage(name.c_str(), 0, again.Receive()) == opened,
              "a failed nested open did not fail the same way twice");
      }
      return;
    }
    Check(child && opened == kQssOk, "OpenStorage succeeded without a storage");
    if (!child) return;
    ++report_->storagesOpened;
    if (unique) {
      CQssRef<CStorage> second;
      Check(storage->OpenStorage(name.c_str(), 0, second.Receive()) == kQssAlreadyOpen && !second,
            "an open storage entry opened a second time");
    }
    WalkStorage(child.get(), depth + 1);
  }

  ReadHarnessReport* report_;
  int objects_ = 0;
  std::int64_t entriesVisited_ = 0;
  bool cleanEnd_ = false;  // the last ReadAll ended with a read of nothing, not with a failure
};

}  // namespace

ReadHarnessReport RunReadHarness(const std::uint8_t* data, std::size_t size) {
  ReadHarnessReport report;
  std::vector<std::uint8_t> bytes(data, data + size);
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    report.opened = root->valid();
    if (!root->valid()) {
      if (root->status() != kQssNotAContainer && root->status() != kQssTruncated)
        report.problem = "a container that did not open reported an unexpected status";
    } else {
      Walker walker(&report);
      walker.WalkStorage(root.get(), 0);
    }
  }
  // Nothing was changed, so nothing may have been written differently: a
  // walk that only reads leaves the container exactly as it was.
  if (report.problem.empty() && array->Bytes() != bytes) report.problem = "a read-only walk changed the bytes";
  // The checker meets the same untrusted bytes; what it finds is expected,
  // only how it copes is tested.
  if (report.opened) RunConsistencyCheck(array.get());
  return report;
}
