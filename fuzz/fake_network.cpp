#include "fuzz/fake_network.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelvo::fuzz {
namespace {

constexpr std::uint32_t BROADCAST = 0xFFFFFFFF;

FakeNetwork& Net() {
    static FakeNetwork net;
    return net;
}

}  // namespace

void FakeNetwork::Install() {
    static const platform::SocketOps ops{
        OpenStream,   OpenDatagram, EnableBroadcast, ConnectStart, ConnectResult, Send,   SendTo,
        WaitReadable, WaitAny,      Receive,         ReceiveFrom,  Close,         nullptr};
    platform::setSocketOps(&ops);
    if (&platform::sockets() != &ops) Fail("the fake socket table did not take");
}

FakeNetwork& FakeNetwork::Get() {
    return Net();
}

void FakeNetwork::Fail(const char* what, platform::Socket s) {
    std::fprintf(stderr, "\n*** fake network: %s (socket %llu)\n", what,
                 static_cast<unsigned long long>(s));
    std::abort();
}

void FakeNetwork::Reset(ByteStream replies, ByteStream answers, ByteStream control) {
    replies_ = replies;
    answerStream_ = answers;
    control_ = control;
    open_.clear();
    opened_ = closed_ = 0;
    exchanges_.clear();
    answers_.clear();
    answerBudget_ = 0;
    // Socket numbers only grow, within one input and across inputs, so a
    // stale number can never match a new socket.
    opStart_ = next_;
}

void FakeNetwork::BeginOp() {
    for (const auto& [s, state] : open_) {
        if (state.pending < 0) continue;
        const Exchange& e = exchanges_[static_cast<std::size_t>(state.pending)];
        if (e.sent && !e.received && !e.timedOut) {
            Fail("a request was left without its reply being read", s);
        }
    }
    exchanges_.clear();
    answers_.clear();
    lastConnect_ = false;
    connects_ = 0;
    opStart_ = next_;
}

std::vector<platform::Socket> FakeNetwork::OpenSockets() const {
    std::vector<platform::Socket> out;
    for (const auto& entry : open_) out.push_back(entry.first);
    return out;
}

bool FakeNetwork::Refuse() {
    return !control_.empty() && (control_.byte() & 7) == 0;
}

FakeNetwork::SocketState& FakeNetwork::Open(platform::Socket s, const char* call) {
    if (s == platform::NO_SOCKET) Fail(call, s);
    const auto found = open_.find(s);
    if (found == open_.end()) Fail(call, s);
    return found->second;
}

platform::Socket FakeNetwork::NewSocket(bool stream) {
    if (Refuse()) return platform::NO_SOCKET;
    const platform::Socket s = next_++;
    open_[s] = SocketState{stream, false, false, -1};
    ++opened_;
    return s;
}

platform::Socket FakeNetwork::OpenStream() {
    return Net().NewSocket(true);
}

platform::Socket FakeNetwork::OpenDatagram() {
    return Net().NewSocket(false);
}

bool FakeNetwork::EnableBroadcast(platform::Socket s) {
    FakeNetwork& net = Net();
    SocketState& state = net.Open(s, "enableBroadcast on a socket that is not open");
    if (state.stream) Fail("enableBroadcast on a stream socket", s);
    if (net.Refuse()) return false;
    state.broadcast = true;
    return true;
}

int FakeNetwork::ConnectStart(platform::Socket s, std::uint32_t address, std::uint16_t port) {
    FakeNetwork& net = Net();
    SocketState& state = net.Open(s, "connect on a socket that is not open");
    if (!state.stream) Fail("connect on a datagram socket", s);
    if (state.connected) Fail("connect on a connected socket", s);
    if (port != COMMAND_PORT) Fail("connect to a port other than the command port", s);
    ++net.connects_;
    // The platform refuses 0.0.0.0, as Winsock does.
    net.lastConnect_ = address != 0 && !net.Refuse();
    state.connected = net.lastConnect_;
    return net.lastConnect_ ? platform::CONNECT_DONE : platform::CONNECT_FAILED;
}

bool FakeNetwork::ConnectResult(platform::Socket s) {
    Fail("connectResult without a pending connect (connects here end at once)", s);
}

// The need of an exchange, read from its request as the operations set it.
std::size_t NeedOf(const std::uint8_t* request) {
    switch (request[frame::COMMAND]) {
        case CMD_READ:
            return frame::DATA + request[frame::LENGTH];
        case CMD_INFO:
            return request[frame::LENGTH] == INFO_VERSION ? version_reply::INFO + 1
                                                          : ident::UNIT_ID + 1;
        case CMD_MEM_READ:
            return frame::HEADER_SIZE + request[frame::LENGTH];
        case CMD_MEM_STATUS:
            return MEM_STATUS_COUNT + 2;
        default:
            return frame::CHECKED_SIZE;
    }
}

int FakeNetwork::Send(platform::Socket s, const std::uint8_t* data, int length) {
    FakeNetwork& net = Net();
    Exchange exchange;
    exchange.socket = s;
    if (length < static_cast<int>(frame::HEADER_SIZE) || length > static_cast<int>(FRAME_SIZE)) {
        Fail("a request shorter than its header or longer than a frame", s);
    }
    exchange.requestLength = static_cast<std::size_t>(length);
    std::memcpy(exchange.request.data(), data, exchange.requestLength);
    exchange.need = NeedOf(data);
    net.exchanges_.push_back(exchange);
    // No connection: the send fails, as the platform's does for socket 0.
    if (s == platform::NO_SOCKET) return -1;
    SocketState& state = net.Open(s, "send on a socket that is not open");
    if (!state.stream) Fail("send on a datagram socket", s);
    if (state.pending >= 0) {
        const Exchange& last = net.exchanges_[static_cast<std::size_t>(state.pending)];
        if (last.sent && !last.received && !last.timedOut) {
            Fail("a second request before the reply to the first", s);
        }
    }
    if (!state.connected || net.Refuse()) return -1;
    net.exchanges_.back().sent = true;
    state.pending = static_cast<int>(net.exchanges_.size() - 1);
    state.readable = false;
    return length;
}

int FakeNetwork::SendTo(platform::Socket s, const std::uint8_t* data, int length,
                        std::uint32_t address, std::uint16_t port) {
    FakeNetwork& net = Net();
    SocketState& state = net.Open(s, "sendTo on a socket that is not open");
    if (state.stream) Fail("sendTo on a stream socket", s);
    if (!state.broadcast) Fail("broadcast without SO_BROADCAST", s);
    if (address != BROADCAST || port != DISCOVERY_PORT) Fail("datagram to an unexpected place", s);
    if (length != static_cast<int>(DISCOVERY_QUERY.size()) ||
        std::memcmp(data, DISCOVERY_QUERY.data(), DISCOVERY_QUERY.size()) != 0) {
        Fail("a datagram that is not the discovery query", s);
    }
    return net.Refuse() ? -1 : length;
}

// A reply wait on a stream socket: the first of an exchange waits the full
// reply timeout, a wait for a reply's further part the time left of it.
int FakeNetwork::WaitStream(platform::Socket s, SocketState& state, bool first) {
    if (state.pending < 0) Fail("a reply wait without a request", s);
    Exchange& exchange = exchanges_[static_cast<std::size_t>(state.pending)];
    if (!exchange.sent) Fail("a reply wait after a failed send", s);
    if (exchange.timedOut) Fail("a reply wait after the wait ran out", s);
    if (first && exchange.received && exchange.receiveResult <= 0) {
        Fail("a reply wait after the connection closed or failed", s);
    }
    if (Refuse()) return 0;
    exchange.waited = true;
    state.readable = true;
    return 1;
}

int FakeNetwork::WaitReadable(platform::Socket s, std::int32_t ms) {
    FakeNetwork& net = Net();
    if (s == platform::NO_SOCKET) return 0;
    SocketState& state = net.Open(s, "wait on a socket that is not open");
    if (!state.stream) {
        if (ms != REPLY_TIMEOUT_MS) Fail("a discovery wait other than 1500 ms", s);
        // Discovery: readable while the input holds answers for this query.
        return net.answerBudget_ > 0 && !net.answerStream_.empty() ? 1 : 0;
    }
    const bool first =
        state.pending >= 0 && !net.exchanges_[static_cast<std::size_t>(state.pending)].received;
    if (first ? ms != REPLY_TIMEOUT_MS : (ms <= 0 || ms > REPLY_TIMEOUT_MS)) {
        Fail("a reply wait other than the reply timeout or the time left of it", s);
    }
    const int r = net.WaitStream(s, state, first);
    if (r == 0 && state.pending >= 0) {
        net.exchanges_[static_cast<std::size_t>(state.pending)].timedOut = true;
    }
    return r;
}

// Identification's wait on many probes. A probe that is not ready stays
// pending: the library decides when its time is up.
int FakeNetwork::WaitAny(const platform::Socket* sockets, const std::uint8_t* want,
                         std::uint8_t* ready, int n, std::int32_t ms) {
    FakeNetwork& net = Net();
    if (n <= 0 || n > platform::WAIT_MAX) Fail("waitAny on no sockets or too many");
    if (ms < 0 || ms > REPLY_TIMEOUT_MS) Fail("waitAny longer than the reply timeout");
    int count = 0;
    for (int i = 0; i < n; ++i) {
        SocketState& state = net.Open(sockets[i], "waitAny on a socket that is not open");
        if (!state.stream) Fail("waitAny on a datagram socket", sockets[i]);
        if (want[i] != platform::WAIT_READ) Fail("waitAny for a connect that ended", sockets[i]);
        ready[i] = static_cast<std::uint8_t>(net.WaitStream(sockets[i], state, false));
        count += ready[i];
    }
    return count;
}

int FakeNetwork::Receive(platform::Socket s, std::uint8_t* buffer, int capacity) {
    FakeNetwork& net = Net();
    SocketState& state = net.Open(s, "receive on a socket that is not open");
    if (!state.stream) Fail("receive on a datagram socket", s);
    if (state.pending < 0) Fail("a receive without a request", s);
    Exchange& exchange = net.exchanges_[static_cast<std::size_t>(state.pending)];
    if (!state.readable) Fail("a receive before the reply wait said readable", s);
    state.readable = false;
    // The first part goes to the frame's start; a further part right behind
    // what came before it.
    const int before = exchange.received ? exchange.receiveResult : 0;
    if (exchange.received && before <= 0) Fail("a receive after the connection closed", s);
    if (capacity != static_cast<int>(FRAME_SIZE) - before) {
        Fail("a receive of other than the rest of the frame", s);
    }
    exchange.received = true;

    int count = 0;
    if (!net.replies_.empty()) {
        const std::uint8_t ctl = net.replies_.byte();
        if (ctl & REPLY_FAILS) {
            exchange.receiveResult = -1;
            exchange.valid = false;
            return -1;
        }
        std::size_t length = net.replies_.byte() + ((ctl & REPLY_LONG) ? 256u : 0u);
        ByteStream reply = net.replies_.split(length);
        // Any bytes beyond the capacity would stay in the stream for a next
        // receive; the library never makes one, so they are dropped.
        count = static_cast<int>(reply.take(buffer, static_cast<std::size_t>(capacity)));
        if ((ctl & REPLY_PATCH) && before == 0) {
            buffer[frame::COMMAND] = exchange.request[frame::COMMAND] | frame::REPLY_BIT;
            buffer[frame::STATUS] = 0;
            buffer[frame::SEQUENCE] = exchange.request[frame::SEQUENCE];
            if (count < 3) count = 3;
        }
    }
    exchange.receiveResult = before + count;
    // The frame as the library will judge it: what the reply covered, and
    // the request's bytes where it did not.
    std::memcpy(exchange.frame.data() + before, buffer, static_cast<std::size_t>(capacity));
    // Only bytes that came count: fewer than the three checked ones are no
    // reply, whatever the request's own bytes look like.
    exchange.valid =
        exchange.receiveResult >= static_cast<int>(frame::CHECKED_SIZE) &&
        exchange.frame[frame::COMMAND] == (exchange.request[frame::COMMAND] | frame::REPLY_BIT) &&
        exchange.frame[frame::STATUS] == 0 &&
        exchange.frame[frame::SEQUENCE] == exchange.request[frame::SEQUENCE];
    return count;
}

int FakeNetwork::ReceiveFrom(platform::Socket s, std::uint8_t* buffer, int capacity,
                             std::uint32_t* from) {
    FakeNetwork& net = Net();
    SocketState& state = net.Open(s, "receiveFrom on a socket that is not open");
    if (state.stream) Fail("receiveFrom on a stream socket", s);
    if (net.answerBudget_ <= 0 || net.answerStream_.empty()) {
        Fail("receiveFrom with no datagram waiting", s);
    }
    --net.answerBudget_;
    Answer answer;
    const std::size_t length = net.answerStream_.byte();
    answer.from = net.answerStream_.le32();
    answer.bytes.resize(length);
    answer.bytes.resize(net.answerStream_.take(answer.bytes.data(), length));
    const std::size_t room = capacity < 0 ? 0 : static_cast<std::size_t>(capacity);
    // The platform fills the buffer and then reports a datagram that did not
    // fit as a failure.
    const std::size_t copied = answer.bytes.size() < room ? answer.bytes.size() : room;
    if (copied > 0) std::memcpy(buffer, answer.bytes.data(), copied);
    answer.delivered = answer.bytes.size() <= room;
    net.answers_.push_back(answer);
    if (!answer.delivered) return -1;
    *from = answer.from;
    return static_cast<int>(copied);
}

int FakeNetwork::Close(platform::Socket s) {
    FakeNetwork& net = Net();
    if (s == platform::NO_SOCKET) Fail("close of socket 0", s);
    const auto found = net.open_.find(s);
    if (found == net.open_.end()) Fail("close of a socket that is not open", s);
    net.open_.erase(found);
    ++net.closed_;
    return 0;
}

}  // namespace kelvo::fuzz
