// Writes a package container for the end-to-end run with the library's
// writing side: MakeTestPackage OUTPUT [ENTRY-PATH SOURCE-FILE]...
//
// ENTRY-PATH is a backslash-separated path inside the container (storages,
// then the stream name); a leading "~" on the stream name stores the stream
// compressed. Storages named more than once are created once.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "ByteArrays/CMultiFileArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CreateContainer.h"
#include "qss/NativeFile.h"

using namespace qss;

namespace {

std::u16string ToUtf16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

bool WriteStream(CStorage* root, std::map<std::u16string, CQssRef<CStorage>>& storages, const std::wstring& path,
                 const std::vector<char>& content) {
  CStorage* parent = root;
  std::u16string walked;
  std::size_t start = 0;
  for (std::size_t slash = path.find(L'\\'); slash != std::wstring::npos; slash = path.find(L'\\', start)) {
    const std::u16string name = ToUtf16(path.substr(start, slash - start));
    walked += name + u'\\';
    auto found = storages.find(walked);
    if (found == storages.end()) {
      CQssRef<CStorage> storage;
      if (QssFailed(parent->CreateStorage(name.c_str(), storage.Receive()))) return false;
      found = storages.emplace(walked, std::move(storage)).first;
    }
    parent = found->second.get();
    start = slash + 1;
  }
  std::u16string name = ToUtf16(path.substr(start));
  const bool compressed = !name.empty() && name[0] == u'~';
  if (compressed) name.erase(0, 1);
  CQssRef<CStream> stream;
  if (QssFailed(parent->CreateStream(name.c_str(), compressed, stream.Receive()))) return false;
  std::uint32_t written = 0;
  if (content.empty()) return true;
  return QssSucceeded(stream->Write(content.data(), static_cast<std::int32_t>(content.size()), &written)) &&
         written == content.size();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc % 2 != 0) {
    std::fputs("usage: MakeTestPackage OUTPUT [ENTRY-PATH SOURCE-FILE]...\n", stderr);
    return 2;
  }
  CQssRef<CMultiFileArray> array(new CMultiFileArray(argv[1], native_file::kGenericRead | native_file::kGenericWrite,
                                                     0, native_file::kAttributeNormal));
  if (QssFailed(array->Create()) || QssFailed(CreateContainer(array.get(), 4, 512))) {
    std::fputs("MakeTestPackage: cannot create the container\n", stderr);
    return 1;
  }
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  if (!root->valid()) return 1;
  std::map<std::u16string, CQssRef<CStorage>> storages;
  for (int i = 2; i < argc; i += 2) {
    std::ifstream source(argv[i + 1], std::ios::binary);
    const std::vector<char> content((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
    if (!source.good() && !source.eof()) return 1;
    if (!WriteStream(root.get(), storages, argv[i], content)) {
      std::fwprintf(stderr, L"MakeTestPackage: cannot write %ls\n", argv[i]);
      return 1;
    }
  }
  storages.clear();
  return QssSucceeded(root->Commit()) ? 0 : 1;
}
