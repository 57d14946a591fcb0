#include "ContainerWriteHarness.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/CreateContainer.h"
#include "HarnessCheck.h"

using namespace qss;

namespace {

constexpr int kSlots = 8;
constexpr int kMaxNodes = 24;
constexpr std::size_t kMaxModelBytes = 128 * 1024;
constexpr int kReadPiece = 4096;

// Block sizes stay small enough that 2-byte tables (at most 32767 blocks)
// hold everything the model allows.
constexpr std::array<std::int32_t, 3> kEntryWidths = {2, 4, 8};

enum class NodeKind { kStream, kStorage, kNested };

struct Node {
  std::u16string name;
  NodeKind kind = NodeKind::kStorage;
  bool compressed = false;
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> known;  // 1 where data holds a defined byte
  std::vector<std::unique_ptr<Node>> children;
  int handles = 0;

  Node* FindChild(const std::u16string& childName) const {
    for (const auto& child : children)
      if (child->name == childName) return child.get();
    return nullptr;
  }
  // Its object exists: held by a handle, or kept by an object opened below it.
  bool Alive() const {
    if (handles > 0) return true;
    for (const auto& child : children)
      if (child->Alive()) return true;
    return false;
  }
  std::uint32_t ExpectedFlags() const {
    switch (kind) {
      case NodeKind::kStream: return kEntryStream | (compressed ? kEntryCompressed : 0);
      case NodeKind::kStorage: return kEntryStorage;
      case NodeKind::kNested: return kEntryStorage | kEntryStream;
    }
    return 0;
  }
};

struct Handle {
  CQssRef<CStream> object;
  Node* node = nullptr;
  bool writable = false;
  std::int64_t position = 0;

  bool used() const { return node != nullptr; }
  bool IsStorage() const { return node->kind != NodeKind::kStream; }
  CStorage* storage() const { return static_cast<CStorage*>(object.get()); }
};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return next_ >= size_; }
  std::uint8_t Byte() { return next_ < size_ ? data_[next_++] : 0; }
  std::uint32_t Word() { return Byte() | (static_cast<std::uint32_t>(Byte()) << 8); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t next_ = 0;
};

// "<verb> '<name>'<rest>", for messages.
std::string Describe(const char* verb, const std::u16string& name, const char* rest = "") {
  std::string out = verb;
  out += " '";
  for (char16_t unit : name) out.push_back(unit < 128 ? static_cast<char>(unit) : '?');
  out += "'";
  out += rest;
  return out;
}

class Session {
 public:
  Session(Input* input, WriteHarnessReport* report) : input_(input), report_(report) {}

  void Run() {
    const std::uint8_t shape = input_->Byte();
    const std::int32_t entryWidth = kEntryWidths[shape % 3];
    const std::int32_t blockSize = 1 << (4 + (shape / 3) % 9);  // 16 to 4096
    array_ = CQssRef<CMemoryByteArray>(new CMemoryByteArray());
    if (!Expect(CreateContainer(array_.get(), entryWidth, blockSize) == kQssOk, "CreateContainer failed")) return;
    if (!OpenRoot()) return;
    while (!input_->empty() && Ok()) {
      ++report_->operations;
      Step(input_->Byte() % 12);
    }
    if (Ok()) Reopen();
    ReleaseAll();
  }

 private:
  bool Ok() const { return report_->problem.empty(); }

  bool Expect(bool condition, const std::string& what) {
    if (!condition && Ok()) report_->problem = what + " (operation " + std::to_string(report_->operations) + ")";
    return condition;
  }

  void Step(int op) {
    switch (op) {
      case 0: Create(NodeKind::kStream, false); break;
      case 1: Create(NodeKind::kStream, true); break;
      case 2: Create(NodeKind::kStorage, false); break;
      case 3: Create(NodeKind::kNested, false); break;
      case 4: case 5: WriteOp(); break;
      case 6: SeekOp(); break;
      case 7: SetSizeOp(); break;
      case 8: ReadOp(); break;
      case 9: CommitOp(); break;
      case 10: input_->Byte() & 1 ? ReleaseOp() : OpenByName(); break;
      case 11: if ((input_->Byte() & 3) == 0) Reopen(); else ReleaseOp(); break;
    }
  }

  // ---- handles ----

  Handle* PickHandle() {
    const int index = input_->Byte() % (kSlots + 1);
    Handle* handle = index == kSlots ? &root_ : &slots_[index];
    return handle->used() ? handle : nullptr;
  }
  Handle* PickStorage() {
    Handle* handle = PickHandle();
    return handle && handle->IsStorage() ? handle : nullptr;
  }
  Handle* PickStream() {
    Handle* handle = PickHandle();
    return handle && !handle->IsStorage() ? handle : nullptr;
  }
  Handle* FreeSlot() {
    for (Handle& slot : slots_)
      if (!slot.used()) return &slot;
    return nullptr;
  }
  void Bind(Handle* slot, CStream* object, Node* node, bool writable) {
    slot->object = CQssRef<CStream>::Attach(object);
    slot->node = node;
    slot->writable = writable;
    slot->position = 0;
    ++node->handles;
  }
  void Drop(Handle* slot) {
    if (!slot->used()) return;
    --slot->node->handles;
    slot->node = nullptr;
    slot->object.Reset();
  }
  void ReleaseAll() {
    for (Handle& slot : slots_) Drop(&slot);
    Drop(&root_);
  }

  std::size_t ModelBytes(const Node& node) const {
    std::size_t total = node.data.size();
    for (const auto& child : node.children) total += ModelBytes(*child);
    return total;
  }
  int ModelNodes(const Node& node) const {
    int total = 1;
    for (const auto& child : node.children) total += ModelNodes(*child);
    return total;
  }

  // ---- operations ----

  std::u16string PickName(const Node& parent) {
    static const char16_t* const kNames[] = {u"a", u"b", u"c", u"Data", u"x.bin",
                                             u"0123456789012345678901234567890"};  // 31 units
    const int choice = input_->Byte() % 9;
    if (choice < 6) return kNames[choice];
    if (choice == 6) return u"";
    if (choice == 7) return u"01234567890123456789012345678901";  // 32 units: too long
    if (!parent.children.empty()) return parent.children[input_->Byte() % parent.children.size()]->name;
    return u"a";
  }

  void Create(NodeKind kind, bool compressed) {
    Handle* parent = PickStorage();
    Handle* slot = FreeSlot();
    if (!parent || !slot || ModelNodes(root_node_) >= kMaxNodes) return;
    const std::u16string name = PickName(*parent->node);
    const bool nameValid = !name.empty() && name.size() <= 31 && parent->node->FindChild(name) == nullptr;
    const std::uint8_t shape = input_->Byte();

    CQssRef<CStream> object;
    QssResult result;
    switch (kind) {
      case NodeKind::kStream: {
        CStream* stream = nullptr;
        result = parent->storage()->CreateStream(name.c_str(), compressed, &stream);
        object = CQssRef<CStream>::Attach(stream);
        break;
      }
      case NodeKind::kStorage: {
        CStorage* storage = nullptr;
        result = parent->storage()->CreateStorage(name.c_str(), &storage);
        object = CQssRef<CStream>::Attach(storage);
        break;
      }
      case NodeKind::kNested: {
        CRootStorage* nested = nullptr;
        result = parent->storage()->CreateNestedContainer(name.c_str(), kEntryWidths[shape % 3],
                                                          1 << (5 + (shape / 3) % 6), &nested);
        object = CQssRef<CStream>::Attach(nested);
        break;
      }
    }
    const std::string what = Describe("create", name);
    if (!parent->writable) {
      Expect(result < 0 && !object, what + " in a read-only storage did not fail");
      Expect(!nameValid || result == kQssReadOnly, what + " in a read-only storage: not kQssReadOnly");
      return;
    }
    if (!nameValid) {
      Expect(result == kQssInvalidRequest && !object, what + ": invalid or duplicate name not refused");
      return;
    }
    if (!Expect(result == kQssOk && object, what + " failed")) return;
    auto node = std::make_unique<Node>();
    node->name = name;
    node->kind = kind;
    node->compressed = compressed;
    Bind(slot, object.Detach(), node.get(), true);
    ++report_->objectsCreated;
    // A nested container's own entry is its root record; the kind-3 record is the parent's.
    CStorageEntry* record = parent->storage()->FindEntry(name.c_str());
    Expect(record && (record->Flags() & ~kEntryRunTimeMask) == node->ExpectedFlags(), what + ": wrong flags");
    parent->node->children.push_back(std::move(node));
  }

  // Moves a handle that lies past the end back to the end, so that writes
  // never leave gaps whose bytes the model could not know.
  bool ClampToEnd(Handle* handle) {
    const auto size = static_cast<std::int64_t>(handle->node->data.size());
    if (handle->position <= size) return true;
    std::int64_t reported = -1;
    const QssResult result = handle->object->Seek(size, kSeekBegin, &reported);
    if (!Expect(result == kQssOk && reported == size, "seek to the end failed")) return false;
    handle->position = size;
    return true;
  }

  void WriteOp() {
    Handle* handle = PickStream();
    const std::uint32_t length = 1 + ((input_->Byte() << 3) | (input_->Byte() & 7));
    const std::uint8_t seed = input_->Byte();
    if (!handle) return;
    Node* node = handle->node;
    if (ModelBytes(root_node_) + length > kMaxModelBytes) return;
    if (!ClampToEnd(handle)) return;

    std::vector<std::uint8_t> bytes(length);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::uint32_t i = 0; i < length; ++i) {
      if (seed & 1) {
        bytes[i] = static_cast<std::uint8_t>('A' + (seed + i / 7) % 5);  // compresses well
      } else {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<std::uint8_t>(state >> 11);  // does not
      }
    }
    std::uint32_t written = 0xFFFFFFFFu;
    const QssResult result = handle->object->Write(bytes.data(), static_cast<std::int32_t>(length), &written);
    const std::string what = Describe("write to", node->name);
    if (!handle->writable) {
      Expect(result == kQssReadOnly && written == 0, what + " opened read-only was not refused");
      return;
    }
    if (!Expect(result == kQssOk && written == length, what + " failed")) return;
    const std::size_t end = static_cast<std::size_t>(handle->position) + length;
    if (end > node->data.size()) {
      node->data.resize(end, 0);
      node->known.resize(end, 0);
    }
    report_->bytesWritten += length;
    std::copy(bytes.begin(), bytes.end(), node->data.begin() + handle->position);
    std::fill(node->known.begin() + handle->position, node->known.begin() + end, 1);
    handle->position = static_cast<std::int64_t>(end);
  }

  void SeekOp() {
    Handle* handle = PickStream();
    const std::uint32_t value = input_->Word();
    const int origin = input_->Byte() % 3;
    if (!handle) return;
    const auto size = static_cast<std::int64_t>(handle->node->data.size());
    const std::int64_t target = value % (size + 1);
    std::int64_t offset = target;
    if (origin == kSeekCurrent) offset = target - handle->position;
    if (origin == kSeekEnd) offset = size - target;
    std::int64_t reported = -1;
    const QssResult result = handle->object->Seek(offset, origin, &reported);
    Expect(result == kQssOk && reported == target, "seek with origin " + std::to_string(origin) + " went astray");
    handle->position = target;
  }

  void SetSizeOp() {
    Handle* handle = PickStream();
    const std::uint32_t value = input_->Word();
    if (!handle || !handle->writable) return;  // a read-only stream is not resized here
    Node* node = handle->node;
    const std::size_t size = node->data.size();
    const std::size_t newSize = value % (size + 2049);
    if (newSize > size && ModelBytes(root_node_) + (newSize - size) > kMaxModelBytes) return;
    // A stream under the compressed flag is a compressed stream, whatever it
    // stores now.
    const bool compressedStream = (handle->object->entry()->Flags() & kEntryCompressed) != 0;
    const bool compressedContent = handle->object->entry()->StoredCompressed();
    const QssResult result = handle->object->SetSize(static_cast<std::int64_t>(newSize));
    const std::string what = Describe("resize of", node->name, " to ") + std::to_string(newSize);
    if (compressedContent && newSize != 0) {
      Expect(result == kQssInvalidRequest, what + ": compressed content was resized");
      return;
    }
    if (!Expect(result == kQssOk, what + " failed")) return;
    Expect(handle->object->entry()->Size() == static_cast<std::int64_t>(newSize), what + ": entry size wrong");
    node->data.resize(newSize, 0);
    node->known.resize(newSize, 0);
    if (compressedStream) {
      // A compressed stream's position is not defined across a resize.
      std::int64_t reported = -1;
      Expect(handle->object->Seek(0, kSeekBegin, &reported) == kQssOk && reported == 0, what + ": seek");
      handle->position = 0;
    }
  }

  bool CompareRead(Handle* handle, std::int32_t count, const std::string& what, bool verifying = false) {
    Node* node = handle->node;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count));
    std::uint32_t got = 0xFFFFFFFFu;
    const QssResult result = handle->object->Read(buffer.data(), count, &got);
    const auto size = static_cast<std::int64_t>(node->data.size());
    const std::int64_t expected = std::max<std::int64_t>(0, std::min<std::int64_t>(count, size - handle->position));
    if (!Expect(result == kQssOk && got == expected, what + ": read result or count wrong")) return false;
    for (std::uint32_t i = 0; i < got; ++i) {
      const std::size_t at = static_cast<std::size_t>(handle->position) + i;
      if (node->known[at] && !Expect(buffer[i] == node->data[at], what + ": byte " + std::to_string(at) + " differs"))
        return false;
    }
    handle->position += got;
    if (verifying) report_->bytesVerified += got;
    return true;
  }

  void ReadOp() {
    Handle* handle = PickStream();
    const std::int32_t count = 1 + static_cast<std::int32_t>(input_->Word() % kReadPiece);
    if (!handle) return;
    CompareRead(handle, count, Describe("read of", handle->node->name));
  }

  void CommitOp() {
    Handle* handle = PickStorage();
    if (!handle) return;
    Expect(handle->storage()->Commit() == kQssOk, Describe("commit of", handle->node->name, " failed"));
  }

  void ReleaseOp() {
    const int index = input_->Byte() % kSlots;
    Drop(&slots_[index]);
  }

  void OpenByName() {
    Handle* parent = PickStorage();
    Handle* slot = FreeSlot();
    const std::uint8_t pick = input_->Byte();
    if (!parent || !slot || parent->node->children.empty()) return;
    Node* child = parent->node->children[pick % parent->node->children.size()].get();
    CQssRef<CStream> object;
    QssResult result;
    if (child->kind == NodeKind::kStream) {
      result = parent->storage()->OpenStream(child->name.c_str(), 0, object.Receive());
    } else {
      CStorage* storage = nullptr;
      result = parent->storage()->OpenStorage(child->name.c_str(), 0, &storage);
      object = CQssRef<CStream>::Attach(storage);
    }
    const std::string what = Describe("open of", child->name);
    if (child->Alive()) {
      Expect(result == kQssAlreadyOpen && !object, what + " while open was not refused");
      return;
    }
    if (!Expect(result == kQssOk && object, what + " failed")) return;
    Bind(slot, object.Detach(), child, false);
  }

  // ---- whole-container checks ----

  bool OpenRoot() {
    CQssRef<CRootStorage> root(new CRootStorage(array_.get()));
    if (!Expect(root->valid(), "the container did not reopen")) return false;
    Bind(&root_, root.Detach(), &root_node_, true);
    return true;
  }

  void Reopen() {
    ReleaseAll();
    ++report_->reopens;
    if (!OpenRoot()) return;
    Verify(root_.storage(), root_node_, 0);
    if (Ok()) Expect(RunConsistencyCheck(array_.get()) == 0, "the checker found problems in a written container");
  }

  void Verify(CStorage* storage, const Node& node, int depth) {
    if (!Expect(storage->EntryCount() == static_cast<std::int32_t>(node.children.size()),
                Describe("storage", node.name, " has another entry count after reopen")))
      return;
    for (std::size_t i = 0; i < node.children.size() && Ok(); ++i) {
      Node* child = node.children[i].get();
      CStorageEntry* entry = storage->EntryAt(static_cast<std::int32_t>(i));
      const std::string what = Describe("entry", child->name, " after reopen");
      if (!Expect(entry && entry->Name() == child->name, what + ": name or order changed")) return;
      if (!Expect((entry->Flags() & ~kEntryRunTimeMask) == child->ExpectedFlags(), what + ": flags changed")) return;
      Handle handle;
      if (child->kind == NodeKind::kStream) {
        CStream* stream = nullptr;
        if (!Expect(storage->OpenStream(child->name.c_str(), 0, &stream) == kQssOk && stream, what + ": no stream"))
          return;
        Bind(&handle, stream, child, false);
        Expect(stream->entry()->Size() == static_cast<std::int64_t>(child->data.size()), what + ": size changed");
        while (Ok() && handle.position < static_cast<std::int64_t>(child->data.size()))
          if (!CompareRead(&handle, kReadPiece, what, true)) break;
      } else {
        CStorage* sub = nullptr;
        if (!Expect(storage->OpenStorage(child->name.c_str(), 0, &sub) == kQssOk && sub, what + ": no storage"))
          return;
        Bind(&handle, sub, child, false);
        Verify(sub, *child, depth + 1);
      }
      Drop(&handle);
    }
  }

  Input* input_;
  WriteHarnessReport* report_;
  CQssRef<CMemoryByteArray> array_;
  Node root_node_;
  Handle root_;
  Handle slots_[kSlots];
};

}  // namespace

WriteHarnessReport RunWriteHarness(const std::uint8_t* data, std::size_t size) {
  WriteHarnessReport report;
  Input input(data, size);
  Session session(&input, &report);
  session.Run();
  return report;
}
