// Little-endian loads and stores of the container format's integers.

#ifndef STRUCTUREDSTORAGE_FORMAT_LITTLEENDIAN_H_
#define STRUCTUREDSTORAGE_FORMAT_LITTLEENDIAN_H_

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace qss {

template <typename T>
inline T LoadLittleEndian(const std::uint8_t* bytes) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  // On a little-endian host the bytes are the value: one load, where the
  // compiler does not always merge the loop below into one (a walk along a
  // chain loads an entry per step).
  if constexpr (std::endian::native == std::endian::little) {
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
  } else {
    U value = 0;
    for (unsigned i = 0; i < sizeof(T); ++i) value = static_cast<U>(value | (static_cast<U>(bytes[i]) << (8 * i)));
    return static_cast<T>(value);
  }
}

template <typename T>
inline void StoreLittleEndian(std::uint8_t* bytes, T value) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(bytes, &value, sizeof(T));
  } else {
    const U bits = static_cast<U>(value);
    for (unsigned i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
}

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_FORMAT_LITTLEENDIAN_H_
