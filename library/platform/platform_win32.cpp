// Winsock 1.1 and the Win32 file and version calls.
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

bool connect(Socket s, std::uint32_t address, std::uint16_t port) {
    if (s == NO_SOCKET) return false;
    const sockaddr_in sa = endpoint(address, port);
    return ::connect(raw(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
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
    // 1500 ms becomes 1 s and 500000 us.
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    const int n = ::select(0, &readSet, nullptr, nullptr, &tv);
    return (n > 0 && FD_ISSET(raw(s), &readSet)) ? 1 : 0;
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

TraceSink openTrace(const char* where) {
    HANDLE h = INVALID_HANDLE_VALUE;
    if (std::strcmp(where, "stderr") == 0) {
        h = ::GetStdHandle(STD_ERROR_HANDLE);
    } else {
        // FILE_APPEND_DATA: each line lands whole at the end, whichever
        // thread (or process) writes it.
        h = ::CreateFileA(where, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

char* readTextFile(const char* name, std::uint32_t* size) {
    // KELVO_DEVICE_LIST_DIR, when set, stands for the Windows directory, so
    // that a program can give the library a private list. Read anew each time.
    char path[MAX_PATH + 1 + 64];
    DWORD dirLen = ::GetEnvironmentVariableA("KELVO_DEVICE_LIST_DIR", path, MAX_PATH);
    if (dirLen == 0) dirLen = ::GetWindowsDirectoryA(path, MAX_PATH);
    if (dirLen == 0 || dirLen >= MAX_PATH) return nullptr;
    std::snprintf(path + dirLen, sizeof path - dirLen, "\\%s", name);

    const HANDLE file = ::CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    const DWORD length = ::GetFileSize(file, nullptr);
    char* text = nullptr;
    if (length != INVALID_FILE_SIZE) {
        text = new (std::nothrow) char[std::size_t{length} + 1]();
        DWORD got = 0;
        if (text && !::ReadFile(file, text, length, &got, nullptr)) {
            delete[] text;
            text = nullptr;
        }
        if (text) *size = length;
    }
    ::CloseHandle(file);
    return text;
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
