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
    SHORT_REPLY,     // a sound start, but fewer bytes than the operation reads
};

// Judges the first `received` bytes of a reply in frame against the request's
// command and sequence: CLOSED for none, SHORT_REPLY while fewer than the
// checked bytes or than `need` are in, else OK or what is wrong with it.
Outcome JudgeReply(const CommandFrame& frame, std::uint8_t command, std::uint8_t sequence,
                   int received, std::size_t need);

// Sends the first `length` bytes of frame on s, waits up to ms for the reply
// and receives it over the frame (bytes the reply does not cover keep the
// request's). The reply must bring at least `need` bytes (at least the three
// checked ones); a reply that comes in parts is received until it has them
// or the time is up. OK when the reply is valid; *received tells how many
// bytes came.
Outcome RoundTrip(platform::Socket s, CommandFrame& frame, std::size_t length, std::size_t need,
                  std::int32_t ms, int* received);

// Opens a new TCP connection to the entry's unit, giving up after
// CONNECT_TIMEOUT_MS, and stores it in the entry; on failure the socket is
// left 0.
platform::ConnectResult Connect(Connection& entry);

// Whether an exchange steps the unit's sequence counter afterwards.
enum class Sequence : std::uint8_t { STEP, KEEP };

// The one exchange on a unit: the frame as the caller prepared it, with the
// unit's sequence number in byte 2, on the unit's own connection. An
// operation that reads reply data passes `need`, the reply bytes up to the
// last one it reads; fewer fail the exchange. A failed exchange costs the
// connection: it is closed and replaced once by a fresh connect (or left at
// 0), and the failure is reported; the request is not repeated. With
// KELVO_TRACE set, each exchange writes one trace line. *received, when
// asked for, tells how many reply bytes came.
Status Exchange(Connection& entry, std::size_t length, std::size_t need = frame::CHECKED_SIZE,
                Sequence sequence = Sequence::STEP, int* received = nullptr);

}  // namespace kelvo
