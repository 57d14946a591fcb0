// MountFileSystem: a container seen as a read-only tree of folders and files,
// for qss mount.
//
// The whole tree is walked once when the file system is built (StorageWalker,
// with its depth, entry and chain limits), so every entry that cannot be
// shown is known and reported then, and the nodes never change afterwards:
// lookups need no lock. Storages and nested containers become folders and
// stay open for the life of the file system; streams become files and are
// opened only while a reader has them open.
//
// Nothing here knows FUSE: failures are errno values (EIO for damage), and
// the FUSE binding in CommandMount.cpp only translates requests.

#ifndef TOOLS_QSS_MOUNTFILESYSTEM_H_
#define TOOLS_QSS_MOUNTFILESYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ContainerAccess.h"

namespace qss_tool {

class MountFileSystem {
 public:
  using NodeId = std::uint64_t;
  // The root folder; 0 is never a node.
  static constexpr NodeId kRoot = 1;

  struct Node {
    std::string name;  // the file name, UTF-8; empty for the root
    NodeId parent = kRoot;
    bool folder = false;
    // errno for opening the node: a folder whose storage did not open (or
    // must not be opened again), a file whose entry fields cannot be read.
    int error = 0;

    // Folders: children in directory order, and the same sorted by name.
    std::vector<NodeId> children;
    std::vector<NodeId> byName;
    std::uint32_t subfolders = 0;
    // errno that a listing meets after the children: the directory could not
    // be read to its end.
    int listError = 0;

    // Files: the entry, found again by name in its storage when opened.
    qss::CStorage* storage = nullptr;
    const qss::CStorageEntry* entry = nullptr;
    std::u16string entryName;
    // Later entries of the same name in that storage (left out), which a
    // lookup by name may reach instead of this one.
    std::int32_t laterNamesakes = 0;
    std::int64_t size = 0;  // readable bytes: from the head offset to the size
    std::int64_t head = 0;
  };

  // A file opened by at least one reader. The library opens an entry once
  // at a time, so every reader of a node shares one stream.
  struct OpenFile;

  // Walks the container; every entry left out or shown as damaged is added
  // to problems as "'PATH': reason". The container must stay as given (read
  // access only) for the life of this object.
  MountFileSystem(OpenedContainer container, std::vector<std::string>* problems);
  ~MountFileSystem();
  MountFileSystem(const MountFileSystem&) = delete;
  MountFileSystem& operator=(const MountFileSystem&) = delete;

  // Null for an id that names no node.
  const Node* Get(NodeId id) const;
  // 0 when parent is not a folder or has no child of that name.
  NodeId Lookup(NodeId parent, std::string_view name) const;
  std::size_t NodeCount() const { return nodes_.size(); }

  std::int64_t containerBytes() const { return container_.bytes; }
  std::int32_t blockSize() const { return blockSize_; }

  // 0 and *file, or an errno (EISDIR, EIO, ENOENT). Every successful Open
  // is matched by one Release.
  int Open(NodeId id, OpenFile** file);
  // The bytes from offset on into buffer: size of them, or as many as the
  // file has from offset to its end. 0, or EIO when the stream cannot give
  // them all (no partial answer: a short read would pass for the end).
  int Read(OpenFile* file, std::int64_t offset, std::size_t size, char* buffer, std::size_t* got);
  // The same bytes written to target (a descriptor open for writing, a pipe
  // above all), moved inside the kernel where the system can; buffer (size
  // bytes) carries what it cannot. On an error, target may have received
  // part of them.
  int ReadToFile(OpenFile* file, std::int64_t offset, std::size_t size, std::intptr_t target, char* buffer,
                 std::size_t* got);
  void Release(OpenFile* file);

 private:
  class Builder;

  // Read and ReadToFile: one stream transfer of at most the count given,
  // into the caller's buffer or its file.
  using Transfer = std::function<qss::QssResult(qss::CStream*, std::int32_t count, char* at, std::uint32_t* done)>;
  int Serve(OpenFile* file, std::int64_t offset, std::size_t size, char* buffer, const Transfer& transfer,
            std::size_t* got);

  NodeId Add(Node node);
  void Index();

  OpenedContainer container_;
  // The container's block size, or 4096 where its layout cannot be read.
  std::int32_t blockSize_ = 4096;
  std::vector<Node> nodes_;  // node id n is nodes_[n - 1]
  // Storages and nested containers held open for their files and folders.
  std::vector<qss::CQssRef<qss::CStorage>> storages_;

  std::mutex openLock_;
  std::unordered_map<NodeId, OpenFile*> open_;
};

}  // namespace qss_tool

#endif  // TOOLS_QSS_MOUNTFILESYSTEM_H_
