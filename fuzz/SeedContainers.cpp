#include "SeedContainers.h"

#include <cstring>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/CreateContainer.h"
#include "Format/Format.h"

using namespace qss;

namespace {

std::vector<std::uint8_t> Pattern(std::size_t length, bool compressible, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(length);
  std::uint32_t state = seed * 2654435761u + 7;
  for (std::size_t i = 0; i < length; ++i) {
    if (compressible) {
      bytes[i] = static_cast<std::uint8_t>("storage "[(i + seed) % 8]);
    } else {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      bytes[i] = static_cast<std::uint8_t>(state >> 9);
    }
  }
  return bytes;
}

class Builder {
 public:
  explicit Builder(std::string* problem) : problem_(problem) {}

  bool Stream(CStorage* parent, const char16_t* name, bool compressed, const std::vector<std::uint8_t>& bytes) {
    CQssRef<CStream> stream;
    if (!Check(parent->CreateStream(name, compressed, stream.Receive()), "CreateStream")) return false;
    if (bytes.empty()) return true;
    std::uint32_t written = 0;
    return Check(stream->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()), &written), "Write") &&
           Check(written == bytes.size() ? kQssOk : kQssInvalidArgument, "short write");
  }

  // A directory with every kind of stream; with depth > 0 also a storage and
  // a nested container holding the same again.
  bool Fill(CStorage* storage, int depth, std::uint32_t seed) {
    if (!Stream(storage, u"plain", false, Pattern(700 + seed % 300, false, seed)) ||
        !Stream(storage, u"packed", true, Pattern(5000, true, seed)) ||
        !Stream(storage, u"noise", true, Pattern(300, false, seed + 1)) ||
        !Stream(storage, u"empty", false, {}))
      return false;
    if (depth == 0) return true;
    {
      CQssRef<CStorage> sub;
      if (!Check(storage->CreateStorage(u"dir", sub.Receive()), "CreateStorage") || !Fill(sub.get(), 0, seed + 2))
        return false;
    }
    CQssRef<CRootStorage> nested;
    if (!Check(storage->CreateNestedContainer(u"nested", 4, 128, nested.Receive()), "CreateNestedContainer"))
      return false;
    return Fill(nested.get(), depth - 1, seed + 3);
  }

  bool Check(QssResult result, const char* what) {
    if (result >= 0) return true;
    if (problem_->empty()) *problem_ = std::string(what) + " failed";
    return false;
  }

 private:
  std::string* problem_;
};

// Builds a container; fill receives the root storage.
template <typename Fill>
bool Build(std::int32_t entryWidth, std::int32_t blockSize, std::string* problem, Fill fill,
           std::vector<std::uint8_t>* bytes) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  Builder builder(problem);
  if (!builder.Check(CreateContainer(array.get(), entryWidth, blockSize), "CreateContainer")) return false;
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    if (!root->valid()) return builder.Check(root->status(), "opening a new container");
    if (!fill(builder, root.get())) return false;
  }
  *bytes = array->Bytes();
  return true;
}

// The smallest useful container, byte by byte: one table block, a root
// directory of one record, one stream "S" of 10 bytes.
std::vector<std::uint8_t> SmallestContainer() {
  ContainerHeader header;
  header.entryWidth = 4;
  header.blockSize = 512;
  header.dataOffset = 512;
  header.tableStart = 1;
  header.root.flags = kEntryStorage;
  header.root.firstBlock = 2;
  header.root.size = kEntryRecordSize;
  std::vector<std::uint8_t> bytes(1546, 0);
  header.EncodeTo(bytes.data());
  std::uint8_t* table = &bytes[static_cast<std::size_t>(header.BlockPosition(1))];
  const auto link = [&](std::int64_t k, std::int64_t next) { StoreTableEntry(table + 4 * k, 4, next); };
  link(0, 4);
  for (int k = 1; k <= 3; ++k) link(k, -1);
  for (int k = 4; k <= 126; ++k) link(k, k + 1);
  link(127, -1);
  EntryRecord stream;
  stream.name[0] = u'S';
  stream.flags = kEntryStream;
  stream.firstBlock = 3;
  stream.size = 10;
  stream.EncodeTo(&bytes[static_cast<std::size_t>(header.BlockPosition(2))]);
  for (int i = 0; i < 10; ++i) bytes[static_cast<std::size_t>(header.BlockPosition(3)) + i] = static_cast<std::uint8_t>('0' + i);
  return bytes;
}

// Gives the first record named name (ASCII) a head offset.
void SetHeadOffset(std::vector<std::uint8_t>* bytes, const char* name, std::int64_t headOffset) {
  const std::size_t length = std::strlen(name);
  for (std::size_t at = 0; at + kEntryRecordSize <= bytes->size(); at += 16) {
    EntryRecord record;
    if (QssFailed(EntryRecord::Decode(&(*bytes)[at], bytes->size() - at, &record))) return;
    bool match = length < static_cast<std::size_t>(kEntryNameUnits);
    for (std::size_t i = 0; i <= length && match; ++i) match = record.name[i] == (i < length ? name[i] : 0);
    if (match) {
      record.headOffset = headOffset;
      record.EncodeTo(&(*bytes)[at]);
      return;
    }
  }
}

}  // namespace

bool MakeReadSeeds(std::vector<SeedInput>* seeds, std::string* problem) {
  seeds->push_back({"smallest", SmallestContainer()});
  for (std::int32_t entryWidth : {2, 4, 8}) {
    for (std::int32_t blockSize : {64, 512}) {
      std::vector<std::uint8_t> bytes;
      const auto seed = static_cast<std::uint32_t>(entryWidth * 1000 + blockSize);
      if (!Build(entryWidth, blockSize, problem,
                 [&](Builder& builder, CRootStorage* root) { return builder.Fill(root, 1, seed); }, &bytes))
        return false;
      seeds->push_back({"tree-w" + std::to_string(entryWidth) + "-b" + std::to_string(blockSize), bytes});
    }
  }
  // More than 1024 blocks in one stream: the chain cache builds a segment.
  std::vector<std::uint8_t> longStream;
  if (!Build(2, 16, problem,
             [&](Builder& builder, CRootStorage* root) {
               return builder.Stream(root, u"long", false, Pattern(1100 * 16 + 5, false, 9));
             },
             &longStream))
    return false;
  seeds->push_back({"long-chain", longStream});
  // A stream whose first readable byte is not at 0.
  std::vector<std::uint8_t> headed;
  if (!Build(4, 64, problem,
             [&](Builder& builder, CRootStorage* root) {
               return builder.Stream(root, u"head", false, Pattern(400, false, 11));
             },
             &headed))
    return false;
  SetHeadOffset(&headed, "head", 100);
  seeds->push_back({"head-offset", headed});
  return true;
}

std::vector<SeedInput> MakeWriteSeeds() {
  std::vector<SeedInput> seeds;
  std::uint32_t state = 0x9E3779B9u;
  for (int n = 0; n < 8; ++n) {
    std::vector<std::uint8_t> bytes(64 + 48 * n);
    for (auto& byte : bytes) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      byte = static_cast<std::uint8_t>(state);
    }
    seeds.push_back({"write-random-" + std::to_string(n), bytes});
  }
  // Make a stream, write it, reopen, read it back: the simplest full round.
  seeds.push_back({"write-roundtrip", {0x04, 0, 8, 0, 0, 4, 8, 200, 3, 3, 11, 0, 8, 8, 0, 16, 11, 0}});
  return seeds;
}
