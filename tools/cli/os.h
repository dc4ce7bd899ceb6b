// What the tool needs of the operating system besides the library: a private
// directory for its device list, pointing the library at it, interrupts and
// pauses for watch, and local time. os_posix.cpp and os_win32.cpp implement
// it (the build picks one), but for pause(), which is the same everywhere and
// lives with watch.
#pragma once

#include <string>

namespace kelvo_cli::os {

// A new empty directory of our own under the temporary directory; throws
// CliError(EXIT_LOCAL) when none can be made.
std::string makePrivateDirectory();
// Removes a file and the directory made above; failures are ignored.
void removePrivateDirectory(const std::string& directory, const std::string& file);
// Makes the library read its device-list file from `directory` in the next
// Kelvo_Initial of this process. Throws CliError when the platform has no
// way to do that.
void pointLibraryAt(const std::string& directory);
std::string joinPath(const std::string& directory, const std::string& name);

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
