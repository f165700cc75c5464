#pragma once

#include <string>

namespace tvsk {

// One line of the engine's own console output, "TVSK <line>", flushed at once so it interleaves
// with the plug-ins' lines in order.
void printEngineLine(const std::string& line);

}  // namespace tvsk
