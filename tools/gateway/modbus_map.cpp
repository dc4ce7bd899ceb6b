#include "modbus_map.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <variant>

namespace gateway {
namespace {

constexpr std::uint8_t READ_COILS = 1;
constexpr std::uint8_t READ_DISCRETE_INPUTS = 2;
constexpr std::uint8_t READ_HOLDING_REGISTERS = 3;
constexpr std::uint8_t READ_INPUT_REGISTERS = 4;
constexpr std::uint8_t WRITE_SINGLE_COIL = 5;
constexpr std::uint8_t WRITE_SINGLE_REGISTER = 6;
constexpr std::uint8_t WRITE_MULTIPLE_COILS = 15;
constexpr std::uint8_t WRITE_MULTIPLE_REGISTERS = 16;

// Counts one request may carry, as the protocol allows them.
constexpr unsigned MOST_READ_BITS = 2000;
constexpr unsigned MOST_READ_REGISTERS = 125;
constexpr unsigned MOST_WRITE_BITS = 1968;
constexpr unsigned MOST_WRITE_REGISTERS = 123;

// Where the register blocks start, and the positions a block has room for.
constexpr unsigned PORTS = 0;
constexpr unsigned CODES = 100;
constexpr unsigned COUNTS = 200;
constexpr unsigned FLOATS = 300;
constexpr unsigned BLOCK = 100;
constexpr unsigned MOST_POSITIONS = 64;  // as the point model has them

constexpr std::size_t KIND_COUNT = 5;

unsigned Word(const std::uint8_t* p) {
    return static_cast<unsigned>(p[0] << 8 | p[1]);
}

void PutWord(std::vector<std::uint8_t>& out, unsigned v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

// The answer's header and function code, the length filled in by Finish.
std::vector<std::uint8_t> Start(const std::uint8_t* frame, std::uint8_t function) {
    std::vector<std::uint8_t> out(frame, frame + MODBUS_HEADER);
    out[4] = out[5] = 0;
    out.push_back(function);
    return out;
}

std::vector<std::uint8_t> Finish(std::vector<std::uint8_t> out) {
    const std::size_t length = out.size() - 6;
    out[4] = static_cast<std::uint8_t>(length >> 8);
    out[5] = static_cast<std::uint8_t>(length);
    return out;
}

std::uint32_t FloatBits(double v) {
    const float f = static_cast<float>(v);
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

double BitsFloat(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The word of a 32-bit value at the pair's register `half` (0: the first).
unsigned Half(std::uint32_t v, unsigned half, WordOrder order) {
    const bool high = (half == 0) == (order == WordOrder::HIGH_FIRST);
    return high ? v >> 16 : v & 0xFFFF;
}

std::uint32_t Join(unsigned first, unsigned second, WordOrder order) {
    return order == WordOrder::HIGH_FIRST ? (first << 16 | second) : (second << 16 | first);
}

// "1.2 (2024-05-01)" -> 0x0102; 0 when unknown.
unsigned FirmwareWord(const std::string& text) {
    char* end = nullptr;
    const unsigned long major = std::strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '.') return 0;
    const unsigned long minor = std::strtoul(end + 1, nullptr, 10);
    return static_cast<unsigned>((major & 0xFF) << 8 | (minor & 0xFF));
}

// "KV-108" -> 108
unsigned ModelNumber(const KelvoModel& m) {
    return static_cast<unsigned>(std::strtoul(m.name + 3, nullptr, 10));
}

// A unit's points by kind and position, read under its lock.
struct Points {
    const Point* at[KIND_COUNT][MOST_POSITIONS] = {};

    explicit Points(const std::vector<Point>& points) {
        for (const Point& p : points) {
            if (p.position < MOST_POSITIONS) at[static_cast<int>(p.kind)][p.position] = &p;
        }
    }
    const Point* get(Kind kind, unsigned position) const {
        return position < MOST_POSITIONS ? at[static_cast<int>(kind)][position] : nullptr;
    }
};

// One bit of the coil (outputs) or discrete input table.
std::optional<bool> Bit(const Points& pts, bool coils, unsigned address) {
    const Point* p = pts.get(coils ? Kind::DIGITAL_OUT : Kind::DIGITAL_IN, address / 8);
    if (!p) return std::nullopt;
    return (p->raw >> (address % 8)) & 1;
}

struct About {
    const UnitDescription& unit;
    bool online;
    WordOrder order;
};

// One register of the input (`holding` false) or holding table.
std::optional<unsigned> Register(const Points& pts, const About& a, bool holding,
                                 unsigned address) {
    const unsigned bits = a.unit.model->bits;
    if (address < PORTS + BLOCK) {
        const Point* p = pts.get(holding ? Kind::DIGITAL_OUT : Kind::DIGITAL_IN, address - PORTS);
        if (!p) return std::nullopt;
        return static_cast<unsigned>(p->raw & 0xFF);
    }
    if (address < CODES + BLOCK) {
        const Point* p = pts.get(holding ? Kind::ANALOG_OUT : Kind::ANALOG_IN, address - CODES);
        if (!p) return std::nullopt;
        // An output shows the code the unit holds, whatever sign it was
        // written with; an input its own two's complement.
        const std::int64_t raw =
            holding && bits < 63 ? p->raw & ((std::int64_t{1} << bits) - 1) : p->raw;
        return static_cast<unsigned>(raw & 0xFFFF);
    }
    if (address < COUNTS + BLOCK) {
        const Point* p = pts.get(Kind::COUNTER, (address - COUNTS) / 2);
        if (!p) return std::nullopt;
        return Half(static_cast<std::uint32_t>(p->raw), (address - COUNTS) % 2, a.order);
    }
    if (address < FLOATS + BLOCK) {
        const Point* p =
            pts.get(holding ? Kind::ANALOG_OUT : Kind::ANALOG_IN, (address - FLOATS) / 2);
        if (!p) return std::nullopt;
        return Half(FloatBits(p->value), (address - FLOATS) % 2, a.order);
    }
    if (holding || address < MODBUS_INFO || address >= MODBUS_INFO + MODBUS_INFO_COUNT) {
        return std::nullopt;
    }
    switch (address - MODBUS_INFO) {
        case 0:
            return ModelNumber(*a.unit.model);
        case 1:
            return a.unit.unitId;
        case 2:
            return a.unit.aux;
        case 3:
            return a.online ? 1u : 0u;
        default:
            return FirmwareWord(a.unit.firmware);
    }
}

bool InfoOnly(bool holding, unsigned start, unsigned count) {
    return !holding && start >= MODBUS_INFO && start + count <= MODBUS_INFO + MODBUS_INFO_COUNT;
}

// A read: the first address must be one the unit has; addresses within the
// range that it lacks read as 0, so that a SCADA may read a block across
// the gaps of the map in one request.
std::vector<std::uint8_t> Read(PointModel& model, std::size_t unit, WordOrder order,
                               const std::uint8_t* frame, std::size_t size) {
    const std::uint8_t function = frame[7];
    const bool bits = function == READ_COILS || function == READ_DISCRETE_INPUTS;
    const bool writable = function == READ_COILS || function == READ_HOLDING_REGISTERS;
    if (size != MODBUS_HEADER + 5) return ModbusError(frame, MODBUS_ILLEGAL_VALUE);
    const unsigned start = Word(frame + 8), count = Word(frame + 10);
    if (count == 0 || count > (bits ? MOST_READ_BITS : MOST_READ_REGISTERS)) {
        return ModbusError(frame, MODBUS_ILLEGAL_VALUE);
    }
    if (start + count > 0x10000) return ModbusError(frame, MODBUS_ILLEGAL_ADDRESS);
    const UnitDescription& description = model.description(unit);
    std::vector<std::uint8_t> out = Start(frame, function);
    std::uint8_t error = 0;
    model.visit(unit, [&](const std::vector<Point>& points, bool online) {
        const Points pts(points);
        const About about{description, online, order};
        const bool first = bits ? Bit(pts, writable, start).has_value()
                                : Register(pts, about, writable, start).has_value();
        if (!first) {
            error = MODBUS_ILLEGAL_ADDRESS;
            return;
        }
        if (!online && (bits || !InfoOnly(writable, start, count))) {
            error = MODBUS_TARGET_FAILED;
            return;
        }
        if (bits) {
            out.push_back(static_cast<std::uint8_t>((count + 7) / 8));
            for (unsigned i = 0; i < count; i += 8) {
                std::uint8_t byte = 0;
                for (unsigned b = 0; b < 8 && i + b < count; ++b) {
                    if (Bit(pts, writable, start + i + b).value_or(false)) byte |= 1u << b;
                }
                out.push_back(byte);
            }
        } else {
            out.push_back(static_cast<std::uint8_t>(count * 2));
            for (unsigned i = 0; i < count; ++i) {
                PutWord(out, Register(pts, about, writable, start + i).value_or(0));
            }
        }
    });
    if (error) return ModbusError(frame, error);
    return Finish(std::move(out));
}

// A write of holding registers [start, start + values.size()) as commands.
std::uint8_t RegisterCommands(const Points& pts, const KelvoModel& m, WordOrder order,
                              unsigned start, const std::vector<unsigned>& values,
                              std::vector<CommandRequest>& out) {
    const unsigned end = start + static_cast<unsigned>(values.size());
    for (unsigned a = start; a < end;) {
        const unsigned v = values[a - start];
        CommandRequest r;
        if (a < PORTS + BLOCK) {
            if (!pts.get(Kind::DIGITAL_OUT, a - PORTS)) return MODBUS_ILLEGAL_ADDRESS;
            if (v > 0xFF) return MODBUS_ILLEGAL_VALUE;
            r.kind = Kind::DIGITAL_OUT;
            r.position = a - PORTS;
            r.raw = v;
            ++a;
        } else if (a < CODES + BLOCK) {
            if (!pts.get(Kind::ANALOG_OUT, a - CODES)) return MODBUS_ILLEGAL_ADDRESS;
            r.kind = Kind::ANALOG_OUT;
            r.position = a - CODES;
            r.raw = v;  // the code, unsigned: above the model's bits it is refused
            if (m.bits < 16 && v >= (1u << m.bits)) return MODBUS_ILLEGAL_VALUE;
            ++a;
        } else if (a < FLOATS + BLOCK) {
            const bool counter = a < COUNTS + BLOCK;
            const unsigned base = counter ? COUNTS : FLOATS;
            const unsigned channel = (a - base) / 2;
            const Point* p = pts.get(counter ? Kind::COUNTER : Kind::ANALOG_OUT, channel);
            if (!p) return MODBUS_ILLEGAL_ADDRESS;
            // A 32-bit value is written whole: both of its registers at once.
            if ((a - base) % 2 != 0 || a + 1 >= end) return MODBUS_ILLEGAL_VALUE;
            const std::uint32_t joined = Join(v, values[a + 1 - start], order);
            r.kind = p->kind;
            r.position = channel;
            if (counter) {
                r.raw = joined;
            } else {
                const double value = BitsFloat(joined);
                if (!std::isfinite(value)) return MODBUS_ILLEGAL_VALUE;
                // Without a scale the engineering value is the code itself.
                if (p->settings.scaled) {
                    r.engineering = value;
                } else {
                    const auto code = ToRaw(p->settings, value);
                    if (!code) return MODBUS_ILLEGAL_VALUE;
                    r.raw = *code;
                }
            }
            a += 2;
        } else {
            return MODBUS_ILLEGAL_ADDRESS;
        }
        out.push_back(std::move(r));
    }
    return 0;
}

// A write of coils [start, start + count) from `data` (LSB first): one
// masked command per port.
std::uint8_t CoilCommands(const Points& pts, unsigned start, unsigned count,
                          const std::uint8_t* data, std::vector<CommandRequest>& out) {
    for (unsigned i = 0; i < count; ++i) {
        if (!pts.get(Kind::DIGITAL_OUT, (start + i) / 8)) return MODBUS_ILLEGAL_ADDRESS;
    }
    for (unsigned i = 0; i < count;) {
        const unsigned port = (start + i) / 8;
        CommandRequest r;
        r.kind = Kind::DIGITAL_OUT;
        r.position = port;
        r.mask = 0;
        r.raw = 0;
        for (; i < count && (start + i) / 8 == port; ++i) {
            const unsigned bit = (start + i) % 8;
            r.mask = static_cast<std::uint8_t>(r.mask | 1u << bit);
            if ((data[i / 8] >> (i % 8)) & 1) r.raw |= 1 << bit;
        }
        out.push_back(std::move(r));
    }
    return 0;
}

std::vector<std::uint8_t> Echo(const std::uint8_t* frame, std::size_t bytes) {
    std::vector<std::uint8_t> out = Start(frame, frame[7]);
    out.insert(out.end(), frame + 8, frame + 8 + bytes);
    return Finish(std::move(out));
}

ModbusAnswer Write(PointModel& model, std::size_t unit, WordOrder order, const std::uint8_t* frame,
                   std::size_t size) {
    const std::uint8_t function = frame[7];
    const std::uint8_t* data = frame + 8;
    const std::size_t length = size - 8;
    ModbusWrite w;
    w.unit = unit;
    std::uint8_t error = 0;
    auto build = [&](auto&& commands) {
        const KelvoModel& m = *model.description(unit).model;
        model.visit(unit, [&](const std::vector<Point>& points, bool online) {
            const Points pts(points);
            error = commands(pts, m);
            // The one check every face's commands pass, so that what the
            // model would refuse is an illegal value here.
            for (std::size_t i = 0; !error && i < w.requests.size(); ++i) {
                const CommandRequest& r = w.requests[i];
                const Point* p = pts.get(r.kind, r.position);
                if (std::holds_alternative<Rejection>(
                        CheckCommand(m, r, p ? &p->settings : nullptr))) {
                    error = MODBUS_ILLEGAL_VALUE;
                }
            }
            if (!error && !online) error = MODBUS_TARGET_FAILED;
        });
    };
    if (function == WRITE_SINGLE_COIL || function == WRITE_SINGLE_REGISTER) {
        if (length != 4) return {ModbusError(frame, MODBUS_ILLEGAL_VALUE), std::nullopt};
        const unsigned address = Word(data), value = Word(data + 2);
        if (function == WRITE_SINGLE_COIL) {
            if (value != 0xFF00 && value != 0x0000) {
                return {ModbusError(frame, MODBUS_ILLEGAL_VALUE), std::nullopt};
            }
            build([&](const Points& pts, const KelvoModel&) -> std::uint8_t {
                if (!pts.get(Kind::DIGITAL_OUT, address / 8)) return MODBUS_ILLEGAL_ADDRESS;
                CommandRequest r;
                r.kind = Kind::DIGITAL_OUT;
                r.position = address / 8;
                r.bit = address % 8;
                r.raw = value ? 1 : 0;
                w.requests.push_back(std::move(r));
                return 0;
            });
        } else {
            build([&](const Points& pts, const KelvoModel& m) {
                return RegisterCommands(pts, m, order, address, {value}, w.requests);
            });
        }
        w.reply = Echo(frame, 4);
    } else {
        if (length < 5) return {ModbusError(frame, MODBUS_ILLEGAL_VALUE), std::nullopt};
        const unsigned start = Word(data), count = Word(data + 2), bytes = data[4];
        const bool coils = function == WRITE_MULTIPLE_COILS;
        if (count == 0 || count > (coils ? MOST_WRITE_BITS : MOST_WRITE_REGISTERS) ||
            bytes != (coils ? (count + 7) / 8 : count * 2) || length != 5 + bytes) {
            return {ModbusError(frame, MODBUS_ILLEGAL_VALUE), std::nullopt};
        }
        if (start + count > 0x10000) {
            return {ModbusError(frame, MODBUS_ILLEGAL_ADDRESS), std::nullopt};
        }
        if (coils) {
            build([&](const Points& pts, const KelvoModel&) {
                return CoilCommands(pts, start, count, data + 5, w.requests);
            });
        } else {
            std::vector<unsigned> values(count);
            for (unsigned i = 0; i < count; ++i) values[i] = Word(data + 5 + 2 * i);
            build([&](const Points& pts, const KelvoModel& m) {
                return RegisterCommands(pts, m, order, start, values, w.requests);
            });
        }
        w.reply = Echo(frame, 4);
    }
    if (error) return {ModbusError(frame, error), std::nullopt};
    return {{}, std::move(w)};
}

}  // namespace

long ModbusFrameLength(const std::uint8_t* data, std::size_t size) {
    if (size < MODBUS_HEADER) return 0;
    const unsigned length = Word(data + 4);
    if (Word(data + 2) != 0 || length < 2 || length > MODBUS_MAX_FRAME - 6) return -1;
    return size >= 6 + length ? static_cast<long>(6 + length) : 0;
}

std::vector<std::uint8_t> ModbusError(const std::uint8_t* frame, std::uint8_t code) {
    std::vector<std::uint8_t> out = Start(frame, static_cast<std::uint8_t>(frame[7] | 0x80));
    out.push_back(code);
    return Finish(std::move(out));
}

ModbusIds::ModbusIds(const Settings& settings) : settings_(settings) {
    units_.fill(-1);
    for (const auto& [name, u] : settings.units) {
        if (u.modbusId) reserved_.insert(*u.modbusId);
    }
}

std::uint8_t ModbusIds::add(const std::string& name, std::size_t unit) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto& configured = settings_.unitSettings(name).modbusId;
    int id = configured.value_or(0);
    for (int candidate = 1; !configured && candidate <= 247; ++candidate) {
        if (units_[candidate] < 0 && !reserved_.count(candidate)) {
            id = candidate;
            break;
        }
    }
    if (id == 0 || units_[id] >= 0) return 0;
    units_[id] = static_cast<long>(unit);
    return static_cast<std::uint8_t>(id);
}

std::optional<std::size_t> ModbusIds::unit(std::uint8_t id) const {
    std::lock_guard<std::mutex> hold(mutex_);
    if (units_[id] < 0) return std::nullopt;
    return static_cast<std::size_t>(units_[id]);
}

ModbusAnswer AnswerModbus(PointModel& model, const ModbusIds& ids, WordOrder order,
                          const std::uint8_t* frame, std::size_t size) {
    if (size < MODBUS_HEADER + 1 || ModbusFrameLength(frame, size) != static_cast<long>(size)) {
        return {};
    }
    const auto unit = ids.unit(frame[6]);
    if (!unit) return {ModbusError(frame, MODBUS_PATH_UNAVAILABLE), std::nullopt};
    switch (frame[7]) {
        case READ_COILS:
        case READ_DISCRETE_INPUTS:
        case READ_HOLDING_REGISTERS:
        case READ_INPUT_REGISTERS:
            return {Read(model, *unit, order, frame, size), std::nullopt};
        case WRITE_SINGLE_COIL:
        case WRITE_SINGLE_REGISTER:
        case WRITE_MULTIPLE_COILS:
        case WRITE_MULTIPLE_REGISTERS:
            return Write(model, *unit, order, frame, size);
        default:
            return {ModbusError(frame, MODBUS_ILLEGAL_FUNCTION), std::nullopt};
    }
}

std::vector<ModbusRow> ModbusRows(const KelvoModel& m, const UnitSettings& s) {
    std::vector<ModbusRow> rows;
    auto settingsOf = [&](const std::string& point) -> const PointSettings* {
        const auto it = s.points.find(point);
        return it == s.points.end() ? nullptr : &it->second;
    };
    auto bitName = [&](const std::string& port, unsigned bit) {
        const PointSettings* p = settingsOf(port);
        return p && bit < p->bits.size() ? p->bits[bit] : "";
    };
    auto unitOf = [&](const std::string& point) {
        const PointSettings* p = settingsOf(point);
        return p ? p->unit : "";
    };
    for (const bool coils : {false, true}) {
        const Kind kind = coils ? Kind::DIGITAL_OUT : Kind::DIGITAL_IN;
        for (unsigned port = 0; port < MOST_POSITIONS; ++port) {
            if (!HasPosition(m, kind, port)) continue;
            const std::string point = std::string(KindTopic(kind)) + "/" + std::to_string(port);
            for (unsigned bit = 0; bit < 8; ++bit) {
                rows.push_back({coils ? "coil" : "discrete input", port * 8 + bit, 1, "bit",
                                coils ? "rw" : "r", point + "/" + std::to_string(bit),
                                bitName(point, bit), ""});
            }
        }
    }
    for (const bool holding : {false, true}) {
        const char* table = holding ? "holding register" : "input register";
        const char* access = holding ? "rw" : "r";
        const Kind port = holding ? Kind::DIGITAL_OUT : Kind::DIGITAL_IN;
        const Kind analog = holding ? Kind::ANALOG_OUT : Kind::ANALOG_IN;
        for (unsigned n = 0; n < MOST_POSITIONS; ++n) {
            if (HasPosition(m, port, n)) {
                rows.push_back({table, PORTS + n, 1, "uint16", access,
                                std::string(KindTopic(port)) + "/" + std::to_string(n), "port byte",
                                ""});
            }
        }
        for (unsigned n = 0; n < MOST_POSITIONS; ++n) {
            if (HasPosition(m, analog, n)) {
                rows.push_back({table, CODES + n, 1, holding ? "uint16" : "int16", access,
                                std::string(KindTopic(analog)) + "/" + std::to_string(n), "code",
                                ""});
            }
        }
        for (unsigned n = 0; n < MOST_POSITIONS; ++n) {
            if (HasPosition(m, Kind::COUNTER, n)) {
                rows.push_back({table, COUNTS + 2 * n, 2, "uint32", access,
                                "cnt/" + std::to_string(n),
                                holding ? "count (write: preset)" : "count", ""});
            }
        }
        for (unsigned n = 0; n < MOST_POSITIONS; ++n) {
            if (HasPosition(m, analog, n)) {
                const std::string point = std::string(KindTopic(analog)) + "/" + std::to_string(n);
                rows.push_back({table, FLOATS + 2 * n, 2, "float32", access, point,
                                "engineering value", unitOf(point)});
            }
        }
    }
    static const char* const INFO[MODBUS_INFO_COUNT] = {
        "model number", "unit ID", "aux", "online (1/0)", "firmware (major*256 + minor)"};
    for (unsigned i = 0; i < MODBUS_INFO_COUNT; ++i) {
        rows.push_back({"input register", MODBUS_INFO + i, 1, "uint16", "r", "", INFO[i], ""});
    }
    return rows;
}

}  // namespace gateway
