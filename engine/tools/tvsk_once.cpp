// Runs the engine entries once, as the agent's server role will: filters, start, stop.
// Usage: tvsk-once [--master] [ADDRESS NETMASK]...
#include <cstring>

#include "TaviskEngine.h"

int main(int argc, char** argv) {
  int role = 1;
  int arg = 1;
  if (arg < argc && std::strcmp(argv[arg], "--master") == 0) {
    role = 3;
    ++arg;
  }
  for (; arg + 1 < argc; arg += 2) {
    TVSK_AddInterfaceFilter(argv[arg], argv[arg + 1]);
  }
  const int started = TVSK_Initialize(-1, 0, role);
  TVSK_Uninitialize();
  return started == 0 ? 0 : 1;
}
