// _quorell: the library's public API for Python. The package quorell (in
// quorell/__init__.py) wraps these objects in Python classes that behave like
// the standard ones (a mapping, an io.RawIOBase stream); this file keeps every
// call into the library, releases the GIL around anything that may touch the
// disk, and turns every failed result into a quorell.Error.
//
// Lifetimes. Every storage and stream handed to Python is tracked by its
// container: closing (or committing) the container releases them all, since a
// writer can only seal a container whose children are released, and a
// container file should be closed when its owner says so, not whenever the
// last forgotten stream object is collected. A call that runs without the GIL
// first takes its own reference to the library object, so another thread
// closing the container meanwhile cannot free it under the call.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

#include "qss/CContainerFileWriter.h"
#include "qss/CQssRef.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/ContainerFile.h"
#include "qss/EntryPath.h"
#include "qss/ResultCodes.h"
#include "qss/ResultText.h"
#include "qss/Segments.h"
#include "qss/Version.h"

namespace py = pybind11;
using namespace qss;

namespace {

// Largest count handed to one library read or write (its counts are 32-bit).
constexpr std::int64_t kMaxTransfer = std::int64_t{1} << 30;
// Bytes taken from a source file object per write of a plain stream.
constexpr std::int64_t kSourcePiece = std::int64_t{1} << 20;

// ---------------------------------------------------------------------------
// Errors

// A failed library result on its way to Python. opening tells a container
// that could not be opened at all from damage met after it opened: the
// library says kQssNotAContainer for both.
struct QssFailure {
  QssResult code;
  std::u16string entryPath;  // the entry it concerns, or empty
  std::string filePath;      // else the container file, or empty
  bool opening = false;
};

// The Python classes, handed over by quorell/__init__.py. Kept for the life
// of the process: the interpreter may tear the module down in any order.
struct ErrorClasses {
  py::object error, notAContainer, truncated, notFound, corrupt;
};
ErrorClasses* errorClasses = nullptr;

[[noreturn]] void Fail(QssResult code, std::u16string entryPath = {}) {
  throw QssFailure{code, std::move(entryPath), {}, false};
}

void Check(QssResult code, const std::u16string& entryPath = {}) {
  if (QssFailed(code)) Fail(code, entryPath);
}

// A failure concerning the container file itself.
void CheckFile(QssResult code, const std::string& filePath, bool opening) {
  if (QssFailed(code)) throw QssFailure{code, {}, filePath, opening};
}

bool IsNotFound(QssResult code) {
  return code == kQssNotFound || code == QssResultFromSystemError(2) /* no such file */ ||
         code == QssResultFromSystemError(3) /* no such path (Windows) */;
}

py::str FromUnits(const std::u16string& units);

// A file name as os.fsdecode shows it, also when it is not UTF-8.
py::str FromFileName(const std::string& name) {
  PyObject* decoded = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

// The quorell.Error (or subclass) instance for a failure.
py::object MakeError(const QssFailure& failure) {
  const auto code = static_cast<std::uint32_t>(static_cast<std::int32_t>(failure.code));
  const std::string text = QssResultText(failure.code);
  if (errorClasses == nullptr) return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(text);
  py::object cls = errorClasses->error;
  if (IsNotFound(failure.code)) {
    cls = errorClasses->notFound;
  } else if (failure.code == kQssTruncated) {
    cls = errorClasses->truncated;
  } else if (failure.code == kQssNotAContainer) {
    cls = failure.opening ? errorClasses->notAContainer : errorClasses->corrupt;
  }
  py::object path = py::none();
  if (!failure.entryPath.empty()) {
    path = FromUnits(failure.entryPath);
  } else if (!failure.filePath.empty()) {
    path = FromFileName(failure.filePath);
  }
  return cls(code, text, path);
}

void RaiseFailure(const QssFailure& failure) {
  py::object error = MakeError(failure);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

[[noreturn]] void ClosedError(const char* what) { throw py::value_error(std::string("I/O operation on closed ") + what); }

// ---------------------------------------------------------------------------
// Names: Python str <-> UTF-16 code units. Lone surrogates pass both ways, so
// any name a container holds can be shown and asked for again.

std::u16string ToUnits(const py::handle& text) {
  if (!PyUnicode_Check(text.ptr())) throw py::type_error("a name or path must be str");
  const int kind = PyUnicode_KIND(text.ptr());
  const void* data = PyUnicode_DATA(text.ptr());
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
  std::u16string units;
  units.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 point = PyUnicode_READ(kind, data, i);
    // Names are compared up to their first 0 unit: "a\0b" would find "a".
    if (point == 0) throw py::value_error("a name cannot contain NUL");
    if (point < 0x10000) {
      units.push_back(static_cast<char16_t>(point));
    } else {
      units.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    }
  }
  return units;
}

py::str FromUnits(const std::u16string& units) {
  int byteOrder = -1;  // little-endian
  PyObject* text = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(units.data()),
                                         static_cast<Py_ssize_t>(units.size() * 2), "surrogatepass", &byteOrder);
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// For messages and paths shown: names joined by '/'.
std::u16string JoinNames(const std::vector<std::u16string>& names, std::size_t count) {
  std::u16string joined;
  for (std::size_t i = 0; i < count && i < names.size(); ++i) {
    if (i > 0) joined += u'/';
    joined += names[i];
  }
  return joined;
}

// ---------------------------------------------------------------------------
// Containers and what they hand out

// One open storage or stream the container must be able to close.
struct Handle {
  CQssRef<CStream> object;
  bool isStorage = false;
};

struct ContainerState {
  std::string path;
  bool writable = false;
  CQssRef<CRootStorage> root;
  // Set for a container made by create(): it is built in temporaries and
  // moved into place by commit.
  std::unique_ptr<CContainerFileWriter> writer;
  std::vector<std::weak_ptr<Handle>> handles;
  // Every storage opened or created, by its names from the root. A stream
  // holds its storage open, and an entry opens once at a time: the second
  // stream of a storage must reach the same storage object, not open its
  // entry again.
  std::map<std::vector<std::u16string>, CQssRef<CStorage>> storages;
  std::mutex storagesMutex;
  bool closed = false;
  // The library's writing side is used by one thread at a time.
  std::mutex writeMutex;

  std::shared_ptr<Handle> Track(CQssRef<CStream> object, bool isStorage) {
    auto handle = std::make_shared<Handle>();
    handle->object = std::move(object);
    handle->isStorage = isStorage;
    // Forget handles already gone before the list would grow.
    if (handles.size() == handles.capacity())
      std::erase_if(handles, [](const std::weak_ptr<Handle>& weak) { return weak.expired(); });
    handles.push_back(handle);
    return handle;
  }

  // Takes every handed-out object away from its Python holder, newest first
  // (children before their parents). The references are dropped by the
  // caller, without the GIL: a last release may save a directory.
  std::vector<CQssRef<CStream>> TakeHandles() {
    std::vector<CQssRef<CStream>> taken;
    for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
      if (auto handle = it->lock(); handle && handle->object) taken.push_back(std::move(handle->object));
    }
    handles.clear();
    std::lock_guard<std::mutex> lock(storagesMutex);
    for (auto it = storages.rbegin(); it != storages.rend(); ++it) taken.push_back(CQssRef<CStream>(it->second.get()));
    storages.clear();
    return taken;
  }

  // The storage names lead to from the root, opened (and remembered) where
  // not open yet. Runs without the GIL.
  // rootRef is the caller's own reference to the root, taken with the GIL:
  // another thread may close the container meanwhile.
  CQssRef<CStorage> StorageAt(const CQssRef<CStorage>& rootRef, const std::vector<std::u16string>& names) {
    if (names.size() > static_cast<std::size_t>(kMaxEntryPathDepth))
      Fail(kQssInvalidArgument, JoinNames(names, names.size()));
    std::lock_guard<std::mutex> lock(storagesMutex);
    CQssRef<CStorage> current = rootRef;
    std::vector<std::u16string> key;
    for (std::size_t i = 0; i < names.size(); ++i) {
      key.push_back(names[i]);
      if (auto found = storages.find(key); found != storages.end()) {
        current = found->second;
        continue;
      }
      CQssRef<CStorage> child;
      Check(OpenChildStorage(current.get(), names[i], ContainerBytes(current.get()), &child), JoinNames(names, i + 1));
      storages.emplace(key, child);
      current = std::move(child);
    }
    return current;
  }

  void Remember(const std::vector<std::u16string>& names, const CQssRef<CStorage>& storage) {
    std::lock_guard<std::mutex> lock(storagesMutex);
    storages.insert_or_assign(names, storage);
  }

  // Commits every writable storage handed out, children first, then the
  // root. The first failure wins; every commit runs.
  QssResult CommitInPlace() {
    QssResult first = kQssOk;
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(writeMutex);
    std::vector<std::pair<std::size_t, CQssRef<CStorage>>> open;
    {
      std::lock_guard<std::mutex> storagesLock(storagesMutex);
      for (const auto& [names, storage] : storages) open.emplace_back(names.size(), storage);
    }
    // Deepest first: a storage's commit records its content in its parent.
    std::stable_sort(open.begin(), open.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [depth, storage] : open) {
      const QssResult result = storage->Commit();
      if (QssFailed(result) && !QssFailed(first)) first = result;
    }
    const QssResult result = root->Commit();
    if (QssFailed(result) && !QssFailed(first)) first = result;
    return first;
  }
};

class PyEntry {
 public:
  explicit PyEntry(CStorageEntry* entry) : entry_(entry) {}

  py::str name() const { return FromUnits(entry_->Name()); }
  std::uint32_t flags() const { return entry_->Flags() & ~kEntryRunTimeMask; }
  std::uint32_t kindCode() const { return entry_->Kind(); }
  const char* kind() const {
    switch (entry_->Kind()) {
      case kEntryStorage:
        return "storage";
      case kEntryStream:
        return "stream";
      case kEntryKindMask:
        return "nested";
      default:
        return "unknown";
    }
  }
  std::int64_t size() const { return entry_->Size(); }
  std::int32_t storedLength() const { return entry_->StoredLength(); }
  std::int64_t headOffset() const { return entry_->HeadOffset(); }
  std::int64_t firstBlock() const { return entry_->FirstBlock(); }
  bool compressed() const { return (entry_->Flags() & kEntryCompressed) != 0; }
  // How a stream's content lies in the container: an LZ4 image only when the
  // stream is marked compressed and its image differs from its size.
  py::object storedMode() const {
    if ((entry_->Kind() & kEntryStream) == 0) return py::none();
    return py::str(compressed() && entry_->StoredLength() != entry_->Size() ? "lz4" : "plain");
  }
  py::str repr() const {
    return py::str("<quorell.Entry {!r} {} size={}>").format(name(), kind(), size());
  }

 private:
  CQssRef<CStorageEntry> entry_;
};

class PyStream {
 public:
  PyStream(std::shared_ptr<ContainerState> container, CQssRef<CStream> stream, std::u16string path)
      : container_(std::move(container)), path_(std::move(path)) {
    CStorageEntry* entry = stream->entry();
    head_ = entry->HeadOffset();
    const std::int64_t size = entry->Size();
    // The readable bytes run from the head offset to the size: a head outside
    // them is a damaged entry, not an empty stream.
    if (head_ < 0 || head_ > size) Fail(kQssNotAContainer, path_);
    length_ = size - head_;
    entry_ = PyEntry(entry);
    handle_ = container_->Track(std::move(stream), false);
  }

  std::int64_t readinto(const py::object& target) {
    Py_buffer view;
    if (PyObject_GetBuffer(target.ptr(), &view, PyBUF_WRITABLE) != 0) {
      PyErr_Clear();
      throw py::type_error("readinto() argument must be a writable bytes-like object");
    }
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    CQssRef<CStream> stream = Acquire();
    return ReadInto(stream.get(), static_cast<char*>(view.buf), view.len);
  }

  py::bytes read(std::int64_t size) {
    CQssRef<CStream> stream = Acquire();
    std::int64_t wanted;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wanted = std::max<std::int64_t>(length_ - position_, 0);
    }
    if (size >= 0) wanted = std::min(wanted, size);
    // Only as many bytes as the stream holds, never what the caller asked.
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wanted));
    if (bytes == nullptr) throw py::error_already_set();
    py::object owner = py::reinterpret_steal<py::object>(bytes);
    const std::int64_t got = ReadInto(stream.get(), PyBytes_AS_STRING(bytes), wanted);
    if (got < wanted && _PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(got)) != 0) {
      owner.release();
      throw py::error_already_set();
    }
    owner.release();
    return py::reinterpret_steal<py::bytes>(bytes);
  }

  std::int64_t seek(std::int64_t offset, int whence) {
    if (!handle_->object) ClosedError("stream");
    std::lock_guard<std::mutex> lock(mutex_);
    std::int64_t base = 0;
    if (whence == 1) {
      base = position_;
    } else if (whence == 2) {
      base = length_;
    } else if (whence != 0) {
      throw py::value_error("whence must be 0, 1 or 2");
    }
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0)
      throw py::value_error("seek position out of range");
    position_ = base + offset;
    return position_;
  }

  std::int64_t tell() {
    if (!handle_->object) ClosedError("stream");
    std::lock_guard<std::mutex> lock(mutex_);
    return position_;
  }

  void close() {
    CQssRef<CStream> stream = std::move(handle_->object);
    py::gil_scoped_release release;
    stream.Reset();
  }

  bool closed() const { return !handle_->object; }
  std::int64_t length() const { return length_; }
  PyEntry entry() const { return *entry_; }
  py::str path() const { return FromUnits(path_); }

 private:
  CQssRef<CStream> Acquire() const {
    if (!handle_->object) ClosedError("stream");
    return handle_->object;
  }

  // Reads up to count bytes at the current position into buffer, without the
  // GIL. A stream that ends before its entry's size is damaged, and says so
  // rather than passing the short content off as whole.
  std::int64_t ReadInto(CStream* stream, char* buffer, std::int64_t count) {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::int64_t wanted = std::min(count, std::max<std::int64_t>(length_ - position_, 0));
    if (wanted == 0) return 0;
    if (stream->position() != head_ + position_) Check(stream->Seek(head_ + position_, kSeekBegin, nullptr), path_);
    std::int64_t done = 0;
    while (done < wanted) {
      const auto piece = static_cast<std::int32_t>(std::min(wanted - done, kMaxTransfer));
      std::uint32_t got = 0;
      const QssResult result = stream->Read(buffer + done, piece, &got);
      if (result != kQssOk) Fail(QssFailed(result) ? result : kQssNotAContainer, path_);
      if (got == 0) break;
      done += std::min<std::int64_t>(got, piece);
    }
    position_ += done;
    if (done < wanted) Fail(kQssNotAContainer, path_);
    return done;
  }

  std::shared_ptr<ContainerState> container_;
  std::shared_ptr<Handle> handle_;
  std::u16string path_;
  std::optional<PyEntry> entry_;
  std::int64_t head_ = 0;
  std::int64_t length_ = 0;
  std::mutex mutex_;
  std::int64_t position_ = 0;
};

class PyStorage {
 public:
  PyStorage(std::shared_ptr<ContainerState> container, CQssRef<CStorage> storage, std::vector<std::u16string> names)
      : container_(std::move(container)), names_(std::move(names)), path_(JoinNames(names_, names_.size())) {
    handle_ = container_->Track(CQssRef<CStream>(storage.get()), true);
  }

  std::int32_t size() const { return Storage()->EntryCount(); }

  PyEntry entryAt(std::int32_t index) const {
    CStorage* storage = Storage();
    if (index < 0 || index >= storage->EntryCount()) throw py::index_error("entry index out of range");
    CStorageEntry* entry = storage->EntryAt(index);
    if (entry == nullptr) Fail(kQssNotAContainer, path_);
    return PyEntry(entry);
  }

  PyEntry entry(const py::handle& name) const {
    const std::u16string units = ToUnits(name);
    CStorageEntry* found = FirstNamed(units);
    if (found == nullptr) Fail(kQssNotFound, Join(units));
    return PyEntry(found);
  }

  bool contains(const py::handle& name) const {
    if (!PyUnicode_Check(name.ptr())) return false;
    std::u16string units;
    try {
      units = ToUnits(name);
    } catch (const py::value_error&) {
      return false;
    }
    return FirstNamed(units) != nullptr;
  }

  std::uint32_t loadError() const {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(Storage()->loadStatus()));
  }

  // Opens what path names below this storage: a stream, or a storage (a
  // nested container opens as its root storage unless asStream is set).
  // path is a str of names separated by '/' or '\\', or a sequence of names
  // (which may hold those characters themselves).
  py::object open(const py::handle& path, bool asStream) const {
    Storage();
    std::vector<std::u16string> names = names_;
    if (PyUnicode_Check(path.ptr())) {
      for (std::u16string& name : SplitEntryPath(ToUnits(path))) names.push_back(std::move(name));
    } else {
      for (const py::handle name : py::iter(path)) names.push_back(ToUnits(name));
    }
    if (names.size() == names_.size()) return py::cast(PyStorage(container_, CQssRef<CStorage>(Storage()), names));
    const std::u16string fullPath = JoinNames(names, names.size());
    const std::vector<std::u16string> parentNames(names.begin(), names.end() - 1);
    if (container_->closed) ClosedError("container");
    const CQssRef<CStorage> root(container_->root.get());
    py::gil_scoped_release release;
    const CQssRef<CStorage> parent = container_->StorageAt(root, parentNames);
    // The kind of the entry the storage's own open will pick (its indexed
    // lookup, under its lock).
    std::uint32_t kind = 0;
    {
      parent->lock().Lock();
      const CStorageEntry* entry = parent->FindEntry(names.back().c_str());
      if (entry != nullptr) kind = entry->Kind();
      parent->lock().Unlock();
      if (entry == nullptr) Fail(kQssNotFound, fullPath);
    }
    if (kind == kEntryStorage || (kind == kEntryKindMask && !asStream)) {
      CQssRef<CStorage> storage = container_->StorageAt(root, names);
      py::gil_scoped_acquire acquire;
      return py::cast(PyStorage(container_, std::move(storage), std::move(names)));
    }
    CQssRef<CStream> stream;
    Check(OpenChildStream(parent.get(), names.back(), ContainerBytes(parent.get()), &stream), fullPath);
    py::gil_scoped_acquire acquire;
    return py::cast(new PyStream(container_, std::move(stream), fullPath), py::return_value_policy::take_ownership);
  }

  PyEntry createStream(const py::handle& name, const py::object& source, bool compress) {
    const std::u16string units = ToUnits(name);
    const std::u16string path = Join(units);
    CQssRef<CStorage> storage(Writable());
    // A compressed stream is stored as one image: its content goes in with
    // one write, so a file object is read whole first.
    py::object data = source;
    const bool isFile = !PyObject_CheckBuffer(source.ptr());
    if (isFile && !py::hasattr(source, "read")) throw py::type_error("data must be bytes-like or a binary file object");
    if (isFile && compress) data = source.attr("read")();

    CQssRef<CStream> stream;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(container_->writeMutex);
      Check(storage->CreateStream(units.c_str(), compress, stream.Receive()), path);
    }
    if (!isFile || compress) {
      Py_buffer view;
      if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
      std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
      if (compress && view.len > kMaxCompressibleSize)
        throw py::value_error("compressed content is limited to " + std::to_string(kMaxCompressibleSize) +
                              " bytes");
      WriteAll(stream.get(), static_cast<const char*>(view.buf), view.len, path);
    } else {
      while (true) {
        py::object piece = source.attr("read")(kSourcePiece);
        Py_buffer view;
        if (PyObject_GetBuffer(piece.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
        std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
        if (view.len == 0) break;
        WriteAll(stream.get(), static_cast<const char*>(view.buf), view.len, path);
      }
    }
    CQssRef<CStorageEntry> entry(stream->entry());
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(container_->writeMutex);
      stream.Reset();
    }
    return PyEntry(entry.get());
  }

  PyStorage createStorage(const py::handle& name) {
    const std::u16string units = ToUnits(name);
    CQssRef<CStorage> storage(Writable());
    CQssRef<CStorage> child;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(container_->writeMutex);
      Check(storage->CreateStorage(units.c_str(), child.Receive()), Join(units));
    }
    return Created(units, std::move(child));
  }

  PyStorage createNested(const py::handle& name, std::int32_t blockSize, std::int32_t entryWidth) {
    const std::u16string units = ToUnits(name);
    CQssRef<CStorage> storage(Writable());
    CQssRef<CRootStorage> nested;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(container_->writeMutex);
      Check(storage->CreateNestedContainer(units.c_str(), entryWidth, blockSize, nested.Receive()),
            Join(units));
    }
    return Created(units, CQssRef<CStorage>(nested.get()));
  }

  void close() {
    CQssRef<CStream> storage = std::move(handle_->object);
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(container_->writeMutex);
    storage.Reset();
  }

  bool closed() const { return !handle_->object; }
  py::str path() const { return FromUnits(path_); }

 private:
  CStorage* Storage() const {
    if (!handle_->object) ClosedError("storage");
    return static_cast<CStorage*>(handle_->object.get());
  }

  CStorage* Writable() const {
    CStorage* storage = Storage();
    if (!container_->writable) Fail(kQssReadOnly, path_);
    return storage;
  }

  // The first entry of that name, as a mapping shows a directory that a
  // damaged container gave duplicates. Looked up through an index of first
  // occurrences, extended as entries are added, so that going through a
  // large directory by name does not scan it once per name.
  CStorageEntry* FirstNamed(const std::u16string& name) const {
    CStorage* storage = Storage();
    const std::int32_t count = storage->EntryCount();
    for (std::int32_t i = indexed_; i < count; ++i) {
      if (CStorageEntry* entry = storage->EntryAt(i); entry != nullptr && entry->NameIsTerminated())
        firstIndex_.try_emplace(entry->Name(), i);
    }
    indexed_ = std::max(indexed_, count);
    const auto found = firstIndex_.find(name);
    return found == firstIndex_.end() || found->second >= count ? nullptr : storage->EntryAt(found->second);
  }

  std::u16string Join(const std::u16string& below) const { return path_.empty() ? below : path_ + u"/" + below; }

  // A new child storage, remembered so that paths through it reach it.
  PyStorage Created(const std::u16string& name, CQssRef<CStorage> child) const {
    std::vector<std::u16string> names = names_;
    names.push_back(name);
    container_->Remember(names, child);
    return PyStorage(container_, std::move(child), std::move(names));
  }

  void WriteAll(CStream* stream, const char* data, std::int64_t count, const std::u16string& path) {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(container_->writeMutex);
    std::int64_t done = 0;
    while (done < count) {
      const auto piece = static_cast<std::int32_t>(std::min(count - done, kMaxTransfer));
      std::uint32_t written = 0;
      Check(stream->Write(data + done, piece, &written), path);
      // A write that stores less than it was given has failed.
      if (written != static_cast<std::uint32_t>(piece)) Fail(kQssWriteFault, path);
      done += piece;
    }
  }

  std::shared_ptr<ContainerState> container_;
  std::shared_ptr<Handle> handle_;
  std::vector<std::u16string> names_;
  std::u16string path_;
  mutable std::unordered_map<std::u16string, std::int32_t> firstIndex_;
  mutable std::int32_t indexed_ = 0;
};

class PyContainer {
 public:
  static PyContainer Open(const std::filesystem::path& path, bool writable) {
    auto state = std::make_shared<ContainerState>();
    state->path = path.string();
    state->writable = writable;
    QssResult result;
    {
      py::gil_scoped_release release;
      result = OpenContainerFile(path, writable ? OpenMode::kReadWrite : OpenMode::kReadOnly, &state->root);
    }
    CheckFile(result, state->path, true);
    return PyContainer(std::move(state));
  }

  static PyContainer Create(const std::filesystem::path& path, std::int32_t blockSize, std::int32_t entryWidth,
                            std::optional<std::int64_t> segmentSize) {
    if (segmentSize && *segmentSize <= 0) throw py::value_error("segment_size must be positive");
    auto state = std::make_shared<ContainerState>();
    state->path = path.string();
    state->writable = true;
    state->writer = std::make_unique<CContainerFileWriter>(path, segmentSize.value_or(kDefaultSegmentSize));
    QssResult result;
    {
      py::gil_scoped_release release;
      result = state->writer->Start(entryWidth, blockSize);
    }
    CheckFile(result, state->path, false);
    state->root = CQssRef<CRootStorage>(state->writer->root());
    return PyContainer(std::move(state));
  }

  PyStorage root() const {
    if (state_->closed) ClosedError("container");
    return PyStorage(state_, CQssRef<CStorage>(state_->root.get()), {});
  }

  // Saves what was written. A created container is sealed and moved over its
  // destination, which closes it; one opened for writing is committed in
  // place and stays open.
  void commit() {
    if (state_->closed) ClosedError("container");
    if (!state_->writable) CheckFile(kQssReadOnly, state_->path, false);
    if (!state_->writer) {
      CheckFile(state_->CommitInPlace(), state_->path, false);
      return;
    }
    std::vector<CQssRef<CStream>> handles = state_->TakeHandles();
    state_->closed = true;
    // The writer holds the root: ours must go before the seal.
    CQssRef<CRootStorage> root = std::move(state_->root);
    std::unique_ptr<CContainerFileWriter> writer = std::move(state_->writer);
    QssResult result;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(state_->writeMutex);
      handles.clear();
      root.Reset();
      result = writer->Seal();
      if (QssSucceeded(result)) result = writer->Replace();
      writer.reset();
    }
    CheckFile(result, state_->path, false);
  }

  // Closes every storage and stream handed out. A created container that was
  // not committed is discarded: its destination stays as it was.
  void close() {
    if (state_->closed) return;
    state_->closed = true;
    std::vector<CQssRef<CStream>> handles = state_->TakeHandles();
    CQssRef<CRootStorage> root = std::move(state_->root);
    std::unique_ptr<CContainerFileWriter> writer = std::move(state_->writer);
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(state_->writeMutex);
    handles.clear();
    root.Reset();
    writer.reset();
  }

  bool closed() const { return state_->closed; }
  bool writable() const { return state_->writable; }
  bool created() const { return static_cast<bool>(state_->writer); }
  py::str path() const { return FromFileName(state_->path); }

 private:
  explicit PyContainer(std::shared_ptr<ContainerState> state) : state_(std::move(state)) {}
  std::shared_ptr<ContainerState> state_;
};

}  // namespace

PYBIND11_MODULE(_quorell, m) {
  m.doc() = "The structured-storage library's public API; use the package quorell.";
  m.attr("__version__") = QSS_VERSION_STRING;
  m.attr("MAX_PATH_DEPTH") = kMaxEntryPathDepth;
  m.attr("DEFAULT_SEGMENT_SIZE") = kDefaultSegmentSize;
  m.attr("NOT_FOUND") = static_cast<std::uint32_t>(static_cast<std::int32_t>(kQssNotFound));
  m.attr("NOT_A_CONTAINER") = static_cast<std::uint32_t>(static_cast<std::int32_t>(kQssNotAContainer));
  m.attr("INVALID_ARGUMENT") = static_cast<std::uint32_t>(static_cast<std::int32_t>(kQssInvalidArgument));

  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const QssFailure& failure) {
      RaiseFailure(failure);
    }
  });

  m.def(
      "_set_error_classes",
      [](py::object error, py::object notAContainer, py::object truncated, py::object notFound, py::object corrupt) {
        if (errorClasses == nullptr) errorClasses = new ErrorClasses;
        *errorClasses = {std::move(error), std::move(notAContainer), std::move(truncated), std::move(notFound),
                         std::move(corrupt)};
      });
  m.def(
      "_error_for",
      [](std::uint32_t code, const py::str& path) {
        return MakeError({static_cast<std::int32_t>(code), ToUnits(path), {}, false});
      },
      py::arg("code"), py::arg("path"));
  m.def("result_text", [](std::uint32_t code) { return QssResultText(static_cast<std::int32_t>(code)); },
        py::arg("code"), "The library's words for a result code.");

  py::class_<PyEntry>(m, "Entry", "One directory entry: what a storage records about a child.")
      .def_property_readonly("name", &PyEntry::name, "The entry's name.")
      .def_property_readonly("kind", &PyEntry::kind,
                             "'storage', 'stream', 'nested' (a stream holding a container) or 'unknown'.")
      .def_property_readonly("kind_code", &PyEntry::kindCode, "The kind bits of the flags (0 to 3).")
      .def_property_readonly("flags", &PyEntry::flags, "The stored flags.")
      .def_property_readonly("size", &PyEntry::size, "Length of the content in bytes, head included.")
      .def_property_readonly("stored_length", &PyEntry::storedLength,
                             "Bytes of a compressed stream's stored image.")
      .def_property_readonly("head_offset", &PyEntry::headOffset, "First readable position of the content.")
      .def_property_readonly("first_block", &PyEntry::firstBlock, "First block of the chain, -1 for none.")
      .def_property_readonly("compressed", &PyEntry::compressed, "Whether the stream is marked compressed.")
      .def_property_readonly("stored_mode", &PyEntry::storedMode,
                             "'lz4' or 'plain' for a stream, None for a storage.")
      .def("__repr__", &PyEntry::repr);

  py::class_<PyStream>(m, "_RawStream")
      .def("readinto", &PyStream::readinto, py::arg("buffer"))
      .def("read", &PyStream::read, py::arg("size") = -1)
      .def("seek", &PyStream::seek, py::arg("offset"), py::arg("whence") = 0)
      .def("tell", &PyStream::tell)
      .def("close", &PyStream::close)
      .def_property_readonly("closed", &PyStream::closed)
      .def_property_readonly("length", &PyStream::length)
      .def_property_readonly("entry", &PyStream::entry)
      .def_property_readonly("path", &PyStream::path);

  py::class_<PyStorage>(m, "_Storage")
      .def("__len__", &PyStorage::size)
      .def("entry_at", &PyStorage::entryAt, py::arg("index"))
      .def("entry", &PyStorage::entry, py::arg("name"))
      .def("contains", &PyStorage::contains, py::arg("name"))
      .def_property_readonly("load_error", &PyStorage::loadError)
      .def("open", &PyStorage::open, py::arg("path"), py::arg("as_stream") = false)
      .def("create_stream", &PyStorage::createStream, py::arg("name"), py::arg("data"), py::arg("compress") = false)
      .def("create_storage", &PyStorage::createStorage, py::arg("name"))
      .def("create_nested", &PyStorage::createNested, py::arg("name"), py::arg("block_size"),
           py::arg("entry_width"))
      .def("close", &PyStorage::close)
      .def_property_readonly("closed", &PyStorage::closed)
      .def_property_readonly("path", &PyStorage::path);

  py::class_<PyContainer>(m, "_Container")
      .def_static("open", &PyContainer::Open, py::arg("path"), py::arg("writable") = false)
      .def_static("create", &PyContainer::Create, py::arg("path"), py::arg("block_size"), py::arg("entry_width"),
                  py::arg("segment_size") = py::none())
      .def("root", &PyContainer::root)
      .def("commit", &PyContainer::commit)
      .def("close", &PyContainer::close)
      .def_property_readonly("closed", &PyContainer::closed)
      .def_property_readonly("writable", &PyContainer::writable)
      .def_property_readonly("created", &PyContainer::created)
      .def_property_readonly("path", &PyContainer::path);
}
