// Changing a committed container in place: a stream added or given new
// content, a storage added, an entry removed. Each call is one change that
// the container holds whole or not at all, also when the byte array fails
// half-way: afterwards the container opens and reads as before the call or
// as after it, and at worst some blocks belong to no chain (lost space that
// a checker reports, never damage).
//
// The order of writes that gives this:
//   1. new content goes into freshly allocated blocks (a new stream's
//      content, and a new copy of every directory from the changed one up
//      to the root, each holding its child's new record); nothing the
//      container refers to is written over;
//   2. the allocation table and the byte array are flushed;
//   3. the root record in the header is written: the moment of the change;
//   4. the byte array is flushed;
//   5. the blocks of the old directories and of removed or replaced content
//      go back to the free list, in two table flushes (see
//      CBlockAllocationTable::FreeInTwoPasses).
// A failure before 3 takes the change back in memory and frees the new
// blocks again; where that cannot reach the byte array, the blocks of step
// 1 stay allocated to nothing. A failure after 3 leaves the change made and
// the old blocks allocated to nothing (step 4 failing frees nothing: the
// header might not be on the disk yet).
//
// The allocation table never grows during an edit (a longer table must
// match a longer byte array, which two separate writes cannot keep true
// at every moment): a change that needs more blocks than the table
// describes fails with kQssNoRoomInPlace and changes nothing; rewrite the
// container then (CContainerFileWriter). Containers nested in streams are
// not edited in place (kQssInvalidRequest): their growth would change the
// outer stream's record outside the one switching write.
//
// The root must be a writable top-level container with no unsaved changes
// in the directories on the path (kQssInvalidRequest otherwise), and no
// entry being changed may be open (kQssAlreadyOpen). Directories keep the
// UTF-16 name order that pack writes: a new entry goes before the first
// entry whose name is greater. Removing a storage with everything under it
// frees every chain met once, however the chains are shared or looped in a
// damaged container; a block that is a table block or was just written is
// never freed.

#ifndef QSS_CONTAINEREDITING_H_
#define QSS_CONTAINEREDITING_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "qss/Export.h"
#include "qss/ResultCodes.h"

namespace qss {

class CRootStorage;
class CStream;

/// Writes the content of a stream being put, called once with a new, empty,
/// writable stream (compressed streams take their content in one Write). A
/// failure it returns ends the change, which is then not made. The stream
/// must not be kept beyond the call.
using StreamFiller = std::function<QssResult(CStream* stream)>;

/// Puts a stream at names (a path from root): a new entry, or new content
/// for an existing stream of that name, whose old content stays readable
/// until the change is made. Missing storages on the way are created in the
/// same change. kQssInvalidRequest when an entry on the way is no storage
/// or the last one is not a stream, or for a name that does not fit a
/// record. On failure *failedAt, when given, is the index of the name that
/// could not be used.
QSS_EXPORT QssResult PutStream(CRootStorage* root, const std::vector<std::u16string>& names, bool compressed,
                               const StreamFiller& fill, std::size_t* failedAt = nullptr);

/// Creates an empty storage at names, and missing storages on the way, in
/// one change. kQssInvalidRequest when an entry of the last name exists.
QSS_EXPORT QssResult MakeStorage(CRootStorage* root, const std::vector<std::u16string>& names,
                                 std::size_t* failedAt = nullptr);

/// Removes the entry at names. A storage that holds entries, and a nested
/// container, go only with recursive (kQssNotEmpty otherwise), taking
/// everything under them; every chain freed goes back to the free list.
/// kQssNotFound for no such entry.
QSS_EXPORT QssResult RemoveEntry(CRootStorage* root, const std::vector<std::u16string>& names, bool recursive,
                                 std::size_t* failedAt = nullptr);

}  // namespace qss

#endif  // QSS_CONTAINEREDITING_H_
