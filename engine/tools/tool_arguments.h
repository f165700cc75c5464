#pragma once

// Command line shared by the engine's hand tools: [--master] [ADDRESS NETMASK]...
#include <cstring>

#include "TaviskEngine.h"

namespace tvsk_tools {

// Roles as the agent passes them to TVSK_Initialize.
constexpr int kDefaultRole = 1;
constexpr int kMasterRole = 3;

// The role asked for by an optional leading "--master"; `arg` moves past it.
inline int takeRole(int argc, char** argv, int& arg) {
  if (arg < argc && std::strcmp(argv[arg], "--master") == 0) {
    ++arg;
    return kMasterRole;
  }
  return kDefaultRole;
}

// Hands each ADDRESS NETMASK pair from `arg` on to the engine as an interface filter; an odd
// argument left at the end is not a pair.
inline void addInterfaceFilters(int argc, char** argv, int arg) {
  for (; arg + 1 < argc; arg += 2) {
    TVSK_AddInterfaceFilter(argv[arg], argv[arg + 1]);
  }
}

}  // namespace tvsk_tools
