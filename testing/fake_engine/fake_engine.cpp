// Stands in for the engine server process the agent starts: appends its arguments as one line
// to $FAKE_ENGINE_ARGS_FILE, then exits after $FAKE_ENGINE_LIFETIME_MS milliseconds, or, when
// that is unset, sleeps until killed (at most $FAKE_ENGINE_MAX_MS, default 120000, so a test that
// forgets it leaves nothing behind for long).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

long envNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtol(text, nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  if (const char* path = std::getenv("FAKE_ENGINE_ARGS_FILE")) {
    if (FILE* file = std::fopen(path, "a")) {
      std::fprintf(file, "%s\n", line.c_str());
      std::fclose(file);
    }
  }
  const long lifetime = envNumber("FAKE_ENGINE_LIFETIME_MS", -1);
  const long wait = lifetime >= 0 ? lifetime : envNumber("FAKE_ENGINE_MAX_MS", 120000);
  std::this_thread::sleep_for(std::chrono::milliseconds(wait));
  return 0;
}
