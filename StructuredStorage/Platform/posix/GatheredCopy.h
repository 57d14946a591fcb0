#ifndef QSS_PLATFORM_POSIX_GATHEREDCOPY_H_
#define QSS_PLATFORM_POSIX_GATHEREDCOPY_H_

#include <sys/types.h>
#include <sys/uio.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "qss/ResultCodes.h"

namespace qss {

// Bytes of this process's memory (a mapping of the source) that are gathered
// into a buffer, then written, as one.
struct GatherBatch {
  const iovec* pieces;
  int count;
  std::size_t bytes;  // at most GatheredCopy::kBufferBytes
};

// One copy of batches to a file, which two threads can share: each gathers
// every other batch into its own buffer (process_vm_readv on this process),
// then waits for its turn to write it, so that the batches reach the file
// in order while the other thread gathers the next. Gathering and writing
// cost about the same, so two threads take nearly half the time of one; a
// write cannot be split, since writes to one file take its lock in turn.
//
// The copy stops at the first batch that cannot be gathered whole (the file
// was cut short under the mapping: refused) or at all (the system forbids
// the call: disallowed), or whose write fails; what was written before it
// stays, and nothing after it is written.
class GatheredCopy {
 public:
  static constexpr std::size_t kBufferBytes = 1 << 20;

  // batches stay the caller's, unchanged until the copy is over.
  GatheredCopy(const std::vector<GatherBatch>& batches, int target);

  // Gathers and writes batches first, first + step, ... until the copy is
  // over. buffer holds kBufferBytes. Returns the bytes this thread gathered.
  std::uint64_t Run(std::size_t first, std::size_t step, unsigned char* buffer);

  // After every thread's Run: bytes written in order from the first batch.
  std::uint64_t written() const { return written_; }
  // A write failed with this (kQssOk otherwise).
  QssResult result() const { return result_; }
  // A batch could not be gathered whole: the source is shorter than its mapping.
  bool refused() const { return refused_; }
  // The system refused to gather at all.
  bool disallowed() const { return disallowed_; }

  // The helper thread's part of the copy is over; it touches the copy no more.
  void HelperFinished();
  // Waits until the helper thread said so.
  void WaitForHelper();

 private:
  const std::vector<GatherBatch>& batches_;
  const int target_;
  const pid_t self_;
  std::mutex lock_;
  std::condition_variable turn_;
  std::size_t nextToWrite_ = 0;
  bool stopped_ = false;
  bool helperFinished_ = false;
  std::uint64_t written_ = 0;
  QssResult result_ = kQssOk;
  bool refused_ = false;
  bool disallowed_ = false;
};

// A second thread that takes part in one copy at a time, made on first use.
// In a forked child, which has no such thread, it declines.
class GatherHelper {
 public:
  GatherHelper() = default;
  ~GatherHelper();
  GatherHelper(const GatherHelper&) = delete;
  GatherHelper& operator=(const GatherHelper&) = delete;

  // Starts the helper on copy's batches 1, 3, 5, ...; the caller then runs
  // 0, 2, 4, ... and waits for the helper (copy->WaitForHelper()). False,
  // with nothing started, when the helper is busy with another copy, this
  // machine has one processor, or no thread could be made.
  bool Take(GatheredCopy* copy);

 private:
  void Serve();

  std::mutex lock_;
  std::condition_variable wake_;
  std::thread thread_;
  pid_t owner_ = 0;  // the process the thread runs in
  bool unavailable_ = false;
  bool quit_ = false;
  GatheredCopy* job_ = nullptr;  // the copy being served; null when free
  std::unique_ptr<unsigned char[]> buffer_;
};

}  // namespace qss

#endif  // QSS_PLATFORM_POSIX_GATHEREDCOPY_H_
