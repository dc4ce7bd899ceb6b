#include "support/fake_unit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/net.h"

namespace kelvotest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint16_t COMMAND_PORT = 10001;
constexpr int LOOP_WAIT_MS = 10;       // longest the server sleeps between looks
constexpr int CONTROL_WAIT_MS = 3000;  // bound on refuse() / closeConnections()

struct Connection {
    net::Sock sock;
    std::uint64_t id;  // never reused, unlike socket numbers
};

struct Delayed {
    std::uint64_t connection;
    Clock::time_point due;
    Reply reply;
};

}  // namespace

std::string testAddress(int n) {
    if (n < 2 || n > 254) throw std::out_of_range("test addresses are 127.0.0.2 to 127.0.0.254");
    return "127.0.0." + std::to_string(n);
}

struct FakeUnit::State {
    std::string address;
    std::uint8_t model, unitId, aux;

    mutable std::mutex m;
    mutable std::condition_variable changed;
    std::deque<Reply> script;
    std::function<Reply(const Bytes&)> responder;
    Bytes image;
    std::vector<Bytes> requests;
    int accepted = 0;
    int open = 0;
    bool wantListening = true;
    bool listening = false;
    std::uint64_t closeRequests = 0, closesDone = 0;

    // Owned by the server thread.
    net::Sock listener = net::BAD_SOCK;
    std::vector<Connection> clients;
    std::vector<Delayed> delayed;
    std::uint64_t nextId = 1;

    std::atomic<bool> stop{false};
    std::thread thread;

    Reply defaultReply(const Bytes& request) const;
    Reply nextReply(const Bytes& request);
    void run();
    void reconcile();
    void dropClient(std::size_t i);
    void answer(std::size_t client, const Reply& r);
    void sendDue();
    int waitMs() const;
};

Bytes FakeUnit::validReply(const Bytes& request, std::size_t length) {
    Bytes b = request;
    b.resize(std::max<std::size_t>(b.size(), 256), 0);
    b[0] |= 0x80;
    b[1] = 0;
    b.resize(length);
    return b;
}

Reply FakeUnit::State::defaultReply(const Bytes& request) const {
    Bytes b = validReply(request);
    if (request.empty()) return Reply{b};
    const std::uint8_t command = request[0];
    const bool versionAsked = request.size() > 4 && request[4] == 9;
    if (command == 0x12 && !versionAsked) {
        b[16] = model;
        b[17] = aux;
        b[18] = unitId;
    } else if (command == 0x12) {
        const std::uint8_t version[] = {2, 5, 8, 6, 20, 0x33};
        std::copy(std::begin(version), std::end(version), b.begin() + 19);
    } else if (command == 0x11 || command == 0x19) {
        const std::size_t from = command == 0x11 ? 16 : 8;
        std::lock_guard lock(m);
        const std::size_t n = std::min(image.size(), b.size() - from);
        std::copy_n(image.begin(), n, b.begin() + static_cast<std::ptrdiff_t>(from));
    }
    return Reply{b};
}

Reply FakeUnit::State::nextReply(const Bytes& request) {
    Reply r;
    bool scripted = false;
    std::function<Reply(const Bytes&)> f;
    {
        std::lock_guard lock(m);
        requests.push_back(request);
        changed.notify_all();
        if (!script.empty()) {
            r = std::move(script.front());
            script.pop_front();
            scripted = true;
        }
        f = responder;
    }
    if (!scripted && f) r = f(request);
    // Empty bytes: the default answer (possibly late).
    if (r.bytes.empty() && !r.silent && !r.close) r.bytes = defaultReply(request).bytes;
    return r;
}

void FakeUnit::State::reconcile() {
    std::unique_lock lock(m);
    if (wantListening && listener == net::BAD_SOCK) {
        lock.unlock();
        const net::Sock s = net::listenTcp(address, COMMAND_PORT);
        lock.lock();
        listener = s;
    } else if (!wantListening && listener != net::BAD_SOCK) {
        net::close(listener);
        listener = net::BAD_SOCK;
    }
    listening = listener != net::BAD_SOCK;
    if (closesDone != closeRequests) {
        for (const Connection& c : clients) net::close(c.sock);
        clients.clear();
        delayed.clear();
        open = 0;
        closesDone = closeRequests;
    }
    changed.notify_all();
}

void FakeUnit::State::dropClient(std::size_t i) {
    net::close(clients[i].sock);
    clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
    std::lock_guard lock(m);
    open = static_cast<int>(clients.size());
    changed.notify_all();
}

void FakeUnit::State::answer(std::size_t client, const Reply& r) {
    if (r.silent) return;
    if (r.delayMs > 0) {
        Reply later = r;
        later.delayMs = 0;
        delayed.push_back(
            {clients[client].id, Clock::now() + std::chrono::milliseconds(r.delayMs), later});
        return;
    }
    if (r.close) {
        dropClient(client);
        return;
    }
    if (r.split > 0 && r.split < r.bytes.size()) {
        net::send(clients[client].sock, r.bytes.data(), r.split);
        Reply rest;
        rest.bytes.assign(r.bytes.begin() + static_cast<std::ptrdiff_t>(r.split), r.bytes.end());
        delayed.push_back(
            {clients[client].id, Clock::now() + std::chrono::milliseconds(r.splitDelayMs), rest});
        return;
    }
    net::send(clients[client].sock, r.bytes.data(), r.bytes.size());
}

void FakeUnit::State::sendDue() {
    const auto now = Clock::now();
    for (std::size_t d = 0; d < delayed.size();) {
        if (delayed[d].due > now) {
            ++d;
            continue;
        }
        const Delayed item = delayed[d];
        delayed.erase(delayed.begin() + static_cast<std::ptrdiff_t>(d));
        // A late answer goes only to the connection that asked; if that one
        // is gone, the answer is lost as it would be on the wire.
        for (std::size_t c = 0; c < clients.size(); ++c) {
            if (clients[c].id == item.connection) {
                answer(c, item.reply);
                break;
            }
        }
    }
}

int FakeUnit::State::waitMs() const {
    int ms = LOOP_WAIT_MS;
    const auto now = Clock::now();
    for (const Delayed& d : delayed) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(d.due - now);
        ms = std::clamp(static_cast<int>(left.count()), 0, ms);
    }
    return ms;
}

void FakeUnit::State::run() {
    std::vector<std::uint8_t> buffer(4096);
    while (!stop) {
        reconcile();
        std::vector<net::Sock> socks;
        for (const Connection& c : clients) socks.push_back(c.sock);
        const bool withListener = listener != net::BAD_SOCK;
        if (withListener) socks.push_back(listener);
        std::vector<bool> ready;
        if (net::waitReadable(socks, ready, waitMs())) {
            // Backwards, so that dropping client i leaves the lower indices.
            for (std::size_t i = clients.size(); i-- > 0;) {
                if (!ready[i]) continue;
                const int n = net::recv(clients[i].sock, buffer.data(), buffer.size());
                if (n <= 0) {
                    dropClient(i);
                    continue;
                }
                const Bytes request(buffer.begin(), buffer.begin() + n);
                answer(i, nextReply(request));
            }
            if (withListener && ready.back()) {
                const net::Sock s = net::accept(listener);
                if (s != net::BAD_SOCK) {
                    clients.push_back({s, nextId++});
                    std::lock_guard lock(m);
                    ++accepted;
                    open = static_cast<int>(clients.size());
                    changed.notify_all();
                }
            }
        }
        sendDue();
    }
    for (const Connection& c : clients) net::close(c.sock);
    net::close(listener);
}

FakeUnit::FakeUnit(std::string address, std::uint8_t model, std::uint8_t unitId, std::uint8_t aux)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.address = std::move(address);
    s.model = model;
    s.unitId = unitId;
    s.aux = aux;
    // Listening before the constructor returns: the library may connect at once.
    s.listener = net::listenTcp(s.address, COMMAND_PORT);
    if (s.listener == net::BAD_SOCK) {
        throw std::runtime_error("fake unit cannot listen on " + s.address + ":10001");
    }
    s.listening = true;
    s.thread = std::thread([&s] { s.run(); });
}

FakeUnit::~FakeUnit() {
    state_->stop = true;
    state_->thread.join();
}

void FakeUnit::enqueue(Reply r) {
    std::lock_guard lock(state_->m);
    state_->script.push_back(std::move(r));
}

void FakeUnit::setResponder(std::function<Reply(const Bytes&)> f) {
    std::lock_guard lock(state_->m);
    state_->responder = std::move(f);
}

void FakeUnit::setData(Bytes image) {
    std::lock_guard lock(state_->m);
    state_->image = std::move(image);
}

std::vector<Bytes> FakeUnit::requests() const {
    std::lock_guard lock(state_->m);
    return state_->requests;
}

void FakeUnit::clearRequests() {
    std::lock_guard lock(state_->m);
    state_->requests.clear();
}

bool FakeUnit::waitForRequests(std::size_t n, int timeoutMs) const {
    std::unique_lock lock(state_->m);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state_->requests.size() >= n; });
}

int FakeUnit::connectionsAccepted() const {
    std::lock_guard lock(state_->m);
    return state_->accepted;
}

int FakeUnit::openConnections() const {
    std::lock_guard lock(state_->m);
    return state_->open;
}

bool FakeUnit::waitForAccepted(int n, int timeoutMs) const {
    std::unique_lock lock(state_->m);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state_->accepted >= n; });
}

bool FakeUnit::waitForOpenConnections(int n, int timeoutMs) const {
    std::unique_lock lock(state_->m);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state_->open == n; });
}

void FakeUnit::refuse(bool on) {
    std::unique_lock lock(state_->m);
    state_->wantListening = !on;
    if (!state_->changed.wait_for(lock, std::chrono::milliseconds(CONTROL_WAIT_MS),
                                  [&] { return state_->listening == !on; })) {
        throw std::runtime_error("fake unit at " + state_->address +
                                 (on ? " did not stop listening" : " cannot listen again"));
    }
}

void FakeUnit::closeConnections() {
    std::unique_lock lock(state_->m);
    const std::uint64_t ticket = ++state_->closeRequests;
    if (!state_->changed.wait_for(lock, std::chrono::milliseconds(CONTROL_WAIT_MS),
                                  [&] { return state_->closesDone >= ticket; })) {
        throw std::runtime_error("fake unit at " + state_->address + " did not close");
    }
}

const std::string& FakeUnit::address() const {
    return state_->address;
}

}  // namespace kelvotest
