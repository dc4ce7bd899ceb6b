// Checks that the benchmark measures what it claims: the peer answers
// exactly the bytes described in peer.c whatever the request's framing on
// the stream, the raw client and the library read the same bytes from it (so
// they make the same exchange), the libmodbus pair works, and the allocation
// counter sees allocations. No timing is asserted anywhere.
//
// The peers run on 127.0.88.x; the test itself runs inside scripts/netns-run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "library_client.h"
#include "modbus_client.h"
#include "raw_client.h"

extern "C" unsigned long long kelvo_bench_allocations;
extern "C" const int kelvo_bench_counting;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr const char* PEER_ADDRESS = "127.0.88.2";
constexpr const char* MODBUS_ADDRESS = "127.0.88.3:1502";
constexpr int WAIT_MS = 2000;

// A child process whose first line on stdout says it is ready.
class Process {
  public:
    explicit Process(std::vector<std::string> argv) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        pollfd p{out[0], POLLIN, 0};
        char line[128] = {};
        if (pid_ > 0 && ::poll(&p, 1, 5000) == 1 && ::read(out[0], line, sizeof line - 1) > 0) {
            ready_ = std::strstr(line, "ready") != nullptr;
        }
        ::close(out[0]);
    }
    ~Process() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    bool ready() const { return ready_; }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

int connectTo(const char* ip, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &sa.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Receives until `want` bytes came, the peer closed, or the wait ran out:
// nullopt on time-out, fewer bytes when the peer closed.
std::optional<Bytes> receive(int fd, std::size_t want) {
    Bytes got;
    std::uint8_t buffer[1024];
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, WAIT_MS) != 1) return std::nullopt;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

bool sendBytes(int fd, const Bytes& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

// The pattern after the header of every reply, as peer.c fills it.
std::uint8_t pattern(std::size_t i) {
    return static_cast<std::uint8_t>(i * 7 + 3);
}

class BenchTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        peer_ = new Process({KELVO_BENCH_PEER, "--max-seconds", "120", PEER_ADDRESS});
        modbus_ = new Process({KELVO_BENCH_MODBUS_SERVER, "--max-seconds", "120", MODBUS_ADDRESS});
    }
    static void TearDownTestSuite() {
        delete peer_;
        delete modbus_;
    }
    void SetUp() override { ASSERT_TRUE(peer_->ready()) << "kelvo-bench-peer did not start"; }

    static Process* peer_;
    static Process* modbus_;
};
Process* BenchTest::peer_ = nullptr;
Process* BenchTest::modbus_ = nullptr;

TEST_F(BenchTest, PeerAnswersReadsAndChunksByteExactly) {
    const int fd = connectTo(PEER_ADDRESS, 10001);
    ASSERT_GE(fd, 0);

    // Port read: 16 + 8 bytes; command with bit 7, status 0, the request's
    // sequence, selector, length and flags echoed, bytes 6-7 zero.
    ASSERT_TRUE(sendBytes(fd, {0x11, 0, 0x2A, 0xFF, 8, 0, 0, 0}));
    auto reply = receive(fd, 24);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 24u);
    EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 8), (Bytes{0x91, 0, 0x2A, 0xFF, 8, 0, 0, 0}));
    for (std::size_t i = 8; i < 24; ++i) EXPECT_EQ((*reply)[i], pattern(i)) << "byte " << i;

    // Channel block: 16 + 240 = 256 bytes.
    ASSERT_TRUE(sendBytes(fd, {0x11, 0, 0x2B, 0xFF, 240, 0, 0, 0}));
    reply = receive(fd, 256);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 256u);

    // Memory chunk: 8 + c bytes, flags echoed.
    ASSERT_TRUE(sendBytes(fd, {0x19, 0, 0x2C, 0, 248, 0x80, 0, 0}));
    reply = receive(fd, 256);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 256u);
    EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 8),
              (Bytes{0x99, 0, 0x2C, 0, 248, 0x80, 0, 0}));
    EXPECT_EQ((*reply)[255], pattern(255));

    // Nothing more arrives than was asked for.
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 50), 0);
    ::close(fd);
}

TEST_F(BenchTest, PeerReassemblesRequestsFromTheStream) {
    const int fd = connectTo(PEER_ADDRESS, 10001);
    ASSERT_GE(fd, 0);
    // One request in two pieces: one reply, once the request is whole.
    ASSERT_TRUE(sendBytes(fd, {0x11, 0, 1, 0xFF}));
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 50), 0) << "answered half a request";
    ASSERT_TRUE(sendBytes(fd, {8, 0, 0, 0}));
    auto reply = receive(fd, 24);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 24u);
    EXPECT_EQ((*reply)[2], 1);

    // Two requests in one piece: two replies, in order.
    ASSERT_TRUE(sendBytes(fd, {0x11, 0, 2, 0xFF, 8, 0, 0, 0, 0x19, 0, 3, 0, 4, 0x40, 0, 0}));
    reply = receive(fd, 24 + 12);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 36u);
    EXPECT_EQ((*reply)[0], 0x91);
    EXPECT_EQ((*reply)[2], 2);
    EXPECT_EQ((*reply)[24], 0x99);
    EXPECT_EQ((*reply)[26], 3);
    ::close(fd);
}

TEST_F(BenchTest, PeerClosesOnRequestsItDoesNotServe) {
    for (const Bytes& request :
         {Bytes{0x21, 0, 0, 0, 0, 0, 0, 0}, Bytes{0x11, 0, 0, 0, 241, 0, 0, 0},
          Bytes{0x19, 0, 0, 0, 249, 0, 0, 0}}) {
        const int fd = connectTo(PEER_ADDRESS, 10001);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendBytes(fd, request));
        const auto reply = receive(fd, 1);
        ASSERT_TRUE(reply) << "no answer and no close for command " << int{request[0]};
        EXPECT_TRUE(reply->empty()) << "answered command " << int{request[0]};
        ::close(fd);
    }
    // And it still serves others afterwards.
    bench::RawClient raw;
    ASSERT_TRUE(raw.connect(PEER_ADDRESS, 10001));
    std::uint8_t image[8];
    EXPECT_TRUE(raw.readPorts(8, image));
}

TEST_F(BenchTest, LibraryAndRawClientReadTheSameBytes) {
    bench::RawClient raw;
    ASSERT_TRUE(raw.connect(PEER_ADDRESS, 10001));
    bench::LibraryClient library;
    std::string why;
    ASSERT_TRUE(library.open(PEER_ADDRESS, &why)) << why;

    std::uint8_t image[8] = {}, port0 = 0;
    ASSERT_TRUE(raw.readPorts(8, image));
    ASSERT_TRUE(library.readDIO(&port0));
    EXPECT_EQ(port0, image[0]);
    EXPECT_EQ(image[0], pattern(16));

    std::uint8_t block[240] = {};
    std::int32_t values[bench::LibraryClient::CHANNELS] = {};
    ASSERT_TRUE(raw.readPorts(240, block));
    ASSERT_TRUE(library.multiReadAIO(values));
    for (std::uint32_t ch = 0; ch < bench::LibraryClient::CHANNELS; ++ch) {
        std::uint32_t expected = 0;
        for (int b = 3; b >= 0; --b) expected = (expected << 8) | block[ch * 4 + b];
        EXPECT_EQ(static_cast<std::uint32_t>(values[ch]), expected) << "channel " << ch;
    }

    // A transfer that ends in a short chunk: 2 x 248 + 4 bytes.
    std::vector<std::uint8_t> viaRaw(500), viaLibrary(500);
    ASSERT_TRUE(raw.memRead(500, viaRaw.data()));
    ASSERT_TRUE(library.memRead(500, viaLibrary.data()));
    EXPECT_EQ(viaRaw, viaLibrary);
    EXPECT_EQ(viaRaw[0], pattern(8));
    EXPECT_EQ(viaRaw[248], pattern(8));
    EXPECT_EQ(viaRaw[499], pattern(8 + 3));
}

TEST_F(BenchTest, LibmodbusPairReadsTheServersCoils) {
    ASSERT_TRUE(modbus_->ready()) << "kelvo-bench-modbus-server did not start";
    bench::ModbusClient client;
    ASSERT_TRUE(client.connect(MODBUS_ADDRESS));
    std::uint8_t coils[bench::ModbusClient::COILS] = {};
    ASSERT_TRUE(client.readCoils(coils));
    for (int i = 0; i < bench::ModbusClient::COILS; ++i) {
        EXPECT_EQ(coils[i], (i * 5) % 3 == 0 ? 1 : 0) << "coil " << i;
    }
}

TEST(AllocationCounter, SeesAllocationsFromAnyCode) {
    if (!kelvo_bench_counting) GTEST_SKIP() << "not counted under AddressSanitizer";
    const unsigned long long before = kelvo_bench_allocations;
    void* volatile p = std::malloc(24);
    std::free(p);
    auto* q = new std::string(100, 'x');  // through libstdc++'s operator new
    delete q;
    EXPECT_GE(kelvo_bench_allocations - before, 2u);
}

}  // namespace
