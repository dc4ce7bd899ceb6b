#include "protocol/exchange.h"

#include "protocol/trace.h"

namespace kelvo {
namespace {

// The exchange through a socket table without roundTrip (a stand-in for the
// network): the same calls, one at a time, with the reply's time counted
// from the send.
[[gnu::noinline]] int ComposedRoundTrip(const platform::SocketOps& net, platform::Socket s,
                                        std::uint8_t* frame, int sent, int need, int capacity,
                                        std::int32_t ms) {
    const std::int64_t start = platform::monotonicMs();
    if (net.send(s, frame, sent) < 0) return platform::ROUND_TRIP_SEND_FAILED;
    if (net.waitReadable(s, ms) != 1) return platform::ROUND_TRIP_TIMED_OUT;
    int got = net.recv(s, frame, capacity);
    if (got < 0) return platform::ROUND_TRIP_RECEIVE_FAILED;
    while (got > 0 && got < need && got < capacity) {
        const std::int64_t left = ms - (platform::monotonicMs() - start);
        if (left <= 0 || net.waitReadable(s, static_cast<std::int32_t>(left)) != 1) break;
        const int n = net.recv(s, frame + got, capacity - got);
        if (n < 0) return platform::ROUND_TRIP_RECEIVE_FAILED;
        if (n == 0) break;
        got += n;
    }
    return got;
}

}  // namespace

Outcome JudgeReply(const CommandFrame& frame, std::uint8_t command, std::uint8_t sequence,
                   int received, std::size_t need) {
    // Only bytes that came are judged: the rest of the frame still holds
    // the request.
    if (received <= 0) return Outcome::CLOSED;
    if (frame[frame::COMMAND] != (command | frame::REPLY_BIT)) return Outcome::WRONG_COMMAND;
    if (received > 2 && frame[frame::SEQUENCE] != sequence) return Outcome::WRONG_SEQUENCE;
    if (received > 1 && frame[frame::STATUS] != 0) return Outcome::UNIT_STATUS;
    if (static_cast<std::size_t>(received) < need || received < 3) return Outcome::SHORT_REPLY;
    return Outcome::OK;
}

Outcome RoundTrip(platform::Socket s, CommandFrame& frame, std::size_t length, std::size_t need,
                  std::int32_t ms, int* received) {
    const auto& net = platform::sockets();
    const std::uint8_t command = frame[frame::COMMAND];
    const std::uint8_t sequence = frame[frame::SEQUENCE];
    const int sent = static_cast<int>(length), capacity = static_cast<int>(frame.size());
    const int wanted = static_cast<int>(need < frame::CHECKED_SIZE ? frame::CHECKED_SIZE : need);
    // One receive over the request when the reply comes whole.
    const int n = net.roundTrip
                      ? net.roundTrip(s, frame.data(), sent, wanted, capacity, ms)
                      : ComposedRoundTrip(net, s, frame.data(), sent, wanted, capacity, ms);
    *received = n;
    if (n >= wanted && frame[frame::COMMAND] == (command | frame::REPLY_BIT) &&
        frame[frame::SEQUENCE] == sequence && frame[frame::STATUS] == 0) [[likely]] {
        return Outcome::OK;
    }
    if (n == platform::ROUND_TRIP_SEND_FAILED) return Outcome::SEND_FAILED;
    if (n == platform::ROUND_TRIP_TIMED_OUT) return Outcome::TIMED_OUT;
    if (n < 0) return Outcome::RECEIVE_FAILED;
    return JudgeReply(frame, command, sequence, n, static_cast<std::size_t>(wanted));
}

platform::ConnectResult Connect(Connection& entry) {
    const auto& net = platform::sockets();
    const platform::Socket s = net.openStream();
    if (s == platform::NO_SOCKET) return platform::ConnectResult::FAILED;
    const platform::ConnectResult result =
        platform::connectWithin(s, entry.address, entry.port, CONNECT_TIMEOUT_MS);
    if (result != platform::ConnectResult::CONNECTED) {
        const int error = platform::lastError();
        net.close(s);
        platform::setLastError(error);
        return result;
    }
    entry.socket = s;
    return result;
}

namespace {

// Whatever failed, the stream may hold a late or partial reply: start over
// on a fresh connection so that the next exchange cannot read it.
platform::ConnectResult Reconnect(Connection& entry) {
    if (entry.socket != platform::NO_SOCKET) platform::sockets().close(entry.socket);
    entry.socket = platform::NO_SOCKET;
    return Connect(entry);
}

// The same exchange, timed and written to the trace.
[[gnu::noinline, gnu::cold]] Status TracedExchange(Connection& entry, std::size_t length,
                                                   std::size_t need, Sequence sequence,
                                                   int* receivedOut) {
    trace::ExchangeRecord r{};
    r.command = entry.frame[frame::COMMAND];
    r.sequence = entry.frame[frame::SEQUENCE];
    r.length = static_cast<std::uint16_t>(length);
    r.need = static_cast<std::uint16_t>(need < frame::CHECKED_SIZE ? frame::CHECKED_SIZE : need);
    const std::int64_t start = platform::monotonicUs();
    int received = 0;
    r.outcome = entry.socket == platform::NO_SOCKET ? Outcome::NOT_CONNECTED
                                                    : RoundTrip(entry.socket, entry.frame, length,
                                                                need, REPLY_TIMEOUT_MS, &received);
    r.received = static_cast<std::uint16_t>(received < 0 ? 0 : received);
    if (receivedOut) *receivedOut = received;
    r.micros = platform::monotonicUs() - start;
    if (r.outcome == Outcome::SEND_FAILED || r.outcome == Outcome::RECEIVE_FAILED) {
        r.error = platform::lastError();
    }
    if (r.outcome != Outcome::OK) {
        switch (Reconnect(entry)) {
            case platform::ConnectResult::CONNECTED:
                r.reconnect = trace::RECONNECT_OK;
                break;
            case platform::ConnectResult::TIMED_OUT:
                r.reconnect = trace::RECONNECT_TIMED_OUT;
                break;
            case platform::ConnectResult::FAILED:
                r.reconnect = trace::RECONNECT_FAILED;
                r.reconnectError = platform::lastError();
                break;
        }
    }
    trace::Exchange(entry, r);
    if (sequence == Sequence::STEP) ++entry.sequence;
    return r.outcome == Outcome::OK ? STATUS_OK : STATUS_COMM_ERROR;
}

}  // namespace

Status Exchange(Connection& entry, std::size_t length, std::size_t need, Sequence sequence,
                int* receivedOut) {
    entry.frame[frame::SEQUENCE] = entry.sequence;
    if (trace::On()) [[unlikely]]
        return TracedExchange(entry, length, need, sequence, receivedOut);
    int received = 0;
    const bool ok = RoundTrip(entry.socket, entry.frame, length, need, REPLY_TIMEOUT_MS,
                              &received) == Outcome::OK;
    if (receivedOut) *receivedOut = received;
    if (!ok) Reconnect(entry);
    if (sequence == Sequence::STEP) ++entry.sequence;
    return ok ? STATUS_OK : STATUS_COMM_ERROR;
}

}  // namespace kelvo
