#pragma once

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>

namespace hostile_test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kPeaksComparable = false;  // shadow memory and quarantine swell every peak
#else
inline constexpr bool kPeaksComparable = true;
#endif

// The process's resident-set peak (VmHWM) in KiB.
inline long peakResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

// Measures one hostile scenario run on the calling (window) thread: how long it held the thread
// and how far the resident peak rose above the level at its start. Prints both for the record.
struct Measured {
  std::chrono::milliseconds blocked{0};
  long peakRiseKb = 0;
};

template <typename Scenario>
Measured measure(const char* name, Scenario&& scenario) {
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak restarts from the current size
  const long before = peakResidentKb();
  const auto start = std::chrono::steady_clock::now();
  scenario();
  Measured result;
  result.blocked = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  result.peakRiseKb = peakResidentKb() - before;
  std::cout << "[hostile] " << name << ": window thread held " << result.blocked.count() << " ms, peak +"
            << result.peakRiseKb / 1024 << " MiB\n";
  return result;
}

}  // namespace hostile_test
