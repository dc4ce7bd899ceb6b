// A stand-in for the network behind the platform's socket table. Every reply,
// discovery answer and failure the library sees comes from the fuzzer input,
// and every socket call is checked and recorded so that the target can hold
// the library to what it reports:
//
//   - sockets are used only while open, closed exactly once, never socket 0;
//   - each command exchange (send, wait, one receive or several for a reply
//     in parts) is judged by the reply rule: byte 0 = request byte 0 | 0x80,
//     byte 1 = 0, byte 2 = request byte 2, on the bytes that came; an
//     operation that reads reply data needs them all (ok());
//   - the discovery query goes to 255.255.255.255:30718 and nowhere else.
//
// Nothing here touches a real socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "fuzz/byte_stream.h"
#include "platform/platform.h"
#include "protocol/frame.h"

namespace kelvo::fuzz {

// Reply stream, one record per receive (a receive after a reply's first
// part takes the next record as its next part):
//   ctl [len] [bytes]
//   ctl & 0x40: the receive fails (-1); nothing more is read for it.
//   ctl & 0x20: len counts 256 more (replies longer than a frame).
//   ctl & 0x80: bytes 0..2 are made valid for the request (so that the
//               fuzzer can reach code behind the check without guessing
//               sequence numbers); the judgment still looks at the result.
// An empty stream reads as a peer that closed the connection (0 bytes).
inline constexpr std::uint8_t REPLY_FAILS = 0x40;
inline constexpr std::uint8_t REPLY_LONG = 0x20;
inline constexpr std::uint8_t REPLY_PATCH = 0x80;

// Answer stream, one record per datagram: len, sender address (4 bytes, as
// held in network byte order), len bytes. Answers longer than the receive
// buffer fail as truncated, as the platform layer promises.
//
// Control stream: one byte per openStream, openDatagram, enableBroadcast,
// connectStart, send, sendTo and wait on a stream socket (per socket in a
// waitAny); a byte whose low three bits are 0 makes that call fail (or time
// out). An empty stream lets every call succeed. Connects end at once.

struct Exchange {
    platform::Socket socket = platform::NO_SOCKET;
    bool sent = false;      // send returned a count
    bool waited = false;    // a reply wait said readable
    bool timedOut = false;  // a reply wait ran out
    bool received = false;
    // At least the three checked bytes came and they pass the reply rule.
    bool valid = false;
    int receiveResult = 0;  // bytes received in all, or -1
    // The reply bytes the operation reads (from the request: a read needs
    // its data, identification bytes 16..18, version bytes up to 24, the
    // memory status bytes up to 11; anything else the checked three).
    std::size_t need = 3;
    std::size_t requestLength = 0;
    CommandFrame request{};  // the bytes sent (requestLength of them)
    CommandFrame frame{};    // the whole receive buffer after the receives
    bool ok() const { return valid && receiveResult >= static_cast<int>(need); }
};

struct Answer {
    std::uint32_t from = 0;
    std::vector<std::uint8_t> bytes;
    bool delivered = false;  // false: longer than the buffer, reported as failed
};

class FakeNetwork {
  public:
    // Installs the fake into the platform layer; from here on the process
    // has no way to reach the real network through the library.
    static void Install();
    static FakeNetwork& Get();

    void Reset(ByteStream replies, ByteStream answers, ByteStream control);

    // Per operation: what the library did between BeginOp and the checks.
    void BeginOp();
    const std::vector<Exchange>& Exchanges() const { return exchanges_; }
    const std::vector<Answer>& Answers() const { return answers_; }
    bool LastConnectSucceeded() const { return lastConnect_; }
    std::size_t ConnectsThisOp() const { return connects_; }
    platform::Socket FirstSocketThisOp() const { return opStart_; }
    // How many datagrams the discovery socket may still receive.
    void SetAnswerBudget(int n) { answerBudget_ = n; }

    std::vector<platform::Socket> OpenSockets() const;
    std::uint64_t Opened() const { return opened_; }
    std::uint64_t Closed() const { return closed_; }

    // Reports a broken rule and stops the process, so that the fuzzer keeps
    // the input.
    [[noreturn]] static void Fail(const char* what, platform::Socket s = 0);

  private:
    struct SocketState {
        bool stream = false;
        bool connected = false;
        bool broadcast = false;
        int pending = -1;       // index of the socket's last exchange
        bool readable = false;  // a wait said readable; no receive since
    };

    bool Refuse();  // one control byte: should this call fail?
    SocketState& Open(platform::Socket s, const char* call);

    // The socket table's entries.
    static platform::Socket OpenStream();
    static platform::Socket OpenDatagram();
    static bool EnableBroadcast(platform::Socket s);
    static int ConnectStart(platform::Socket s, std::uint32_t address, std::uint16_t port);
    static bool ConnectResult(platform::Socket s);
    static int Send(platform::Socket s, const std::uint8_t* data, int length);
    static int SendTo(platform::Socket s, const std::uint8_t* data, int length,
                      std::uint32_t address, std::uint16_t port);
    static int WaitReadable(platform::Socket s, std::int32_t ms);
    static int WaitAny(const platform::Socket* sockets, const std::uint8_t* want,
                       std::uint8_t* ready, int n, std::int32_t ms);
    int WaitStream(platform::Socket s, SocketState& state, bool first);
    static int Receive(platform::Socket s, std::uint8_t* buffer, int capacity);
    static int ReceiveFrom(platform::Socket s, std::uint8_t* buffer, int capacity,
                           std::uint32_t* from);
    static int Close(platform::Socket s);

    platform::Socket NewSocket(bool stream);

    ByteStream replies_, answerStream_, control_;
    std::map<platform::Socket, SocketState> open_;
    platform::Socket next_ = 100;
    platform::Socket opStart_ = 100;
    std::uint64_t opened_ = 0, closed_ = 0;
    std::vector<Exchange> exchanges_;
    std::vector<Answer> answers_;
    int answerBudget_ = 0;
    bool lastConnect_ = false;
    std::size_t connects_ = 0;
};

}  // namespace kelvo::fuzz
