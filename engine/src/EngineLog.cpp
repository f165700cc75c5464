#include "EngineLog.h"

#include <cstdio>

namespace tvsk {

void printLine(const std::string& line, Console console) {
  std::FILE* stream = console == Console::Error ? stderr : stdout;
  const std::string whole = line + "\n";
  std::fwrite(whole.data(), 1, whole.size(), stream);
  std::fflush(stream);
}

}  // namespace tvsk
