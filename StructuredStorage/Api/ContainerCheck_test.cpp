// CheckContainer on sound, hand-broken and randomly damaged containers:
// whatever the bytes say, it ends, reports, and never writes.

#include "qss/ContainerCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ContainerTesting.h"
#include "Container/CBlockAllocationTable.h"
#include "Format/Format.h"
#include "qss/CLockGuard.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CQssRef.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStream.h"
#include "qss/CreateContainer.h"

namespace qss {

namespace {

std::vector<std::string> CheckBytes(const std::vector<std::uint8_t>& bytes, QssResult* result = nullptr) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  std::vector<std::string> problems;
  const QssResult checked = CheckContainer(array.get(), &problems);
  EXPECT_EQ(checked, problems.empty() ? kQssOk : kQssNotAContainer);
  if (result) *result = checked;
  EXPECT_TRUE(array->Bytes() == bytes) << "the check wrote";
  return problems;
}

std::vector<std::uint8_t> Text(const std::string& text) { return std::vector<std::uint8_t>(text.begin(), text.end()); }

void AddStream(CStorage* storage, const char16_t* name, bool compressed, const std::vector<std::uint8_t>& content) {
  CQssRef<CStream> stream;
  ASSERT_EQ(storage->CreateStream(name, compressed, stream.Receive()), kQssOk);
  std::uint32_t written = 0;
  ASSERT_EQ(stream->Write(content.data(), static_cast<std::int32_t>(content.size()), &written), kQssOk);
}

// A compressed and a plain stream in a storage, a nested container and a
// stream at the top, in blocks of 256 bytes with 2-byte entries.
std::vector<std::uint8_t> SampleContainer() {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  EXPECT_EQ(CreateContainer(array.get(), 2, 256), kQssOk);
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    EXPECT_TRUE(root->valid());
    CQssRef<CStorage> a;
    EXPECT_EQ(root->CreateStorage(u"a", a.Receive()), kQssOk);
    AddStream(a.get(), u"packed.txt", true, Text(std::string(30000, 'p') + "tail"));
    AddStream(a.get(), u"raw.bin", false, Text(std::string(3000, '\x11')));
    a.Reset();
    CQssRef<CRootStorage> nested;
    EXPECT_EQ(root->CreateNestedContainer(u"n", 2, 256, nested.Receive()), kQssOk);
    AddStream(nested.get(), u"inner.txt", false, Text(std::string(2000, 'i')));
    EXPECT_EQ(nested->Commit(), kQssOk);
    nested.Reset();
    AddStream(root.get(), u"top", false, Text("top"));
    EXPECT_EQ(root->Commit(), kQssOk);
  }
  return array->Bytes();
}

TEST(ContainerCheckTest, SmallestAndEmptyInputs) {
  EXPECT_EQ(CheckBytes({}).size(), 1u);
  EXPECT_NE(CheckBytes(std::vector<std::uint8_t>(255, 0)).at(0).find("no whole 256-byte header (0x81016005)"),
            std::string::npos);
  std::vector<std::uint8_t> header = qss_testing::MakeHeader(3, 512, 512, 1);  // entry width 3
  EXPECT_NE(CheckBytes(header).at(0).find("entryWidth 3"), std::string::npos);

  std::vector<std::string> problems;
  EXPECT_EQ(CheckContainer(nullptr, &problems), kQssInvalidArgument);
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  EXPECT_EQ(CheckContainer(array.get(), nullptr), kQssNullResult);
}

// Each header refusal of the format, in the words of the check.
TEST(ContainerCheckTest, HeaderFaultsAreNamed) {
  const auto first = [](std::int32_t width, std::int32_t blockSize, std::int32_t dataOffset) {
    std::vector<std::uint8_t> bytes = qss_testing::MakeHeader(width, blockSize, dataOffset, -1);
    bytes.resize(4096);
    const std::vector<std::string> problems = CheckBytes(bytes);
    return problems.empty() ? std::string() : problems.front();
  };
  std::vector<std::uint8_t> magic = qss_testing::MakeHeader(4, 512, 512, -1);
  magic[3] ^= 1;
  EXPECT_NE(CheckBytes(magic).at(0).find("the magic is not"), std::string::npos);
  EXPECT_NE(first(4, 768, 512).find("blockSize 768 is not a power of two"), std::string::npos);
  EXPECT_NE(first(4, 1 << 25, 512).find("larger than check handles (16777216)"), std::string::npos);
  EXPECT_NE(first(4, 512, -5).find("dataOffset -5 is negative"), std::string::npos);
  EXPECT_NE(first(4, 512, 128).find("dataOffset 128 puts block 1 over the header"), std::string::npos);
}

TEST(ContainerCheckTest, SoundContainerAndDepthLimit) {
  const std::vector<std::uint8_t> clean = SampleContainer();
  EXPECT_TRUE(CheckBytes(clean).empty());
  // Storage "a" and the nested container lie one level down: a limit of one
  // level leaves them unchecked and says so, and their blocks then belong
  // to no chain the check walked.
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(clean));
  std::vector<std::string> problems;
  EXPECT_EQ(CheckContainer(array.get(), &problems, 1), kQssNotAContainer);
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_EQ(problems[0], "'a': too deep to check: storages and nested containers nest more than 1 levels");
  EXPECT_EQ(problems[1], "'n': too deep to check: storages and nested containers nest more than 1 levels");
  EXPECT_EQ(problems[2].rfind("lost blocks: ", 0), 0u) << problems[2];
}

// The check counts blocks in a bitmap until a block turns up twice, then by
// owner. Lost blocks are reported alike either way, across the bitmap's
// words, and the owner of a block met twice is named.
TEST(ContainerCheckTest, LostBlocksAreTheSameWhetherOrNotABlockIsMetTwice) {
  std::vector<std::int64_t> lost(70);
  std::int64_t tableStart = -1;
  // The sample with a chain of 70 blocks no entry names (every block of it
  // is lost), and with "top" (one block) leading into the table's first
  // block when crossLinked.
  const auto build = [&](bool crossLinked) {
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(SampleContainer()));
    {
      CQssRef<CRootStorage> root(new CRootStorage(array.get()));
      CQssRef<CStream> top;
      EXPECT_EQ(root->OpenStream(u"top", 0, top.Receive()), kQssOk);
      CBlockAllocationTable* table = top->table();
      tableStart = table->tableStart();
      if (crossLinked) {
        CLockGuard guard(table->lock());
        table->SetNext(top->entry()->FirstBlock(), tableStart);
      }
      EXPECT_EQ(table->AllocateBlocks(-1, 70, lost.data(), nullptr), kQssOk);
      EXPECT_EQ(table->Flush(), kQssOk);
    }
    return array->Bytes();
  };
  const std::vector<std::uint8_t> plain = build(false);
  std::string expected = "lost blocks: 70 blocks are neither free nor in any chain (";
  for (int i = 0; i < 5; ++i) expected += (i > 0 ? ", " : "") + std::to_string(lost[i]);
  expected += ", ...)";
  EXPECT_EQ(CheckBytes(plain), std::vector<std::string>{expected});
  EXPECT_EQ(CheckBytes(build(true)),
            (std::vector<std::string>{"'top': block " + std::to_string(tableStart) + " is also used by the allocation table",
                                      expected}));
}

TEST(ContainerCheckTest, RandomDamageNeverCrashesOrWrites) {
  const std::vector<std::uint8_t> clean = SampleContainer();
  ASSERT_TRUE(CheckBytes(clean).empty());

  // QSS_DAMAGE_ROUNDS=N runs a longer search locally.
  const char* roundsText = std::getenv("QSS_DAMAGE_ROUNDS");
  const int rounds = roundsText ? std::atoi(roundsText) : 300;
  std::mt19937 random(12345);
  int reported = 0;
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::uint8_t> damaged = clean;
    const int flips = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < flips; ++i) {
      // Mostly the header, table and directories, where damage matters most.
      const std::size_t limit = random() % 2 ? std::min<std::size_t>(damaged.size(), 2048) : damaged.size();
      damaged[random() % limit] = static_cast<std::uint8_t>(random());
    }
    const std::vector<std::string> problems = CheckBytes(damaged);
    EXPECT_LE(problems.size(), kMaxReportedProblems + 1);
    if (!problems.empty()) ++reported;
  }
  EXPECT_GT(reported, rounds / 3);  // the damage was mostly noticed
}

// Decompression on more threads changes nothing in the report: the same
// lines in the same order, and the same count of those not shown (images of
// a nested container among them).
TEST(ContainerCheckConcurrencyTest, ThreadsChangeNothingInTheReport) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  ASSERT_EQ(CreateContainer(array.get(), 4, 512), kQssOk);
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    for (int i = 0; i < 450; ++i) {
      std::u16string name = u"s";
      name.push_back(static_cast<char16_t>(u'A' + i % 26));
      name.push_back(static_cast<char16_t>(u'a' + i / 26));
      AddStream(root.get(), name.c_str(), true, Text(std::string(2000 + i, static_cast<char>('a' + i % 26))));
    }
    CQssRef<CRootStorage> nested;
    ASSERT_EQ(root->CreateNestedContainer(u"n", 4, 512, nested.Receive()), kQssOk);
    for (const char16_t* name : {u"x", u"y", u"z"}) AddStream(nested.get(), name, true, Text(std::string(5000, 'n')));
    ASSERT_EQ(nested->Commit(), kQssOk);
    nested.Reset();
    ASSERT_EQ(root->Commit(), kQssOk);
  }
  // Every other image gets a block that cannot decompress: a literal run
  // longer than any content.
  std::vector<std::uint8_t> bytes = array->Bytes();
  int images = 0;
  for (std::size_t at = 0; at + kCompressedImageHeaderSize + 8 <= bytes.size(); ++at) {
    std::uint32_t magic = 0;
    std::memcpy(&magic, bytes.data() + at, sizeof(magic));
    if (magic != kCompressedImageMagic || images++ % 2 != 0) continue;
    std::memset(bytes.data() + at + kCompressedImageHeaderSize, 0xFF, 8);
  }
  ASSERT_GT(images, 2 * static_cast<int>(kMaxReportedProblems));

  CQssRef<CMemoryByteArray> damaged(new CMemoryByteArray(bytes));
  std::vector<std::string> serial;
  ASSERT_EQ(CheckContainer(damaged.get(), &serial, CheckOptions{}), kQssNotAContainer);
  ASSERT_EQ(serial.size(), kMaxReportedProblems + 1);
  EXPECT_NE(serial.back().find("more problems not shown"), std::string::npos);
  // Exactly the damaged images, each judged on its own bytes: buffers that
  // serve one image after another carry nothing over.
  EXPECT_EQ(std::stoi(serial.back()) + static_cast<int>(kMaxReportedProblems), (images + 1) / 2);
  EXPECT_NE(serial.front().find("does not decompress"), std::string::npos);
  for (const int threads : {2, 8}) {
    CheckOptions options;
    options.threads = threads;
    std::vector<std::string> parallel;
    EXPECT_EQ(CheckContainer(damaged.get(), &parallel, options), kQssNotAContainer);
    EXPECT_EQ(parallel, serial) << threads << " threads";
  }
}

}  // namespace

}  // namespace qss
