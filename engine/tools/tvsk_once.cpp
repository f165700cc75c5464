// Runs the engine entries once, as the agent's server role will: filters, start, stop.
// Usage: tvsk-once [--master] [ADDRESS NETMASK]...
#include "TaviskEngine.h"
#include "engine/tools/tool_arguments.h"

int main(int argc, char** argv) {
  int arg = 1;
  const int role = tvsk_tools::takeRole(argc, argv, arg);
  tvsk_tools::addInterfaceFilters(argc, argv, arg);
  const int started = TVSK_Initialize(-1, 0, role);
  TVSK_Uninitialize();
  return started == 0 ? 0 : 1;
}
