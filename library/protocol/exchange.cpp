#include "protocol/exchange.h"

#include "protocol/trace.h"

namespace kelvo {

Outcome RoundTrip(platform::Socket s, CommandFrame& frame, std::size_t length, std::int32_t ms) {
    const auto& net = platform::sockets();
    const std::uint8_t command = frame[frame::COMMAND];
    const std::uint8_t sequence = frame[frame::SEQUENCE];
    const int sent = static_cast<int>(length), capacity = static_cast<int>(frame.size());
    // One receive over the request.
    int received;
    if (net.roundTrip) {
        received = net.roundTrip(s, frame.data(), sent, capacity, ms);
    } else if (net.send(s, frame.data(), sent) < 0) {
        received = platform::ROUND_TRIP_SEND_FAILED;
    } else if (net.waitReadable(s, ms) != 1) {
        received = platform::ROUND_TRIP_TIMED_OUT;
    } else {
        received = net.recv(s, frame.data(), capacity);
        if (received < 0) received = platform::ROUND_TRIP_RECEIVE_FAILED;
    }
    if (received > 0 && frame[frame::COMMAND] == (command | frame::REPLY_BIT) &&
        frame[frame::SEQUENCE] == sequence && frame[frame::STATUS] == 0) [[likely]] {
        return Outcome::OK;
    }
    if (received == platform::ROUND_TRIP_SEND_FAILED) return Outcome::SEND_FAILED;
    if (received == platform::ROUND_TRIP_TIMED_OUT) return Outcome::TIMED_OUT;
    if (received < 0) return Outcome::RECEIVE_FAILED;
    if (received == 0) return Outcome::CLOSED;
    if (frame[frame::COMMAND] != (command | frame::REPLY_BIT)) return Outcome::WRONG_COMMAND;
    if (frame[frame::SEQUENCE] != sequence) return Outcome::WRONG_SEQUENCE;
    return Outcome::UNIT_STATUS;
}

bool Connect(Connection& entry) {
    const auto& net = platform::sockets();
    const platform::Socket s = net.openStream();
    if (s == platform::NO_SOCKET) return false;
    if (!net.connect(s, entry.address, entry.port)) {
        const int error = platform::lastError();
        net.close(s);
        platform::setLastError(error);
        return false;
    }
    entry.socket = s;
    return true;
}

namespace {

// Whatever failed, the stream may hold a late or partial reply: start over
// on a fresh connection so that the next exchange cannot read it.
bool Reconnect(Connection& entry) {
    if (entry.socket != platform::NO_SOCKET) platform::sockets().close(entry.socket);
    entry.socket = platform::NO_SOCKET;
    return Connect(entry);
}

// The same exchange, timed and written to the trace.
[[gnu::noinline, gnu::cold]] Status TracedExchange(Connection& entry, std::size_t length,
                                                   Sequence sequence) {
    trace::ExchangeRecord r{};
    r.command = entry.frame[frame::COMMAND];
    r.sequence = entry.frame[frame::SEQUENCE];
    r.length = static_cast<std::uint16_t>(length);
    const std::int64_t start = platform::monotonicUs();
    r.outcome = entry.socket == platform::NO_SOCKET
                    ? Outcome::NOT_CONNECTED
                    : RoundTrip(entry.socket, entry.frame, length, REPLY_TIMEOUT_MS);
    r.micros = platform::monotonicUs() - start;
    if (r.outcome == Outcome::SEND_FAILED || r.outcome == Outcome::RECEIVE_FAILED) {
        r.error = platform::lastError();
    }
    if (r.outcome != Outcome::OK) {
        r.reconnect = Reconnect(entry) ? trace::RECONNECT_OK : trace::RECONNECT_FAILED;
        if (r.reconnect == trace::RECONNECT_FAILED) r.reconnectError = platform::lastError();
    }
    trace::Exchange(entry, r);
    if (sequence == Sequence::STEP) ++entry.sequence;
    return r.outcome == Outcome::OK ? STATUS_OK : STATUS_COMM_ERROR;
}

}  // namespace

Status Exchange(Connection& entry, std::size_t length, Sequence sequence) {
    entry.frame[frame::SEQUENCE] = entry.sequence;
    if (trace::On()) [[unlikely]]
        return TracedExchange(entry, length, sequence);
    const bool ok = RoundTrip(entry.socket, entry.frame, length, REPLY_TIMEOUT_MS) == Outcome::OK;
    if (!ok) Reconnect(entry);
    if (sequence == Sequence::STEP) ++entry.sequence;
    return ok ? STATUS_OK : STATUS_COMM_ERROR;
}

}  // namespace kelvo
