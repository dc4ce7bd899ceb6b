// The socket table the library goes through: the system's calls, or a stand-in
// that a test or fuzzer sets.
#include "platform/system_sockets.h"

namespace kelvo::platform {
namespace {

constexpr SocketOps systemOps{system::openStream,   system::openDatagram,  system::enableBroadcast,
                              system::connectStart, system::connectResult, system::send,
                              system::sendTo,       system::waitReadable,  system::waitAny,
                              system::recv,         system::recvFrom,      system::close,
                              system::roundTrip};
const SocketOps* current = &systemOps;

}  // namespace

const SocketOps& sockets() {
    return *current;
}
void setSocketOps(const SocketOps* ops) {
    current = ops ? ops : &systemOps;
}

ConnectResult connectWithin(Socket s, std::uint32_t address, std::uint16_t port,
                            std::int32_t timeoutMs) {
    const SocketOps& net = sockets();
    const int started = net.connectStart(s, address, port);
    if (started == CONNECT_DONE) return ConnectResult::CONNECTED;
    if (started != CONNECT_PENDING) return ConnectResult::FAILED;
    const std::uint8_t want = WAIT_WRITE;
    std::uint8_t ready = 0;
    const int n = net.waitAny(&s, &want, &ready, 1, timeoutMs);
    if (n < 0) return ConnectResult::FAILED;
    if (n == 0 || !ready) return ConnectResult::TIMED_OUT;
    return net.connectResult(s) ? ConnectResult::CONNECTED : ConnectResult::FAILED;
}

}  // namespace kelvo::platform
