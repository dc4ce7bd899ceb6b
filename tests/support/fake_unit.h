// Scriptable stand-ins for the units on loopback: FakeUnit serves the TCP
// command port, DiscoveryAnswerer answers the UDP discovery query. Both work
// with literal bytes and know nothing of the library's insides.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvotest {

using Bytes = std::vector<std::uint8_t>;

// 127.0.0.n, n from 2 to 254. Each test uses addresses of its own (the
// discovery and connection tests 2 to 99, the channel and sampling tests
// 100 to 250) so that no test disturbs another.
std::string testAddress(int n);

// The answer to one request.
struct Reply {
    Bytes bytes;          // sent with one send(); empty: the default reply
    int delayMs = 0;      // wait this long before answering
    bool silent = false;  // never answer this request
    bool close = false;   // close the connection instead of answering
    // When non-zero: only the first `split` bytes go at once, the rest
    // splitDelayMs later (a reply that arrives in two parts).
    std::size_t split = 0;
    int splitDelayMs = 0;
};

// A unit's TCP command service on address:10001, served by a thread of its
// own. Each recv() is one request (the library sends each request with one
// send). Replies come from the scripted queue first, then from the
// responder. Default responder:
//   0x12 with byte 4 != 9: identification, reply bytes 16, 17, 18 = model,
//     aux, unit ID;
//   0x12 with byte 4 == 9: version, reply bytes 19..24 = 2, 5, 8, 6, 20, 0x33;
//   anything else: validReply(request), data image (setData) placed from
//     reply byte 16 for 0x11, from byte 8 for 0x19.
class FakeUnit {
  public:
    // Throws std::runtime_error when address:10001 cannot be listened on.
    FakeUnit(std::string address, std::uint8_t model, std::uint8_t unitId, std::uint8_t aux = 0);
    ~FakeUnit();
    FakeUnit(const FakeUnit&) = delete;
    FakeUnit& operator=(const FakeUnit&) = delete;

    void enqueue(Reply r);
    void setResponder(std::function<Reply(const Bytes& request)> f);
    void setData(Bytes image);

    // The request copied, byte 0 |= 0x80, byte 1 = 0, padded with zeros or
    // cut to length.
    static Bytes validReply(const Bytes& request, std::size_t length = 256);

    std::vector<Bytes> requests() const;
    void clearRequests();
    bool waitForRequests(std::size_t n, int timeoutMs) const;  // at least n received

    int connectionsAccepted() const;  // total accepted so far
    int openConnections() const;      // currently open, as the unit sees it
    // Bounded waits: until at least n accepted / exactly n open.
    bool waitForAccepted(int n, int timeoutMs) const;
    bool waitForOpenConnections(int n, int timeoutMs) const;

    // on: stop listening, so connects are refused; off: listen again.
    void refuse(bool on);
    // Closes every open connection from the unit's side (a unit switched
    // off, with refuse(true)).
    void closeConnections();

    const std::string& address() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Answers the discovery query on UDP 0.0.0.0:30718. Only for tests that run
// inside the private network namespace.
class DiscoveryAnswerer {
  public:
    DiscoveryAnswerer();  // throws std::runtime_error when the port cannot be bound
    ~DiscoveryAnswerer();
    DiscoveryAnswerer(const DiscoveryAnswerer&) = delete;
    DiscoveryAnswerer& operator=(const DiscoveryAnswerer&) = delete;

    // On each query, send answer `times` times to the asker from a socket
    // bound to fromAddress. Answers go out in the order they were added.
    void add(std::string fromAddress, Bytes answer, int times = 1);
    // After the first query, keep sending every answer to its asker again,
    // `burst` times every `pauseMs` ms, until destroyed (a hostile host).
    void flood(int burst, int pauseMs);
    int queriesReceived() const;
    std::vector<Bytes> queries() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// A discovery answer: zeros with the MAC at bytes 24..29 (cut to length).
Bytes discoveryAnswer(std::array<std::uint8_t, 6> mac, std::size_t length = 30);

}  // namespace kelvotest
