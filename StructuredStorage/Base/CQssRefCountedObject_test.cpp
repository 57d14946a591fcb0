#include "qss/CQssRefCountedObject.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "qss/CLock.h"
#include "qss/CLockGuard.h"
#include "qss/CQssRef.h"

namespace qss {

namespace {

struct Counters {
  int finalReleases = 0;
  int destructions = 0;
  int countSeenInFinalRelease = -1;
  int countAfterInnerPair = -1;
};

class Probe : public CQssRefCountedObject {
 public:
  explicit Probe(Counters* counters) : counters_(counters) {}
  ~Probe() override {
    ++counters_->destructions;
    // A reference taken and dropped during teardown must not destroy the
    // object a second time.
    AddRef();
    Release();
  }
  void FinalRelease() override {
    EXPECT_EQ(counters_->destructions, 0) << "FinalRelease runs before the destructor";
    ++counters_->finalReleases;
    counters_->countSeenInFinalRelease = ReferenceCount();
    AddRef();
    Release();
    counters_->countAfterInnerPair = ReferenceCount();
  }

 private:
  Counters* counters_;
};

TEST(RefCountedObject, LastReleaseRunsFinalReleaseOnceThenDestroys) {
  Counters counters;
  auto* probe = new Probe(&counters);
  EXPECT_EQ(probe->ReferenceCount(), 0);
  probe->AddRef();
  probe->AddRef();
  probe->Release();
  EXPECT_EQ(counters.finalReleases, 0);
  probe->Release();
  EXPECT_EQ(counters.finalReleases, 1);
  EXPECT_EQ(counters.destructions, 1);
  EXPECT_EQ(counters.countSeenInFinalRelease, CQssRefCountedObject::kTeardownCount);
  EXPECT_EQ(counters.countAfterInnerPair, CQssRefCountedObject::kTeardownCount);
}

TEST(RefCountedObject, ReferencesFromManyThreadsDestroyExactlyOnce) {
  Counters counters;
  auto* probe = new Probe(&counters);
  probe->AddRef();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([probe] {
      for (int i = 0; i < 10000; ++i) {
        probe->AddRef();
        probe->Release();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counters.destructions, 0);
  probe->Release();
  EXPECT_EQ(counters.destructions, 1);
}

TEST(RefCountedObject, ScopedReferenceAdoptsOrTakes) {
  Counters counters, adoptedCounters;
  {
    CQssRef<Probe> taken(new Probe(&counters));
    EXPECT_EQ(taken->ReferenceCount(), 1);
    CQssRef<Probe> copy = taken;
    EXPECT_EQ(taken->ReferenceCount(), 2);
    auto* raw = new Probe(&adoptedCounters);
    raw->AddRef();  // as a factory that hands out one reference would
    auto adopted = CQssRef<Probe>::Attach(raw);
    EXPECT_EQ(adopted->ReferenceCount(), 1);
  }
  EXPECT_EQ(counters.destructions, 1);
  EXPECT_EQ(adoptedCounters.destructions, 1);
}

TEST(Lock, IsRecursiveAndExcludesOtherThreads) {
  CLock lock;
  lock.Lock();
  lock.Lock();
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    CLockGuard guard(lock);
    acquired = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(acquired.load());
  lock.Unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(acquired.load()) << "one Unlock of two must not free the lock";
  lock.Unlock();
  other.join();
  EXPECT_TRUE(acquired.load());
}

TEST(Lock, GuardUnlocksWhenAnExceptionLeavesItsScope) {
  CLock lock;
  EXPECT_THROW(
      {
        CLockGuard guard(lock);
        throw std::runtime_error("leave");
      },
      std::runtime_error);
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    CLockGuard guard(lock);
    acquired = true;
  });
  other.join();
  EXPECT_TRUE(acquired.load());
}

}  // namespace

}  // namespace qss
