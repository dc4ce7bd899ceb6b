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
// The largest device list read: far beyond any real list (a line is some 50
// bytes). A larger file, or one that is not a plain file (a FIFO, a device,
// a directory), is not read at all.
inline constexpr std::uint32_t DEVICE_LIST_MAX_BYTES = 1u << 20;

// Reads the file from the Windows directory: sets the registry's mode and
// appends one entry per device line. A missing, unreadable or refused file
// gives mode 0 and no entries (the trace says why a file was refused).
void ReadDeviceList(DeviceRegistry& registry, const char* fileName);

// The same for text already in memory; parsing stops at the first NUL byte.
void ParseDeviceList(DeviceRegistry& registry, const char* text);

}  // namespace kelvo
