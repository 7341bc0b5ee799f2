// The system part of the report on the Linux port: the kernel from uname, the
// program's word size. WOW64 is a Windows matter.
#include <sys/utsname.h>

#include <string>

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
