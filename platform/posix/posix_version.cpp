// The program's own path and the version data in its ELF file.
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "posix_faults.h"
#include "posix_internal.h"
#include "posix_version_block.h"

namespace {

namespace B = PosixVersionBlock;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the version block is little-endian");

// Section tables far beyond any real executable's mean a corrupt file.
constexpr std::uint64_t kMaxSections = 1u << 16;

std::uint32_t Get32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint32_t Get16(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}

bool ReadAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  auto* at = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t n = pread(fd, at, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    at += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

// [offset, offset + size) lies inside a file of fileSize bytes.
bool Inside(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

// Checks everything VerQueryValueA will walk, given the block's true size.
bool BlockValid(const unsigned char* block, std::size_t size) {
  if (size < B::kHeaderSize || size > B::kMaxSize)
    return false;
  if (std::memcmp(block, B::kMagic, sizeof B::kMagic) != 0)
    return false;
  if (Get32(block + B::kTotalSizeOffset) != size)
    return false;
  if (Get32(block + B::kFixedOffset) != B::kFixedSignature)
    return false;
  const std::uint32_t count = Get32(block + B::kCountOffset);
  std::size_t at = B::kHeaderSize;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (size - at < B::kStringHeaderSize)
      return false;
    const std::size_t keyLength = Get16(block + at), valueLength = Get16(block + at + 2);
    const std::size_t entry = B::StringSize(keyLength, valueLength);
    if (size - at < entry)
      return false;
    const auto* key = reinterpret_cast<const char*>(block + at + B::kStringHeaderSize);
    const char* value = key + keyLength + 1;
    if (std::memchr(key, 0, keyLength + 1) != key + keyLength ||
        std::memchr(value, 0, valueLength + 1) != value + valueLength)
      return false;
    at += entry;
  }
  return at == size;
}

// Reads the version block out of an ELF64 file. Every offset and size in the
// file is checked against the file's size before it is used.
bool LoadBlock(const char* path, std::vector<unsigned char>* block) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // O_NONBLOCK: opening a fifo must not hang.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(PosixErrorFromErrno(errno));
    return false;
  }
  bool found = false;
  struct stat st;
  Elf64_Ehdr header;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadAt(fd, &header, sizeof header, 0) &&
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64 &&
      header.e_ident[EI_DATA] == ELFDATA2LSB && header.e_shentsize == sizeof(Elf64_Shdr) &&
      header.e_shoff != 0) {
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t count = header.e_shnum;
    std::uint64_t namesIndex = header.e_shstrndx;
    Elf64_Shdr section;
    bool ok = Inside(header.e_shoff, sizeof section, fileSize) &&
              ReadAt(fd, &section, sizeof section, header.e_shoff);
    // Many sections: the real count and name table index live in section 0.
    if (ok && count == 0)
      count = section.sh_size;
    if (ok && namesIndex == SHN_XINDEX)
      namesIndex = section.sh_link;
    ok = ok && count <= kMaxSections && namesIndex < count &&
         Inside(header.e_shoff, count * sizeof section, fileSize);
    Elf64_Shdr names;
    ok = ok && ReadAt(fd, &names, sizeof names, header.e_shoff + namesIndex * sizeof names) &&
         names.sh_type == SHT_STRTAB && Inside(names.sh_offset, names.sh_size, fileSize);
    for (std::uint64_t i = 0; ok && !found && i < count; ++i) {
      if (!ReadAt(fd, &section, sizeof section, header.e_shoff + i * sizeof section))
        break;
      char name[sizeof B::kSectionName];
      if (section.sh_name >= names.sh_size || names.sh_size - section.sh_name < sizeof name)
        continue;
      if (!ReadAt(fd, name, sizeof name, names.sh_offset + section.sh_name) ||
          std::memcmp(name, B::kSectionName, sizeof name) != 0)
        continue;
      // The first section of that name decides; a bad one is not skipped.
      ok = false;
      if (section.sh_type != SHT_PROGBITS || section.sh_size < B::kHeaderSize ||
          section.sh_size > B::kMaxSize || !Inside(section.sh_offset, section.sh_size, fileSize))
        break;
      block->resize(section.sh_size);
      found = ReadAt(fd, block->data(), block->size(), section.sh_offset) &&
              BlockValid(block->data(), block->size());
    }
  }
  close(fd);
  if (!found)
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return found;
}

// "\\A\\B\\C" split into at most three components; -1 for any other shape.
int SplitSubBlock(const char* sub, const char* parts[3], std::size_t lengths[3]) {
  if (sub[0] != '\\')
    return -1;
  int count = 0;
  const char* at = sub + 1;
  while (*at) {
    if (count == 3)
      return -1;
    const char* end = std::strchr(at, '\\');
    const std::size_t length = end ? static_cast<std::size_t>(end - at) : std::strlen(at);
    if (length == 0)
      return -1;
    parts[count] = at;
    lengths[count++] = length;
    at += length + (end ? 1 : 0);
    if (end && !*at)
      return -1;
  }
  return count;
}

bool PartIs(const char* part, std::size_t length, const char* text) {
  if (std::strlen(text) != length)
    return false;
  for (std::size_t i = 0; i < length; ++i) {
    char a = part[i], b = text[i];
    if (a >= 'A' && a <= 'Z')
      a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z')
      b = static_cast<char>(b - 'A' + 'a');
    if (a != b)
      return false;
  }
  return true;
}

}  // namespace

DWORD GetModuleFileNameA(HMODULE, LPSTR lpFilename, DWORD nSize) {
  char self[PATH_MAX];
  const char* path = PosixFaults().ModulePath.c_str();
  if (!*path) {
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n < 0) {
      SetLastError(PosixErrorFromErrno(errno));
      return 0;
    }
    self[n] = '\0';
    path = self;
  }
  if (!lpFilename || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const std::size_t length = std::strlen(path);
  if (length >= nSize) {
    std::memcpy(lpFilename, path, nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path, length + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(length);
}

DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
  if (lpdwHandle)
    *lpdwHandle = 0;
  std::vector<unsigned char> block;
  if (!LoadBlock(lptstrFilename, &block))
    return 0;
  return static_cast<DWORD>(block.size());
}

BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD, DWORD dwLen, LPVOID lpData) {
  if (!lpData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<unsigned char> block;
  if (!LoadBlock(lptstrFilename, &block))
    return FALSE;
  // A cut block would make VerQueryValueA, which is not told the buffer's size,
  // read past the buffer's end.
  if (dwLen < block.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(lpData, block.data(), block.size());
  return TRUE;
}

BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen) {
  if (!pBlock || !lpSubBlock || !lplpBuffer || !puLen)
    return FALSE;
  const auto* block = static_cast<const unsigned char*>(pBlock);
  // The size comes from the block itself: the magic is checked first, so a
  // foreign buffer is refused after reading its first four bytes.
  if (std::memcmp(block, B::kMagic, sizeof B::kMagic) != 0)
    return FALSE;
  const std::uint32_t size = Get32(block + B::kTotalSizeOffset);
  if (size < B::kHeaderSize || size > B::kMaxSize || !BlockValid(block, size))
    return FALSE;

  const char* parts[3];
  std::size_t lengths[3];
  const int count = SplitSubBlock(lpSubBlock, parts, lengths);
  if (count == 0) {
    *lplpBuffer = const_cast<unsigned char*>(block + B::kFixedOffset);
    *puLen = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
  }
  if (count == 2 && PartIs(parts[0], lengths[0], "VarFileInfo") &&
      PartIs(parts[1], lengths[1], "Translation")) {
    *lplpBuffer = const_cast<unsigned char*>(block + B::kTranslationOffset);
    *puLen = 4;
    return TRUE;
  }
  if (count != 3 || !PartIs(parts[0], lengths[0], "StringFileInfo"))
    return FALSE;
  const std::uint32_t translation = Get32(block + B::kTranslationOffset);
  char table[9];
  std::snprintf(table, sizeof table, "%04x%04x", static_cast<unsigned>(translation & 0xffff),
                static_cast<unsigned>(translation >> 16));
  if (!PartIs(parts[1], lengths[1], table))
    return FALSE;
  const std::uint32_t strings = Get32(block + B::kCountOffset);
  std::size_t at = B::kHeaderSize;
  for (std::uint32_t i = 0; i < strings; ++i) {
    const std::size_t keyLength = Get16(block + at), valueLength = Get16(block + at + 2);
    const auto* key = reinterpret_cast<const char*>(block + at + B::kStringHeaderSize);
    if (PartIs(parts[2], lengths[2], key)) {
      *lplpBuffer = const_cast<char*>(key + keyLength + 1);
      *puLen = static_cast<UINT>(valueLength + 1);
      return TRUE;
    }
    at += B::StringSize(keyLength, valueLength);
  }
  return FALSE;
}
