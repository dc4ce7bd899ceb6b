#include "sim/model.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <numbers>

namespace sim {

using namespace kelvo;

namespace {

// The simulator's rows, taken from the public model table that the library
// and the tool use too.
constexpr std::array<ModelInfo, MODEL_COUNT> MODELS = [] {
    std::array<ModelInfo, MODEL_COUNT> models{};
    for (std::size_t i = 0; i < MODEL_COUNT; ++i) {
        const KelvoModel& m = kelvo_model_table[i + 1];
        models[i] = ModelInfo{
            m.code, m.name, m.total, m.inputs, m.outputs, m.bits, static_cast<Kind>(m.kind)};
    }
    return models;
}();

constexpr std::size_t CHANNEL_MASK_VALUES = (MASK_WRITE_REQUEST - frame::DATA) / 4;  // 16
constexpr std::size_t STATUS_BLOCK = 24;  // CMD_MEM_STATUS reply bytes 8..31

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

const ModelInfo* findModel(std::uint8_t code) {
    if (code < 1 || code > MODEL_COUNT) return nullptr;
    return &MODELS[code - 1];
}

const ModelInfo* findModel(std::string_view nameOrCode) {
    for (const ModelInfo& m : MODELS) {
        if (equalsIgnoreCase(nameOrCode, m.name)) return &m;
    }
    unsigned code = 0;
    const char* end = nameOrCode.data() + nameOrCode.size();
    auto [ptr, ec] = std::from_chars(nameOrCode.data(), end, code);
    if (ec != std::errc{} || ptr != end || nameOrCode.empty() || code > 255) return nullptr;
    return findModel(static_cast<std::uint8_t>(code));
}

bool isDigital(Kind kind) {
    return kind != Kind::AnalogIn && kind != Kind::AnalogOut && kind != Kind::Counter;
}

bool isAnalog(Kind kind) {
    return kind == Kind::AnalogIn || kind == Kind::AnalogOut;
}

const char* kindName(Kind kind) {
    return kelvo_kind_name(static_cast<std::uint32_t>(kind));
}

std::size_t requestLength(std::uint8_t command, std::uint8_t selector, Kind kind) {
    switch (command) {
        case CMD_READ:
        case CMD_INFO:
        case CMD_MEM_READ:
        case CMD_MEM_STATUS:
            return frame::HEADER_SIZE;
        case CMD_WRITE:
            return selector == 0xFF && isAnalog(kind) ? MASK_WRITE_REQUEST : SHORT_REQUEST;
        case CMD_CONFIG:
            return SHORT_REQUEST;
        case CMD_MEM_CONTROL:
            return MEM_CONTROL_SIZE;
        case CMD_MEM_WRITE:
            return FRAME_SIZE;
        default:
            return 0;
    }
}

bool mayBeShortWrite(std::uint8_t command, std::uint8_t selector, Kind kind) {
    return command == CMD_WRITE && selector == 0xFF && isAnalog(kind);
}

Nanos samplePeriod(const std::uint8_t* request) {
    // Start request bytes 10..33 carry the settings record from its byte 2 on:
    // flags at 20, cycle at 21, 24-bit frequency at 24..26.
    const std::uint8_t flags = request[20];
    const std::uint8_t cycle = request[21];
    const std::uint32_t frequency = request[24] | (request[25] << 8) | (request[26] << 16);
    Nanos period = DEFAULT_SAMPLE_PERIOD;
    if (frequency != 0) {
        period = NANOS_PER_SECOND / frequency;
    } else if (cycle != 0) {
        // Timing flag set: the cycle counts 10 us steps, else milliseconds.
        period = cycle * ((flags & 0x04) != 0 ? Nanos{10'000} : NANOS_PER_MS);
    }
    return std::max(period, MIN_SAMPLE_PERIOD);
}

const char* waveName(Wave wave) {
    switch (wave) {
        case Wave::Fixed:
            return "fixed";
        case Wave::Sine:
            return "sine";
        case Wave::Ramp:
            return "ramp";
        case Wave::Square:
            return "square";
    }
    return "?";
}

AnalogSource presetSource(std::size_t channel) {
    // Channels come in groups of four: sine, ramp, square, constant; group g
    // has a period of g + 1 seconds, and its constant channel reads 1000 (g + 1).
    constexpr std::int32_t AMPLITUDE = 4000;
    const auto group = static_cast<std::int32_t>(channel / 4);
    const Nanos period = (group + 1) * NANOS_PER_SECOND;
    switch (channel % 4) {
        case 0:
            return {Wave::Sine, AMPLITUDE, period};
        case 1:
            return {Wave::Ramp, AMPLITUDE, period};
        case 2:
            return {Wave::Square, AMPLITUDE, period};
        default:
            return {Wave::Fixed, 1000 * (group + 1), period};
    }
}

std::int16_t sourceValue(const AnalogSource& source, Nanos t, std::uint8_t gain) {
    const Nanos period = std::max<Nanos>(source.period, 1);
    const double phase = static_cast<double>(t % period) / static_cast<double>(period);
    const auto a = static_cast<double>(source.value);
    double s = a;
    switch (source.wave) {
        case Wave::Fixed:
            break;
        case Wave::Sine:
            s = a * std::sin(2.0 * std::numbers::pi * phase);
            break;
        case Wave::Ramp:
            s = -a + 2.0 * a * phase;
            break;
        case Wave::Square:
            s = phase < 0.5 ? a : -a;
            break;
    }
    const double scaled = std::round(s * static_cast<double>(1 << (gain & 0x03)));
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

std::int16_t analogSignal(std::size_t channel, Nanos t, std::uint8_t gain) {
    return sourceValue(presetSource(channel), t, gain);
}

std::uint32_t counterRate(std::uint8_t mode) {
    if ((mode & 0x01) == 0) return 0;
    return 100u * ((mode >> 4) + 1u);
}

Unit::Unit(const Identity& identity, std::size_t memorySize)
    : identity_(identity), memorySize_(std::min(memorySize, MAX_MEMORY_SIZE)) {
    // Each channel holds what its preset signal shows at the start.
    for (std::size_t c = 0; c < analog_.size(); ++c) {
        analog_[c] = AnalogSource{Wave::Fixed, analogSignal(c, 0, 0), NANOS_PER_SECOND};
    }
}

void Unit::useSignalPreset() {
    for (std::size_t c = 0; c < analog_.size(); ++c) analog_[c] = presetSource(c);
}

Reply Unit::header(const std::uint8_t* request, std::size_t size, std::uint8_t status) {
    Reply r;
    std::copy_n(request, std::min(size, frame::HEADER_SIZE), r.bytes.begin());
    r.bytes[frame::COMMAND] = request[frame::COMMAND] | frame::REPLY_BIT;
    r.bytes[frame::STATUS] = status;
    r.bytes[frame::LENGTH] = 0;
    r.size = frame::HEADER_SIZE;
    return r;
}

Reply Unit::handle(const std::uint8_t* request, std::size_t size, Nanos now) {
    // Everything recorded up to now goes in before the request can change
    // what the inputs show or stop the recording.
    advanceSampling(now);
    // Work on a zero-padded copy: a request cut short reads as zeros beyond
    // its end instead of running past the caller's buffer.
    CommandFrame frame{};
    size = std::min(size, FRAME_SIZE);
    std::copy_n(request, size, frame.begin());
    const std::uint8_t* req = frame.data();
    switch (req[0]) {
        case CMD_READ:
            return read(req, size, now);
        case CMD_INFO:
            return info(req, size);
        case CMD_WRITE:
            return write(req, size, now);
        case CMD_CONFIG:
            return configure(req, size, now);
        case CMD_MEM_CONTROL:
            return memControl(req, size, now);
        case CMD_MEM_STATUS:
            return memStatus(req, size, now);
        case CMD_MEM_READ:
            return memRead(req, size);
        case CMD_MEM_WRITE:
            return memWrite(req, size);
        default:
            return header(req, size, UNIT_STATUS_UNKNOWN_COMMAND);
    }
}

std::int32_t Unit::channelValue(std::size_t channel, Nanos now) const {
    const ModelInfo& m = model();
    switch (m.kind) {
        case Kind::AnalogIn:
            return channel < m.inputs ? sourceValue(analog_[channel], now, config_[channel]) : 0;
        case Kind::AnalogOut:
            return channel < m.outputs ? static_cast<std::int32_t>(held_[channel]) : 0;
        case Kind::Counter: {
            if (channel >= m.total) return 0;
            const std::uint32_t rate = counterRate(config_[channel]);
            const Nanos since = counterSince_[channel];
            const auto elapsed = static_cast<unsigned __int128>(now > since ? now - since : 0);
            const auto pulses = static_cast<std::uint32_t>(elapsed * rate / NANOS_PER_SECOND);
            const bool down = (config_[channel] & 0x02) != 0;
            const std::uint32_t count = down ? held_[channel] - pulses : held_[channel] + pulses;
            return static_cast<std::int32_t>(count & 0xFFFF);
        }
        default:
            return 0;
    }
}

Reply Unit::read(const std::uint8_t* req, std::size_t size, Nanos now) {
    Reply r = header(req, size, 0);
    const std::size_t n = std::min<std::size_t>(req[frame::LENGTH], frame::DATA_SIZE);
    std::uint8_t* data = r.bytes.data() + frame::DATA;
    const std::uint8_t selector = req[frame::SELECTOR];
    if (isDigital(model().kind)) {
        // The port image from the selected port on (0xFF: from port 0).
        const std::size_t first = selector == 0xFF ? 0 : selector;
        for (std::size_t i = 0; i < n && first + i < PORTS; ++i) data[i] = ports_[first + i];
    } else if (selector == 0xFF) {
        // One 32-bit little-endian entry per channel, channel order.
        std::array<std::uint8_t, frame::DATA_SIZE> block{};
        for (std::size_t c = 0; c < model().total; ++c) {
            putLE32(block.data() + 4 * c, static_cast<std::uint32_t>(channelValue(c, now)));
        }
        std::copy_n(block.begin(), n, data);
    } else {
        // One channel's value, least significant byte first.
        std::array<std::uint8_t, 4> value{};
        putLE32(value.data(), static_cast<std::uint32_t>(channelValue(selector, now)));
        std::copy_n(value.begin(), std::min<std::size_t>(n, 4), data);
    }
    r.bytes[frame::LENGTH] = static_cast<std::uint8_t>(n);
    r.size = frame::DATA + n;
    return r;
}

Reply Unit::write(const std::uint8_t* req, std::size_t size, Nanos now) {
    const ModelInfo& m = model();
    const std::uint8_t selector = req[frame::SELECTOR];
    const std::uint8_t* data = req + frame::DATA;
    if (selector != 0xFF) {
        if (isDigital(m.kind)) {
            if (selector < m.total) ports_[selector] = data[0];
        } else {
            const std::size_t width = (m.bits + 7u) / 8u;
            std::uint32_t value = 0;
            for (std::size_t i = 0; i < width; ++i) value |= std::uint32_t{data[i]} << (8 * i);
            setChannel(selector, value, now);
        }
    } else if (size >= MASK_WRITE_REQUEST || !isDigital(m.kind)) {
        // Channel-mask write: 32-bit mask at 8..11, a 4-byte value per channel
        // from 16, as many as the request holds (16 in 80 bytes, 2 in 24).
        // Digital units have no channels and ignore it.
        if (!isDigital(m.kind)) {
            const std::uint32_t mask = getLE32(req + frame::MASK);
            const std::size_t values = size > frame::DATA ? (size - frame::DATA) / 4 : 0;
            const std::size_t fit = std::min(CHANNEL_MASK_VALUES, values);
            for (std::size_t c = 0; c < fit; ++c) {
                if ((mask >> c) & 1u) setChannel(c, getLE32(data + 4 * c), now);
            }
        }
    } else {
        // Port write: new = (old & ~mask) | (value & mask), per port.
        for (std::size_t p = 0; p < std::min<std::size_t>(m.total, PORTS); ++p) {
            const std::uint8_t mask = req[frame::MASK + p];
            ports_[p] = static_cast<std::uint8_t>((ports_[p] & ~mask) | (data[p] & mask));
        }
    }
    return header(req, size, 0);
}

void Unit::setChannel(std::size_t channel, std::uint32_t value, Nanos now) {
    const ModelInfo& m = model();
    if (channel >= m.outputs) return;
    if (m.kind == Kind::AnalogOut) {
        held_[channel] = value;
    } else if (m.kind == Kind::Counter) {
        held_[channel] = value & 0xFFFF;
        counterSince_[channel] = now;
    }
}

void Unit::settleCounter(std::size_t channel, Nanos now) {
    held_[channel] = static_cast<std::uint32_t>(channelValue(channel, now));
    counterSince_[channel] = now;
}

void Unit::setConfig(std::size_t slot, std::uint8_t value, Nanos now) {
    if (slot >= CONFIG_SLOTS) return;
    if (model().kind == Kind::Counter && slot < model().total) settleCounter(slot, now);
    config_[slot] = value;
}

Reply Unit::configure(const std::uint8_t* req, std::size_t size, Nanos now) {
    const std::uint8_t selector = req[frame::SELECTOR];
    if (selector == 0xFF) {
        // Eight positions with a mask byte each; 0xFF replaces the whole byte.
        for (std::size_t p = 0; p < frame::MASK_SIZE; ++p) {
            const std::uint8_t mask = req[frame::MASK + p];
            const std::uint8_t value = req[frame::DATA + p];
            setConfig(p, static_cast<std::uint8_t>((config_[p] & ~mask) | (value & mask)), now);
        }
    } else {
        setConfig(selector, req[frame::DATA], now);
    }
    return header(req, size, 0);
}

Reply Unit::info(const std::uint8_t* req, std::size_t size) {
    // Identification and version data go out together, whatever byte 4 asks.
    Reply r = header(req, size, 0);
    r.bytes[ident::MODEL] = model().code;
    r.bytes[ident::AUX] = identity_.aux;
    r.bytes[ident::UNIT_ID] = identity_.unitId;
    r.bytes[version_reply::MAJOR] = FIRMWARE_MAJOR;
    r.bytes[version_reply::MINOR] = FIRMWARE_MINOR;
    r.bytes[version_reply::YEAR] = FIRMWARE_YEAR;
    r.bytes[version_reply::MONTH] = FIRMWARE_MONTH;
    r.bytes[version_reply::DAY] = FIRMWARE_DAY;
    r.bytes[version_reply::INFO] = HARDWARE_INFO;
    r.size = version_reply::INFO + 1;
    r.bytes[frame::LENGTH] = static_cast<std::uint8_t>(r.size - frame::DATA);
    return r;
}

Reply Unit::memControl(const std::uint8_t* req, std::size_t size, Nanos now) {
    switch (req[frame::MASK]) {
        case MEM_CONTROL_START:
            // A new recording from the start of memory; earlier contents are
            // overwritten as samples come in.
            sampling_ = true;
            memoryFull_ = false;
            sampleStart_ = now;
            samplePeriod_ = samplePeriod(req);
            samplesTaken_ = 0;
            targetChannels_ = getLE16(req + 12);
            recorded_ = 0;
            position_ = 0;
            advanceSampling(now);
            break;
        case MEM_CONTROL_STOP:
            sampling_ = false;
            break;
        case MEM_CONTROL_SEEK:
            position_ = getLE32(req + MEM_SEEK_POSITION);
            break;
        default:
            return header(req, size, UNIT_STATUS_BAD_CONTROL);
    }
    return header(req, size, 0);
}

std::uint8_t Unit::samplingStatus(Nanos now) {
    advanceSampling(now);
    return static_cast<std::uint8_t>((sampling_ ? SAMPLING_RUNNING : 0) |
                                     (memoryFull_ ? SAMPLING_MEMORY_FULL : 0));
}

Reply Unit::memStatus(const std::uint8_t* req, std::size_t size, Nanos now) {
    Reply r = header(req, size, 0);
    std::uint8_t* s = r.bytes.data() + MEM_STATUS_BYTE;
    s[0] = samplingStatus(now);
    // Memory in use in 4096-byte blocks; a partly filled block counts.
    const std::size_t blocks = (recorded_ + 4095) >> MEM_COUNT_SHIFT;
    putLE16(s + 2, static_cast<std::uint16_t>(std::min<std::size_t>(blocks, 0xFFFF)));
    putLE32(s + 4, static_cast<std::uint32_t>(recorded_));
    putLE32(s + 8, static_cast<std::uint32_t>(std::min<std::uint64_t>(position_, 0xFFFFFFFF)));
    putLE32(s + 12, static_cast<std::uint32_t>(NANOS_PER_SECOND / samplePeriod_));
    putLE32(s + 16, static_cast<std::uint32_t>(memorySize_));
    putLE16(s + 20, static_cast<std::uint16_t>(sampleSize()));
    r.bytes[frame::LENGTH] = STATUS_BLOCK;
    r.size = MEM_STATUS_BYTE + STATUS_BLOCK;
    return r;
}

Reply Unit::memRead(const std::uint8_t* req, std::size_t size) {
    // 0x80 in byte 5 starts a read from the start of memory; any other chunk
    // goes on from the transfer position (set by seek or by the chunk before).
    if ((req[frame::FLAGS] & CHUNK_FIRST) != 0) position_ = 0;
    Reply r = header(req, size, 0);
    const std::size_t n = std::min<std::size_t>(req[frame::LENGTH], frame::CHUNK_SIZE);
    std::uint8_t* out = r.bytes.data() + frame::MASK;
    if (!memory_.empty() && position_ < memorySize_) {
        const std::size_t from = static_cast<std::size_t>(position_);
        std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(from),
                    std::min(n, memorySize_ - from), out);
    }
    position_ += n;
    r.bytes[frame::LENGTH] = static_cast<std::uint8_t>(n);
    r.size = frame::HEADER_SIZE + n;
    return r;
}

Reply Unit::memWrite(const std::uint8_t* req, std::size_t size) {
    if ((req[frame::FLAGS] & CHUNK_FIRST) != 0) position_ = 0;
    const std::size_t n = std::min<std::size_t>(req[frame::LENGTH], frame::CHUNK_SIZE);
    if (position_ < memorySize_) {
        const std::size_t from = static_cast<std::size_t>(position_);
        const std::size_t fit = std::min(n, memorySize_ - from);
        std::copy_n(req + frame::MASK, fit, memory() + from);
        recorded_ = std::max(recorded_, from + fit);
    }
    position_ += n;
    return header(req, size, 0);
}

std::uint8_t* Unit::memory() {
    if (memory_.empty()) memory_.assign(memorySize_, 0);
    return memory_.data();
}

std::size_t Unit::sampleSize() const {
    const ModelInfo& m = model();
    switch (m.kind) {
        case Kind::AnalogIn: {
            const std::uint16_t all = static_cast<std::uint16_t>((1u << m.inputs) - 1u);
            const std::uint16_t chosen = targetChannels_ & all;
            return 2u * static_cast<std::size_t>(std::popcount(chosen != 0 ? chosen : all));
        }
        case Kind::AnalogOut:
            return 2u * m.outputs;
        case Kind::Counter:
            return 2u * m.total;
        default:
            return PORTS;
    }
}

void Unit::recordSample(Nanos t, std::uint8_t* out) const {
    const ModelInfo& m = model();
    if (isDigital(m.kind)) {
        std::copy(ports_.begin(), ports_.end(), out);
        return;
    }
    const std::uint16_t all = static_cast<std::uint16_t>((1u << m.total) - 1u);
    std::uint16_t chosen = all;
    if (m.kind == Kind::AnalogIn && (targetChannels_ & all) != 0) chosen = targetChannels_ & all;
    for (std::size_t c = 0; c < m.total; ++c) {
        if (((chosen >> c) & 1u) == 0) continue;
        putLE16(out, static_cast<std::uint16_t>(channelValue(c, t)));
        out += 2;
    }
}

void Unit::advanceSampling(Nanos now) {
    if (!sampling_ || now < sampleStart_) return;
    const std::size_t record = sampleSize();
    // Sample k is taken at sampleStart_ + k * period, the first at the start.
    const auto due = static_cast<std::uint64_t>((now - sampleStart_) / samplePeriod_) + 1;
    while (samplesTaken_ < due) {
        const std::uint64_t offset = samplesTaken_ * record;
        if (offset + record > memorySize_) {
            sampling_ = false;
            memoryFull_ = true;
            return;
        }
        const Nanos t = sampleStart_ + static_cast<Nanos>(samplesTaken_) * samplePeriod_;
        recordSample(t, memory() + offset);
        ++samplesTaken_;
        recorded_ = std::max(recorded_, static_cast<std::size_t>(offset + record));
    }
}

}  // namespace sim
