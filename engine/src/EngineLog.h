#pragma once

#include <string>

namespace tvsk {

enum class Console { Out, Error };

// Every console line of the engine and its tools goes through here: written whole and flushed at
// once, so lines of different threads and of the plug-ins never interleave.
void printLine(const std::string& line, Console console = Console::Out);

// One line of the engine's own output, "TVSK <line>".
inline void printEngineLine(const std::string& line, Console console = Console::Out) {
  printLine("TVSK " + line, console);
}

}  // namespace tvsk
