// The version data that a Linux build of the program carries in the ELF section
// ".pelwin_version" of its own file: the facts of the Windows version resource
// in a flat block that needs no parser beyond bounds checks.
//
//   offset  size
//        0     4  magic "PWV1"
//        4     4  total size of the block in bytes, this header included
//        8     4  translation: language in the low half, code page in the high half
//       12     4  number of strings
//       16    52  VS_FIXEDFILEINFO
//       68        strings, each: key length (2), value length (2), key, NUL, value, NUL,
//                 zero bytes up to a multiple of 4
//
// Numbers are little-endian, the byte order of every Linux target we build for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace PosixVersionBlock {

inline constexpr char kSectionName[] = ".pelwin_version";
inline constexpr unsigned char kMagic[4] = {'P', 'W', 'V', '1'};
inline constexpr std::size_t kTotalSizeOffset = 4;
inline constexpr std::size_t kTranslationOffset = 8;
inline constexpr std::size_t kCountOffset = 12;
inline constexpr std::size_t kFixedOffset = 16;
inline constexpr std::size_t kFixedSize = 52;
inline constexpr std::size_t kHeaderSize = kFixedOffset + kFixedSize;
inline constexpr std::size_t kStringHeaderSize = 4;
// Far above what the program stores; a larger block is not version data.
inline constexpr std::size_t kMaxSize = std::size_t{64} * 1024;

inline constexpr std::uint32_t kFixedSignature = 0xFEEF04BDu;
inline constexpr std::uint32_t kFixedStrucVersion = 0x00010000u;

constexpr std::size_t Align4(std::size_t n) {
  return (n + 3) & ~static_cast<std::size_t>(3);
}

constexpr std::size_t StringSize(std::size_t keyLength, std::size_t valueLength) {
  return Align4(kStringHeaderSize + keyLength + 1 + valueLength + 1);
}

}  // namespace PosixVersionBlock
