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
    Socket (*openStream)();                                              // TCP socket, or NO_SOCKET
    Socket (*openDatagram)();                                            // UDP socket, or NO_SOCKET
    bool (*enableBroadcast)(Socket);                                     // SO_BROADCAST
    bool (*connect)(Socket, std::uint32_t address, std::uint16_t port);  // blocking
    int (*send)(Socket, const std::uint8_t* data, int length);           // count or -1
    int (*sendTo)(Socket, const std::uint8_t* data, int length, std::uint32_t address,
                  std::uint16_t port);  // count or -1
    // 1 if readable within timeoutMs (millisecond resolution), else 0.
    int (*waitReadable)(Socket, std::int32_t timeoutMs);
    int (*recv)(Socket, std::uint8_t* buffer, int capacity);  // count, 0 closed, -1 error
    // One datagram; -1 on error or when it did not fit into capacity.
    int (*recvFrom)(Socket, std::uint8_t* buffer, int capacity, std::uint32_t* fromAddress);
    int (*close)(Socket);  // 0, or -1 on error
    // Optional (null: the library makes the three calls itself). Sends the
    // first sendLength bytes of frame, waits up to timeoutMs for the reply
    // and receives it over frame with one recv of up to capacity bytes: the
    // count received (0: connection closed), or a ROUND_TRIP_ failure below.
    // The hot path of every command, in one call instead of three.
    int (*roundTrip)(Socket, std::uint8_t* frame, int sendLength, int capacity,
                     std::int32_t timeoutMs);
};

// What roundTrip returns when it receives nothing (after a failure,
// lastError() tells the operating system's reason).
inline constexpr int ROUND_TRIP_SEND_FAILED = -1;
inline constexpr int ROUND_TRIP_TIMED_OUT = -2;
inline constexpr int ROUND_TRIP_RECEIVE_FAILED = -3;

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
// append to; it returns 0 when that cannot be opened. One write per line.
using TraceSink = std::uintptr_t;
TraceSink openTrace(const char* where);
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

// Reads "<Windows directory>/<name>" whole. On success returns a buffer of
// size + 1 bytes whose last byte is 0 (release with releaseText) and sets
// *size; returns null when the file is missing, unreadable or too large for
// memory.
char* readTextFile(const char* name, std::uint32_t* size);
void releaseText(char* text);

// The four numbers of the library's file version (major, minor, YY, MMDD).
bool libraryVersion(std::uint16_t out[4]);

}  // namespace kelvo::platform
