// The program's version data, laid out at compile time into the section that
// GetFileVersionInfoA reads back from the executable's own file. Linked into the
// pelwin executable only: a build without it shows "unknown" as its version.
#include <array>
#include <cstdint>
#include <string_view>

#include "posix_version_block.h"
#include "resources/version.h"

namespace {

namespace B = PosixVersionBlock;

struct TString {
  std::string_view Key;
  std::string_view Value;
};

constexpr TString kStrings[] = {
    {"CompanyName", PELWIN_COMPANY_NAME},       {"FileDescription", PELWIN_FILE_DESCRIPTION},
    {"FileVersion", PELWIN_VERSION_TEXT},       {"InternalName", PELWIN_INTERNAL_NAME},
    {"LegalCopyright", PELWIN_LEGAL_COPYRIGHT}, {"OriginalFilename", PELWIN_ORIGINAL_FILENAME},
    {"ProductName", PELWIN_PRODUCT_NAME},       {"ProductVersion", PELWIN_VERSION_TEXT},
    {"CodeStyle", PELWIN_CODE_STYLE},
};

constexpr unsigned kVersion[] = {PELWIN_VERSION_BINARY};
constexpr std::uint32_t kVersionMS = (kVersion[0] << 16) | kVersion[1];
constexpr std::uint32_t kVersionLS = (kVersion[2] << 16) | kVersion[3];

constexpr std::size_t BlockSize() {
  std::size_t size = B::kHeaderSize;
  for (const TString& s : kStrings)
    size += B::StringSize(s.Key.size(), s.Value.size());
  return size;
}

using TBlock = std::array<unsigned char, BlockSize()>;

constexpr void Put16(TBlock& block, std::size_t at, std::uint32_t value) {
  block[at] = static_cast<unsigned char>(value);
  block[at + 1] = static_cast<unsigned char>(value >> 8);
}

constexpr void Put32(TBlock& block, std::size_t at, std::uint32_t value) {
  Put16(block, at, value & 0xffff);
  Put16(block, at + 2, value >> 16);
}

constexpr TBlock Build() {
  static_assert(BlockSize() <= B::kMaxSize);
  TBlock block{};
  for (std::size_t i = 0; i < 4; ++i)
    block[i] = B::kMagic[i];
  Put32(block, B::kTotalSizeOffset, static_cast<std::uint32_t>(BlockSize()));
  Put32(block, B::kTranslationOffset,
        (static_cast<std::uint32_t>(PELWIN_VERSION_CODEPAGE) << 16) | PELWIN_VERSION_LANGUAGE);
  Put32(block, B::kCountOffset, static_cast<std::uint32_t>(std::size(kStrings)));
  // VS_FIXEDFILEINFO as the resource compiler writes it for this program.
  const std::uint32_t fixed[13] = {B::kFixedSignature,
                                   B::kFixedStrucVersion,
                                   kVersionMS,
                                   kVersionLS,
                                   kVersionMS,
                                   kVersionLS,
                                   0x3F,     // file flags mask
                                   0,        // file flags
                                   0x40004,  // VOS_NT_WINDOWS32
                                   1,        // VFT_APP
                                   0,
                                   0,
                                   0};
  for (std::size_t i = 0; i < 13; ++i)
    Put32(block, B::kFixedOffset + 4 * i, fixed[i]);
  std::size_t at = B::kHeaderSize;
  for (const TString& s : kStrings) {
    Put16(block, at, static_cast<std::uint32_t>(s.Key.size()));
    Put16(block, at + 2, static_cast<std::uint32_t>(s.Value.size()));
    std::size_t p = at + B::kStringHeaderSize;
    for (char c : s.Key)
      block[p++] = static_cast<unsigned char>(c);
    block[p++] = 0;
    for (char c : s.Value)
      block[p++] = static_cast<unsigned char>(c);
    at += B::StringSize(s.Key.size(), s.Value.size());
  }
  return block;
}

}  // namespace

// `used`: nothing in the program refers to the block; it is read from the file.
alignas(4)
    __attribute__((used,
                   section(".pelwin_version"))) constexpr TBlock kPelwinVersionBlock = Build();
