#include "BenchSupport.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "qss/CPhysicalByteArray.h"
#include "qss/CQssRef.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/ContainerFile.h"

using namespace qss;

namespace bench {

void Fail(const char* what, QssResult result) {
  std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(result));
  std::exit(1);
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void FillPiece(std::vector<std::uint8_t>& piece, std::int64_t index) {
  for (std::size_t i = 0; i + 8 <= piece.size(); i += 8) {
    const std::uint64_t value = static_cast<std::uint64_t>(index) * 0x9E3779B97F4A7C15ull + i;
    std::memcpy(piece.data() + i, &value, 8);
  }
}

void FillCompressiblePiece(std::vector<std::uint8_t>& piece, std::int64_t index) {
  static const char* const kWords[] = {"block ", "chain ", "stream ", "table ", "storage ", "entry ",
                                       "record ", "segment ", "header ", "install ", "service ", "package ",
                                       "firmware ", "read ", "write ", "lock "};
  std::mt19937 random(static_cast<std::uint32_t>(index));
  std::size_t at = 0;
  while (at < piece.size()) {
    const std::uint32_t draw = random();
    const char* word = kWords[draw % 16];
    std::size_t length = std::strlen(word);
    length = std::min(length, piece.size() - at);
    std::memcpy(piece.data() + at, word, length);
    at += length;
    // Now and then a number, so that the text does not repeat too simply.
    if ((draw >> 8) % 4 == 0 && at + 5 <= piece.size()) {
      std::snprintf(reinterpret_cast<char*>(piece.data() + at), 6, "%04u", (draw >> 12) % 10000);
      piece[at + 4] = ' ';
      at += 5;
    }
  }
}

void WritePlainFile(const std::filesystem::path& path, std::int64_t mebibytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) Fail("create plain file", -1);
  std::vector<std::uint8_t> buffer(kPiece);
  for (std::int64_t i = 0; i < mebibytes; ++i) {
    FillPiece(buffer, i);
    if (::write(fd, buffer.data(), buffer.size()) != static_cast<ssize_t>(buffer.size())) Fail("write plain", -1);
  }
  ::close(fd);
}

void WarmFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  std::vector<std::uint8_t> buffer(kPiece);
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  ::close(fd);
}

void BackFreeMemory(std::int64_t mebibytes) {
  if (mebibytes <= 0) return;
  const auto length = static_cast<std::size_t>(mebibytes) << 20;
  void* start = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (start != MAP_FAILED) ::munmap(start, length);
}

CQssRef<CRootStorage> CreateContainerFile(const std::filesystem::path& path, std::int32_t entryWidth,
                                          std::int32_t blockSize) {
  CQssRef<CRootStorage> root;
  if (QssResult result = qss::CreateContainerFile(path, entryWidth, blockSize, kDefaultSegmentSize, &root);
      QssFailed(result))
    Fail("create container", result);
  return root;
}

void CommitContainer(const std::filesystem::path& path, CQssRef<CRootStorage>* root) {
  if (QssResult result = (*root)->Commit(); QssFailed(result)) Fail("commit container", result);
  root->Reset();
  // On the disk before anything is timed on it.
  CQssRef<CPhysicalByteArray> files;
  if (QssResult result = OpenContainerBytes(path, OpenMode::kReadWrite, &files); QssFailed(result))
    Fail("reopen container", result);
  if (QssResult result = files->Flush(); QssFailed(result)) Fail("flush container", result);
}

namespace {

// Writes content into stream (empty, writable, plain) one block at a time
// so that its chain jumps about the file: a block is taken only once the
// block just freed by cutting the last block off one of many filler
// streams is the lowest free one. The fillers, written in turn block by
// block, lie interleaved; cutting them in random order hands the stream
// their blocks in that order, and a filler is never cut right after its
// left neighbour in the same row, so that a block is almost never followed
// by the next higher one. The fillers stay as empty streams.
void WriteScattered(CStorage* parent, CStream* stream, std::int64_t mebibytes, std::int32_t blockSize,
                    const std::string& prefix) {
  constexpr int kFillers = 256;
  const std::int64_t blocks = mebibytes * kPiece / blockSize;
  std::vector<CQssRef<CStream>> fillers;
  std::vector<std::int64_t> left(kFillers, 0);
  std::vector<std::uint8_t> zeros(static_cast<std::size_t>(blockSize));
  for (int i = 0; i < kFillers; ++i) {
    const std::string name = "filler" + std::to_string(1000 + i);
    const std::u16string wide(name.begin(), name.end());
    CStream* created = nullptr;
    if (QssResult result = parent->CreateStream(wide.c_str(), false, &created); QssFailed(result))
      Fail("create filler", result);
    fillers.push_back(CQssRef<CStream>::Attach(created));
  }
  for (std::int64_t b = 0; b < blocks; ++b) {
    const auto i = static_cast<std::size_t>(b % kFillers);
    if (QssResult result = fillers[i]->Write(zeros.data(), blockSize, nullptr); QssFailed(result))
      Fail("write filler", result);
    ++left[i];
  }
  std::mt19937_64 random(42);
  std::size_t previous = kFillers;
  std::vector<std::uint8_t> piece(kPiece);
  for (std::int64_t p = 0; p < mebibytes; ++p) {
    FillPiece(piece, p);
    if (p == 0) std::memcpy(piece.data(), prefix.data(), std::min(prefix.size(), piece.size()));
    for (std::int32_t at = 0; at < kPiece; at += blockSize) {
      std::size_t i = 0;
      do {
        i = static_cast<std::size_t>(random() % kFillers);
      } while (left[i] == 0 || (i == previous + 1 && left[i] == left[previous] + 1));
      --left[i];
      previous = i;
      if (QssResult result = fillers[i]->SetSize(left[i] * blockSize); QssFailed(result)) Fail("cut filler", result);
      if (QssResult result = stream->Write(piece.data() + at, blockSize, nullptr); QssFailed(result))
        Fail("write stream", result);
    }
  }
}

}  // namespace

void WriteStreamContainer(const std::filesystem::path& path, const std::vector<std::u16string>& streamPath,
                          std::int64_t mebibytes, std::int32_t blockSize, StreamLayout layout,
                          const std::string& prefix) {
  RemoveContainer(path);
  CQssRef<CRootStorage> root = CreateContainerFile(path, 4, blockSize);
  {
    std::vector<CQssRef<CStorage>> storages;
    CStorage* parent = root.get();
    for (std::size_t i = 0; i + 1 < streamPath.size(); ++i) {
      CStorage* created = nullptr;
      if (QssResult result = parent->CreateStorage(streamPath[i].c_str(), &created); QssFailed(result))
        Fail("create storage", result);
      storages.push_back(CQssRef<CStorage>::Attach(created));
      parent = created;
    }
    CStream* created = nullptr;
    if (QssResult result = parent->CreateStream(streamPath.back().c_str(), layout == StreamLayout::kCompressed,
                                                &created);
        QssFailed(result))
      Fail("create stream", result);
    CQssRef<CStream> stream = CQssRef<CStream>::Attach(created);
    const std::int64_t total = mebibytes * kPiece;
    std::vector<std::uint8_t> piece(kPiece);

    if (layout == StreamLayout::kCompressed) {
      std::vector<std::uint8_t> content;
      content.reserve(static_cast<std::size_t>(total));
      for (std::int64_t i = 0; i < mebibytes; ++i) {
        FillCompressiblePiece(piece, i);
        content.insert(content.end(), piece.begin(), piece.end());
      }
      std::memcpy(content.data(), prefix.data(), std::min(prefix.size(), content.size()));
      std::uint32_t written = 0;
      if (QssResult result = stream->Write(content.data(), static_cast<std::int32_t>(content.size()), &written);
          result != kQssOk || written != content.size())
        Fail("write compressed stream", result);
    } else if (layout == StreamLayout::kFragmented) {
      WriteScattered(parent, stream.get(), mebibytes, blockSize, prefix);
    } else {
      if (layout != StreamLayout::kPiecewise) {
        if (QssResult result = stream->SetSize(total); QssFailed(result)) Fail("presize", result);
      }
      for (std::int64_t i = 0; i < mebibytes; ++i) {
        FillPiece(piece, i);
        if (i == 0) std::memcpy(piece.data(), prefix.data(), std::min(prefix.size(), piece.size()));
        if (QssResult result = stream->Write(piece.data(), kPiece, nullptr); QssFailed(result))
          Fail("write stream", result);
      }
    }
    // Children go before their parents: each records its content in the
    // parent's directory.
    stream.Reset();
    while (!storages.empty()) storages.pop_back();
  }
  CommitContainer(path, &root);
}

void RemoveContainer(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  for (int segment = 2; segment <= 9999; ++segment) {
    char suffix[8];
    std::snprintf(suffix, sizeof(suffix), ".F%04d", segment);
    std::filesystem::path next = path;
    next += suffix;
    if (!std::filesystem::remove(next, ignored)) break;
  }
}

}  // namespace bench
