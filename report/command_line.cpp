// The command line both ports take, and the report written to a file.
#include <cstdio>

#include "report/report.h"

namespace {

TArguments ReadArguments(int argc, char** argv) {
  TArguments arguments;
  for (int i = 1; i < argc && arguments.Error.empty(); ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h" || argument == "/?") {
      arguments.Help = true;
    } else if (argument == "--output" && i + 1 < argc && argv[i + 1][0] != '\0') {
      arguments.Output = argv[++i];
    } else if (argument == "--output") {
      arguments.Error = "--output needs a file name";
    } else {
      arguments.Error = "unknown argument \"" + argument + "\"";
    }
  }
  return arguments;
}

}  // namespace

int AnswerCommandLine(int argc, char** argv, const char* usage, TArguments* arguments) {
  *arguments = ReadArguments(argc, argv);
  if (!arguments->Error.empty()) {
    std::fprintf(stderr, "pelwin-report: %s\n%s", arguments->Error.c_str(), usage);
    return 2;
  }
  if (arguments->Help) {
    std::fputs(usage, stdout);
    return 0;
  }
  return -1;
}

bool WriteTextFile(const std::string& path, const std::string& text, bool crlf) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  bool written = true;
  for (const char c : text) {
    if (crlf && c == '\n') {
      written = written && std::fputc('\r', file) != EOF;
    }
    written = written && std::fputc(c, file) != EOF;
  }
  return std::fclose(file) == 0 && written;
}
