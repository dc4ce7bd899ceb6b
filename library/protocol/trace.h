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

// The trace file's size limit: a file that has reached it when
// Kelvo_Initial opens it is kept as "<name>.1" and a new one started; a
// file that reaches it meanwhile gets one last line saying so, and nothing
// more until the next Kelvo_Initial.
inline constexpr std::int64_t MAX_BYTES = std::int64_t{16} << 20;

// Reads KELVO_TRACE again (Kelvo_Initial); closes what was open before.
void Configure();
// Closes the trace (library unload).
void Close();

inline constexpr std::uint8_t RECONNECT_NONE = 0, RECONNECT_OK = 1, RECONNECT_FAILED = 2,
                              RECONNECT_TIMED_OUT = 3;

struct ExchangeRecord {
    std::uint8_t command, sequence;  // as the request carried them
    std::uint16_t length;            // request bytes
    Outcome outcome;
    std::uint16_t received, need;  // reply bytes that came, and that were needed
    std::int64_t micros;           // from the send to the end of the reply
    int error;                     // the OS error of a failed send or receive
    std::uint8_t reconnect;
    int reconnectError;
};

// One exchange on entry; the frame holds whatever came back.
void Exchange(const Connection& entry, const ExchangeRecord& r);
// One discovery answer of `length` bytes, and the end of collecting them.
void Answer(std::uint32_t from, int length, const std::uint8_t* mac);
void AnswersEnd(int answers, const char* why);
// One identification: the entry as it stands afterwards. `error` is the OS
// error of a failed connect, send or receive.
void Identification(const Connection& entry, platform::ConnectResult connect, int error,
                    Outcome outcome, int received, std::size_t need);
// An entry whose address let an earlier probe of the same call run out of
// time, and that is therefore not asked.
void NotAskedAgain(const Connection& entry);
// Why the device-list file was not read (missing files are not traced).
void DeviceListRefused(const char* name, platform::TextFile why, std::uint32_t maxSize);
// The end of Kelvo_Initial.
void Initial(std::int32_t mode, std::int32_t units);

}  // namespace kelvo::trace
