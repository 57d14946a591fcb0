// read_stream PACKAGE ENTRY-PATH OUTPUT
//
// Copies one stream out of a package into a file, e.g.
//   read_stream firmware.qss 'Kivra7i/KivMod7Win.bin' service.bin

#include <cstdio>
#include <fstream>
#include <string>

#include "qss/CRootStorage.h"
#include "qss/CStream.h"
#include "qss/ContainerFile.h"
#include "qss/EntryPath.h"
#include "qss/ResultText.h"
#include "qss/StreamCopy.h"

namespace {

int Fail(const std::string& what, qss::QssResult result) {
  std::fprintf(stderr, "read_stream: %s: %s (0x%08x)\n", what.c_str(), qss::QssResultText(result).c_str(),
               static_cast<unsigned>(result));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: read_stream PACKAGE ENTRY-PATH OUTPUT\n");
    return 2;
  }
  qss::CQssRef<qss::CRootStorage> root;
  qss::QssResult result = qss::OpenContainerFile(argv[1], qss::OpenMode::kReadOnly, &root);
  if (qss::QssFailed(result)) return Fail(std::string("cannot open ") + argv[1], result);

  // Entry names are UTF-16; this example takes ASCII paths only.
  const std::string path = argv[2];
  qss::CQssRef<qss::CStream> stream;
  result = qss::OpenStreamPath(root.get(), std::u16string(path.begin(), path.end()), &stream);
  if (qss::QssFailed(result)) return Fail("cannot open '" + path + "'", result);

  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  result = qss::CopyStream(stream.get(), [&out](const void* data, std::uint32_t size) {
    out.write(static_cast<const char*>(data), size);
    return out ? qss::kQssOk : qss::kQssWriteFault;
  });
  if (qss::QssFailed(result)) return Fail("cannot copy '" + path + "'", result);
  out.close();
  if (!out) return Fail(std::string("cannot write ") + argv[3], qss::kQssWriteFault);
  return 0;
}
