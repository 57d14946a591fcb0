// Result codes of the structured-storage library.
//
// Every operation of the library reports its outcome as a signed 32-bit
// result code: 0 is success, a negative value a failure. Callers test only
// the sign, so a refusal is always negative. 1 is a success with
// reservations, which no operation returns today; it stays defined because
// stored results and callers may carry it.
//
// QssResult is [[nodiscard]]: a result dropped on the floor is a compile
// error (-Werror=unused-result), so a failure cannot pass for success by
// being ignored. It converts to and from the 32-bit value freely; where a
// result is deliberately not acted on, the code says why.

#ifndef QSS_RESULTCODES_H_
#define QSS_RESULTCODES_H_

#include <cstdint>

/// The structured-storage library: containers of numbered blocks in one
/// flat byte array, with directories (storages), streams, compressed streams
/// and containers nested in streams. Every call reports a QssResult.
namespace qss {

/// The outcome of a call: 0 success, negative a failure (see the codes
/// below); [[nodiscard]], so that no failure passes unnoticed.
class [[nodiscard]] QssResult {
 public:
  /// Success.
  constexpr QssResult() = default;
  /// The code value; implicit, so that codes compare and convert freely.
  constexpr QssResult(std::int32_t value) : value_(value) {}  // NOLINT: implicit by design
  /// The code value.
  constexpr operator std::int32_t() const { return value_; }  // NOLINT: implicit by design

 private:
  std::int32_t value_ = 0;
};

/// Success.
inline constexpr QssResult kQssOk = 0;

/// A success with reservations. No operation of the library returns it (a
/// refusal is a failure and negative); kept for callers that know the value.
inline constexpr QssResult kQssPartial = 1;

/// A transfer buffer is not accessible.
inline constexpr QssResult kQssInvalidPointer = static_cast<QssResult>(0x80004003u);
/// A working buffer cannot be allocated (the system's out-of-memory error).
inline constexpr QssResult kQssOutOfMemory = static_cast<QssResult>(0x8007000Eu);
/// A write reported success but transferred fewer bytes than asked (the
/// system's write-fault error).
inline constexpr QssResult kQssWriteFault = static_cast<QssResult>(0x8007001Du);
/// A segment file to be measured does not exist.
inline constexpr QssResult kQssUnspecifiedFailure = static_cast<QssResult>(0x80004005u);
/// A file read starts at or beyond the end of the file; a negative offset,
/// size or count.
inline constexpr QssResult kQssInvalidArgument = static_cast<QssResult>(0x80070057u);
/// An empty storage name, a name that does not fit a record, or a resize of a
/// stream that has no directory entry.
inline constexpr QssResult kQssInvalidRequest = static_cast<QssResult>(0x81016000u);
/// No entry of that name and kind, or not even the first segment file exists.
inline constexpr QssResult kQssNotFound = static_cast<QssResult>(0x81016002u);
/// The entry is already open.
inline constexpr QssResult kQssAlreadyOpen = static_cast<QssResult>(0x81016003u);
/// The byte array does not hold a valid container (also: corruption met
/// while following the allocation table).
inline constexpr QssResult kQssNotAContainer = static_cast<QssResult>(0x81016005u);
/// The read position lies before the stream's first readable byte.
inline constexpr QssResult kQssBeforeHead = static_cast<QssResult>(0x81016006u);
/// The container is truncated: its allocation table runs past the end of the
/// byte array.
inline constexpr QssResult kQssTruncated = static_cast<QssResult>(0x81016007u);
/// A storage still holds entries and removing it was not asked to take them
/// along.
inline constexpr QssResult kQssNotEmpty = static_cast<QssResult>(0x81016008u);
/// A change in place would need more blocks than the allocation table
/// describes; growing the table cannot be done without a moment in which the
/// container does not open, so the change was not made (rewrite the container
/// instead).
inline constexpr QssResult kQssNoRoomInPlace = static_cast<QssResult>(0x81016009u);
/// The in-memory allocation table cannot grow.
inline constexpr QssResult kQssTableCannotGrow = static_cast<QssResult>(0x81031105u);
/// The name pointer is null.
inline constexpr QssResult kQssNullName = static_cast<QssResult>(0x82001001u);
/// The result pointer is null.
inline constexpr QssResult kQssNullResult = static_cast<QssResult>(0x82001003u);
/// The stream is read-only.
inline constexpr QssResult kQssReadOnly = static_cast<QssResult>(0x82001100u);

/// Whether result is a success (0 or positive).
inline constexpr bool QssSucceeded(QssResult result) { return result >= 0; }
/// Whether result is a failure (negative).
inline constexpr bool QssFailed(QssResult result) { return result < 0; }

/// Maps an operating-system error number to a result code: 0 or less stays as
/// it is, any other value e becomes 0x80070000 | (e & 0xFFFF).
inline constexpr QssResult QssResultFromSystemError(std::int64_t error) {
  if (error <= 0) return static_cast<QssResult>(error);
  return static_cast<QssResult>(0x80070000u | (static_cast<std::uint32_t>(error) & 0xFFFFu));
}

}  // namespace qss

#endif  // QSS_RESULTCODES_H_
