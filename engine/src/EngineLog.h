#pragma once

#include <exception>
#include <string>

namespace tvsk {

enum class Console { Out, Error };

// Every console line of the engine and its tools goes through here: written whole and flushed at
// once, so lines of different threads and of the plug-ins never interleave.
void printLine(const std::string& line, Console console = Console::Out);

// One line of the engine's own output, "TVSK <line>".
inline void printEngineLine(const std::string& line, Console console = Console::Out) {
  printLine("TVSK " + line, console);
}

// Runs one task of a worker thread; an exception it throws is reported as "<worker>: task failed"
// and goes no further, so the thread goes on with its next task.
template <typename Task>
void runReported(const char* worker, Task&& task) {
  try {
    task();
  } catch (const std::exception& error) {
    printEngineLine(std::string(worker) + ": task failed: " + error.what(), Console::Error);
  } catch (...) {
    printEngineLine(std::string(worker) + ": task failed", Console::Error);
  }
}

}  // namespace tvsk
