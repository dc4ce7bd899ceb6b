// The operating system's own socket calls, one definition per system
// (platform_posix.cpp, platform_win32.cpp). Only the platform layer sees
// these; the rest of the library goes through sockets().
#pragma once

#include "platform/platform.h"

namespace kelvo::platform::system {

Socket openStream();
Socket openDatagram();
bool enableBroadcast(Socket s);
int connectStart(Socket s, std::uint32_t address, std::uint16_t port);
bool connectResult(Socket s);
int send(Socket s, const std::uint8_t* data, int length);
int sendTo(Socket s, const std::uint8_t* data, int length, std::uint32_t address,
           std::uint16_t port);
int waitReadable(Socket s, std::int32_t ms);
int waitAny(const Socket* sockets, const std::uint8_t* want, std::uint8_t* ready, int n,
            std::int32_t ms);
int recv(Socket s, std::uint8_t* buffer, int capacity);
int recvFrom(Socket s, std::uint8_t* buffer, int capacity, std::uint32_t* from);
int close(Socket s);
int roundTrip(Socket s, std::uint8_t* frame, int sendLength, int need, int capacity,
              std::int32_t timeoutMs);

}  // namespace kelvo::platform::system
