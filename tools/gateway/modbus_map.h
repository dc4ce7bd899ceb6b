// The Modbus register map of a unit, and the answer to one Modbus TCP
// request, without sockets: a frame in, a frame (or the commands of a write)
// out. The map is the same for every model; addresses are 0-based.
//
//   discrete inputs   port*8+bit   input bits
//   coils             port*8+bit   output bits (read back; writes set single bits)
//   input registers   port         input port byte
//                     100+ch       analog input code (two's complement: the codes are signed)
//                     200+2*ch     counter, 32 bits unsigned, two registers
//                     300+2*ch     analog input engineering value, float32, two registers
//                     1000..1004   model number, unit ID, aux, online (1/0), firmware
//   holding registers port         output port byte
//                     100+ch       analog output code
//                     200+2*ch     counter: reads the count, a write of both registers presets it
//                     300+2*ch     analog output engineering value, float32 (through its scale)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "config.h"
#include "points.h"

namespace gateway {

// MBAP header: transaction (2), protocol 0 (2), length of what follows (2),
// unit ID (1); then the function code and its data, 253 bytes at most.
constexpr std::size_t MODBUS_HEADER = 7;
constexpr std::size_t MODBUS_MAX_FRAME = 6 + 1 + 253;

constexpr std::uint8_t MODBUS_ILLEGAL_FUNCTION = 0x01;
constexpr std::uint8_t MODBUS_ILLEGAL_ADDRESS = 0x02;
constexpr std::uint8_t MODBUS_ILLEGAL_VALUE = 0x03;
constexpr std::uint8_t MODBUS_DEVICE_FAILURE = 0x04;
constexpr std::uint8_t MODBUS_PATH_UNAVAILABLE = 0x0A;
constexpr std::uint8_t MODBUS_TARGET_FAILED = 0x0B;

// Registers 1000..1004 of the input table.
constexpr unsigned MODBUS_INFO = 1000;
constexpr unsigned MODBUS_INFO_COUNT = 5;

// The size of the frame at the front of a received stream: 0 while it is
// incomplete, -1 when its header starts no frame (protocol not 0, length
// outside 2..254); such a stream cannot be resynchronised.
long ModbusFrameLength(const std::uint8_t* data, std::size_t size);

// Which unit answers which Modbus unit ID: configured IDs are reserved from
// the start; the other units take the lowest free ID in the order they are
// added (the gateway adds the units it finds at once in order of model and
// unit ID). Safe to use from any thread.
class ModbusIds {
  public:
    explicit ModbusIds(const Settings& settings);
    // The ID of a unit added now; 0 when every ID is taken.
    std::uint8_t add(const std::string& name, std::size_t unit);
    std::optional<std::size_t> unit(std::uint8_t id) const;

  private:
    const Settings& settings_;
    mutable std::mutex mutex_;
    std::array<long, 256> units_;  // by ID; -1: none
    std::set<int> reserved_;
};

// The commands of one write request, submitted in order; `reply` is the
// answer once all of them are confirmed.
struct ModbusWrite {
    std::size_t unit = 0;
    std::vector<CommandRequest> requests;
    std::vector<std::uint8_t> reply;
};

struct ModbusAnswer {
    std::vector<std::uint8_t> reply;  // empty, without a write: not a frame; close
    std::optional<ModbusWrite> write;
};

// Answers one frame as ModbusFrameLength delimited it: reads from the point
// model at once; a write that passes every check becomes the commands to
// submit (all of them checked before any is returned, so that a refused
// write changes nothing).
ModbusAnswer AnswerModbus(PointModel& model, const ModbusIds& ids, WordOrder order,
                          const std::uint8_t* frame, std::size_t size);

// The exception answer to `frame` (at least MODBUS_HEADER + 1 bytes).
std::vector<std::uint8_t> ModbusError(const std::uint8_t* frame, std::uint8_t code);

// One line of the printed map.
struct ModbusRow {
    const char* table;  // "coil", "discrete input", "input register", "holding register"
    unsigned address;
    unsigned registers;  // 1, or 2 for 32-bit values
    const char* type;    // "bit", "uint16", "int16", "uint32", "float32"
    const char* access;  // "r" or "rw"
    std::string point;   // "di/0/3", "ai/2", ...
    std::string label;   // the configured bit name, or what it holds
    std::string unit;    // engineering unit
};
std::vector<ModbusRow> ModbusRows(const KelvoModel& model, const UnitSettings& settings);

}  // namespace gateway
