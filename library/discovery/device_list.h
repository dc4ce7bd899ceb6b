// The device-list file "Kelvo.ini": its first line chooses how units are
// found, every further line lists one unit.
//
//   2\r\n
//   unit-a,3,1,192.168.0.20,02-00-00-00-00-01,0\r\n
//   (name, model code, unit ID, IPv4 address, MAC, aux byte)
//
// Lines end in CR LF; text after the last CR LF is not read.
#pragma once

#include "registry/device_registry.h"

namespace kelvo {

inline constexpr const char* DEVICE_LIST_FILE = "Kelvo.ini";

// Reads the file from the Windows directory: sets the registry's mode and
// appends one entry per device line. A missing or unreadable file gives
// mode 0 and no entries.
void ReadDeviceList(DeviceRegistry& registry, const char* fileName);

// The same for text already in memory; parsing stops at the first NUL byte.
void ParseDeviceList(DeviceRegistry& registry, const char* text);

}  // namespace kelvo
