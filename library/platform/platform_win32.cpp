// Winsock 1.1 and the Win32 file and version calls.
// select's sets hold as many sockets as waitAny takes (Winsock's default is 64).
#define FD_SETSIZE 128
#include <winsock.h>
// winsock.h must come before windows.h.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/lock.h"
#include "platform/platform.h"
#include "platform/system_sockets.h"

namespace kelvo::platform {
namespace {

// Winsock starts with the first socket (or address) the library needs, once
// however many threads ask at the same time. A failure shows as failing
// socket calls.
INIT_ONCE winsockOnce = INIT_ONCE_STATIC_INIT;
bool winsockStarted = false;

BOOL CALLBACK StartWinsock(PINIT_ONCE, PVOID, PVOID*) {
    WSADATA data;
    winsockStarted = ::WSAStartup(0x0101, &data) == 0;
    return TRUE;
}

void startWinsock() {
    ::InitOnceExecuteOnce(&winsockOnce, StartWinsock, nullptr, nullptr);
}

SOCKET raw(Socket s) {
    return static_cast<SOCKET>(s);
}

Socket adopt(SOCKET s) {
    return s == INVALID_SOCKET ? NO_SOCKET : static_cast<Socket>(s);
}

sockaddr_in endpoint(std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = address;
    return sa;
}

static_assert(FD_SETSIZE == WAIT_MAX);

bool setBlocking(Socket s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(raw(s), FIONBIO, &nonBlocking) == 0;
}

timeval span(std::int32_t ms) {
    // 1500 ms becomes 1 s and 500000 us.
    return timeval{ms / 1000, (ms % 1000) * 1000};
}

}  // namespace

namespace system {

Socket openStream() {
    startWinsock();
    return adopt(::socket(AF_INET, SOCK_STREAM, 0));
}
Socket openDatagram() {
    startWinsock();
    return adopt(::socket(AF_INET, SOCK_DGRAM, 0));
}

bool enableBroadcast(Socket s) {
    const int on = 1;
    return ::setsockopt(raw(s), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                        sizeof on) == 0;
}

int connectStart(Socket s, std::uint32_t address, std::uint16_t port) {
    if (s == NO_SOCKET || !setBlocking(s, false)) return CONNECT_FAILED;
    const sockaddr_in sa = endpoint(address, port);
    if (::connect(raw(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        return setBlocking(s, true) ? CONNECT_DONE : CONNECT_FAILED;
    }
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? CONNECT_PENDING : CONNECT_FAILED;
}

bool connectResult(Socket s) {
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(raw(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
        return false;
    }
    if (err != 0) {
        ::WSASetLastError(err);
        return false;
    }
    // The exchanges rely on blocking sends and receives.
    return setBlocking(s, true);
}

int send(Socket s, const std::uint8_t* data, int length) {
    if (s == NO_SOCKET) return -1;
    const int n = ::send(raw(s), reinterpret_cast<const char*>(data), length, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int sendTo(Socket s, const std::uint8_t* data, int length, std::uint32_t address,
           std::uint16_t port) {
    if (s == NO_SOCKET) return -1;
    const sockaddr_in sa = endpoint(address, port);
    const int n = ::sendto(raw(s), reinterpret_cast<const char*>(data), length, 0,
                           reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n == SOCKET_ERROR ? -1 : n;
}

int waitReadable(Socket s, std::int32_t ms) {
    if (s == NO_SOCKET) return 0;
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(raw(s), &readSet);
    timeval tv = span(ms);
    const int n = ::select(0, &readSet, nullptr, nullptr, &tv);
    return (n > 0 && FD_ISSET(raw(s), &readSet)) ? 1 : 0;
}

// A connect that succeeds marks the write set; one that fails, the
// exception set.
int waitAny(const Socket* sockets, const std::uint8_t* want, std::uint8_t* ready, int n,
            std::int32_t ms) {
    if (n <= 0 || n > WAIT_MAX || ms < 0) return -1;
    fd_set readSet, writeSet, exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    for (int i = 0; i < n; ++i) {
        if (want[i] == WAIT_WRITE) {
            FD_SET(raw(sockets[i]), &writeSet);
            FD_SET(raw(sockets[i]), &exceptSet);
        } else {
            FD_SET(raw(sockets[i]), &readSet);
        }
    }
    timeval tv = span(ms);
    const int r = ::select(0, &readSet, &writeSet, &exceptSet, &tv);
    if (r == SOCKET_ERROR) return -1;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const SOCKET s = raw(sockets[i]);
        ready[i] = (want[i] == WAIT_WRITE ? (FD_ISSET(s, &writeSet) || FD_ISSET(s, &exceptSet))
                                          : FD_ISSET(s, &readSet))
                       ? 1
                       : 0;
        count += ready[i];
    }
    return count;
}

int recv(Socket s, std::uint8_t* buffer, int capacity) {
    if (s == NO_SOCKET) return -1;
    const int n = ::recv(raw(s), reinterpret_cast<char*>(buffer), capacity, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int recvFrom(Socket s, std::uint8_t* buffer, int capacity, std::uint32_t* from) {
    if (s == NO_SOCKET) return -1;
    sockaddr_in sa{};
    int len = sizeof sa;
    // A datagram longer than capacity fails with WSAEMSGSIZE.
    const int n = ::recvfrom(raw(s), reinterpret_cast<char*>(buffer), capacity, 0,
                             reinterpret_cast<sockaddr*>(&sa), &len);
    if (n == SOCKET_ERROR) return -1;
    *from = sa.sin_addr.s_addr;
    return n;
}

int close(Socket s) {
    if (s == NO_SOCKET) return -1;
    return ::closesocket(raw(s)) == 0 ? 0 : -1;
}

// select does not say how much of its time is left, so the rest of a reply
// that came in parts is waited for against the clock.
int roundTrip(Socket s, std::uint8_t* frame, int sendLength, int need, int capacity,
              std::int32_t timeoutMs) {
    const ULONGLONG start = ::GetTickCount64();
    if (send(s, frame, sendLength) < 0) return ROUND_TRIP_SEND_FAILED;
    if (!waitReadable(s, timeoutMs)) return ROUND_TRIP_TIMED_OUT;
    int got = recv(s, frame, capacity);
    if (got < 0) return ROUND_TRIP_RECEIVE_FAILED;
    while (got > 0 && got < need && got < capacity) {
        const ULONGLONG spent = ::GetTickCount64() - start;
        if (spent >= static_cast<ULONGLONG>(timeoutMs)) break;
        if (!waitReadable(s, timeoutMs - static_cast<std::int32_t>(spent))) break;
        const int n = recv(s, frame + got, capacity - got);
        if (n < 0) return ROUND_TRIP_RECEIVE_FAILED;
        if (n == 0) break;
        got += n;
    }
    return got;
}

}  // namespace system

// SRWLOCK is one pointer, zero when free: the locks keep a void* of their own.
static_assert(sizeof(SRWLOCK) == sizeof(void*));
namespace {
PSRWLOCK srw(void** p) {
    return reinterpret_cast<PSRWLOCK>(p);
}
}  // namespace
void UnitLock::lock() {
    ::AcquireSRWLockExclusive(srw(&srw_));
}
void UnitLock::unlock() {
    ::ReleaseSRWLockExclusive(srw(&srw_));
}
void ListLock::enterShared() {
    ::AcquireSRWLockShared(srw(&srw_));
}
void ListLock::leaveShared() {
    ::ReleaseSRWLockShared(srw(&srw_));
}
void ListLock::lockExclusive() {
    ::AcquireSRWLockExclusive(srw(&srw_));
}
void ListLock::unlockExclusive() {
    ::ReleaseSRWLockExclusive(srw(&srw_));
}

void releaseSocketLayer() {
    if (winsockStarted) ::WSACleanup();
    winsockStarted = false;
}

std::int64_t monotonicUs() {
    LARGE_INTEGER count, frequency;
    ::QueryPerformanceCounter(&count);
    ::QueryPerformanceFrequency(&frequency);
    return count.QuadPart / frequency.QuadPart * 1000000 +
           count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

int lastError() {
    return ::WSAGetLastError();
}
void setLastError(int error) {
    ::WSASetLastError(error);
}

namespace {
// The file under the name itself: a reparse point (a symbolic link or a
// junction) is refused, and so is anything that is not a file on disk.
HANDLE openPlainFile(const char* where, std::int64_t* size) {
    const HANDLE h =
        ::CreateFileA(where, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        ::CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    *size = (std::int64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    return h;
}
}  // namespace

TraceSink openTrace(const char* where, std::int64_t maxBytes, std::int64_t* size) {
    *size = 0;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (std::strcmp(where, "stderr") == 0) {
        h = ::GetStdHandle(STD_ERROR_HANDLE);
    } else {
        // FILE_APPEND_DATA: each line lands whole at the end, whichever
        // thread (or process) writes it.
        h = openPlainFile(where, size);
        if (h != INVALID_HANDLE_VALUE && *size >= maxBytes) {
            // Full: keep it as "<name>.1" and start a new file.
            ::CloseHandle(h);
            h = INVALID_HANDLE_VALUE;
            char older[MAX_PATH + 3];
            if (std::snprintf(older, sizeof older, "%s.1", where) <
                    static_cast<int>(sizeof older) &&
                ::MoveFileExA(where, older, MOVEFILE_REPLACE_EXISTING)) {
                h = openPlainFile(where, size);
            }
        }
    }
    return (h == INVALID_HANDLE_VALUE || h == nullptr) ? 0 : reinterpret_cast<TraceSink>(h);
}

void writeTrace(TraceSink sink, const char* line, int length) {
    DWORD written = 0;
    ::WriteFile(reinterpret_cast<HANDLE>(sink), line, static_cast<DWORD>(length), &written,
                nullptr);
}

void closeTrace(TraceSink sink) {
    const HANDLE h = reinterpret_cast<HANDLE>(sink);
    if (sink != 0 && h != ::GetStdHandle(STD_ERROR_HANDLE)) ::CloseHandle(h);
}

void formatNow(char* out, int size) {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    std::snprintf(out, static_cast<std::size_t>(size), "%04u-%02u-%02u %02u:%02u:%02u.%03u",
                  t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

bool environment(const char* name, char* out, int size) {
    const DWORD n = ::GetEnvironmentVariableA(name, out, static_cast<DWORD>(size));
    return n > 0 && n < static_cast<DWORD>(size);
}

std::uint32_t parseAddress(const char* text) {
    startWinsock();
    return ::inet_addr(text);
}

TextFile readTextFile(const char* name, std::uint32_t maxSize, char** text, std::uint32_t* size) {
    // KELVO_DEVICE_LIST_DIR, when set, stands for the Windows directory, so
    // that a program can give the library a private list. Read anew each time.
    char path[MAX_PATH + 1 + 64];
    DWORD dirLen = ::GetEnvironmentVariableA("KELVO_DEVICE_LIST_DIR", path, MAX_PATH);
    if (dirLen == 0) dirLen = ::GetWindowsDirectoryA(path, MAX_PATH);
    if (dirLen == 0 || dirLen >= MAX_PATH) return TextFile::UNREADABLE;
    std::snprintf(path + dirLen, sizeof path - dirLen, "\\%s", name);

    const HANDLE file = ::CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                   ? TextFile::MISSING
                   : TextFile::UNREADABLE;
    }
    TextFile result = TextFile::UNREADABLE;
    DWORD high = 0;
    const DWORD length = ::GetFileSize(file, &high);
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        result = TextFile::NOT_A_FILE;  // a pipe or a device under the name
    } else if (length == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) {
        result = TextFile::UNREADABLE;
    } else if (high != 0 || length > maxSize) {
        result = TextFile::TOO_LARGE;
    } else {
        char* buffer = new (std::nothrow) char[std::size_t{length} + 1]();
        DWORD got = 0;
        if (buffer && !::ReadFile(file, buffer, length, &got, nullptr)) {
            delete[] buffer;
            buffer = nullptr;
        }
        if (buffer) {
            *text = buffer;
            *size = length;
            result = TextFile::TEXT_READ;
        }
    }
    ::CloseHandle(file);
    return result;
}

void releaseText(char* text) {
    delete[] text;
}

bool libraryVersion(std::uint16_t out[4]) {
    // The version resource of the library's own file, found by the usual
    // search for a library of that name.
    const char* const file = "KelvoDLL.dll";
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(file, &ignored);
    if (size == 0) return false;
    char* data = new (std::nothrow) char[size];
    if (!data) return false;
    bool ok = false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoLen = 0;
    if (::GetFileVersionInfoA(file, 0, size, data) &&
        ::VerQueryValueA(data, "\\", reinterpret_cast<void**>(&info), &infoLen) && info &&
        infoLen >= sizeof *info) {
        out[0] = HIWORD(info->dwFileVersionMS);
        out[1] = LOWORD(info->dwFileVersionMS);
        out[2] = HIWORD(info->dwFileVersionLS);
        out[3] = LOWORD(info->dwFileVersionLS);
        ok = true;
    }
    delete[] data;
    return ok;
}

}  // namespace kelvo::platform
