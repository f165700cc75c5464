// Stands in for the engine server process the agent starts: appends its arguments as one line
// to $FAKE_ENGINE_ARGS_FILE, then exits after $FAKE_ENGINE_LIFETIME_MS milliseconds, or, when
// that is unset, sleeps until killed (at most $FAKE_ENGINE_MAX_MS, default 120000, so a test that
// forgets it leaves nothing behind for long). With $FAKE_ENGINE_FDS_FILE set, it first writes
// the numbers of the descriptors it was started with, one line, ascending. Like the engine server,
// it ends at once when its agent's lifeline (the descriptor $LUMORA_AGENT_LIFELINE_FD names) closes.
#include <dirent.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

long envNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtol(text, nullptr, 10);
}

void writeOpenDescriptors(const char* path) {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return;
  std::vector<int> numbers;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = static_cast<int>(std::strtol(entry->d_name, nullptr, 10));
    if (fd != dirfd(folder)) numbers.push_back(fd);
  }
  closedir(folder);
  std::sort(numbers.begin(), numbers.end());
  std::string line;
  for (const int fd : numbers) line += (line.empty() ? "" : " ") + std::to_string(fd);
  if (FILE* file = std::fopen(path, "w")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* path = std::getenv("FAKE_ENGINE_FDS_FILE")) writeOpenDescriptors(path);
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
  const long lifeline = envNumber("LUMORA_AGENT_LIFELINE_FD", -1);
  if (lifeline < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    return 0;
  }
  pollfd entry{static_cast<int>(lifeline), POLLIN, 0};
  poll(&entry, 1, static_cast<int>(wait));
  return 0;
}
