// POSIX socket, file and version calls, behaving as the Winsock and Win32
// calls of the Windows build do where the library depends on it.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "kelvo_version.h"
#include "platform/lock.h"
#include "platform/platform.h"
#include "platform/system_sockets.h"

namespace kelvo::platform {
namespace {

int fd(Socket s) {
    return static_cast<int>(s);
}

// Descriptor 0 means "no connection" to the library, so a socket must never
// get it (it can when the host process closed its standard input).
Socket adopt(int d) {
    if (d < 0) return NO_SOCKET;
    if (d == 0) {
        const int moved = ::fcntl(d, F_DUPFD_CLOEXEC, 1);
        ::close(d);
        if (moved < 0) return NO_SOCKET;
        d = moved;
    }
    return static_cast<Socket>(d);
}

sockaddr_in endpoint(std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = address;
    return sa;
}

// Waits for `events` on s for up to ms milliseconds (ms < 0: no limit).
// A signal does not end the wait early: the wait resumes with the time left.
// The ppoll system call writes the time left back into its timeout (the
// C library's wrapper hides that), which spares a clock reading per wait.
int pollFor(Socket s, short events, std::int32_t ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    timespec* timeout = ms < 0 ? nullptr : &left;
    for (;;) {
        pollfd p{fd(s), events, 0};
        const long r = ::syscall(SYS_ppoll, &p, 1, timeout, nullptr, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || (p.revents & POLLNVAL)) return 0;
        return p.revents;
    }
}

}  // namespace

namespace system {

Socket openStream() {
    return adopt(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}
Socket openDatagram() {
    return adopt(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

bool enableBroadcast(Socket s) {
    const int on = 1;
    return s != NO_SOCKET && ::setsockopt(fd(s), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

bool connect(Socket s, std::uint32_t address, std::uint16_t port) {
    // Winsock refuses 0.0.0.0 as a destination; Linux would reach this host.
    if (s == NO_SOCKET || address == 0) return false;
    const sockaddr_in sa = endpoint(address, port);
    if (::connect(fd(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
    if (errno != EINTR && errno != EINPROGRESS) return false;
    // Interrupted: the connect goes on in the background; wait for its end.
    if (!(pollFor(s, POLLOUT, -1) & (POLLOUT | POLLERR | POLLHUP))) return false;
    int err = 0;
    socklen_t len = sizeof err;
    return ::getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

int send(Socket s, const std::uint8_t* data, int length) {
    if (s == NO_SOCKET || length < 0) return -1;
    int done = 0;
    while (done < length) {
        const ssize_t n =
            ::send(fd(s), data + done, static_cast<size_t>(length - done), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<int>(n);
    }
    return done;
}

int sendTo(Socket s, const std::uint8_t* data, int length, std::uint32_t address,
           std::uint16_t port) {
    if (s == NO_SOCKET || length < 0) return -1;
    const sockaddr_in sa = endpoint(address, port);
    for (;;) {
        const ssize_t n = ::sendto(fd(s), data, static_cast<size_t>(length), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

int waitReadable(Socket s, std::int32_t ms) {
    if (s == NO_SOCKET || ms < 0) return 0;
    // A closed or reset connection counts as readable, as with select.
    return (pollFor(s, POLLIN, ms) & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

int recv(Socket s, std::uint8_t* buffer, int capacity) {
    if (s == NO_SOCKET || capacity < 0) return -1;
    for (;;) {
        const ssize_t n = ::recv(fd(s), buffer, static_cast<size_t>(capacity), 0);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

int recvFrom(Socket s, std::uint8_t* buffer, int capacity, std::uint32_t* from) {
    if (s == NO_SOCKET || capacity < 0) return -1;
    sockaddr_in sa{};
    for (;;) {
        socklen_t len = sizeof sa;
        // MSG_TRUNC reports the datagram's real length, so a datagram that did
        // not fit fails as it does under Winsock instead of arriving cut.
        const ssize_t n = ::recvfrom(fd(s), buffer, static_cast<size_t>(capacity), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&sa), &len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || n > capacity) return -1;
        *from = sa.sin_addr.s_addr;
        return static_cast<int>(n);
    }
}

int close(Socket s) {
    if (s == NO_SOCKET) return -1;
    // Linux releases the descriptor even when close is interrupted.
    return (::close(fd(s)) == 0 || errno == EINTR) ? 0 : -1;
}

}  // namespace system

void waitWhile(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
    ::syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
void wakeOne(std::atomic<std::uint32_t>& word) {
    ::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
void wakeAll(std::atomic<std::uint32_t>& word) {
    ::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 0x7FFFFFFF, nullptr, nullptr, 0);
}

void releaseSocketLayer() {}

std::int64_t monotonicUs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

int lastError() {
    return errno;
}
void setLastError(int error) {
    errno = error;
}

// A sink is the descriptor plus one, so that 0 means none.
TraceSink openTrace(const char* where) {
    if (std::strcmp(where, "stderr") == 0) return STDERR_FILENO + 1;
    const int d = ::open(where, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return d < 0 ? 0 : static_cast<TraceSink>(d) + 1;
}

void writeTrace(TraceSink sink, const char* line, int length) {
    // O_APPEND: each line lands whole at the end, whichever thread writes it.
    while (::write(static_cast<int>(sink - 1), line, static_cast<size_t>(length)) < 0 &&
           errno == EINTR) {
    }
}

void closeTrace(TraceSink sink) {
    if (sink != 0 && sink != STDERR_FILENO + 1) ::close(static_cast<int>(sink - 1));
}

void formatNow(char* out, int size) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char day[32];
    std::strftime(day, sizeof day, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(out, static_cast<std::size_t>(size), "%s.%03ld", day, now.tv_nsec / 1000000);
}

bool environment(const char* name, char* out, int size) {
    const char* value = std::getenv(name);
    if (!value || !*value || std::strlen(value) >= static_cast<std::size_t>(size)) return false;
    std::strcpy(out, value);
    return true;
}

std::uint32_t parseAddress(const char* text) {
    return ::inet_addr(text);
}

char* readTextFile(const char* name, std::uint32_t* size) {
    // The directory is looked up anew each time, so a caller can point the
    // library at another one between two readings: KELVO_DEVICE_LIST_DIR,
    // else the Windows directory's stand-in $WINDIR, else /etc.
    const char* dir = std::getenv("KELVO_DEVICE_LIST_DIR");
    if (!dir || !*dir) dir = std::getenv("WINDIR");
    if (!dir || !*dir) dir = "/etc";
    const std::size_t dirLen = std::strlen(dir), nameLen = std::strlen(name);
    char* path = new (std::nothrow) char[dirLen + nameLen + 2];
    if (!path) return nullptr;
    std::memcpy(path, dir, dirLen);
    path[dirLen] = '/';
    std::memcpy(path + dirLen + 1, name, nameLen + 1);
    const int d = ::open(path, O_RDONLY | O_CLOEXEC);
    delete[] path;
    if (d < 0) return nullptr;

    char* text = nullptr;
    struct stat st {};
    if (::fstat(d, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < 0xFFFFFFFF) {
        const auto length = static_cast<std::uint32_t>(st.st_size);
        text = new (std::nothrow) char[std::size_t{length} + 1]();
        std::uint32_t got = 0;
        while (text && got < length) {
            const ssize_t n = ::read(d, text + got, length - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                delete[] text;
                text = nullptr;
            } else if (n == 0) {
                break;  // the file shrank while we read it: keep what we have
            } else {
                got += static_cast<std::uint32_t>(n);
            }
        }
        if (text) *size = length;
    }
    ::close(d);
    return text;
}

void releaseText(char* text) {
    delete[] text;
}

bool libraryVersion(std::uint16_t out[4]) {
    out[0] = KELVO_VERSION_MAJOR;
    out[1] = KELVO_VERSION_MINOR;
    out[2] = KELVO_VERSION_YEAR;
    out[3] = KELVO_VERSION_MONTHDAY;
    return true;
}

}  // namespace kelvo::platform
