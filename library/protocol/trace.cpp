#include "protocol/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kelvo_models.h"

namespace kelvo::trace {

platform::TraceSink sink = 0;

namespace {

// Bytes in the trace file, and whether its last line has been written
// (standard error has no limit).
std::atomic<std::int64_t> written{0};
std::atomic<bool> full{false};
bool limited = false;

constexpr int LINE_SIZE = 256;
constexpr int TRACE_NAME_SIZE = 1024;

// "<time> <text>\n", written with one call so that lines of several threads
// do not mix.
[[gnu::format(printf, 1, 2)]] void Line(const char* format, ...) {
    char line[LINE_SIZE];
    platform::formatNow(line, LINE_SIZE);
    int n = 0;
    while (n < LINE_SIZE && line[n]) ++n;
    line[n++] = ' ';
    std::va_list args;
    va_start(args, format);
    const int text =
        std::vsnprintf(line + n, static_cast<std::size_t>(LINE_SIZE - n - 1), format, args);
    va_end(args);
    n = text < 0 ? n : (n + text < LINE_SIZE - 1 ? n + text : LINE_SIZE - 2);
    line[n++] = '\n';
    if (!limited || written.fetch_add(n, std::memory_order_relaxed) + n <= MAX_BYTES) {
        platform::writeTrace(sink, line, n);
    } else if (!full.exchange(true)) {
        static const char last[] =
            "trace: the file has reached its size limit; nothing more is written until the "
            "next Kelvo_Initial, which starts a new file\n";
        platform::writeTrace(sink, last, sizeof last - 1);
    }
}

struct Text {
    char text[64];
};

struct AddressText {
    char text[16];  // "255.255.255.255"
};

AddressText Address(std::uint32_t address) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&address);  // network order
    AddressText t;
    std::snprintf(t.text, sizeof t.text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return t;
}

// "KV-109:1 127.0.0.10", as the kelvo tool names units.
Text Unit(const Connection& entry) {
    const KelvoModel* model = kelvo_model(entry.model);
    Text t;
    if (model) {
        std::snprintf(t.text, sizeof t.text, "%.8s:%u %.15s", model->name, entry.unitId,
                      Address(entry.address).text);
    } else {
        std::snprintf(t.text, sizeof t.text, "model-%u:%u %.15s", entry.model, entry.unitId,
                      Address(entry.address).text);
    }
    return t;
}

// What went wrong, in words; the frame holds the reply for the last three.
Text Describe(Outcome outcome, int error, std::uint8_t command, std::uint8_t sequence,
              const CommandFrame& frame, int received, unsigned need) {
    Text t;
    switch (outcome) {
        case Outcome::OK:
            std::snprintf(t.text, sizeof t.text, "ok");
            break;
        case Outcome::NOT_CONNECTED:
            std::snprintf(t.text, sizeof t.text, "not connected");
            break;
        case Outcome::SEND_FAILED:
            std::snprintf(t.text, sizeof t.text, "send failed (OS error %d)", error);
            break;
        case Outcome::TIMED_OUT:
            std::snprintf(t.text, sizeof t.text, "timeout after %d ms", REPLY_TIMEOUT_MS);
            break;
        case Outcome::RECEIVE_FAILED:
            std::snprintf(t.text, sizeof t.text, "receive failed (OS error %d)", error);
            break;
        case Outcome::CLOSED:
            std::snprintf(t.text, sizeof t.text, "connection closed");
            break;
        case Outcome::WRONG_COMMAND:
            std::snprintf(t.text, sizeof t.text, "wrong command byte (got 0x%02X, expected 0x%02X)",
                          frame[frame::COMMAND], command | frame::REPLY_BIT);
            break;
        case Outcome::WRONG_SEQUENCE:
            std::snprintf(t.text, sizeof t.text, "wrong sequence (got %u, expected %u)",
                          frame[frame::SEQUENCE], sequence);
            break;
        case Outcome::UNIT_STATUS:
            std::snprintf(t.text, sizeof t.text, "unit status %u", frame[frame::STATUS]);
            break;
        case Outcome::SHORT_REPLY:
            std::snprintf(t.text, sizeof t.text, "short reply (%d of %u bytes)", received, need);
            break;
    }
    return t;
}

}  // namespace

void Configure() {
    Close();
    char where[TRACE_NAME_SIZE];
    if (platform::environment("KELVO_TRACE", where, sizeof where)) {
        std::int64_t size = 0;
        sink = platform::openTrace(where, MAX_BYTES, &size);
        written = size;
        full = false;
        limited = sink != 0 && std::strcmp(where, "stderr") != 0;
    }
}

void Close() {
    platform::closeTrace(sink);
    sink = 0;
}

void Exchange(const Connection& entry, const ExchangeRecord& r) {
    char reconnect[64] = "";
    if (r.reconnect == RECONNECT_OK) {
        std::snprintf(reconnect, sizeof reconnect, "; reconnect ok");
    } else if (r.reconnect == RECONNECT_TIMED_OUT) {
        std::snprintf(reconnect, sizeof reconnect, "; reconnect timed out after %d ms",
                      CONNECT_TIMEOUT_MS);
    } else if (r.reconnect == RECONNECT_FAILED) {
        std::snprintf(reconnect, sizeof reconnect, "; reconnect failed (OS error %d)",
                      r.reconnectError);
    }
    Line("%s command 0x%02X sequence %u length %u %lld.%03lld ms: %s%s", Unit(entry).text,
         r.command, r.sequence, r.length, static_cast<long long>(r.micros / 1000),
         static_cast<long long>(r.micros % 1000),
         Describe(r.outcome, r.error, r.command, r.sequence, entry.frame, r.received, r.need).text,
         reconnect);
}

void Answer(std::uint32_t from, int length, const std::uint8_t* mac) {
    Line("discovery answer from %s, %d bytes, MAC %02X-%02X-%02X-%02X-%02X-%02X",
         Address(from).text, length, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

void AnswersEnd(int answers, const char* why) {
    Line("discovery: %d answers, %s", answers, why);
}

void Identification(const Connection& entry, platform::ConnectResult connect, int error,
                    Outcome outcome, int received, std::size_t need) {
    const AddressText a = Address(entry.address);
    const char* address = a.text;
    if (connect == platform::ConnectResult::TIMED_OUT) {
        Line("identify %s: connect timeout after %d ms", address, CONNECT_TIMEOUT_MS);
    } else if (connect == platform::ConnectResult::FAILED) {
        Line("identify %s: connect failed (OS error %d)", address, error);
    } else {
        Line("identify %s: %s, now %s", address,
             Describe(outcome, error, CMD_INFO, 0, entry.frame, received,
                      static_cast<unsigned>(need))
                 .text,
             Unit(entry).text);
    }
}

void NotAskedAgain(const Connection& entry) {
    Line("identify %s: not asked again (no answer in time earlier in this search)",
         Address(entry.address).text);
}

void DeviceListRefused(const char* name, platform::TextFile why, std::uint32_t maxSize) {
    switch (why) {
        case platform::TextFile::NOT_A_FILE:
            Line("device list %s: not a plain file; read as no file", name);
            break;
        case platform::TextFile::TOO_LARGE:
            Line("device list %s: larger than %u bytes; read as no file", name, maxSize);
            break;
        case platform::TextFile::UNREADABLE:
            Line("device list %s: cannot be read; read as no file", name);
            break;
        case platform::TextFile::TEXT_READ:
        case platform::TextFile::MISSING:
            break;
    }
}

void Initial(std::int32_t mode, std::int32_t units) {
    Line("Kelvo_Initial: device-list mode %d, %d units", mode, units);
}

}  // namespace kelvo::trace
