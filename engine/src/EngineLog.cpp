#include "EngineLog.h"

#include <cstdio>

namespace tvsk {

void printEngineLine(const std::string& line) {
  std::printf("TVSK %s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace tvsk
