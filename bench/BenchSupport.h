// Helpers shared by the timed programs: failing loudly, clocks, test
// content, and writing containers that hold large streams in the layouts the
// benchmarks compare.

#ifndef BENCH_BENCHSUPPORT_H_
#define BENCH_BENCHSUPPORT_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CRootStorage.h"
#include "qss/ResultCodes.h"

namespace bench {

using Clock = std::chrono::steady_clock;
inline constexpr std::int32_t kPiece = 1 << 20;

[[noreturn]] void Fail(const char* what, qss::QssResult result);
double Seconds(Clock::time_point start);

// Piece number index of an incompressible pattern.
void FillPiece(std::vector<std::uint8_t>& piece, std::int64_t index);
// Piece number index of text-like content that LZ4 shrinks to about a third.
void FillCompressiblePiece(std::vector<std::uint8_t>& piece, std::int64_t index);

// Writes a plain file of mebibytes pieces of FillPiece content.
void WritePlainFile(const std::filesystem::path& path, std::int64_t mebibytes);
// Reads a file through once so that it sits in the page cache.
void WarmFile(const std::filesystem::path& path);
// Touches and frees this much memory. A virtual machine that gives freed
// memory back to its host makes the first use of it wait for the host
// again; a run that follows finds memory it can use at once.
void BackFreeMemory(std::int64_t mebibytes);

enum class StreamLayout {
  kPresized,    // SetSize first: one allocation, consecutive blocks
  kPiecewise,   // written as it comes: the growing table interleaves table blocks
  // Written block by block into blocks freed in random order: the chain
  // jumps about, a block almost never followed by its neighbour.
  kFragmented,
  kCompressed,  // a compressed stream, written in one call
};

// A new container at path (a segmented file array) whose storage path (a
// list of storage names, then the stream's name) holds one stream of
// mebibytes pieces: FillCompressiblePiece content for kCompressed,
// FillPiece otherwise. prefix, when given, replaces the first bytes.
void WriteStreamContainer(const std::filesystem::path& path, const std::vector<std::u16string>& streamPath,
                          std::int64_t mebibytes, std::int32_t blockSize, StreamLayout layout,
                          const std::string& prefix = std::string());

// A new, empty container at path, open for writing; ends the program on
// failure.
qss::CQssRef<qss::CRootStorage> CreateContainerFile(const std::filesystem::path& path, std::int32_t entryWidth,
                                                    std::int32_t blockSize);
// Commits the container at path, lets it go (its files are closed) and
// flushes its files to the disk; ends the program on failure.
void CommitContainer(const std::filesystem::path& path, qss::CQssRef<qss::CRootStorage>* root);

// Removes a container's base file and its segment files.
void RemoveContainer(const std::filesystem::path& path);

}  // namespace bench

#endif  // BENCH_BENCHSUPPORT_H_
