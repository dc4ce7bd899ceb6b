// The socket table the library goes through: the system's calls, or a stand-in
// that a test or fuzzer sets.
#include "platform/system_sockets.h"

namespace kelvo::platform {
namespace {

// The hot path of every command: send, wait, one receive, with no indirect
// call between them.
int roundTrip(Socket s, std::uint8_t* frame, int sendLength, int capacity, std::int32_t timeoutMs) {
    if (system::send(s, frame, sendLength) < 0) return ROUND_TRIP_SEND_FAILED;
    if (!system::waitReadable(s, timeoutMs)) return ROUND_TRIP_TIMED_OUT;
    const int n = system::recv(s, frame, capacity);
    return n < 0 ? ROUND_TRIP_RECEIVE_FAILED : n;
}

constexpr SocketOps systemOps{system::openStream,
                              system::openDatagram,
                              system::enableBroadcast,
                              system::connect,
                              system::send,
                              system::sendTo,
                              system::waitReadable,
                              system::recv,
                              system::recvFrom,
                              system::close,
                              roundTrip};
const SocketOps* current = &systemOps;

}  // namespace

const SocketOps& sockets() {
    return *current;
}
void setSocketOps(const SocketOps* ops) {
    current = ops ? ops : &systemOps;
}

}  // namespace kelvo::platform
