#pragma once

#include <cstdint>

// Syslog levels, as writeLog takes them. Any level above kLogDebug is dropped before formatting.
inline constexpr uint32_t kLogError = 3;
inline constexpr uint32_t kLogWarning = 4;
inline constexpr uint32_t kLogNotice = 5;
inline constexpr uint32_t kLogInfo = 6;
inline constexpr uint32_t kLogDebug = 7;
inline constexpr uint32_t kLogOff = 8;
