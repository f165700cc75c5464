#include "plugins/vextro/src/PluginLog.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

#include "log/printable_text.h"
#include "platform/app_data.h"

namespace Vextro {
namespace fs = std::filesystem;
namespace {

struct LogState {
  std::mutex mutex;
  std::unique_ptr<std::ofstream> stream;
  std::string name;  // as given to the open
  std::string path;  // empty while no per-user folder is known
  bool saidNoFolder = false;
};

LogState& State() {
  static LogState state;
  return state;
}

// Keeps only the last kLogKeptTail bytes; reads just that tail, never the whole file.
void ShrinkIfTooLarge(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    return;
  }
  const auto size = fs::file_size(path, ec);
  if (ec || size <= kLogShrinkThreshold) {
    return;
  }
  std::vector<char> tail(kLogKeptTail);
  {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(size - kLogKeptTail));
    if (!in || !in.read(tail.data(), static_cast<std::streamsize>(tail.size()))) {
      std::cerr << "Failed to shrink log file: Failed to read old log file contents" << std::endl;
      return;
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out || !out.write(tail.data(), static_cast<std::streamsize>(tail.size())) || !out.flush()) {
    std::cerr << "Failed to shrink log file: Failed to write new log file contents" << std::endl;
  }
}

// Without a per-user folder nothing is written anywhere: the current folder may be the file
// system's root or someone else's. Said once per process.
void OpenNowhereLocked(LogState& state, const std::string& name) {
  if (!state.saidNoFolder) {
    std::cout << "No per-user folder (APPDATA, XDG_CONFIG_HOME, HOME): the plug-in log is not written to a file"
              << std::endl;
    state.saidNoFolder = true;
  }
  state.stream = std::make_unique<std::ofstream>();  // never opened: every line is dropped
  state.name = name;
  state.path.clear();
}

void OpenLocked(LogState& state, const std::string& name) {
  state.stream.reset();
  const std::string folder = GetLogDirectory();
  if (folder.empty()) {
    OpenNowhereLocked(state, name);
    return;
  }
  const fs::path path = fs::path(folder) / name;
  ShrinkIfTooLarge(path);
  auto stream = std::make_unique<std::ofstream>(path, std::ios::app);
  state.name = name;
  state.path = path.string();
  if (!*stream) {
    std::cerr << "Failed to create log file at: " << folder << std::endl;
    stream = std::make_unique<std::ofstream>(name, std::ios::app);
    std::error_code ec;
    state.path = fs::absolute(name, ec).string();
  }
  *stream << "\n" << std::flush << std::string(80, '*') << "\n" << std::flush;
  state.stream = std::move(stream);
}

std::ofstream& GetLogLocked(LogState& state) {
  if (!state.stream) {
    OpenLocked(state, kUninitLogName);
  }
  return *state.stream;
}

// The capture of this thread's lines, if one is active.
thread_local std::vector<std::string>* capturedLines = nullptr;

}  // namespace

std::string LogTimestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[80];
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d.%H:%M:%S", &local);
  return std::string(buffer, length);
}

std::string GetLogDirectory() {
  const std::string base = platform::userAppDataDir();
  if (base.empty()) {
    return {};
  }
  std::error_code ec;
  fs::path folder = fs::absolute(fs::path(base) / kLogFolderName, ec);
  if (ec) {
    folder = fs::path(base) / kLogFolderName;
  }
  std::string text = (folder / "").string();
  if (!fs::exists(folder, ec)) {
    std::cout << "Log dir not found, creating: " << text << std::endl;
    fs::create_directories(folder, ec);
  }
  return text;
}

void ReopenLog(const std::string& name) {
  try {
    LogState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    OpenLocked(state, name);
  } catch (...) {
    // Logging never throws into its callers.
  }
}

std::string CurrentLogPath() {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  GetLogLocked(state);
  return state.path;
}

void WriteLogLine(const std::string& text) {
  try {
    if (capturedLines != nullptr) {
      capturedLines->push_back(text);
    }
    const std::string stamp = LogTimestamp();
    LogState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::ofstream& log = GetLogLocked(state);
    log << stamp << ":\t" << lumora_log::printable(text) << "\n" << std::flush;
  } catch (...) {
    // A full disk or a failed open loses the line, nothing more.
  }
}

void ApplyLogSizeLimit() {
  try {
    LogState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.stream) {
      return;
    }
    std::error_code ec;
    if (state.path.empty()) {
      return;
    }
    const auto size = fs::file_size(state.path, ec);
    if (!ec && size > kLogShrinkThreshold) {
      OpenLocked(state, state.name);
    }
  } catch (...) {
    // Logging never throws into its callers.
  }
}

LogLineCapture::LogLineCapture(std::vector<std::string>& lines) : previous_(capturedLines) { capturedLines = &lines; }

LogLineCapture::~LogLineCapture() { capturedLines = previous_; }

}  // namespace Vextro
