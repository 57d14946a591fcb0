#if defined(__linux__)

#include "Platform/posix/MappedPieceWriter.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "TemporaryFolder.h"

namespace qss {
namespace {

constexpr std::uint32_t kPage = 4096;
constexpr std::uint32_t kPages = 10 * 1024;  // 40 MiB: two whole regions and half of one
constexpr std::size_t kBatch = 1024;

// Page number of a 40 MiB file, as its bytes say.
std::vector<char> PageBytes(std::uint32_t number) {
  std::vector<char> page(kPage);
  for (std::uint32_t i = 0; i < kPage; ++i) page[i] = static_cast<char>((number * 7 + i) % 251);
  return page;
}

// A 40 MiB file of numbered pages, and a chain scattered over it: its
// pieces come back to every region of the file many times.
class MappedPieceWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    source_ = ::open((folder_ / "large.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(source_, 0);
    WritePages(0);
    order_.resize(kPages);
    for (std::uint32_t i = 0; i < kPages; ++i) order_[i] = i;
    std::mt19937 random(11);
    std::shuffle(order_.begin(), order_.end(), random);
    for (const std::uint32_t number : order_) pieces_.push_back(ReadPiece{std::int64_t{number} * kPage, nullptr, kPage});
  }
  void TearDown() override {
    if (source_ >= 0) ::close(source_);
  }

  void WritePages(std::uint32_t first) {
    for (std::uint32_t number = first; number < kPages; ++number) {
      ASSERT_EQ(::pwrite(source_, PageBytes(number).data(), kPage, off_t{number} * kPage), ssize_t{kPage});
    }
  }
  int CreateOutput(const std::string& name) {
    return ::open((folder_ / name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  // Every stride-th of the first count pieces arrived in order in out.
  void ExpectPiecesInOrder(int out, std::size_t count, std::size_t stride) {
    std::vector<char> got(kPage);
    for (std::size_t i = 0; i < count; i += stride) {
      ASSERT_EQ(::pread(out, got.data(), kPage, off_t(i) * kPage), ssize_t{kPage});
      ASSERT_EQ(got, PageBytes(order_[i])) << "piece " << i;
    }
  }

  TemporaryFolder folder_;
  int source_ = -1;
  std::vector<std::uint32_t> order_;
  std::vector<ReadPiece> pieces_;
};

// Gathered into memory or written straight from the mapping, with faults
// found costly or not (regions then mapped whole on the way, the last one
// shorter than the others): the bytes arrive in the pieces' order.
TEST_F(MappedPieceWriterTest, ScatteredPiecesOfALargeFileArriveInTheirOrder) {
  for (const bool gather : {true, false}) {
    for (const long pagesPerFault : {MappedPieceWriter::kPagesPerFault, 1L << 40}) {
      SCOPED_TRACE(testing::Message() << "gather " << gather << ", pages per fault " << pagesPerFault);
      MappedPieceWriter writer(source_, pagesPerFault, gather);
      const int out = CreateOutput("gathered-" + std::to_string(gather) + "-" + std::to_string(pagesPerFault));
      ASSERT_GE(out, 0);
      for (std::size_t first = 0; first < pieces_.size(); first += kBatch) {
        std::uint32_t done = 0;
        bool refused = false;
        ASSERT_EQ(kQssOk, writer.Write(pieces_.data() + first, kBatch, out, &done, &refused));
        ASSERT_FALSE(refused);
        ASSERT_EQ(done, kBatch * kPage);
      }
      ExpectPiecesInOrder(out, kPages, 97);
      ::close(out);
    }
  }
}

// Cut to 20 MiB under a mapping of all 40: the pieces before the first one
// past the new end arrive, and the rest is refused, not fatal.
TEST_F(MappedPieceWriterTest, AFileCutShortUnderTheMappingIsRefusedFromItsEnd) {
  for (const bool gather : {true, false}) {
    SCOPED_TRACE(testing::Message() << "gather " << gather);
    ASSERT_EQ(::ftruncate(source_, off_t{kPages} * kPage), 0);
    WritePages(kPages / 2);
    MappedPieceWriter writer(source_, 1L << 40, gather);
    const int out = CreateOutput("cut-" + std::to_string(gather));
    ASSERT_GE(out, 0);
    std::uint32_t done = 0;
    bool refused = false;
    ASSERT_EQ(kQssOk, writer.Write(pieces_.data(), kBatch, out, &done, &refused));
    ASSERT_EQ(::ftruncate(source_, off_t{kPages / 2} * kPage), 0);
    std::size_t before = 0;
    while (order_[kBatch + before] < kPages / 2) ++before;
    ASSERT_EQ(kQssOk, writer.Write(pieces_.data() + kBatch, kBatch, out, &done, &refused));
    EXPECT_TRUE(refused);
    EXPECT_EQ(done, std::min(before, kBatch) * kPage);
    ExpectPiecesInOrder(out, kBatch + std::min(before, kBatch), 31);
    ::close(out);
  }
}

// A write that fails partway (the file-size limit) ends the copy there,
// whichever thread gathered the batch: what reached the file is the
// pieces' first bytes in order, and done counts exactly those.
TEST_F(MappedPieceWriterTest, AWriteFailingPartwayStopsTheCopyWhereItFailed) {
  constexpr std::uint32_t kLimit = 5 * 1024 * 1024 + 1000;
  const int out = CreateOutput("limited.bin");
  ASSERT_GE(out, 0);
  rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = saved;
  limit.rlim_cur = kLimit;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  MappedPieceWriter writer(source_);
  std::uint32_t done = 0;
  bool refused = false;
  const QssResult result = writer.Write(pieces_.data(), 4 * kBatch, out, &done, &refused);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(result, QssResultFromSystemError(EFBIG));
  EXPECT_FALSE(refused);
  EXPECT_EQ(done, kLimit);
  ExpectPiecesInOrder(out, kLimit / kPage, 7);
  ::close(out);
}

// Threads that share one writer (and its one helper thread) each get their
// own bytes in their own order.
TEST_F(MappedPieceWriterTest, ConcurrencyOfThreadsSharingOneWriter) {
  MappedPieceWriter writer(source_);
  constexpr int kThreads = 3;
  std::vector<int> outs;
  std::vector<std::vector<ReadPiece>> orders;
  for (int t = 0; t < kThreads; ++t) {
    outs.push_back(CreateOutput("thread-" + std::to_string(t)));
    ASSERT_GE(outs.back(), 0);
    orders.push_back(pieces_);
    std::rotate(orders.back().begin(), orders.back().begin() + t * 1000, orders.back().end());
  }
  std::vector<QssResult> results(kThreads, kQssOk);
  std::vector<std::uint32_t> dones(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t first = 0; first < kPages && QssSucceeded(results[t]); first += 2 * kBatch) {
        std::uint32_t done = 0;
        bool refused = false;
        const std::size_t count = std::min<std::size_t>(2 * kBatch, kPages - first);
        results[t] = writer.Write(orders[t].data() + first, count, outs[t], &done, &refused);
        if (refused) results[t] = kQssWriteFault;
        dones[t] += done;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<char> got(kPage);
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(results[t], kQssOk);
    EXPECT_EQ(dones[t], kPages * kPage);
    for (std::size_t i = 0; i < kPages; i += 89) {
      ASSERT_EQ(::pread(outs[t], got.data(), kPage, off_t(i) * kPage), ssize_t{kPage});
      ASSERT_EQ(got, PageBytes(static_cast<std::uint32_t>(orders[t][i].offset / kPage))) << "piece " << i;
    }
    ::close(outs[t]);
  }
}

// In a sandbox that forbids reading process memory (process_vm_readv
// fails with EPERM), the writer goes over to writing from the mapping, in
// the middle of a write, and every byte still arrives in order. Run in a
// child process, whose filter ends with it.
TEST_F(MappedPieceWriterTest, ASandboxThatForbidsGatheringIsServedFromTheMapping) {
  const int out = CreateOutput("sandboxed.bin");
  ASSERT_GE(out, 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sock_filter rules[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof(rules) / sizeof(rules[0])), rules};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
      ::_exit(2);
    MappedPieceWriter writer(source_);
    for (std::size_t first = 0; first < pieces_.size(); first += kBatch) {
      std::uint32_t done = 0;
      bool refused = false;
      if (writer.Write(pieces_.data() + first, kBatch, out, &done, &refused) != kQssOk || refused ||
          done != kBatch * kPage)
        ::_exit(1);
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "this system does not let a process filter its own calls";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ExpectPiecesInOrder(out, kPages, 97);
  ::close(out);
}

}  // namespace
}  // namespace qss

#endif  // __linux__
