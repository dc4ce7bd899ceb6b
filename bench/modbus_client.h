// The well-known peer for comparison: a libmodbus TCP client reading 64 coils
// (function 1) from kelvo-bench-modbus-server, one request/reply per read.
#pragma once

#include <cstdint>

typedef struct _modbus modbus_t;

namespace bench {

class ModbusClient {
  public:
    ModbusClient() = default;
    ModbusClient(const ModbusClient&) = delete;
    ModbusClient& operator=(const ModbusClient&) = delete;
    ~ModbusClient();

    // where: "ADDRESS:PORT". False when the connection is refused.
    bool connect(const char* where);
    // One read of 64 coils, one byte per coil.
    bool readCoils(std::uint8_t* coils);

    static constexpr int COILS = 64;

  private:
    modbus_t* ctx_ = nullptr;
};

}  // namespace bench
