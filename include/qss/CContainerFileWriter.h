#ifndef QSS_CCONTAINERFILEWRITER_H_
#define QSS_CCONTAINERFILEWRITER_H_

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "qss/Export.h"
#include "qss/CQssRef.h"
#include "qss/ResultCodes.h"
#include "qss/Segments.h"

namespace qss {

class CMultiFileArray;
class CPhysicalByteArray;
class CRootStorage;

/// CContainerFileWriter: the safe way to write a container file, or a set of
/// segment files, in place of whatever stands at that name now.
///
/// The new container is built in temporary files beside the destination,
/// ".BASE.qss-tmp-PID" and its segments ".BASE.qss-tmp-PID.F0002", ...
/// (BASE being the destination's file name), each created as a new file,
/// never through an existing name. The destination is not touched until the
/// new container is complete and on the disk:
///
///   CContainerFileWriter writer(destination, segmentSize);
///   writer.Start(entryWidth, blockSize);  // stray temporaries of dead writers
///                                         // removed, the empty container made
///   ... fill writer.root(), releasing every child ...
///   writer.Seal();     // root committed and released, every file synced, closed
///   ... read the temporaries back if wanted (temporaryPath()) ...
///   writer.Replace();  // moved over the destination, folder synced
///
/// Any failure before Replace moves its first file (and a writer destroyed
/// before Replace) deletes every temporary and leaves the destination byte
/// for byte as it was.
///
/// Crashes. A single-file container replaces a single-file destination with
/// one move: a crash at any moment leaves the old container or the new one,
/// and at worst stray temporaries, which the next Start for the same
/// destination deletes (their process id is no longer alive). Segment files
/// cannot all be moved in one step. Replace first moves the new segments 2..N
/// over the old ones, then deletes old segments beyond N (the highest first),
/// and moves the base file last, so that the moment the base file lands the
/// destination is exactly the new container. Between the first of these steps
/// and the last (a few renames) the destination is a mixture of old and new
/// files: a crash or a failing move there leaves it damaged, and a reader
/// opening it then can meet the mixture. destinationDamaged() tells when a
/// failed Replace left it so.
///
/// Windows cannot replace a file that another program holds open: Replace
/// then fails at its first move and changes nothing.
///
/// Threads: a writer is used by one thread. temporaryFiles() may be read at
/// any moment from a signal handler or another thread (see there).
class QSS_EXPORT CContainerFileWriter {
 public:
  /// One temporary file of the writer. Records are linked newest first, each
  /// complete before it is linked and linked just before its file is created,
  /// and they stay valid as long as the writer: a signal handler may walk the
  /// list at any moment and unlink every path (path.c_str() allocates
  /// nothing). A name whose file does not exist (yet, or any more) fails to
  /// unlink harmlessly.
  struct TemporaryFile {
    /// The file's name.
    std::filesystem::path path;
    /// The record linked before this one, or null.
    const TemporaryFile* next = nullptr;
  };

  /// destination is the container's base file; segmentSize as for
  /// CMultiFileArray.
  explicit CContainerFileWriter(std::filesystem::path destination, std::int64_t segmentSize = kDefaultSegmentSize);
  /// Discards the temporaries unless Replace succeeded.
  ~CContainerFileWriter();
  CContainerFileWriter(const CContainerFileWriter&) = delete;
  CContainerFileWriter& operator=(const CContainerFileWriter&) = delete;

  /// Deletes stray temporaries that dead processes left for this destination,
  /// creates the temporary base file and writes an empty container of
  /// entryWidth and blockSize into it (see CreateContainer). kQssAlreadyOpen
  /// when another writer of this process is building the same destination.
  QssResult Start(std::int32_t entryWidth, std::int32_t blockSize);

  /// The new container's root storage, writable, between Start and Seal. No
  /// reference added. Small writes through it, and the growth of the files,
  /// are held back and reach the files together (before anything reads
  /// them): a failure among them is reported by a later call, at the latest
  /// by Seal, never lost.
  CRootStorage* root() const { return root_.get(); }

  /// Commits the root storage and releases it (every child must have been
  /// released: kQssAlreadyOpen otherwise), syncs every temporary file to the
  /// disk and closes it. On failure the temporaries are deleted.
  QssResult Seal();

  /// Moves the sealed temporaries over the destination (see above), deletes
  /// old segment files beyond the new count and makes the folder's entries
  /// durable. kQssInvalidArgument, before anything moves, when a folder
  /// stands at one of the destination's names. After a failure,
  /// destinationDamaged() tells whether anything of the destination had
  /// changed; the temporaries are deleted either way.
  QssResult Replace();

  /// Deletes every temporary (closing the files first). Nothing happens after
  /// a successful Replace.
  void Discard();

  /// The container's base file, as given.
  const std::filesystem::path& destination() const { return destination_; }
  /// The temporary base file; its segments are named from it.
  const std::filesystem::path& temporaryPath() const { return temporaryPath_; }
  /// Segment files of the new container, known from Seal on.
  std::int32_t segmentCount() const { return segmentCount_; }
  /// Replace moved the new container into place (its folder sync may still
  /// have failed).
  bool replaced() const { return state_ == State::kReplaced; }
  /// A failed Replace left the destination a mixture of old and new
  /// segment files (see the class comment).
  bool destinationDamaged() const { return damaged_; }
  /// The newest temporary file record, or null (see TemporaryFile).
  const std::atomic<const TemporaryFile*>& temporaryFiles() const { return temporaryFiles_->newest; }

  /// The temporary base file a writer of process processId uses for
  /// destination.
  static std::filesystem::path TemporaryPathFor(const std::filesystem::path& destination, std::uint32_t processId);

 private:
  /// Shared with the array, which records each file it creates.
  struct TemporaryFileList {
    std::atomic<const TemporaryFile*> newest{nullptr};
    std::vector<std::unique_ptr<TemporaryFile>> records;
    void Add(const std::filesystem::path& path);
    void DropNewest();
  };
  class TemporaryArray;

  enum class State { kIdle, kBuilding, kSealed, kReplaced, kDiscarded };

  void RemoveStrayTemporaries() const;
  void DeleteTemporaries();
  void ReleaseRegistration();
  std::filesystem::path Folder() const;
  /// Name of segment n of the destination or of the temporaries.
  std::filesystem::path DestinationSegment(std::int32_t n) const;
  std::filesystem::path TemporarySegment(std::int32_t n) const;

  std::filesystem::path destination_;
  std::filesystem::path temporaryPath_;
  std::int64_t segmentSize_;
  std::shared_ptr<TemporaryFileList> temporaryFiles_;
  CQssRef<CMultiFileArray> array_;
  /// What the root writes through: array_ with its small writes gathered.
  CQssRef<CPhysicalByteArray> writeArray_;
  CQssRef<CRootStorage> root_;
  std::int32_t segmentCount_ = 0;
  State state_ = State::kIdle;
  bool registered_ = false;
  bool damaged_ = false;
};

}  // namespace qss

#endif  // QSS_CCONTAINERFILEWRITER_H_
