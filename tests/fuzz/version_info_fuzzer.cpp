// Version data read from a file that may be anything. Byte 0 picks how the rest
// becomes the file (byte 0 % 3):
//   0  the file itself, for the ELF reader;
//   1  the contents of the version section of a small well-formed ELF file,
//      for the block reader;
//   2  as 1, with magic, total size and fixed-info signature made right, so
//      that mutations reach the string table.
// Then the calls of the About box, and the About box's own reader.
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/brisa_config.h"
#include "fuzz_support.h"
#include "posix_faults.h"
#include "posix_version_block.h"

namespace {

namespace B = PosixVersionBlock;

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

template <typename T>
void Append(std::vector<std::uint8_t>& bytes, const T& value) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
  bytes.insert(bytes.end(), p, p + sizeof value);
}

// An ELF64 file with three sections: null, the name table, the version data.
std::vector<std::uint8_t> WrapInElf(std::span<const std::uint8_t> block) {
  static constexpr char names[] = "\0.shstrtab\0.pelwin_version";
  constexpr std::size_t namesAt = sizeof(Elf64_Ehdr);
  constexpr std::size_t blockAt = (namesAt + sizeof names + 3) & ~std::size_t{3};
  const std::size_t tableAt = (blockAt + block.size() + 7) & ~std::size_t{7};

  Elf64_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS64;
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = ET_EXEC;
  header.e_machine = EM_X86_64;
  header.e_version = EV_CURRENT;
  header.e_shoff = tableAt;
  header.e_ehsize = sizeof(Elf64_Ehdr);
  header.e_shentsize = sizeof(Elf64_Shdr);
  header.e_shnum = 3;
  header.e_shstrndx = 1;

  std::vector<std::uint8_t> file;
  Append(file, header);
  file.insert(file.end(), names, names + sizeof names);
  file.resize(blockAt, 0);
  file.insert(file.end(), block.begin(), block.end());
  file.resize(tableAt, 0);

  Elf64_Shdr none{};
  Elf64_Shdr nameTable{};
  nameTable.sh_name = 1;
  nameTable.sh_type = SHT_STRTAB;
  nameTable.sh_offset = namesAt;
  nameTable.sh_size = sizeof names;
  Elf64_Shdr version{};
  version.sh_name = 11;
  version.sh_type = SHT_PROGBITS;
  version.sh_flags = SHF_ALLOC;
  version.sh_offset = blockAt;
  version.sh_size = block.size();
  version.sh_addralign = 4;
  Append(file, none);
  Append(file, nameTable);
  Append(file, version);
  return file;
}

void StoreFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0 &&
                 write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                 close(fd) == 0,
             "cannot write %s", path.c_str());
}

// A pointer VerQueryValueA hands out must lie, with its length, inside the block.
void CheckInside(const std::uint8_t* block, DWORD size, const void* value, UINT length,
                 const char* subBlock) {
  const auto* p = static_cast<const std::uint8_t*>(value);
  FUZZ_CHECK(
      p >= block && p <= block + size && length <= static_cast<std::size_t>(block + size - p),
      "%s: %u bytes at offset %td of a %u-byte block", subBlock, length, p - block, size);
}

void QueryAll(const std::uint8_t* block, DWORD size) {
  void* value = nullptr;
  UINT length = 0;
  if (VerQueryValueA(block, "\\", &value, &length)) {
    CheckInside(block, size, value, length, "root");
    FUZZ_CHECK(length == sizeof(VS_FIXEDFILEINFO), "fixed info of %u bytes", length);
  }
  std::string table = "00000000";
  if (VerQueryValueA(block, "\\VarFileInfo\\Translation", &value, &length)) {
    CheckInside(block, size, value, length, "translation");
    FUZZ_CHECK(length >= 4, "translation of %u bytes", length);
    std::uint32_t translation;
    std::memcpy(&translation, value, sizeof translation);
    char text[16];
    std::snprintf(text, sizeof text, "%04x%04x", translation & 0xFFFF, translation >> 16);
    table = text;
  }
  static const char* const keys[] = {"FileVersion",
                                     "ProductVersion",
                                     "CompanyName",
                                     "ProductName",
                                     "LegalCopyright",
                                     "NoSuchKey",
                                     "",
                                     "FileVersion\\x"};
  for (const char* key : keys) {
    const std::string subBlock = "\\StringFileInfo\\" + table + "\\" + key;
    value = nullptr;
    length = 0;
    if (VerQueryValueA(block, subBlock.c_str(), &value, &length)) {
      CheckInside(block, size, value, length, subBlock.c_str());
      FUZZ_CHECK(length >= 1 && static_cast<const char*>(value)[length - 1] == '\0',
                 "%s: value not terminated within its %u bytes", subBlock.c_str(), length);
    }
  }
  static const char* const malformed[] = {"",
                                          "\\\\",
                                          "\\StringFileInfo",
                                          "\\StringFileInfo\\",
                                          "VarFileInfo\\Translation",
                                          "\\VarFileInfo\\Translation\\",
                                          "\\a\\b\\c\\d"};
  for (const char* subBlock : malformed) {
    if (VerQueryValueA(block, subBlock, &value, &length)) {
      CheckInside(block, size, value, length, subBlock);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::TScratchDir scratch("version");
  static const std::string path = scratch.Path + "/pelwin";

  fuzz::TReader in(data, size);
  const int mode = in.Byte() % 3;
  const std::span<const std::uint8_t> rest = in.Rest();
  std::vector<std::uint8_t> file;
  if (mode == 0) {
    file.assign(rest.begin(), rest.end());
  } else {
    std::vector<std::uint8_t> block(rest.begin(), rest.end());
    if (mode == 2) {
      if (block.size() < B::kHeaderSize) {
        block.resize(B::kHeaderSize, 0);
      }
      std::memcpy(block.data(), B::kMagic, sizeof B::kMagic);
      Put32(block, B::kTotalSizeOffset, static_cast<std::uint32_t>(block.size()));
      Put32(block, B::kFixedOffset, B::kFixedSignature);
    }
    file = WrapInElf(block);
  }
  StoreFile(path, file);

  DWORD handle = 12345;
  const DWORD infoSize = GetFileVersionInfoSizeA(path.c_str(), &handle);
  FUZZ_CHECK(handle == 0, "handle %u", handle);
  if (infoSize == 0) {
    std::uint8_t buffer[256];
    FUZZ_CHECK(!GetFileVersionInfoA(path.c_str(), 0, sizeof buffer, buffer),
               "version data without a size");
  } else {
    FUZZ_CHECK(infoSize >= B::kHeaderSize && infoSize <= B::kMaxSize && infoSize <= file.size(),
               "size %u for a file of %zu bytes", infoSize, file.size());
    // Exactly the size asked for: a read or write past it is a sanitizer report.
    auto block = std::make_unique<std::uint8_t[]>(infoSize);
    FUZZ_CHECK(GetFileVersionInfoA(path.c_str(), 0, infoSize, block.get()),
               "no version data after a size of %u", infoSize);
    auto cut = std::make_unique<std::uint8_t[]>(infoSize - 1);
    FUZZ_CHECK(!GetFileVersionInfoA(path.c_str(), 0, infoSize - 1, cut.get()),
               "version data copied into a buffer too small for it");
    QueryAll(block.get(), infoSize);
  }

  PosixFaults().ModulePath = path;
  constexpr std::int32_t capacity = 31;
  char version[capacity + 1 + 8];
  std::memset(version, 'V', sizeof version);
  ReadVersionString(capacity, version);
  FUZZ_CHECK(std::memchr(version, '\0', capacity + 1) != nullptr, "version text not terminated");
  FUZZ_CHECK(infoSize != 0 || std::strcmp(version, "unknown") == 0,
             "version '%s' without version data", version);
  for (std::size_t i = capacity + 1; i < sizeof version; ++i) {
    FUZZ_CHECK(version[i] == 'V', "version text written past its capacity");
  }
  return 0;
}
