#include "modbus_client.h"

#include <modbus.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace bench {

ModbusClient::~ModbusClient() {
    if (!ctx_) return;
    modbus_close(ctx_);
    modbus_free(ctx_);
}

bool ModbusClient::connect(const char* where) {
    const char* colon = std::strchr(where, ':');
    if (!colon) return false;
    const std::string host(where, colon);
    ctx_ = modbus_new_tcp(host.c_str(), std::atoi(colon + 1));
    if (!ctx_) return false;
    // The same reply wait as the Kelvo exchanges.
    modbus_set_response_timeout(ctx_, 1, 500000);
    return modbus_connect(ctx_) == 0;
}

bool ModbusClient::readCoils(std::uint8_t* coils) {
    return modbus_read_bits(ctx_, 0, COILS, coils) == COILS;
}

}  // namespace bench
