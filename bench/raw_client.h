// The baseline: a plain socket client that makes the same exchanges as the
// library, byte for byte, with the same pattern (one send of the request,
// a wait of up to 1500 ms for readability, one receive of at most 256 bytes
// into the same frame, a check of reply bytes 0 to 2), and nothing else.
#pragma once

#include <cstdint>

namespace bench {

class RawClient {
  public:
    RawClient() = default;
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    ~RawClient();

    // address: dotted IPv4 text. False when the connection is refused.
    bool connect(const char* address, std::uint16_t port);

    // 11 00 s FF n 00 00 00; the n bytes from reply byte 16 into destination.
    bool readPorts(std::uint8_t n, std::uint8_t* destination);

    // total bytes in chunks of up to 248: 19 00 s 00 c f 00 00, data from
    // reply byte 8 (f: 0x80 on the first chunk, 0x40 on the last).
    bool memRead(std::uint32_t total, std::uint8_t* destination);

  private:
    bool exchange(int length);

    int fd_ = -1;
    std::uint8_t sequence_ = 0;
    std::uint8_t frame_[256] = {};
};

}  // namespace bench
