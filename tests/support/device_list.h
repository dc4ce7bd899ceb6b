// The device-list file "Kelvo.ini" in the library's Windows directory.
#pragma once

#include <string>

namespace kelvotest {

// The directory the library reads "Kelvo.ini" from. On Linux a private
// temporary directory, made on first use and named to the library through
// WINDIR; it is removed when the process ends. On Windows the Windows
// directory (under Wine that of the run's throw-away prefix).
const std::string& windowsDirectory();

// The path of a file named name in that directory.
std::string inWindowsDirectory(const std::string& name);

// Sets an environment variable of this process, where the library reads it
// (an empty value removes it).
void setEnvironment(const std::string& name, const std::string& value);

// Writes text byte-exact as the device list (line ends are the caller's).
void writeDeviceList(const std::string& text);
void removeDeviceList();

// One device line without its CR LF: name, model, unit ID, address, MAC, aux.
std::string deviceLine(const std::string& address, int model, int unitId, int aux = 0);

// Empties the library's registry without any network traffic: a file-only
// device list without device lines, then Kelvo_Initial. Returns its count.
int forgetAllUnits();

}  // namespace kelvotest
