// One request/reply exchange of the command frame, and the rule that
// replaces a broken connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "registry/device_registry.h"

namespace kelvo {

// 1 if s became readable within ms milliseconds, else 0.
int WaitReadable(platform::Socket s, std::int32_t ms);

// Sends the first `length` bytes of frame, waits up to ms for the reply and
// receives it over the frame. True when the reply is valid: byte 0 is the
// command with bit 7 set, byte 2 the request's sequence, byte 1 (status) 0.
bool Transact(platform::Socket s, CommandFrame& frame, std::size_t length, std::int32_t ms);

// Opens a new TCP connection to the entry's unit and stores it in the entry;
// false (socket left 0) when the socket cannot be created or the connect fails.
bool Connect(DeviceEntry& entry);

// Transact on the entry's own connection and frame. A failed exchange costs
// the connection: it is closed and replaced once by a fresh connect (or left
// at 0), and the failure is reported; the request is not repeated.
bool TransactWithReconnect(DeviceEntry& entry, std::size_t length, std::int32_t ms);

// One exchange of a frame the caller prepared, with the entry's sequence
// number; steps the sequence counter whatever the outcome.
Status Exchange(DeviceEntry& entry, std::size_t length);

// Sets bytes 0, 2 and 4 of the frame as it stands and runs one exchange.
Status SimpleCommand(DeviceEntry& entry, std::uint8_t command, std::uint8_t value,
                     std::uint8_t length);

}  // namespace kelvo
