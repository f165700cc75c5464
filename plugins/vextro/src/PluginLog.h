#pragma once

// The plug-in's own append-only log file, shared by every proxy and entry function.
// Folder: "<user app-data folder>/Vextro Technologies/". The file is "Vextro_uninit.log" until the
// first accepted initialization JSON reopens it as "vextro".

#include <locale>
#include <sstream>
#include <string>
#include <vector>

namespace Vextro {

inline constexpr const char* kUninitLogName = "Vextro_uninit.log";
inline constexpr const char* kPluginLogName = "vextro";
inline constexpr const char* kLogFolderName = "Vextro Technologies";
// A file strictly larger than this is cut down to its last kLogKeptTail bytes when opened.
inline constexpr unsigned long long kLogShrinkThreshold = 0x400000;
inline constexpr unsigned long long kLogKeptTail = 0x100000;

// Local time as "YYYY-MM-DD.HH:MM:SS"; no host locale changes the pattern.
[[nodiscard]] std::string LogTimestamp();

// The absolute log folder, created when missing; empty when no per-user folder is known
// (APPDATA, XDG_CONFIG_HOME and HOME unset): the log is then written nowhere.
[[nodiscard]] std::string GetLogDirectory();

// Closes the current log file and opens `name` anew (also when it is the current one).
void ReopenLog(const std::string& name);

// Path of the open log file (opening "Vextro_uninit.log" first if none is open); empty when the
// log is written nowhere.
[[nodiscard]] std::string CurrentLogPath();

// Writes one line: timestamp, ":\t", text, line end; flushed. Control characters, malformed
// UTF-8 and backslashes in the text are escaped, so no value can end the line or forge another.
void WriteLogLine(const std::string& text);

// While one lives, the lines this thread writes are also appended to `lines`, so that work
// skipped later can repeat what it logged.
class LogLineCapture {
 public:
  explicit LogLineCapture(std::vector<std::string>& lines);
  ~LogLineCapture();
  LogLineCapture(const LogLineCapture&) = delete;
  LogLineCapture& operator=(const LogLineCapture&) = delete;

 private:
  std::vector<std::string>* previous_;
};

// The size rule of opening, applied while the plug-in runs: an open log file above the shrink
// threshold is cut down to its last kLogKeptTail bytes and reopened (with its separator lines).
void ApplyLogSizeLimit();

// Streams the pieces (texts, numbers) into one log line.
template <typename... Parts>
void Log(const Parts&... parts) {
  std::ostringstream line;
  line.imbue(std::locale::classic());
  (line << ... << parts);
  WriteLogLine(line.str());
}

}  // namespace Vextro
