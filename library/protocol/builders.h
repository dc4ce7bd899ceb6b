// Command builders: each turns one operation into one request in the unit's
// frame (or a series of chunk requests for memory transfers), runs it, and
// copies reply data out. The caller has already run the handle check.
//
// Counts beyond what a frame can carry are refused with STATUS_BAD_CHANNEL:
// nothing is ever written past the frame or read past a caller's buffer.
#pragma once

#include <cstdint>

#include "protocol/connection.h"

namespace kelvo {

inline constexpr std::uint8_t SELECT_ALL = 0xFF;  // all ports / channel-mask mode

// The request of CMD_INFO: byte 4 = 0 asks who the unit is, INFO_VERSION
// for its version data. Clears the frame first.
void InfoRequest(CommandFrame& frame, std::uint8_t ask);

// One configuration byte string (n <= 8) for a channel.
Status Configure(Connection& entry, std::uint8_t n, std::uint8_t channel,
                 const std::uint8_t* bytes);
// n bytes of the port image (n <= 240).
Status ReadPorts(Connection& entry, std::uint8_t n, std::uint8_t* destination);
// Values and masks of ports 0..n-1 (n <= 8).
Status WritePorts(Connection& entry, std::uint8_t n, const std::uint8_t* values,
                  const std::uint8_t* masks);
// Direction bytes for ports 0..n-1 (n <= 8).
Status SetDirections(Connection& entry, std::uint8_t n, const std::uint8_t* directions);
// n bytes of one channel, or of all channels with SELECT_ALL (n <= 240).
// The destination reads as zeros after any failure.
Status ReadChannels(Connection& entry, std::uint8_t n, std::uint8_t* destination,
                    std::uint8_t selector);
// n data bytes for one channel, or in mask mode (SELECT_ALL) for the channels
// set in mask (n <= 240; the first 64 bytes travel).
Status WriteChannels(Connection& entry, std::uint8_t n, const std::uint8_t* data,
                     std::uint8_t selector, std::uint32_t mask);
// As WriteChannels, but always a short request (n <= 8).
Status WriteCounters(Connection& entry, std::uint8_t n, const std::uint8_t* data,
                     std::uint8_t selector, std::uint32_t mask);

// Memory transfers in chunks of up to 248 bytes. `flag` goes into byte 5 of
// the first of several chunks; the last (or only) chunk carries CHUNK_LAST.
// A failed chunk ends the transfer; earlier chunks have moved.
Status TransferRead(Connection& entry, std::uint32_t total, std::uint8_t* destination,
                    std::uint8_t flag);
Status TransferWrite(Connection& entry, std::uint32_t total, const std::uint8_t* source,
                     std::uint8_t flag);

}  // namespace kelvo
