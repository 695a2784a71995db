// Small platform services for the shared code: one implementation file per
// platform (Platform_win32.cpp, Platform_posix.cpp).
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

namespace orvella::platform {

// Separator placed between the system path and a file name.
extern const char kPathSeparator;

// Local calendar time now.
std::tm LocalTimeNow();

// Opens a log file for appending in text mode, shared with other processes.
std::FILE* OpenForAppend(const std::string& path);

// Milliseconds since the library was loaded, or -1 when no clock is available.
long ElapsedMs();

// Keeps the library's code mapped until the process ends, so a worker thread
// can never execute unloaded code. Safe to call many times.
void PinLibrary();

}  // namespace orvella::platform
