// plugin-host MODE [options]: loads a plug-in as the engine does and prints its events.
#include <cstdio>
#include <cstring>

int runVextroHost(int argc, char** argv);
int runAnnwatchHost(int argc, char** argv);

#ifdef LUMORA_NO_vextro_HOST
int runVextroHost(int, char**) {
  std::fprintf(stderr, "plugin-host: vextro mode is not built\n");
  return 2;
}
#endif
#ifdef LUMORA_NO_annwatch_HOST
int runAnnwatchHost(int, char**) {
  std::fprintf(stderr, "plugin-host: annwatch mode is not built\n");
  return 2;
}
#endif

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "vextro") == 0) {
    return runVextroHost(argc - 1, argv + 1);
  }
  if (argc >= 2 && std::strcmp(argv[1], "annwatch") == 0) {
    return runAnnwatchHost(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "usage: plugin-host vextro|annwatch --plugin PATH [options]\n");
  return 2;
}
