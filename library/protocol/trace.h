// The trace: with KELVO_TRACE set to a file name (or to "stderr") when
// Kelvo_Initial runs, the library appends one line per exchange, per
// discovery answer and per identification, saying what happened. Off, it
// costs one predictable branch per exchange.
#pragma once

#include <cstdint>

#include "protocol/exchange.h"

namespace kelvo::trace {

// Where the lines go; 0 while tracing is off. Set only by Kelvo_Initial,
// which holds the list alone, so calls read it without a race.
extern platform::TraceSink sink;
inline bool On() {
    return sink != 0;
}

// Reads KELVO_TRACE again (Kelvo_Initial); closes what was open before.
void Configure();
// Closes the trace (library unload).
void Close();

inline constexpr std::uint8_t RECONNECT_NONE = 0, RECONNECT_OK = 1, RECONNECT_FAILED = 2;

struct ExchangeRecord {
    std::uint8_t command, sequence;  // as the request carried them
    std::uint16_t length;            // request bytes
    Outcome outcome;
    std::int64_t micros;  // from the send to the end of the reply
    int error;            // the OS error of a failed send or receive
    std::uint8_t reconnect;
    int reconnectError;
};

// One exchange on entry; the frame holds whatever came back.
void Exchange(const Connection& entry, const ExchangeRecord& r);
// One discovery answer of `length` bytes, and the end of collecting them.
void Answer(std::uint32_t from, int length, const std::uint8_t* mac);
void AnswersEnd(int answers, const char* why);
// One identification: the entry as it stands afterwards.
void Identification(const Connection& entry, bool connected, int error, Outcome outcome);
// The end of Kelvo_Initial.
void Initial(std::int32_t mode, std::int32_t units);

}  // namespace kelvo::trace
