// What the tool needs of the operating system besides the library and the
// tools' shared part: interrupts and pauses for watch, and local time.
// os_posix.cpp and os_win32.cpp implement it (the build picks one), but for
// pause(), which is the same everywhere and lives with watch.
#pragma once

#include <string>

namespace kelvo_cli::os {

// SIGINT and SIGTERM (Ctrl+C and Ctrl+Break on Windows) set a flag instead of
// ending the process.
void catchInterrupts();
bool interrupted();
// Sleeps for ms, less when an interrupt arrives.
void pause(unsigned ms);
// One sleep of at most ms that an interrupt may cut short (per platform).
void sleepAtMost(unsigned ms);

// "HH:MM:SS.mmm", local time.
std::string clockTime();
// "YYYY-MM-DDTHH:MM:SS.mmm+HH:MM", local time with its offset.
std::string isoTime();

}  // namespace kelvo_cli::os
