// kelvo-bench-win: the Windows bench client, for the round trip of
// Kelvo_ReadDIO through KelvoDLL.dll under Wine. It loads the DLL the way an
// application would (LoadLibraryA, GetProcAddress by the undecorated names)
// and times it against a raw Winsock 1.1 client that makes the same exchange
// with the same pattern (send, select for up to 1500 ms, one recv of at most
// 256 bytes into the same frame), interleaved, against the same peer.
//
//   kelvo-bench-win.exe --label L [--peer ADDRESS] [--reps N] [--seconds S]
//
// Prints the same tab-separated result lines as kelvo-bench (bench.h).
#include <winsock.h>
// winsock.h first: windows.h would otherwise pull in its own socket header.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench.h"
#include "kelvo.h"

namespace {

using InitialFn = std::int32_t(__stdcall*)();
using OpenFn = KELVO_HANDLE(__stdcall*)(std::uint32_t, std::uint32_t);
using ReadDIOFn = std::uint16_t(__stdcall*)(KELVO_HANDLE, std::uint32_t, std::uint8_t*);

constexpr std::uint16_t COMMAND_PORT = 10001;
constexpr std::uint32_t DIGITAL_MODEL = 3;  // KV-103
constexpr std::uint32_t UNIT_ID = 1;

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "kelvo-bench-win: %s\n", why.c_str());
    std::exit(1);
}

// A device list in mode 1 (file only) in the Windows directory, so that
// Kelvo_Initial neither broadcasts nor connects.
void writeDeviceList(const std::string& address) {
    char dir[MAX_PATH + 1] = {};
    const UINT n = ::GetWindowsDirectoryA(dir, sizeof dir);
    if (n == 0 || n > MAX_PATH) fail("GetWindowsDirectoryA failed");
    const std::string path = std::string(dir) + "\\Kelvo.ini";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot write " + path);
    std::fprintf(f, "1\r\nbench-dio,%u,%u,%s,02-00-00-00-00-01,0\r\n",
                 static_cast<unsigned>(DIGITAL_MODEL), static_cast<unsigned>(UNIT_ID),
                 address.c_str());
    if (std::fclose(f) != 0) fail("cannot write " + path);
}

class RawWinsockClient {
  public:
    ~RawWinsockClient() {
        if (s_ != INVALID_SOCKET) ::closesocket(s_);
    }

    bool connect(const std::string& address) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = ::htons(COMMAND_PORT);
        sa.sin_addr.s_addr = ::inet_addr(address.c_str());
        s_ = ::socket(AF_INET, SOCK_STREAM, 0);
        return s_ != INVALID_SOCKET &&
               ::connect(s_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    }

    // 11 00 s FF 08 00 00 00; the port image from reply byte 16.
    bool readPorts(std::uint8_t* image) {
        const std::uint8_t sequence = sequence_++;
        const std::uint8_t request[8] = {0x11, 0, sequence, 0xFF, 8, 0, 0, 0};
        std::memcpy(frame_, request, sizeof request);
        if (::send(s_, reinterpret_cast<const char*>(frame_), 8, 0) == SOCKET_ERROR) return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s_, &readable);
        timeval timeout{1, 500000};
        if (::select(0, &readable, nullptr, nullptr, &timeout) <= 0 || !FD_ISSET(s_, &readable)) {
            return false;
        }
        if (::recv(s_, reinterpret_cast<char*>(frame_), sizeof frame_, 0) == SOCKET_ERROR) {
            return false;
        }
        if (frame_[0] != 0x91 || frame_[2] != sequence || frame_[1] != 0) return false;
        std::memcpy(image, frame_ + 16, 8);
        return true;
    }

  private:
    SOCKET s_ = INVALID_SOCKET;
    std::uint8_t sequence_ = 0;
    std::uint8_t frame_[256] = {};
};

}  // namespace

int main(int argc, char** argv) {
    std::string label = "wine", peer = "127.0.0.2";
    int reps = 7;
    double seconds = 0.4;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--label") {
            label = argv[i + 1];
        } else if (name == "--peer") {
            peer = argv[i + 1];
        } else if (name == "--reps") {
            reps = std::atoi(argv[i + 1]);
        } else if (name == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else {
            fail("unknown option " + name);
        }
    }
    if (reps < 1 || reps > 1000 || seconds <= 0.0 || seconds > 60.0) fail("bad --reps/--seconds");

    writeDeviceList(peer);
    HMODULE dll = ::LoadLibraryA("KelvoDLL.dll");
    if (!dll) fail("cannot load KelvoDLL.dll: error " + std::to_string(::GetLastError()));
    // FARPROC goes through void (*)(), which converts to any function pointer.
    using Generic = void (*)();
    const auto initial = reinterpret_cast<InitialFn>(
        reinterpret_cast<Generic>(::GetProcAddress(dll, "Kelvo_Initial")));
    const auto open =
        reinterpret_cast<OpenFn>(reinterpret_cast<Generic>(::GetProcAddress(dll, "Kelvo_Open")));
    const auto readDIO = reinterpret_cast<ReadDIOFn>(
        reinterpret_cast<Generic>(::GetProcAddress(dll, "Kelvo_ReadDIO")));
    if (!initial || !open || !readDIO) fail("KelvoDLL.dll lacks an export");
    if (initial() != 1) fail("Kelvo_Initial did not find the listed unit");
    KELVO_HANDLE unit = open(DIGITAL_MODEL, UNIT_ID);
    if (!unit) fail("Kelvo_Open refused: is the peer listening on " + peer + ":10001?");

    // The DLL has started Winsock already; the raw client starts it too, as
    // any application must.
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(1, 1), &wsa) != 0) fail("WSAStartup failed");
    RawWinsockClient raw;
    if (!raw.connect(peer)) fail("raw client: cannot connect to " + peer + ":10001");

    std::uint8_t value = 0, image[8] = {};
    const auto libraryStep = [&] { return readDIO(unit, 0, &value) == KELVO_STATUS_OK; };
    const auto rawStep = [&] { return raw.readPorts(image); };
    std::vector<double> libraryRates, rawRates;
    bench::Bound bound;
    bench::Bound warm;
    warm.maxSeconds = 0.05;
    if (!bench::timed(libraryStep, warm).ok || !bench::timed(rawStep, warm).ok) {
        fail("an exchange failed");
    }
    bound.maxSeconds = seconds;
    for (int rep = 0; rep < reps; ++rep) {
        // Alternate the order so that neither client always goes first.
        for (int k = 0; k < 2; ++k) {
            const bool library = (k + rep) % 2 == 0;
            const bench::Run run =
                library ? bench::timed(libraryStep, bound) : bench::timed(rawStep, bound);
            if (!run.ok) fail(library ? "Kelvo_ReadDIO failed" : "raw exchange failed");
            (library ? libraryRates : rawRates).push_back(run.rate());
        }
        std::fprintf(stderr, "kelvo-bench-win: %s: repetition %d of %d done\n", label.c_str(),
                     rep + 1, reps);
    }
    bench::printValue(label.c_str(), "wine.readdio.lib", bench::summarize(libraryRates));
    bench::printValue(label.c_str(), "wine.readdio.raw", bench::summarize(rawRates));
    bench::printValue(label.c_str(), "wine.readdio.ratio",
                      bench::summarize(bench::pairedRatios(libraryRates, rawRates)));
    return 0;
}
