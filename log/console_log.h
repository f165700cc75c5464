#pragma once

#include <cstdint>

#include "log/file_name.h"
#include "log/levels.h"

// Writes one line to standard output: "HH:MM:SS  ", the level's colour, the message, "\033[0m".
// Levels follow syslog (3 error, 4 warning, 6 information, 7 debug); any level above 7 is
// dropped before the arguments are formatted. Formats end with "\n": none is added.
void writeLog(uint32_t level, const char* file, int32_t line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// As writeLog, with "In <file>, line <n>: " before the colour and " <category>: " after it.
// A null category leaves the category out and keeps the location.
void writeLogCategory(const char* category, uint32_t level, const char* file, int32_t line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// Gives a program started without a terminal usable standard streams, then enables colours.
void openConsole();

// Lets the console interpret the colour sequences; runs once before main as well.
void enableConsoleColours();
