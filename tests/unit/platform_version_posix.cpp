// Version data read from an executable's own file, and the module path the
// program finds it by.
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/platform_test_env_posix.h"
#include "win32api.h"

namespace {

// The program's steps: module path, size, read, translation, string table name
// from the swapped translation, FileVersion.
std::string ReadVersionString() {
  char path[260];
  if (GetModuleFileNameA(nullptr, path, sizeof path) == 0)
    return "unknown";
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &handle);
  if (size == 0)
    return "unknown";
  std::vector<unsigned char> info(size);
  if (!GetFileVersionInfoA(path, handle, size, info.data()))
    return "unknown";
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length) || !value)
    return "unknown";
  DWORD translation;
  std::memcpy(&translation, value, 4);
  translation = (translation << 16) | (translation >> 16);
  char name[80];
  std::snprintf(name, sizeof name, "\\StringFileInfo\\%08x\\FileVersion",
                static_cast<unsigned>(translation));
  if (!VerQueryValueA(info.data(), name, &value, &length))
    return "unknown";
  return static_cast<const char*>(value);
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::string SelfPath() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
}

// The build gives every unit test program this path (tests/CMakeLists.txt).
constexpr char kFixture[] = PELWIN_VERSION_FIXTURE;

std::vector<unsigned char> Block() {
  DWORD handle = 0;
  std::vector<unsigned char> block(GetFileVersionInfoSizeA(kFixture, &handle));
  EXPECT_FALSE(block.empty());
  EXPECT_TRUE(
      GetFileVersionInfoA(kFixture, handle, static_cast<DWORD>(block.size()), block.data()));
  return block;
}

// The section header of ".pelwin_version" in an ELF image, by index.
const Elf64_Shdr* VersionSection(const std::vector<unsigned char>& elf) {
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(elf.data());
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(elf.data() + header->e_shoff);
  const char* names =
      reinterpret_cast<const char*>(elf.data() + sections[header->e_shstrndx].sh_offset);
  for (int i = 0; i < header->e_shnum; ++i)
    if (std::strcmp(names + sections[i].sh_name, ".pelwin_version") == 0)
      return &sections[i];
  return nullptr;
}

class PlatformVersion : public ::testing::Test {
 protected:
  PlatformFaultsReset Faults;
  PlatformTempDir Dir;
};

TEST_F(PlatformVersion, ModulePathHasWindowsTruncation) {
  const std::string self = SelfPath();
  char path[PATH_MAX];
  EXPECT_EQ(GetModuleFileNameA(nullptr, path, sizeof path), self.size());
  EXPECT_EQ(path, self);

  PosixFaults().ModulePath = "/opt/pelwin/bin/pelwin";
  char small[8];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, 5), 5u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_STREQ(small, "/opt");
  EXPECT_EQ(small[5], 'x');
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, 0), 0u);
}

TEST_F(PlatformVersion, ProgramWithoutVersionDataReadsAsUnknown) {
  // This test program does not link the version data.
  DWORD handle = 1;
  EXPECT_EQ(GetFileVersionInfoSizeA(SelfPath().c_str(), &handle), 0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(ReadVersionString(), "unknown");

  const std::vector<unsigned char> empty, text = {'#', '!', '/', 'b', 'i', 'n'};
  std::vector<unsigned char> garbage(100000);
  std::mt19937 random(7);
  for (auto& b : garbage)
    b = static_cast<unsigned char>(random());
  for (const auto& bytes : {empty, text, garbage}) {
    WriteBytes(Dir / "file", bytes);
    PosixFaults().ModulePath = Dir / "file";
    EXPECT_EQ(ReadVersionString(), "unknown");
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
  PosixFaults().ModulePath = Dir / "missing";
  EXPECT_EQ(ReadVersionString(), "unknown");
  PosixFaults().ModulePath = Dir.Path();
  EXPECT_EQ(ReadVersionString(), "unknown");
  ASSERT_EQ(mkfifo((Dir / "fifo").c_str(), 0600), 0);
  PosixFaults().ModulePath = Dir / "fifo";
  EXPECT_EQ(ReadVersionString(), "unknown");
}

TEST_F(PlatformVersion, ExecutableCarriesTheVersionResourceFacts) {
  PosixFaults().ModulePath = kFixture;
  EXPECT_EQ(ReadVersionString(), "3.0.0.0");

  std::vector<unsigned char> block = Block();
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
  EXPECT_EQ(length, 4u);
  DWORD translation;
  std::memcpy(&translation, value, 4);
  EXPECT_EQ(translation, 0x04E40409u);  // language in the low half, as Windows stores it

  const struct {
    const char* Name;
    const char* Value;
  } strings[] = {
      {"FileVersion", "3.0.0.0"},
      {"ProductVersion", "3.0.0.0"},
      {"FileDescription", "Selvo Camera Filter Wheel Contiguration Tool"},
      {"InternalName", "pelwin"},
      {"OriginalFilename", "pelwin.exe"},
      {"CodeStyle", "Ansi"},
  };
  for (const auto& s : strings) {
    const std::string sub = std::string("\\StringFileInfo\\040904e4\\") + s.Name;
    ASSERT_TRUE(VerQueryValueA(block.data(), sub.c_str(), &value, &length)) << s.Name;
    EXPECT_STREQ(static_cast<const char*>(value), s.Value);
    EXPECT_EQ(length, std::strlen(s.Value) + 1);
  }
  for (const char* name :
       {"\\StringFileInfo\\040904E4\\companyname", "\\stringfileinfo\\040904e4\\LegalCopyright",
        "\\StringFileInfo\\040904e4\\ProductName"}) {
    ASSERT_TRUE(VerQueryValueA(block.data(), name, &value, &length)) << name;
    EXPECT_GT(length, 1u);
  }

  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, value, sizeof fixed);
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.dwFileVersionMS, 0x00030000u);
  EXPECT_EQ(fixed.dwFileVersionLS, 0u);
  EXPECT_EQ(fixed.dwProductVersionMS, 0x00030000u);

  for (const char* sub :
       {"", "VarFileInfo\\Translation", "\\VarFileInfo", "\\VarFileInfo\\Translation\\",
        "\\StringFileInfo\\040704e4\\FileVersion", "\\StringFileInfo\\040904e4\\Nothing",
        "\\StringFileInfo\\040904e4", "\\StringFileInfo\\040904e4\\\\FileVersion",
        "\\StringFileInfo\\040904e4\\FileVersion\\x", "\\StringFileInfo\\040904e4\\FileVersio"}) {
    EXPECT_FALSE(VerQueryValueA(block.data(), sub, &value, &length)) << sub;
  }
}

TEST_F(PlatformVersion, RefusesABufferSmallerThanTheBlock) {
  const std::vector<unsigned char> block = Block();
  std::vector<unsigned char> small(block.size() - 1);
  EXPECT_FALSE(GetFileVersionInfoA(kFixture, 0, static_cast<DWORD>(small.size()), small.data()));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(PlatformVersion, DamagedBlocksAreRefused) {
  const std::vector<unsigned char> good = Block();
  void* value = nullptr;
  UINT length = 0;
  // Each damage at a place the reader relies on.
  const std::size_t places[] = {0, 4, 5, 12, 16, 68, 69, 72 + 11};
  for (std::size_t at : places) {
    std::vector<unsigned char> block = good;
    block[at] ^= 0xff;
    EXPECT_FALSE(
        VerQueryValueA(block.data(), "\\StringFileInfo\\040904e4\\FileVersion", &value, &length))
        << at;
  }
  std::vector<unsigned char> garbage(good.size() + 65536);
  std::mt19937 random(11);
  for (auto& b : garbage)
    b = static_cast<unsigned char>(random());
  EXPECT_FALSE(VerQueryValueA(garbage.data(), "\\VarFileInfo\\Translation", &value, &length));
}

TEST_F(PlatformVersion, DamagedExecutablesAreRefusedSafely) {
  const std::vector<unsigned char> good = ReadBytes(kFixture);
  ASSERT_GT(good.size(), sizeof(Elf64_Ehdr));
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(good.data());
  const Elf64_Shdr* section = VersionSection(good);
  ASSERT_NE(section, nullptr);
  const std::size_t sectionAt = reinterpret_cast<const unsigned char*>(section) - good.data();
  const std::string path = Dir / "damaged";
  PosixFaults().ModulePath = path;

  auto check = [&](const std::vector<unsigned char>& bytes, const char* what) {
    WriteBytes(path, bytes);
    EXPECT_EQ(ReadVersionString(), "unknown") << what;
  };
  auto patch = [&](std::size_t at, const void* value, std::size_t size, const char* what) {
    std::vector<unsigned char> bytes = good;
    std::memcpy(bytes.data() + at, value, size);
    check(bytes, what);
  };
  const std::uint64_t huge = ~0ull, beyond = good.size();
  const std::uint16_t many = 0xffff, small = 40;
  patch(offsetof(Elf64_Ehdr, e_shoff), &huge, 8, "section table offset");
  patch(offsetof(Elf64_Ehdr, e_shoff), &beyond, 8, "section table past the end");
  patch(offsetof(Elf64_Ehdr, e_shnum), &many, 2, "section count");
  patch(offsetof(Elf64_Ehdr, e_shentsize), &small, 2, "section header size");
  patch(offsetof(Elf64_Ehdr, e_shstrndx), &many, 2, "name table index");
  patch(sectionAt + offsetof(Elf64_Shdr, sh_size), &huge, 8, "section size");
  patch(sectionAt + offsetof(Elf64_Shdr, sh_offset), &huge, 8, "section offset");
  patch(sectionAt + offsetof(Elf64_Shdr, sh_offset), &beyond, 8, "section past the end");
  const std::uint32_t nobits = SHT_NOBITS;
  patch(sectionAt + offsetof(Elf64_Shdr, sh_type), &nobits, 4, "section without contents");
  const unsigned char class32 = ELFCLASS32;
  patch(EI_CLASS, &class32, 1, "32-bit class");
  check(std::vector<unsigned char>(good.begin(), good.begin() + sizeof(Elf64_Ehdr)), "header only");
  check(std::vector<unsigned char>(good.begin(), good.begin() + section->sh_offset + 10),
        "cut inside the section");
  check(std::vector<unsigned char>(good.begin(), good.begin() + header->e_shoff + 100),
        "cut inside the section table");

  // Random values in every header field the reader has no use for (the file's
  // type, machine and entry point, the program headers, and the flags,
  // addresses, alignment, links and infos of the sections other than the
  // first) leave the version readable. Random damage to the fields it does use
  // is the version_info fuzz target's job.
  std::mt19937 random(3);
  const std::size_t ignoredHeader[][2] = {
      {EI_VERSION, EI_NIDENT - EI_VERSION},   {offsetof(Elf64_Ehdr, e_type), 2},
      {offsetof(Elf64_Ehdr, e_machine), 2},   {offsetof(Elf64_Ehdr, e_version), 4},
      {offsetof(Elf64_Ehdr, e_entry), 8},     {offsetof(Elf64_Ehdr, e_phoff), 8},
      {offsetof(Elf64_Ehdr, e_flags), 4},     {offsetof(Elf64_Ehdr, e_ehsize), 2},
      {offsetof(Elf64_Ehdr, e_phentsize), 2}, {offsetof(Elf64_Ehdr, e_phnum), 2},
  };
  const std::size_t ignoredSection[][2] = {
      {offsetof(Elf64_Shdr, sh_flags), 8},     {offsetof(Elf64_Shdr, sh_addr), 8},
      {offsetof(Elf64_Shdr, sh_link), 4},      {offsetof(Elf64_Shdr, sh_info), 4},
      {offsetof(Elf64_Shdr, sh_addralign), 8}, {offsetof(Elf64_Shdr, sh_entsize), 8},
  };
  for (int round = 0; round < 20; ++round) {
    std::vector<unsigned char> bytes = good;
    for (const auto& field : ignoredHeader) {
      for (std::size_t i = 0; i < field[1]; ++i) {
        bytes[field[0] + i] = static_cast<unsigned char>(random());
      }
    }
    for (std::size_t section = 1; section < header->e_shnum; ++section) {
      const std::size_t at = header->e_shoff + section * sizeof(Elf64_Shdr);
      for (const auto& field : ignoredSection) {
        for (std::size_t i = 0; i < field[1]; ++i) {
          bytes[at + field[0] + i] = static_cast<unsigned char>(random());
        }
      }
    }
    WriteBytes(path, bytes);
    EXPECT_EQ(ReadVersionString(), "3.0.0.0") << "round " << round;
  }
}

}  // namespace
