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

timespec span(std::int32_t ms) {
    return timespec{ms / 1000, (ms % 1000) * 1000000L};
}

// Waits for `events` on s for as long as *left says (null: no limit). A
// signal does not end the wait early: the wait resumes with the time left.
// The ppoll system call writes the time left back into its timeout (the C
// library's wrapper hides that), which spares a clock reading per wait and
// tells a caller that waits again how much of its time remains.
int pollLeft(Socket s, short events, timespec* left) {
    for (;;) {
        pollfd p{fd(s), events, 0};
        const long r = ::syscall(SYS_ppoll, &p, 1, left, nullptr, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || (p.revents & POLLNVAL)) return 0;
        return p.revents;
    }
}

bool setBlocking(Socket s, bool blocking) {
    const int flags = ::fcntl(fd(s), F_GETFL);
    if (flags < 0) return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd(s), F_SETFL, wanted) == 0;
}

// A closed or reset connection counts as readable, as with select.
constexpr short READABLE = POLLIN | POLLHUP | POLLERR;

// The rest of a reply that came in parts: receives behind the `got` bytes
// until `need` are in, the connection closes or the time left runs out.
[[gnu::noinline, gnu::cold]] int receiveRest(Socket s, std::uint8_t* frame, int got, int need,
                                             int capacity, timespec left) {
    while (got < need && got < capacity) {
        if (!(pollLeft(s, POLLIN, &left) & READABLE)) break;
        const int n = system::recv(s, frame + got, capacity - got);
        if (n < 0) return ROUND_TRIP_RECEIVE_FAILED;
        if (n == 0) break;
        got += n;
    }
    return got;
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

int connectStart(Socket s, std::uint32_t address, std::uint16_t port) {
    // Winsock refuses 0.0.0.0 as a destination; Linux would reach this host.
    if (s == NO_SOCKET || address == 0) {
        errno = EADDRNOTAVAIL;
        return CONNECT_FAILED;
    }
    if (!setBlocking(s, false)) return CONNECT_FAILED;
    const sockaddr_in sa = endpoint(address, port);
    if (::connect(fd(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        return setBlocking(s, true) ? CONNECT_DONE : CONNECT_FAILED;
    }
    // Interrupted or not, the connect goes on in the background.
    return (errno == EINPROGRESS || errno == EINTR) ? CONNECT_PENDING : CONNECT_FAILED;
}

bool connectResult(Socket s) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return false;
    if (err != 0) {
        errno = err;
        return false;
    }
    // The exchanges rely on blocking sends and receives.
    return setBlocking(s, true);
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
    timespec left = span(ms);
    return (pollLeft(s, POLLIN, &left) & READABLE) ? 1 : 0;
}

int waitAny(const Socket* sockets, const std::uint8_t* want, std::uint8_t* ready, int n,
            std::int32_t ms) {
    if (n <= 0 || n > WAIT_MAX || ms < 0) return -1;
    pollfd p[WAIT_MAX];
    for (int i = 0; i < n; ++i) {
        p[i] =
            pollfd{fd(sockets[i]), static_cast<short>(want[i] == WAIT_WRITE ? POLLOUT : POLLIN), 0};
    }
    timespec left = span(ms);
    long r;
    while ((r = ::syscall(SYS_ppoll, p, n, &left, nullptr, 0)) < 0 && errno == EINTR) {
    }
    if (r < 0) return -1;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const short done = want[i] == WAIT_WRITE ? (POLLOUT | POLLERR | POLLHUP) : READABLE;
        ready[i] = (p[i].revents & (done | POLLNVAL)) ? 1 : 0;
        count += ready[i];
    }
    return count;
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

int roundTrip(Socket s, std::uint8_t* frame, int sendLength, int need, int capacity,
              std::int32_t timeoutMs) {
    if (send(s, frame, sendLength) < 0) return ROUND_TRIP_SEND_FAILED;
    if (timeoutMs < 0) return ROUND_TRIP_TIMED_OUT;
    timespec left = span(timeoutMs);
    if (!(pollLeft(s, POLLIN, &left) & READABLE)) return ROUND_TRIP_TIMED_OUT;
    const int n = recv(s, frame, capacity);
    if (n < 0) return ROUND_TRIP_RECEIVE_FAILED;
    if (n >= need || n == 0) [[likely]]
        return n;
    return receiveRest(s, frame, n, need, capacity, left);
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
TraceSink openTrace(const char* where, std::int64_t maxBytes, std::int64_t* size) {
    *size = 0;
    if (std::strcmp(where, "stderr") == 0) return STDERR_FILENO + 1;
    // O_NOFOLLOW: a symbolic link planted under the name is not followed;
    // O_NONBLOCK: a FIFO under the name is refused below, not waited on.
    constexpr int FLAGS = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int d = ::open(where, FLAGS, 0600);
        if (d < 0) return 0;
        struct stat st {};
        if (::fstat(d, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(d);
            return 0;
        }
        if (st.st_size < maxBytes || attempt > 0) {
            *size = st.st_size;
            return static_cast<TraceSink>(d) + 1;
        }
        // Full: keep it as "<name>.1" and start a new file.
        ::close(d);
        const std::size_t n = std::strlen(where);
        char* older = new (std::nothrow) char[n + 3];
        if (!older) return 0;
        std::memcpy(older, where, n);
        std::memcpy(older + n, ".1", 3);
        const bool renamed = ::rename(where, older) == 0;
        delete[] older;
        if (!renamed) return 0;
    }
    return 0;
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

TextFile readTextFile(const char* name, std::uint32_t maxSize, char** text, std::uint32_t* size) {
    // The directory is looked up anew each time, so a caller can point the
    // library at another one between two readings: KELVO_DEVICE_LIST_DIR,
    // else the Windows directory's stand-in $WINDIR, else /etc.
    const char* dir = std::getenv("KELVO_DEVICE_LIST_DIR");
    if (!dir || !*dir) dir = std::getenv("WINDIR");
    if (!dir || !*dir) dir = "/etc";
    const std::size_t dirLen = std::strlen(dir), nameLen = std::strlen(name);
    char* path = new (std::nothrow) char[dirLen + nameLen + 2];
    if (!path) return TextFile::UNREADABLE;
    std::memcpy(path, dir, dirLen);
    path[dirLen] = '/';
    std::memcpy(path + dirLen + 1, name, nameLen + 1);
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer.
    const int d = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    delete[] path;
    if (d < 0) return errno == ENOENT ? TextFile::MISSING : TextFile::UNREADABLE;

    TextFile result = TextFile::UNREADABLE;
    struct stat st {};
    if (::fstat(d, &st) != 0) {
        result = TextFile::UNREADABLE;
    } else if (!S_ISREG(st.st_mode)) {
        result = TextFile::NOT_A_FILE;
    } else if (st.st_size > static_cast<off_t>(maxSize)) {
        result = TextFile::TOO_LARGE;
    } else {
        const auto length = static_cast<std::uint32_t>(st.st_size);
        char* buffer = new (std::nothrow) char[std::size_t{length} + 1]();
        std::uint32_t got = 0;
        while (buffer && got < length) {
            const ssize_t n = ::read(d, buffer + got, length - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                delete[] buffer;
                buffer = nullptr;
            } else if (n == 0) {
                break;  // the file shrank while we read it: keep what we have
            } else {
                got += static_cast<std::uint32_t>(n);
            }
        }
        if (buffer) {
            *text = buffer;
            *size = length;
            result = TextFile::TEXT_READ;
        }
    }
    ::close(d);
    return result;
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
