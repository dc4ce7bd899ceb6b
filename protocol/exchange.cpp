#include "protocol/exchange.h"

namespace kelvo {

int WaitReadable(platform::Socket s, std::int32_t ms) {
    return platform::sockets().waitReadable(s, ms);
}

bool Transact(platform::Socket s, CommandFrame& frame, std::size_t length, std::int32_t ms) {
    const auto& net = platform::sockets();
    const std::uint8_t command = frame[frame::COMMAND];
    const std::uint8_t sequence = frame[frame::SEQUENCE];
    const int sent = static_cast<int>(length), capacity = static_cast<int>(frame.size());
    // One receive over the request: bytes the reply does not cover keep the
    // request's. A closed connection receives nothing, which leaves the
    // request's command byte (bit 7 clear) in place and so fails below.
    int received = -1;
    if (net.exchange) {
        received = net.exchange(s, frame.data(), sent, capacity, ms);
    } else if (net.send(s, frame.data(), sent) >= 0 && WaitReadable(s, ms) == 1) {
        received = net.recv(s, frame.data(), capacity);
    }
    return received >= 0 && frame[frame::COMMAND] == (command | frame::REPLY_BIT) &&
           frame[frame::SEQUENCE] == sequence && frame[frame::STATUS] == 0;
}

bool Connect(DeviceEntry& entry) {
    const auto& net = platform::sockets();
    const platform::Socket s = net.openStream();
    if (s == platform::NO_SOCKET) return false;
    if (!net.connect(s, entry.address, entry.port)) {
        net.close(s);
        return false;
    }
    entry.socket = s;
    return true;
}

bool TransactWithReconnect(DeviceEntry& entry, std::size_t length, std::int32_t ms) {
    if (Transact(entry.socket, entry.frame, length, ms)) return true;
    // Whatever failed, the stream may hold a late or partial reply: start
    // over on a fresh connection so the next exchange cannot read it.
    if (entry.socket != platform::NO_SOCKET) platform::sockets().close(entry.socket);
    entry.socket = platform::NO_SOCKET;
    Connect(entry);
    return false;
}

Status Exchange(DeviceEntry& entry, std::size_t length) {
    entry.frame[frame::SEQUENCE] = entry.sequence;
    const bool ok = TransactWithReconnect(entry, length, REPLY_TIMEOUT_MS);
    ++entry.sequence;
    return ok ? STATUS_OK : STATUS_COMM_ERROR;
}

Status SimpleCommand(DeviceEntry& entry, std::uint8_t command, std::uint8_t value,
                     std::uint8_t length) {
    entry.frame[frame::COMMAND] = command;
    entry.frame[frame::LENGTH] = value;
    return Exchange(entry, length);
}

}  // namespace kelvo
