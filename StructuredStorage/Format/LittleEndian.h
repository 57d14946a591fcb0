// Little-endian loads and stores of the container format's integers.

#ifndef STRUCTUREDSTORAGE_FORMAT_LITTLEENDIAN_H_
#define STRUCTUREDSTORAGE_FORMAT_LITTLEENDIAN_H_

#include <cstdint>
#include <type_traits>

namespace qss {

template <typename T>
inline T LoadLittleEndian(const std::uint8_t* bytes) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  U value = 0;
  for (unsigned i = 0; i < sizeof(T); ++i) value = static_cast<U>(value | (static_cast<U>(bytes[i]) << (8 * i)));
  return static_cast<T>(value);
}

template <typename T>
inline void StoreLittleEndian(std::uint8_t* bytes, T value) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  const U bits = static_cast<U>(value);
  for (unsigned i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_FORMAT_LITTLEENDIAN_H_
