// Several threads on one container: readers of different streams, storages
// and a nested container while others take and drop references; writers of
// different streams of one writable container that commit as they go. The
// ThreadSanitizer build runs these (ctest -R Concurrency): no data race, no
// deadlock, and every byte intact. Each test runs for a bounded time.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "ByteArrays/CMultiFileArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStream.h"
#include "qss/CreateContainer.h"
#include "ContainerTesting.h"
#include "TemporaryFolder.h"

namespace qss {

namespace {

using Clock = std::chrono::steady_clock;
using Contents = std::map<std::u16string, std::vector<std::uint8_t>>;  // path with '/' -> bytes

constexpr auto kRunTime = std::chrono::milliseconds(1200);
constexpr std::int64_t kSegmentSize = 8192;  // small, so reads cross segment files

using qss_testing::Bytes;

bool WriteAll(CStream* stream, const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
  std::uint32_t written = 0;
  return stream->Write(bytes.data() + from, static_cast<std::int32_t>(to - from), &written) == kQssOk &&
         written == to - from;
}

// Reads the whole stream from position 0 in pieces of the sizes given in
// turn and tells whether it holds exactly expected.
bool ReadsBack(CStream* stream, const std::vector<std::uint8_t>& expected, std::uint32_t pieceSeed) {
  if (stream->Seek(0, kSeekBegin, nullptr) != kQssOk) return false;
  std::vector<std::uint8_t> piece(9000);
  std::size_t position = 0;
  for (std::uint32_t n = 0;; ++n) {
    const auto count = static_cast<std::int32_t>(1 + (pieceSeed * 7919u + n * 104729u) % 8999u);
    std::uint32_t got = 0;
    if (stream->Read(piece.data(), count, &got) != kQssOk) return false;
    if (got == 0) break;
    if (position + got > expected.size() || std::memcmp(piece.data(), expected.data() + position, got) != 0)
      return false;
    position += got;
  }
  return position == expected.size();
}

// Opens "name" or "storage/name" below root and reads it back.
bool OpenAndCheck(CStorage* root, const std::u16string& path, const std::vector<std::uint8_t>& expected,
                  std::uint32_t pieceSeed) {
  CQssRef<CStorage> storage(root);
  std::u16string name = path;
  if (const auto slash = path.find(u'/'); slash != std::u16string::npos) {
    CQssRef<CStorage> child;
    if (root->OpenStorage(path.substr(0, slash).c_str(), 0, child.Receive()) != kQssOk) return false;
    storage = child;
    name = path.substr(slash + 1);
  }
  CQssRef<CStream> stream;
  if (storage->OpenStream(name.c_str(), 0, stream.Receive()) != kQssOk) return false;
  return ReadsBack(stream.get(), expected, pieceSeed);
}

// Runs each job on its own thread, over and over until the run time is up
// (each at least once); returns how many runs failed.
int RunTogether(const std::vector<std::function<bool(std::uint32_t)>>& jobs) {
  std::atomic<int> failures{0};
  std::atomic<bool> go{false};
  const auto deadline = Clock::now() + kRunTime;
  std::vector<std::thread> threads;
  for (const auto& job : jobs) {
    threads.emplace_back([&, job] {
      while (!go.load()) std::this_thread::yield();
      std::uint32_t round = 0;
      do {
        if (!job(round++)) failures.fetch_add(1);
      } while (Clock::now() < deadline);
    });
  }
  go.store(true);
  for (auto& thread : threads) thread.join();
  return failures.load();
}

CQssRef<CMultiFileArray> FileArray(const std::filesystem::path& base, std::uint32_t access) {
  return CQssRef<CMultiFileArray>(new CMultiFileArray(base, access, native_file::kShareRead,
                                                      native_file::kAttributeNormal, kSegmentSize));
}

// Streams of every kind in a container spread over segment files; the
// plain root streams are written in turns so that their chains interleave.
void BuildReadersContainer(const std::filesystem::path& base, Contents* contents) {
  auto array = FileArray(base, native_file::kGenericRead | native_file::kGenericWrite);
  ASSERT_EQ(array->Create(), kQssOk);
  ASSERT_EQ(CreateContainer(array.get(), 4, 512), kQssOk);
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_TRUE(root->valid());
  {
    std::vector<CQssRef<CStream>> streams(4);
    for (int i = 0; i < 4; ++i) {
      const std::u16string name = u"s" + std::u16string(1, static_cast<char16_t>(u'0' + i));
      (*contents)[name] = Bytes(20000 + 3000 * i, i, false);
      ASSERT_EQ(root->CreateStream(name.c_str(), false, streams[i].Receive()), kQssOk);
    }
    for (std::size_t at = 0; at < 30000; at += 2500)
      for (int i = 0; i < 4; ++i) {
        const auto& bytes = (*contents)[u"s" + std::u16string(1, static_cast<char16_t>(u'0' + i))];
        if (at < bytes.size()) {
          ASSERT_TRUE(WriteAll(streams[i].get(), bytes, at, std::min(bytes.size(), at + 2500)));
        }
      }
  }
  const auto stream = [&](CStorage* parent, const std::u16string& path, const char16_t* name, bool compressed,
                          std::vector<std::uint8_t> bytes) {
    CQssRef<CStream> created;
    ASSERT_EQ(parent->CreateStream(name, compressed, created.Receive()), kQssOk);
    ASSERT_TRUE(WriteAll(created.get(), bytes, 0, bytes.size()));
    (*contents)[path] = std::move(bytes);
  };
  stream(root.get(), u"c0", u"c0", true, Bytes(30000, 10, true));
  {
    CQssRef<CStorage> dir;
    ASSERT_EQ(root->CreateStorage(u"dir", dir.Receive()), kQssOk);
    stream(dir.get(), u"dir/d0", u"d0", false, Bytes(7000, 11, false));
    stream(dir.get(), u"dir/d1", u"d1", true, Bytes(9000, 12, true));
  }
  CQssRef<CRootStorage> nested;
  ASSERT_EQ(root->CreateNestedContainer(u"nested", 8, 256, nested.Receive()), kQssOk);
  stream(nested.get(), u"nested/n0", u"n0", false, Bytes(12000, 13, false));
  stream(nested.get(), u"nested/n1", u"n1", true, Bytes(8000, 14, true));
}

TEST(ConcurrencyTest, ReadersOfOneContainerAndReferenceTraffic) {
  TemporaryFolder folder;
  Contents contents;
  BuildReadersContainer(folder / "readers.qss", &contents);
  if (HasFatalFailure()) return;

  auto array = FileArray(folder / "readers.qss", native_file::kGenericRead);
  ASSERT_EQ(array->Open(), kQssOk);
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_TRUE(root->valid());
  // Held by this thread for the whole test; other threads only take and
  // drop references to it.
  CQssRef<CStream> held;
  ASSERT_EQ(root->OpenStream(u"s3", 0, held.Receive()), kQssOk);

  std::vector<std::function<bool(std::uint32_t)>> jobs;
  for (const char16_t* path : {u"s0", u"s1", u"s2", u"c0"}) {
    jobs.push_back([&, path](std::uint32_t round) {
      return OpenAndCheck(root.get(), path, contents.at(path), round);
    });
  }
  // One thread walks the sub-storage, one the nested container: each opens
  // the storage afresh every round.
  jobs.push_back([&](std::uint32_t round) {
    return OpenAndCheck(root.get(), round % 2 ? u"dir/d0" : u"dir/d1",
                        contents.at(round % 2 ? u"dir/d0" : u"dir/d1"), round);
  });
  jobs.push_back([&](std::uint32_t round) {
    return OpenAndCheck(root.get(), round % 2 ? u"nested/n0" : u"nested/n1",
                        contents.at(round % 2 ? u"nested/n0" : u"nested/n1"), round);
  });
  jobs.push_back([&](std::uint32_t) {
    for (int i = 0; i < 200; ++i) {
      CQssRef<CRootStorage> rootCopy(root.get());
      CQssRef<CStream> heldCopy(held.get());
      CQssRef<CMultiFileArray> arrayCopy(array.get());
    }
    // A second open of an entry that another thread holds is refused.
    CStream* second = nullptr;
    return root->OpenStream(u"s3", 0, &second) == kQssAlreadyOpen && second == nullptr;
  });
  EXPECT_EQ(RunTogether(jobs), 0);
  EXPECT_TRUE(ReadsBack(held.get(), contents.at(u"s3"), 1));
}

// Each writer thread creates its own stream (one compressed, one inside a
// sub-storage, one inside a nested container) and writes it in pieces;
// every thread commits the root now and then. Reopened, everything reads
// back.
TEST(ConcurrencyTest, WritersOfOneContainerCommitting) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  ASSERT_EQ(CreateContainer(array.get(), 4, 256), kQssOk);
  Contents contents;
  for (int i = 0; i < 3; ++i)
    contents[u"w" + std::u16string(1, static_cast<char16_t>(u'0' + i))] = Bytes(60000 + 7000 * i, 20 + i, false);
  contents[u"packed"] = Bytes(20000, 30, true);
  contents[u"sub/inner"] = Bytes(30000, 31, false);
  contents[u"nested/deep"] = Bytes(30000, 32, false);
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    ASSERT_TRUE(root->valid());
    std::atomic<int> failures{0};
    const auto writer = [&](std::u16string path, int pieces, bool compressed) {
      const auto& bytes = contents.at(path);
      CQssRef<CStorage> parent(root.get());
      std::u16string name = path;
      if (const auto slash = path.find(u'/'); slash != std::u16string::npos) {
        const std::u16string storageName = path.substr(0, slash);
        name = path.substr(slash + 1);
        if (storageName == u"nested") {
          CQssRef<CRootStorage> nested;
          if (root->CreateNestedContainer(storageName.c_str(), 2, 512, nested.Receive()) != kQssOk) {
            failures.fetch_add(1);
            return;
          }
          parent = CQssRef<CStorage>(nested.get());
        } else if (root->CreateStorage(storageName.c_str(), parent.Receive()) != kQssOk) {
          failures.fetch_add(1);
          return;
        }
      }
      CQssRef<CStream> stream;
      if (parent->CreateStream(name.c_str(), compressed, stream.Receive()) != kQssOk) {
        failures.fetch_add(1);
        return;
      }
      const std::size_t step = (bytes.size() + pieces - 1) / pieces;
      for (std::size_t at = 0; at < bytes.size(); at += step) {
        if (!WriteAll(stream.get(), bytes, at, std::min(bytes.size(), at + step))) failures.fetch_add(1);
        if ((at / step) % 4 == 3) {
          EXPECT_EQ(root->Commit(), kQssOk);
        }
        std::this_thread::yield();
      }
      EXPECT_EQ(parent->Commit(), kQssOk);
      if (!ReadsBack(stream.get(), bytes, 5)) failures.fetch_add(1);
    };
    std::vector<std::thread> threads;
    threads.emplace_back(writer, u"w0", 40, false);
    threads.emplace_back(writer, u"w1", 37, false);
    threads.emplace_back(writer, u"w2", 29, false);
    threads.emplace_back(writer, u"packed", 4, true);
    threads.emplace_back(writer, u"sub/inner", 25, false);
    threads.emplace_back(writer, u"nested/deep", 25, false);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
  }
  CQssRef<CRootStorage> reopened(new CRootStorage(array.get()));
  ASSERT_TRUE(reopened->valid());
  EXPECT_EQ(reopened->EntryCount(), 6);
  for (const auto& [path, bytes] : contents) {
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    EXPECT_TRUE(OpenAndCheck(reopened.get(), path, bytes, 3));
  }
}

}  // namespace

}  // namespace qss
