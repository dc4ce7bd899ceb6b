// The POSIX platform layer must behave as Winsock does where the library
// relies on it, and must be safe inside any host process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
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
    ASSERT_TRUE(net().connect(s, loopback(1), listener.port));
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
    EXPECT_EQ(net().roundTrip(s, frame, 8, 256, 300), kelvo::platform::ROUND_TRIP_TIMED_OUT);
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

    // And a reply to an exchange, received over the request.
    std::thread replier([peer] {
        std::uint8_t request[8] = {};
        ::recv(peer, request, sizeof request, MSG_WAITALL);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        request[0] |= 0x80;
        ::send(peer, request, 5, 0);
    });
    EXPECT_EQ(net().roundTrip(s, frame, 8, 256, 1500), 5);
    EXPECT_EQ(frame[0], 0x91);
    replier.join();
    net().close(s);
    ::close(peer);
}

TEST(PosixPlatform, SendingToAClosedPeerFailsWithoutKillingTheProcess) {
    Listener listener;
    Socket s = net().openStream();
    ASSERT_TRUE(net().connect(s, loopback(1), listener.port));
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
    EXPECT_FALSE(net().connect(s, 0, listener.port));
    net().close(s);
}

TEST(PosixPlatform, HighDescriptorsWork) {
    Listener listener;
    Socket s = net().openStream();
    ASSERT_TRUE(net().connect(s, loopback(1), listener.port));
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

TEST(PosixPlatform, WindowsDirectoryIsReadAtEachReading) {
    char first[] = "/tmp/kelvo-unit-XXXXXX";
    char second[] = "/tmp/kelvo-unit-XXXXXX";
    ASSERT_TRUE(::mkdtemp(first) && ::mkdtemp(second));
    std::ofstream(std::string(first) + "/Kelvo.ini") << "first";
    std::ofstream(std::string(second) + "/Kelvo.ini") << "second!";

    std::uint32_t size = 0;
    ::setenv("WINDIR", first, 1);
    char* text = kelvo::platform::readTextFile("Kelvo.ini", &size);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(text, "first");
    kelvo::platform::releaseText(text);

    ::setenv("WINDIR", second, 1);
    text = kelvo::platform::readTextFile("Kelvo.ini", &size);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "second!");
    kelvo::platform::releaseText(text);

    // KELVO_DEVICE_LIST_DIR, when set, comes before WINDIR.
    ::setenv("KELVO_DEVICE_LIST_DIR", first, 1);
    text = kelvo::platform::readTextFile("Kelvo.ini", &size);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "first");
    kelvo::platform::releaseText(text);
    ::unsetenv("KELVO_DEVICE_LIST_DIR");

    ::setenv("WINDIR", "/nonexistent-kelvo-dir", 1);
    EXPECT_EQ(kelvo::platform::readTextFile("Kelvo.ini", &size), nullptr);
    ::unsetenv("WINDIR");
    std::system((std::string("rm -rf ") + first + " " + second).c_str());
}

}  // namespace
