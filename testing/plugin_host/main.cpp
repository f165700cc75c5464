// plugin-host MODE [options]: loads a plug-in as the engine does and prints its events.
#include <cstdio>
#include <cstring>

int runVextroHost(int argc, char** argv);
int runAnnwatchHost(int argc, char** argv);

namespace {

constexpr const char* kUsage =
    "usage: plugin-host vextro|annwatch --plugin PATH [options]\n"
    "Loads a plug-in with dlopen as the engine does and prints one line per event.\n"
    "  plugin-host vextro --help     device-proxy plug-in: options\n"
    "  plugin-host annwatch --help   stream-discovery plug-in: options\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "vextro") == 0) {
    return runVextroHost(argc - 1, argv + 1);
  }
  if (argc >= 2 && std::strcmp(argv[1], "annwatch") == 0) {
    return runAnnwatchHost(argc - 1, argv + 1);
  }
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2) {
    std::fprintf(stderr, "plugin-host: unknown mode '%s'\n", argv[1]);
  }
  std::fputs(kUsage, stderr);
  return 2;
}
