// The system part of the report on Windows: the version Windows itself gives
// (RtlGetVersion: GetVersionExA answers 6.2 to a program without a manifest
// from Windows 8 on), whether Windows is 64-bit, and whether this 32-bit
// program runs under WOW64. Under Wine the emulator's own version is named,
// since the Windows version is then only what the prefix pretends to be.
#include <cstdio>
#include <string>

#include "app/brisa_config.h"
#include "report/report.h"
#include "win32api.h"

namespace {

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
using WineGetVersionFn = const char*(CDECL*)();

// Entries looked up by name come back untyped; the detour through a plain
// function pointer says the conversion is meant.
template <typename Fn>
Fn ProcAs(HMODULE module, const char* name) {
  return module == nullptr
             ? nullptr
             : reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::string WindowsVersion(HMODULE ntdll) {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  auto getVersion = ProcAs<RtlGetVersionFn>(ntdll, "RtlGetVersion");
  if (getVersion == nullptr || getVersion(&info) != 0) {
    return "Windows, version unknown";
  }
  char text[96];
  std::snprintf(text, sizeof text, "Windows %lu.%lu build %lu, %s",
                static_cast<unsigned long>(info.dwMajorVersion),
                static_cast<unsigned long>(info.dwMinorVersion),
                static_cast<unsigned long>(info.dwBuildNumber),
                info.wProductType == VER_NT_WORKSTATION ? "workstation" : "server");
  std::string version = text;
  if (info.wServicePackMajor != 0) {
    version += ", service pack " + std::to_string(info.wServicePackMajor);
  }
  return version;
}

}  // namespace

std::string DescribeSystem() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  std::string text = "Operating system: " + WindowsVersion(ntdll);
  auto wineVersion = ProcAs<WineGetVersionFn>(ntdll, "wine_get_version");
  const char* wine = wineVersion != nullptr ? wineVersion() : nullptr;
  if (wine != nullptr) {
    text += " (as Wine " + std::string(wine) + " presents it)";
  }
  text += "\n";

  SYSTEM_INFO system{};
  GetNativeSystemInfo(&system);
  const WORD architecture = system.wProcessorArchitecture;
  const char* windowsBits = architecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                                    architecture == PROCESSOR_ARCHITECTURE_ARM64 ||
                                    architecture == PROCESSOR_ARCHITECTURE_IA64
                                ? "64-bit"
                            : architecture == PROCESSOR_ARCHITECTURE_INTEL ? "32-bit"
                                                                           : "unknown";
  BOOL wow64 = FALSE;
  const bool asked = IsWow64Process(GetCurrentProcess(), &wow64) != 0;
  text += std::string("Windows: ") + windowsBits + "\n";
  text += "This program: " + std::to_string(sizeof(void*) * 8) + "-bit; WOW64: " +
          (!asked  ? "unknown"
           : wow64 ? "yes"
                   : "no") +
          "\n";
  return text;
}

std::string RemoveValueHow(const TServiceKey& key) {
  return std::string(
             "in a Command Prompt started with \"Run as administrator\", run: reg delete "
             "\"HKLM\\") +
         key.Path + "\" /v " + AllowEepromWriteValue + " /f";
}
