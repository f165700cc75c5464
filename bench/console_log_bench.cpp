// Cost of a console-log call: a dropped level, and a written line to /dev/null.
// Also counts heap allocations per written line (there should be none).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "log/console_log.h"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

static void droppedLevel(benchmark::State& state) {
  for (auto _ : state) {
    writeLog(kLogOff, LOG_FILE, __LINE__, "dropped %d %s\n", 42, "text");
  }
}
BENCHMARK(droppedLevel);

static void writtenLine(benchmark::State& state) {
  // The lines go to /dev/null; the benchmark's own report still reaches the terminal.
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, STDOUT_FILENO);
  const long before = allocations.load();
  for (auto _ : state) {
    writeLog(kLogInfo, LOG_FILE, __LINE__, "written %d %s\n", 42, "text");
  }
  state.counters["allocs/line"] =
      benchmark::Counter(static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
  state.SetItemsProcessed(state.iterations());
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(devNull);
}
BENCHMARK(writtenLine);

BENCHMARK_MAIN();
