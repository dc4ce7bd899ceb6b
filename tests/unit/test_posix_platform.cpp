// The POSIX platform layer must behave as Winsock does where the library
// relies on it, and must be safe inside any host process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

using kelvo::platform::NO_SOCKET;
using kelvo::platform::Socket;
const auto& net() {
    return kelvo::platform::sockets();
}

std::uint32_t loopback(int last) {
    return htonl(0x7F000000u | static_cast<unsigned>(last));
}

bool connect(Socket s, std::uint32_t address, std::uint16_t port) {
    return kelvo::platform::connectWithin(s, address, port, 1000) ==
           kelvo::platform::ConnectResult::CONNECTED;
}

// A TCP listener on 127.0.0.1 with a kernel-chosen port.
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port = 0;
    Listener() {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = loopback(1);
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(fd, 4);
        socklen_t len = sizeof sa;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    int accept() const { return ::accept(fd, nullptr, nullptr); }
    ~Listener() { ::close(fd); }
};

void noop(int) {}

// Delivers SIGALRM every 20 ms to this thread's process without SA_RESTART,
// so that blocking calls see EINTR, as long as it lives.
struct SignalStorm {
    struct sigaction old {};
    SignalStorm() {
        struct sigaction sa {};
        sa.sa_handler = noop;
        ::sigaction(SIGALRM, &sa, &old);
        itimerval every{{0, 20000}, {0, 20000}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~SignalStorm() {
        itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &old, nullptr);
    }
};

TEST(PosixPlatform, SignalsDoNotCutAnExchangeShort) {
    Listener listener;
    Socket s = net().openStream();
    ASSERT_TRUE(connect(s, loopback(1), listener.port));
    const int peer = listener.accept();
    SignalStorm storm;

    // Nothing to read: the wait lasts its full time despite the signals,
    // and no more (each resumed wait takes only the time left).
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net().waitReadable(s, 300), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(280));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));

    // The same for the one-call exchange: the request goes out, no reply.
    std::uint8_t frame[256] = {0x11};
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(net().roundTrip(s, frame, 8, 3, 256, 300), kelvo::platform::ROUND_TRIP_TIMED_OUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(280));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    std::uint8_t request[8] = {};
    EXPECT_EQ(::recv(peer, request, sizeof request, MSG_WAITALL), 8);
    EXPECT_EQ(request[0], 0x11);

    // A reply that arrives while signals keep coming is still received.
    std::thread late([peer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ::send(peer, "\x91", 1, 0);
    });
    EXPECT_EQ(net().waitReadable(s, 1500), 1);
    std::uint8_t byte = 0;
    EXPECT_EQ(net().recv(s, &byte, 1), 1);
    EXPECT_EQ(byte, 0x91);
    late.join();

    // And a reply to an exchange, received over the request; one that
    // comes in two parts is received whole when the caller needs it whole,
    // and one that stays short ends with what came when the time (counted
    // from the send) is up.
    std::thread replier([peer] {
        for (int part : {5, 5, 19, 5}) {
            std::uint8_t request[24] = {};
            if (part != 19) ::recv(peer, request, 8, MSG_WAITALL);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            request[0] = 0x91;
            ::send(peer, request, static_cast<size_t>(part), 0);
        }
    });
    EXPECT_EQ(net().roundTrip(s, frame, 8, 3, 256, 1500), 5);
    EXPECT_EQ(frame[0], 0x91);
    EXPECT_EQ(net().roundTrip(s, frame, 8, 24, 256, 1500), 24);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(net().roundTrip(s, frame, 8, 24, 256, 400), 5);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(380));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));
    replier.join();
    net().close(s);
    ::close(peer);
}

TEST(PosixPlatform, SendingToAClosedPeerFailsWithoutKillingTheProcess) {
    Listener listener;
    Socket s = net().openStream();
    ASSERT_TRUE(connect(s, loopback(1), listener.port));
    ::close(listener.accept());
    const std::uint8_t request[8] = {0x11};
    // The first send may still be accepted; a later one meets the reset.
    // Without MSG_NOSIGNAL the process would die of SIGPIPE here.
    int result = 0;
    for (int i = 0; i < 20 && result >= 0; ++i) {
        result = net().send(s, request, sizeof request);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(result, -1);
    net().close(s);
}

TEST(PosixPlatform, DescriptorsAndAddressesThatMeanNothing) {
    // A socket never gets descriptor 0, which means "no connection".
    const int savedStdin = ::dup(0);
    ::close(0);
    Socket s = net().openStream();
    EXPECT_NE(s, NO_SOCKET);
    EXPECT_EQ(::fcntl(0, F_GETFD), -1) << "descriptor 0 was left open";
    net().close(s);
    ::dup2(savedStdin, 0);
    ::close(savedStdin);

    // Socket 0 is never touched: every call fails at once.
    std::uint8_t byte = 0;
    EXPECT_EQ(net().send(NO_SOCKET, &byte, 1), -1);
    EXPECT_EQ(net().recv(NO_SOCKET, &byte, 1), -1);
    EXPECT_EQ(net().waitReadable(NO_SOCKET, 10), 0);

    // 0.0.0.0 is no destination, even with a listener on this host.
    Listener listener;
    s = net().openStream();
    EXPECT_FALSE(connect(s, 0, listener.port));
    net().close(s);

    // A connect ends with the socket in blocking mode, as the exchanges
    // expect; a refused one fails at once.
    s = net().openStream();
    ASSERT_TRUE(connect(s, loopback(1), listener.port));
    EXPECT_EQ(::fcntl(static_cast<int>(s), F_GETFL) & O_NONBLOCK, 0);
    net().close(s);
    const std::uint16_t closedPort = listener.port;
    ::close(listener.fd);
    listener.fd = -1;
    s = net().openStream();
    EXPECT_EQ(kelvo::platform::connectWithin(s, loopback(1), closedPort, 1000),
              kelvo::platform::ConnectResult::FAILED);
    net().close(s);
}

TEST(PosixPlatform, HighDescriptorsWork) {
    Listener listener;
    Socket s = net().openStream();
    ASSERT_TRUE(connect(s, loopback(1), listener.port));
    const int high = ::fcntl(static_cast<int>(s), F_DUPFD_CLOEXEC, 1500);
    ASSERT_GE(high, 1024);
    const int peer = listener.accept();
    ::send(peer, "x", 1, 0);
    EXPECT_EQ(net().waitReadable(static_cast<Socket>(high), 1000), 1);
    ::close(high);
    ::close(peer);
    net().close(s);
}

TEST(PosixPlatform, OverlongDatagramIsAFailedReceive) {
    const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = loopback(1);
    ::bind(receiver, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(receiver, reinterpret_cast<sockaddr*>(&sa), &len);

    Socket sender = net().openDatagram();
    std::uint8_t big[100] = {}, small[30] = {};
    small[0] = 7;
    ASSERT_EQ(net().sendTo(sender, big, sizeof big, sa.sin_addr.s_addr, ntohs(sa.sin_port)), 100);
    ASSERT_EQ(net().sendTo(sender, small, sizeof small, sa.sin_addr.s_addr, ntohs(sa.sin_port)),
              30);

    std::uint8_t buffer[64];
    std::uint32_t from = 0;
    EXPECT_EQ(net().recvFrom(static_cast<Socket>(receiver), buffer, 64, &from), -1);
    EXPECT_EQ(net().recvFrom(static_cast<Socket>(receiver), buffer, 64, &from), 30);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(from, loopback(1));
    net().close(sender);
    ::close(receiver);
}

using kelvo::platform::TextFile;

// Reads Kelvo.ini from the directory the environment names, with a limit.
TextFile Read(std::string* out, std::uint32_t maxSize = 1u << 20) {
    char* text = nullptr;
    std::uint32_t size = 0;
    const TextFile r = kelvo::platform::readTextFile("Kelvo.ini", maxSize, &text, &size);
    if (r == TextFile::TEXT_READ) {
        *out = std::string(text, size);
        EXPECT_EQ(text[size], '\0');
        kelvo::platform::releaseText(text);
    }
    return r;
}

TEST(PosixPlatform, DeviceListIsReadAnewAndOnlyFromAPlainFileOfBoundedSize) {
    char first[] = "/tmp/kelvo-unit-XXXXXX";
    char second[] = "/tmp/kelvo-unit-XXXXXX";
    ASSERT_TRUE(::mkdtemp(first) && ::mkdtemp(second));
    std::ofstream(std::string(first) + "/Kelvo.ini") << "first";
    std::ofstream(std::string(second) + "/Kelvo.ini") << "second!";

    std::string text;
    ::setenv("WINDIR", first, 1);
    EXPECT_EQ(Read(&text), TextFile::TEXT_READ);
    EXPECT_EQ(text, "first");
    ::setenv("WINDIR", second, 1);
    EXPECT_EQ(Read(&text), TextFile::TEXT_READ);
    EXPECT_EQ(text, "second!");
    // KELVO_DEVICE_LIST_DIR, when set, comes before WINDIR.
    ::setenv("KELVO_DEVICE_LIST_DIR", first, 1);
    EXPECT_EQ(Read(&text), TextFile::TEXT_READ);
    EXPECT_EQ(text, "first");
    ::unsetenv("KELVO_DEVICE_LIST_DIR");

    // The limit: a file of exactly maxSize bytes is read, one byte more is not.
    EXPECT_EQ(Read(&text, 7), TextFile::TEXT_READ);
    EXPECT_EQ(Read(&text, 6), TextFile::TOO_LARGE);

    // A FIFO is refused at once instead of waiting for a writer for ever,
    // and so is a directory.
    const std::string fifo = std::string(first) + "/Kelvo.ini";
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::setenv("WINDIR", first, 1);
    EXPECT_EQ(Read(&text), TextFile::NOT_A_FILE);
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkdir(fifo.c_str(), 0700), 0);
    EXPECT_EQ(Read(&text), TextFile::NOT_A_FILE);

    ::setenv("WINDIR", "/nonexistent-kelvo-dir", 1);
    EXPECT_EQ(Read(&text), TextFile::MISSING);
    ::unsetenv("WINDIR");
    std::system((std::string("rm -rf ") + first + " " + second).c_str());
}

// The trace file: private to its owner, never through a link or into a
// FIFO, and kept to its size by starting anew.
TEST(PosixPlatform, TraceFileIsPrivatePlainAndBounded) {
    char dir[] = "/tmp/kelvo-unit-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/trace.log";
    std::int64_t size = -1;
    const mode_t oldMask = ::umask(0);
    kelvo::platform::TraceSink sink = kelvo::platform::openTrace(path.c_str(), 100, &size);
    ::umask(oldMask);
    ASSERT_NE(sink, 0u);
    EXPECT_EQ(size, 0);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string line(60, 'x');
    kelvo::platform::writeTrace(sink, line.data(), static_cast<int>(line.size()));
    kelvo::platform::closeTrace(sink);

    // Below the limit it appends; at the limit the file moves to .1 and a
    // new one starts.
    sink = kelvo::platform::openTrace(path.c_str(), 100, &size);
    EXPECT_EQ(size, 60);
    kelvo::platform::writeTrace(sink, line.data(), static_cast<int>(line.size()));
    kelvo::platform::closeTrace(sink);
    sink = kelvo::platform::openTrace(path.c_str(), 100, &size);
    ASSERT_NE(sink, 0u);
    EXPECT_EQ(size, 0);
    kelvo::platform::closeTrace(sink);
    ASSERT_EQ(::stat((path + ".1").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 120);

    // A symbolic link under the name is refused, its target left alone; so
    // is a FIFO (without waiting for a reader).
    const std::string target = std::string(dir) + "/target";
    std::ofstream(target) << "keep";
    std::remove(path.c_str());
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    EXPECT_EQ(kelvo::platform::openTrace(path.c_str(), 100, &size), 0u);
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
    std::remove(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(kelvo::platform::openTrace(path.c_str(), 100, &size), 0u);
    std::system((std::string("rm -rf ") + dir).c_str());
}

}  // namespace
