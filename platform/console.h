#pragma once

namespace platform {

// Makes sure descriptors 0, 1 and 2 are open (a closed one is reopened on /dev/null), so that
// a program started without a terminal can still write its console output somewhere harmless.
void openConsole();

// Terminals here interpret ANSI colour sequences without being asked: nothing to switch on.
inline void enableConsoleColours() {}

}  // namespace platform
