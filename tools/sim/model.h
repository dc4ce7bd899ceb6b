// One simulated unit: its model, its I/O state and its sampling memory, and
// the handling of one complete request frame into one reply. Nothing here
// touches a socket or a clock: the caller passes the time of each request, so
// the behaviour can be tested by feeding bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kelvo_models.h"
#include "protocol/frame.h"

namespace sim {

// Nanoseconds since the simulator started.
using Nanos = std::int64_t;
inline constexpr Nanos NANOS_PER_SECOND = 1'000'000'000;
inline constexpr Nanos NANOS_PER_MS = 1'000'000;

// The kinds of the public model table, as an enum the switches can check.
enum class Kind : std::uint8_t {
    DigitalIn = KELVO_KIND_DIGITAL_IN,
    DigitalOut = KELVO_KIND_DIGITAL_OUT,
    DigitalInOut = KELVO_KIND_DIGITAL_INOUT,
    DigitalBidir = KELVO_KIND_DIGITAL_BIDIR,
    AnalogIn = KELVO_KIND_ANALOG_IN,
    AnalogOut = KELVO_KIND_ANALOG_OUT,
    Counter = KELVO_KIND_COUNTER,
};

struct ModelInfo {
    std::uint8_t code;
    const char* name;
    std::uint8_t total;
    std::uint8_t inputs;
    std::uint8_t outputs;
    std::uint8_t bits;
    Kind kind;
};

inline constexpr std::uint8_t MODEL_COUNT = KELVO_MODEL_COUNT;

// Model codes 1..20; nullptr for any other code.
const ModelInfo* findModel(std::uint8_t code);
// "KV-103" (any case) or a decimal code "3"; nullptr if neither names a model.
const ModelInfo* findModel(std::string_view nameOrCode);

bool isDigital(Kind kind);
// Analog input and output units: their channel-mask write is 80 bytes long.
bool isAnalog(Kind kind);
const char* kindName(Kind kind);

// Request sizes. The library sends each request with one send() and waits for
// its reply before the next, so the size per command is all the framing there
// is. A channel-mask write (CMD_WRITE, selector 0xFF) is 80 bytes from the
// analog calls and 24 bytes from the port and counter calls; the unit's kind
// decides which one it waits for, and the server settles the rest (bytes
// beyond the length that arrived with the request, mayBeShortWrite). The
// lengths are the library's (protocol/frame.h).
using kelvo::MASK_WRITE_REQUEST;
using kelvo::SHORT_REQUEST;

// The length a request starting with these bytes is expected to have on a unit
// of this kind, or 0 for a command the units do not know.
std::size_t requestLength(std::uint8_t command, std::uint8_t selector, Kind kind);
// True for the one ambiguous case: a CMD_WRITE with selector 0xFF to an analog
// unit, which may also arrive as a 24-byte port write.
bool mayBeShortWrite(std::uint8_t command, std::uint8_t selector, Kind kind);

// Unit status byte (reply byte 1) values the simulator itself produces.
inline constexpr std::uint8_t UNIT_STATUS_UNKNOWN_COMMAND = 0x01;
inline constexpr std::uint8_t UNIT_STATUS_BAD_CONTROL = 0x02;

// Sampling status byte (CMD_MEM_STATUS reply byte 8).
inline constexpr std::uint8_t SAMPLING_RUNNING = 0x01;
inline constexpr std::uint8_t SAMPLING_MEMORY_FULL = 0x02;

// Firmware version reported in the CMD_INFO reply.
inline constexpr std::uint8_t FIRMWARE_MAJOR = 1;
inline constexpr std::uint8_t FIRMWARE_MINOR = 3;
inline constexpr std::uint8_t FIRMWARE_YEAR = 25;
inline constexpr std::uint8_t FIRMWARE_MONTH = 11;
inline constexpr std::uint8_t FIRMWARE_DAY = 14;
inline constexpr std::uint8_t HARDWARE_INFO = 0x01;

inline constexpr std::size_t DEFAULT_MEMORY_SIZE = 1u << 20;
inline constexpr std::size_t MAX_MEMORY_SIZE = std::size_t{0xFFFF} << kelvo::MEM_COUNT_SHIFT;
inline constexpr Nanos DEFAULT_SAMPLE_PERIOD = NANOS_PER_MS;  // 1 HZ
inline constexpr Nanos MIN_SAMPLE_PERIOD = 1000;              // 1 MHz

using Mac = std::array<std::uint8_t, 6>;

struct Identity {
    const ModelInfo* model = nullptr;
    std::uint8_t unitId = 1;
    std::uint8_t aux = 0;
    std::uint32_t address = 0;  // IPv4, host byte order
    Mac mac{};
};

// What an analog input channel shows before its gain: a fixed value, or a
// waveform of the given amplitude and period that runs from the simulator's
// start (a ramp from -amplitude to +amplitude; a square wave at +amplitude
// for the first half period).
enum class Wave : std::uint8_t { Fixed, Sine, Ramp, Square };

struct AnalogSource {
    Wave wave = Wave::Fixed;
    std::int32_t value = 0;  // the fixed value, or the amplitude
    Nanos period = NANOS_PER_SECOND;
};

const char* waveName(Wave wave);

// A reply frame: the first `size` bytes of `bytes` go out.
struct Reply {
    kelvo::CommandFrame bytes{};
    std::size_t size = 0;
};

class Unit {
  public:
    // Digital ports in the port image, and positions with a configuration
    // byte (ports, or analog and counter channels).
    static constexpr std::size_t PORTS = 8;
    static constexpr std::size_t CONFIG_SLOTS = 16;

    Unit(const Identity& identity, std::size_t memorySize);

    const Identity& identity() const { return identity_; }
    const ModelInfo& model() const { return *identity_.model; }

    // Handles one complete request of `size` bytes received at `now`; bytes
    // past `size` (up to the 256-byte frame) count as zero.
    Reply handle(const std::uint8_t* request, std::size_t size, Nanos now);

    // The header a reply to this request starts with: code | 0x80, the given
    // status, the request's bytes 2..7.
    static Reply header(const std::uint8_t* request, std::size_t size, std::uint8_t status);

    // Current values, for tests, logs and the control channel.
    std::uint8_t port(std::size_t p) const { return ports_[p]; }
    void setPort(std::size_t p, std::uint8_t value) { ports_[p] = value; }
    const AnalogSource& analogSource(std::size_t channel) const { return analog_[channel]; }
    void setAnalogSource(std::size_t channel, const AnalogSource& source) {
        analog_[channel] = source;
    }
    // Every analog input channel follows the preset waveforms of
    // analogSignal() instead of holding its value.
    void useSignalPreset();
    // Sets a counter (or analog output) as a write request would.
    void setCount(std::size_t channel, std::uint32_t value, Nanos now) {
        setChannel(channel, value, now);
    }
    std::uint8_t config(std::size_t slot) const { return config_[slot]; }
    // The value a channel shows at `now`: analog input signal, analog output
    // or counter value. 0 for channels the model does not have.
    std::int32_t channelValue(std::size_t channel, Nanos now) const;

    // Sampling memory as seen from outside.
    std::uint8_t samplingStatus(Nanos now);
    std::size_t recordedBytes() const { return recorded_; }
    std::uint64_t transferPosition() const { return position_; }

  private:
    Reply read(const std::uint8_t* req, std::size_t size, Nanos now);
    Reply write(const std::uint8_t* req, std::size_t size, Nanos now);
    Reply configure(const std::uint8_t* req, std::size_t size, Nanos now);
    Reply info(const std::uint8_t* req, std::size_t size);
    Reply memControl(const std::uint8_t* req, std::size_t size, Nanos now);
    Reply memStatus(const std::uint8_t* req, std::size_t size, Nanos now);
    Reply memRead(const std::uint8_t* req, std::size_t size);
    Reply memWrite(const std::uint8_t* req, std::size_t size);

    void setChannel(std::size_t channel, std::uint32_t value, Nanos now);
    void setConfig(std::size_t slot, std::uint8_t value, Nanos now);
    // Brings a counter's stored value up to `now`, so that a change of its
    // value or mode starts from what it has counted so far.
    void settleCounter(std::size_t channel, Nanos now);

    // Sampling: records every sample due up to `now`.
    void advanceSampling(Nanos now);
    std::size_t sampleSize() const;
    void recordSample(Nanos t, std::uint8_t* out) const;
    std::uint8_t* memory();  // allocated on first use

    Identity identity_;
    std::array<std::uint8_t, PORTS> ports_{};
    // Per position: direction byte (digital), gain (analog input), range
    // (analog output, stored only), mode (counter).
    std::array<std::uint8_t, CONFIG_SLOTS> config_{};
    // Analog outputs: the value last written. Counters: the count at
    // counterSince_.
    std::array<std::uint32_t, CONFIG_SLOTS> held_{};
    std::array<Nanos, CONFIG_SLOTS> counterSince_{};
    // Analog inputs: what each channel shows before its gain.
    std::array<AnalogSource, CONFIG_SLOTS> analog_{};

    std::size_t memorySize_;
    std::vector<std::uint8_t> memory_;
    bool sampling_ = false;
    bool memoryFull_ = false;
    Nanos sampleStart_ = 0;
    Nanos samplePeriod_ = DEFAULT_SAMPLE_PERIOD;
    std::uint64_t samplesTaken_ = 0;
    std::uint16_t targetChannels_ = 0;
    std::size_t recorded_ = 0;    // bytes of valid data from memory start
    std::uint64_t position_ = 0;  // transfer position of CMD_MEM_READ/WRITE
};

// The sampling period a start request's settings ask for (request bytes 10..33;
// see README): frequency if set, else cycle, else 1 HZ.
Nanos samplePeriod(const std::uint8_t* request);

// The preset analog input signal of a channel at time t for a gain byte (see
// README): every channel holds its value at t = 0 unless the preset waveforms
// are asked for.
std::int16_t analogSignal(std::size_t channel, Nanos t, std::uint8_t gain);
AnalogSource presetSource(std::size_t channel);
// A source's value at t, scaled by the gain byte and clamped to 16 bits.
std::int16_t sourceValue(const AnalogSource& source, Nanos t, std::uint8_t gain);

// Counting rate in pulses per second for a counter mode byte, 0 if stopped.
std::uint32_t counterRate(std::uint8_t mode);

}  // namespace sim
