#pragma once

#include <cstdint>

#include "log/file_name.h"
#include "log/levels.h"

// The stream-discovery plug-in's own copy of the console log. Every line carries its source:
// "HH:MM:SS  In <file>, line <n>: <colour><message>\033[0m". Levels above 7 are dropped.
// Plug-ins are built with hidden visibility, so a host's writeLog never replaces this one.
void writeLog(uint32_t level, const char* file, int32_t line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// No-op here: terminals interpret the colour sequences. Runs when the plug-in is loaded.
void enableConsoleColours();
