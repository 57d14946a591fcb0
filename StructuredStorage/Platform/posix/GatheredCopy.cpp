#include "Platform/posix/GatheredCopy.h"

// Only Linux has the calls these copies are made of; elsewhere files copy
// the plain way.
#if defined(__linux__)

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "qss/NativeFile.h"

namespace qss {

GatheredCopy::GatheredCopy(const std::vector<GatherBatch>& batches, int target)
    : batches_(batches), target_(target), self_(::getpid()) {}

std::uint64_t GatheredCopy::Run(std::size_t first, std::size_t step, unsigned char* buffer) {
  std::uint64_t gathered = 0;
  for (std::size_t number = first; number < batches_.size(); number += step) {
    const GatherBatch& batch = batches_[number];
    const iovec into{buffer, batch.bytes};
    ssize_t got;
    int error = 0;
    do {
      got = ::process_vm_readv(self_, &into, 1, batch.pieces, static_cast<unsigned long>(batch.count), 0);
      error = got < 0 ? errno : 0;
    } while (error == EINTR);
    {
      std::unique_lock<std::mutex> guard(lock_);
      turn_.wait(guard, [&] { return stopped_ || nextToWrite_ == number; });
      if (stopped_) return gathered;
    }
    // This thread's turn: nothing else is written until it passes the turn on.
    std::uint32_t sent = 0;
    QssResult result = kQssOk;
    if (got > 0) {
      gathered += static_cast<std::uint64_t>(got);
      result = native_file::WriteToHandle(target_, buffer, static_cast<std::uint32_t>(got), &sent);
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      written_ += sent;
      if (QssFailed(result)) {
        result_ = result;
        stopped_ = true;
      } else if (got < 0) {
        // EFAULT: a page past the end of a file cut short. Anything else:
        // a sandbox that forbids the call, or a system without it.
        (error == EFAULT ? refused_ : disallowed_) = true;
        stopped_ = true;
      } else if (static_cast<std::size_t>(got) < batch.bytes) {
        refused_ = true;
        stopped_ = true;
      } else {
        ++nextToWrite_;
      }
    }
    turn_.notify_all();
    if (QssFailed(result) || got < 0 || static_cast<std::size_t>(got) < batch.bytes) break;
  }
  return gathered;
}

void GatheredCopy::HelperFinished() {
  // Told under the lock: the caller, once it sees the flag, ends the copy
  // and its condition with it.
  std::lock_guard<std::mutex> guard(lock_);
  helperFinished_ = true;
  turn_.notify_all();
}

void GatheredCopy::WaitForHelper() {
  std::unique_lock<std::mutex> guard(lock_);
  turn_.wait(guard, [&] { return helperFinished_; });
}

GatherHelper::~GatherHelper() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    quit_ = true;
  }
  wake_.notify_all();
  if (!thread_.joinable()) return;
  // A forked child has a copy of this object but not the thread.
  if (owner_ == ::getpid()) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

bool GatherHelper::Take(GatheredCopy* copy) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (unavailable_ || job_ != nullptr) return false;
    if (!thread_.joinable()) {
      if (std::thread::hardware_concurrency() < 2) {
        unavailable_ = true;
        return false;
      }
      // The thread blocks every signal, so that they keep going to the
      // threads that handle them (an interrupt, a broken pipe).
      sigset_t all;
      sigset_t previous;
      ::sigfillset(&all);
      ::pthread_sigmask(SIG_SETMASK, &all, &previous);
      try {
        buffer_ = std::make_unique<unsigned char[]>(GatheredCopy::kBufferBytes);
        thread_ = std::thread([this] { Serve(); });
      } catch (const std::exception&) {  // no memory or no thread: the caller copies alone
        unavailable_ = true;
      }
      ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      if (unavailable_) return false;
      owner_ = ::getpid();
    } else if (owner_ != ::getpid()) {
      return false;
    }
    job_ = copy;
  }
  wake_.notify_all();
  return true;
}

void GatherHelper::Serve() {
  for (;;) {
    GatheredCopy* copy;
    {
      std::unique_lock<std::mutex> guard(lock_);
      // job_ stays set while this thread runs it, so that Take sees the
      // helper busy; it is cleared before the next wait.
      wake_.wait(guard, [&] { return quit_ || job_ != nullptr; });
      if (quit_) return;
      copy = job_;
    }
    static_cast<void>(copy->Run(1, 2, buffer_.get()));
    {
      std::lock_guard<std::mutex> guard(lock_);
      job_ = nullptr;
    }
    copy->HelperFinished();  // the last touch: the caller may end the copy once it sees this
  }
}

}  // namespace qss

#endif  // __linux__
