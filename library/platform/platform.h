// The operating system behind one small interface: sockets, the device-list
// file, the library's version, the clock and the trace's sink. Winsock and the
// Win32 file and version calls on Windows; POSIX on Linux, behaving as
// Winsock does wherever the library relies on it.
#pragma once

#include <cstdint>

namespace kelvo::platform {

// A socket handle; 0 means "no socket" everywhere in the library.
using Socket = std::uintptr_t;
inline constexpr Socket NO_SOCKET = 0;

// Socket operations. The library reaches the network only through the table
// returned by sockets(), so a test or fuzzer can stand in for the network.
// Addresses are IPv4 in network byte order; ports are in host order.
struct SocketOps {
    Socket (*openStream)();           // TCP socket, or NO_SOCKET
    Socket (*openDatagram)();         // UDP socket, or NO_SOCKET
    bool (*enableBroadcast)(Socket);  // SO_BROADCAST
    // Starts a connect without waiting for it: CONNECT_DONE, CONNECT_PENDING
    // (wait for WAIT_WRITE, then connectResult), or CONNECT_FAILED with the
    // reason in lastError(). No connect ever blocks its caller.
    int (*connectStart)(Socket, std::uint32_t address, std::uint16_t port);
    // A pending connect that waitAny reported ready: true when it is
    // connected (the socket is back in blocking mode), else false with the
    // reason in lastError().
    bool (*connectResult)(Socket);
    int (*send)(Socket, const std::uint8_t* data, int length);  // count or -1
    int (*sendTo)(Socket, const std::uint8_t* data, int length, std::uint32_t address,
                  std::uint16_t port);  // count or -1
    // 1 if readable within timeoutMs (millisecond resolution), else 0.
    int (*waitReadable)(Socket, std::int32_t timeoutMs);
    // Waits up to timeoutMs for any of n sockets (n <= WAIT_MAX): want[i] is
    // WAIT_READ (data, or a closed connection) or WAIT_WRITE (the end of a
    // pending connect, either way). Sets ready[i] to 1 or 0 and returns how
    // many are ready: 0 when the time ran out, -1 on error.
    int (*waitAny)(const Socket* sockets, const std::uint8_t* want, std::uint8_t* ready, int n,
                   std::int32_t timeoutMs);
    int (*recv)(Socket, std::uint8_t* buffer, int capacity);  // count, 0 closed, -1 error
    // One datagram; -1 on error or when it did not fit into capacity.
    int (*recvFrom)(Socket, std::uint8_t* buffer, int capacity, std::uint32_t* fromAddress);
    int (*close)(Socket);  // 0, or -1 on error
    // Optional (null: the library makes the calls itself). Sends the first
    // sendLength bytes of frame, waits up to timeoutMs for the reply and
    // receives it over frame, up to capacity bytes. One receive when the
    // reply comes whole; when fewer than need bytes came, it goes on
    // receiving behind them until need bytes are in, the connection closes
    // or the time (counted from the send) is up. Returns the count received
    // (0: connection closed at once), or a ROUND_TRIP_ failure below.
    // The hot path of every command, in one call.
    int (*roundTrip)(Socket, std::uint8_t* frame, int sendLength, int need, int capacity,
                     std::int32_t timeoutMs);
};

inline constexpr int CONNECT_DONE = 1;
inline constexpr int CONNECT_PENDING = 0;
inline constexpr int CONNECT_FAILED = -1;

inline constexpr std::uint8_t WAIT_READ = 1;
inline constexpr std::uint8_t WAIT_WRITE = 2;
// The most sockets one waitAny takes (Winsock's select sets are sized for it).
inline constexpr int WAIT_MAX = 128;

// What roundTrip returns when it receives nothing (after a failure,
// lastError() tells the operating system's reason).
inline constexpr int ROUND_TRIP_SEND_FAILED = -1;
inline constexpr int ROUND_TRIP_TIMED_OUT = -2;
inline constexpr int ROUND_TRIP_RECEIVE_FAILED = -3;

// One connect through the socket table that gives up after timeoutMs.
enum class ConnectResult : std::uint8_t { CONNECTED, FAILED, TIMED_OUT };
ConnectResult connectWithin(Socket s, std::uint32_t address, std::uint16_t port,
                            std::int32_t timeoutMs);

// The calling thread's last socket error (errno; WSAGetLastError on Windows).
int lastError();
void setLastError(int error);

const SocketOps& sockets();
// Replaces the socket operations (null restores the system's). For tests.
void setSocketOps(const SocketOps* ops);

// The socket layer (Winsock 1.1 on Windows) starts on first use: with the
// first socket the library opens, never while the library is being loaded.
// Stops it at unload, if it was started.
void releaseSocketLayer();

// Microseconds on a clock that only moves forward (not the time of day).
std::int64_t monotonicUs();
inline std::int64_t monotonicMs() {
    return monotonicUs() / 1000;
}

// The trace: where its lines go. openTrace takes "stderr" or a file to
// append to; it returns 0 when that cannot be opened or is not a plain file
// (a symbolic link, a FIFO or a device is refused). A new file is readable
// by its owner only. A file that has grown to maxBytes is first renamed to
// "<name>.1" (replacing an older one), and a new one is started; *size
// tells how many bytes the file already holds. One write per line.
using TraceSink = std::uintptr_t;
TraceSink openTrace(const char* where, std::int64_t maxBytes, std::int64_t* size);
void writeTrace(TraceSink sink, const char* line, int length);
void closeTrace(TraceSink sink);
// The local time of day, "YYYY-MM-DD HH:MM:SS.mmm".
void formatNow(char* out, int size);
// The value of an environment variable of the process; false when it is
// unset, empty or longer than size - 1.
bool environment(const char* name, char* out, int size);

// Dotted IPv4 text to an address in network byte order, as inet_addr does:
// text it does not accept gives 0xFFFFFFFF.
std::uint32_t parseAddress(const char* text);

// Reads "<Windows directory>/<name>" whole, if it is a plain file of at most
// maxSize bytes; opening it never waits (a FIFO of that name is refused, not
// waited on). On TEXT_READ, *text is a buffer of *size + 1 bytes whose last
// byte is 0 (release with releaseText).
enum class TextFile : std::uint8_t { TEXT_READ, MISSING, NOT_A_FILE, TOO_LARGE, UNREADABLE };
TextFile readTextFile(const char* name, std::uint32_t maxSize, char** text, std::uint32_t* size);
void releaseText(char* text);

// The four numbers of the library's file version (major, minor, YY, MMDD).
bool libraryVersion(std::uint16_t out[4]);

}  // namespace kelvo::platform
