// build_package PACKAGE
//
// Builds a package holding a storage "Docs" with a compressed stream
// "readme.txt", and a nested container "Inner.qss" with a stream "data.bin".
// The package is written beside its destination and moved into place only
// when complete, so an existing package is never left half-written.

#include <cstdio>
#include <string>
#include <vector>

#include "qss/CContainerFileWriter.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStream.h"
#include "qss/ResultText.h"

namespace {

bool Check(const char* what, qss::QssResult result) {
  if (qss::QssSucceeded(result)) return true;
  std::fprintf(stderr, "build_package: %s: %s (0x%08x)\n", what, qss::QssResultText(result).c_str(),
               static_cast<unsigned>(result));
  return false;
}

// Writes data as a new stream of storage, in one call so that a compressed
// stream is compressed as a whole.
bool AddStream(qss::CStorage* storage, const char16_t* name, const std::string& data, bool compressed) {
  qss::CQssRef<qss::CStream> stream;
  if (!Check("create stream", storage->CreateStream(name, compressed, stream.Receive()))) return false;
  std::uint32_t written = 0;
  return Check("write stream", stream->Write(data.data(), static_cast<std::int32_t>(data.size()), &written));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: build_package PACKAGE\n");
    return 2;
  }
  constexpr std::int32_t kEntryWidth = 4;
  constexpr std::int32_t kBlockSize = 4096;
  qss::CContainerFileWriter writer(argv[1]);
  if (!Check("start", writer.Start(kEntryWidth, kBlockSize))) return 1;
  {
    qss::CStorage* root = writer.root();
    qss::CQssRef<qss::CStorage> docs;
    if (!Check("create storage", root->CreateStorage(u"Docs", docs.Receive()))) return 1;
    std::string readme;
    for (int line = 0; line < 200; ++line) readme += "This package was built by the embedding example.\n";
    if (!AddStream(docs.get(), u"readme.txt", readme, /*compressed=*/true)) return 1;
    if (!Check("commit storage", docs->Commit())) return 1;

    qss::CQssRef<qss::CRootStorage> inner;
    if (!Check("create nested container",
               root->CreateNestedContainer(u"Inner.qss", kEntryWidth, kBlockSize, inner.Receive()))) {
      return 1;
    }
    if (!AddStream(inner.get(), u"data.bin", std::string(10000, '\x5a'), /*compressed=*/false)) return 1;
    if (!Check("commit nested container", inner->Commit())) return 1;
  }  // every child released before the root is sealed
  if (!Check("seal", writer.Seal())) return 1;
  if (!Check("replace", writer.Replace())) return 1;
  return 0;
}
