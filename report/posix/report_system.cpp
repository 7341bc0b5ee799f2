// The system part of the report on the Linux port: the kernel from uname, the
// program's word size. WOW64 is a Windows matter.
#include <sys/utsname.h>

#include <cstdlib>
#include <string>

#include "app/brisa_config.h"
#include "report/report.h"

std::string DescribeSystem() {
  std::string text = "Operating system: ";
  utsname name{};
  if (uname(&name) == 0) {
    text += std::string(name.sysname) + " " + name.release + " " + name.machine + "\n";
  } else {
    text += "unknown (uname failed)\n";
  }
  text += "This program: " + std::to_string(sizeof(void*) * 8) +
          "-bit; WOW64: not applicable (Linux port)\n";
  return text;
}

std::string RemoveValueHow(const TServiceKey& key) {
  // The machine's registry is a tree of directories, a value a file in its
  // key's directory (docs/platform-linux.md).
  const char* root = std::getenv("PELWIN_MACHINE_REGISTRY");
  std::string path = root != nullptr && root[0] != '\0' ? root : "/etc/pelwin/registry";
  path += '/';
  for (const char* c = key.Path; *c != '\0'; ++c) {
    path += *c == '\\' ? '/' : *c;
  }
  return "as root, run: rm '" + path + "/" + AllowEepromWriteValue + "'";
}
