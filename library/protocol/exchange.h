// One request/reply exchange of the command frame, and the rule that
// replaces a broken connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/connection.h"

namespace kelvo {

// How one request/reply went.
enum class Outcome : std::uint8_t {
    OK,
    NOT_CONNECTED,
    SEND_FAILED,
    TIMED_OUT,
    RECEIVE_FAILED,
    CLOSED,          // the unit closed the connection instead of answering
    WRONG_COMMAND,   // reply byte 0 is not the command with bit 7 set
    WRONG_SEQUENCE,  // reply byte 2 is not the request's sequence number
    UNIT_STATUS,     // reply byte 1 (the unit's status) is not 0
};

// Sends the first `length` bytes of frame on s, waits up to ms for the reply
// and receives it over the frame (bytes the reply does not cover keep the
// request's). OK when the reply is valid.
Outcome RoundTrip(platform::Socket s, CommandFrame& frame, std::size_t length, std::int32_t ms);

// Opens a new TCP connection to the entry's unit and stores it in the entry;
// false (socket left 0) when the socket cannot be created or the connect fails.
bool Connect(Connection& entry);

// Whether an exchange steps the unit's sequence counter afterwards.
enum class Sequence : std::uint8_t { STEP, KEEP };

// The one exchange on a unit: the frame as the caller prepared it, with the
// unit's sequence number in byte 2, on the unit's own connection. A failed
// exchange costs the connection: it is closed and replaced once by a fresh
// connect (or left at 0), and the failure is reported; the request is not
// repeated. With KELVO_TRACE set, each exchange writes one trace line.
Status Exchange(Connection& entry, std::size_t length, Sequence sequence = Sequence::STEP);

}  // namespace kelvo
