// Containers for the mount tests: a sound tree with every kind of entry, and
// a container damaged in every way the mount must survive.

#ifndef TOOLS_QSS_MOUNTTESTSUPPORT_H_
#define TOOLS_QSS_MOUNTTESTSUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "Format/Format.h"
#include "Format/LittleEndian.h"
#include "QssTestSupport.h"

namespace qss_test {

// Files of every size class: empty, one byte, several 1 MiB pieces of noise,
// text that compresses, a non-ASCII name, the longest name, an empty folder
// and folders inside folders.
inline void MakeMountSourceTree(const fs::path& root) {
  std::mt19937 random(11);
  std::string noise(3 * 1024 * 1024 + 4321, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  std::string text;
  for (int line = 0; text.size() < 700000; ++line) text += "line " + std::to_string(line) + " of the text\n";
  WriteFile(root / "Kivra7i" / "KivMod7Win.bin", "#!/bin/sh\necho service\n");
  WriteFile(root / "empty.txt", "");
  WriteFile(root / "one", "x");
  WriteFile(root / "noise.bin", noise);
  WriteFile(root / "text.txt", text);
  WriteFile(root / "sub" / "inner" / "deep.bin", noise.substr(1000, 70000));
  WriteFile(root / "sub" / "inner" / "Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5.txt", "unicode name");
  WriteFile(root / "sub" / std::string(31, 'n'), "longest name");
  WriteFile(root / "sub" / "inner" / "core" / "last.txt", text.substr(0, 5000));
  fs::create_directories(root / "sub" / "nothing");
}

// Edits a single-file container in place: records found by their name.
class ContainerEditor {
 public:
  explicit ContainerEditor(fs::path base) : base_(std::move(base)), bytes_(ReadFile(base_)) {}

  std::int32_t blockSize() const { return Load<std::int32_t>(qss::kHeaderBlockSizeOffset); }
  std::int32_t entryWidth() const { return Load<std::int32_t>(qss::kHeaderEntryWidthOffset); }
  std::size_t BlockPosition(std::int64_t block) const {
    return static_cast<std::size_t>(Load<std::int32_t>(qss::kHeaderDataOffsetOffset) + (block - 1) * blockSize());
  }
  std::int64_t RootFirstBlock() const { return Load<std::int64_t>(qss::kRootEntryOffset + qss::kEntryFirstBlockOffset); }
  std::int64_t RootSize() const { return Load<std::int64_t>(qss::kRootEntryOffset + qss::kEntrySizeOffset); }

  // The record named name (which must occur once).
  std::size_t Record(const std::u16string& name) const {
    std::string pattern;
    for (const char16_t unit : name + u'\0') {
      pattern.push_back(static_cast<char>(unit & 0xFF));
      pattern.push_back(static_cast<char>(unit >> 8));
    }
    const std::size_t at = bytes_.find(pattern);
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(bytes_.find(pattern, at + 1), std::string::npos) << "name not unique";
    return at;
  }
  // units replace the whole name field (zero-filled after them).
  void Rename(const std::u16string& from, const std::vector<char16_t>& units) {
    const std::size_t record = Record(from);
    for (int i = 0; i < 32; ++i) Store<std::uint16_t>(record + 2 * i, i < static_cast<int>(units.size()) ? units[i] : 0);
  }
  std::int64_t FirstBlock(const std::u16string& name) const { return Load<std::int64_t>(Record(name) + qss::kEntryFirstBlockOffset); }
  void SetFirstBlock(const std::u16string& name, std::int64_t block) { Store(Record(name) + qss::kEntryFirstBlockOffset, block); }
  void SetSize(const std::u16string& name, std::int64_t size) { Store(Record(name) + qss::kEntrySizeOffset, size); }
  void SetFlags(const std::u16string& name, std::uint32_t flags) { Store(Record(name) + qss::kEntryFlagsOffset, flags); }

  // Entries of the first table block only; enough for small containers.
  std::int64_t TableEntry(std::int64_t k) const { return entryWidth() == 2 ? Load<std::int16_t>(TableAt(k)) : Load<std::int32_t>(TableAt(k)); }
  void SetTableEntry(std::int64_t k, std::int64_t value) {
    if (entryWidth() == 2) Store(TableAt(k), static_cast<std::int16_t>(value));
    if (entryWidth() == 4) Store(TableAt(k), static_cast<std::int32_t>(value));
  }

  std::string& bytes() { return bytes_; }
  void Save() const { WriteFile(base_, bytes_); }

  template <typename T>
  T Load(std::size_t at) const {
    return qss::LoadLittleEndian<T>(reinterpret_cast<const std::uint8_t*>(bytes_.data()) + at);
  }
  template <typename T>
  void Store(std::size_t at, T value) {
    qss::StoreLittleEndian<T>(reinterpret_cast<std::uint8_t*>(bytes_.data()) + at, value);
  }

 private:
  std::size_t TableAt(std::int64_t k) const {
    return BlockPosition(Load<std::int64_t>(qss::kHeaderTableStartOffset)) + static_cast<std::size_t>(k * entryWidth());
  }

  fs::path base_;
  std::string bytes_;
};

// What a damaged container holds that is still sound, and how it is damaged.
struct DamagedContainer {
  fs::path path;
  std::string good;      // good.txt
  std::string inside;    // dir/inside.txt
  std::string broken;    // broken.bin: only its first brokenReadable bytes can be read
  std::size_t brokenReadable = 0;
  // Each line the mount must report once (after "qss: mount: ").
  std::vector<std::string> problems;
};

// Packed with 512-byte blocks and 2-byte table entries (the whole table is
// one block), then damaged:
//   good.txt     sound, followed by a later entry of the same name
//   broken.bin   its chain ends after three blocks, short of its size
//   squeezed.txt compressed, with a damaged image header
//   loop         a storage whose chain is the root directory's
//   dir          a sound storage
//   and entries named "..", "a/b", "", an unpaired surrogate, a name without
//   terminator, and one of kind 0.
inline DamagedContainer MakeDamagedContainer(const fs::path& folder) {
  DamagedContainer made;
  std::mt19937 random(5);
  const auto noise = [&](std::size_t length) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
  };
  made.good = noise(2000);
  made.inside = noise(700);
  made.broken = noise(5000);
  made.brokenReadable = 3 * 512;
  const fs::path source = folder / "damaged-source";
  WriteFile(source / "good.txt", made.good);
  WriteFile(source / "good.txu", "a later entry of the same name");
  WriteFile(source / "broken.bin", made.broken);
  WriteFile(source / "squeezed.txt", std::string(20000, 's'));
  WriteFile(source / "dir" / "inside.txt", made.inside);
  WriteFile(source / "loop" / "inside.txt", "never shown");
  for (int i = 1; i <= 6; ++i) WriteFile(source / ("rename" + std::to_string(i) + ".txt"), "renamed");
  made.path = folder / "damaged.qss";
  const RunResult packed = RunInProcess({"pack", "--compress", "--block-size", "512", "--entry-width", "2",
                                         source.string(), made.path.string()});
  EXPECT_EQ(packed.code, 0) << packed.err;

  ContainerEditor editor(made.path);
  editor.Rename(u"good.txu", {u'g', u'o', u'o', u'd', u'.', u't', u'x', u't'});
  std::int64_t block = editor.FirstBlock(u"broken.bin");
  for (int i = 0; i < 2; ++i) block = editor.TableEntry(block);
  editor.SetTableEntry(block, -1);
  editor.bytes()[editor.BlockPosition(editor.FirstBlock(u"squeezed.txt"))] ^= 0x55;
  editor.SetFirstBlock(u"loop", editor.RootFirstBlock());
  editor.SetSize(u"loop", editor.RootSize());
  editor.Rename(u"rename1.txt", {u'.', u'.'});
  editor.Rename(u"rename2.txt", {u'a', u'/', u'b'});
  editor.Rename(u"rename3.txt", {});
  editor.Rename(u"rename4.txt", {u'x', 0xD800, u'y'});
  editor.Rename(u"rename5.txt", std::vector<char16_t>(32, u'Z'));
  editor.SetFlags(u"rename6.txt", 0);
  editor.Save();

  made.problems = {
      "'good.txt': the name repeats an earlier entry's name; left out",
      "'loop': its chain is the one of the root directory, walked already; listing it fails with an I/O error",
      "'..': the name is \".\" or \"..\"; left out",
      "'a/b': the name contains '/'; left out",
      "'': the name is empty; left out",
      "'x\xef\xbf\xbdy': the name contains an unpaired surrogate; left out",
      "'ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ': the name has no terminator; left out",
      "'rename6.txt': an entry of kind 0 cannot be opened; left out",
  };
  return made;
}

}  // namespace qss_test

#endif  // TOOLS_QSS_MOUNTTESTSUPPORT_H_
