// libFuzzer target: the gateway's Modbus TCP request handling, without
// sockets. The input is what a client sends on one connection:
//
//   byte 0      bit 0: low word first; bits 1..7: a value for the units'
//               inputs this run (so counters, codes and floats vary)
//   bytes 1..   the byte stream, cut into frames as the server cuts it
//
// The model holds one unit of every model (KV-101-1 = ID 1 ... KV-120-1 =
// ID 20), KV-120-1 offline, with scales on KV-109-1 ai/0 and KV-110-1 ao/0.
// Checked for every frame: the answer is one well-formed frame for the same
// transaction and unit, with the request's function or an exception code the
// map knows; a read answers exactly the count asked; a write's commands all
// pass the gateway's one command check, and only an online unit gets any.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <variant>

#include "modbus_map.h"
#include "points.h"

namespace {

using namespace gateway;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_modbus: %s\n", what);
        std::abort();
    }
}

struct World {
    Settings settings;
    std::unique_ptr<PointModel> model;
    std::unique_ptr<ModbusIds> ids;

    World() {
        PointSettings scaled;
        scaled.scaled = true;
        scaled.scale[0] = 0;
        scaled.scale[1] = 32000;
        scaled.scale[2] = -20;
        scaled.scale[3] = 80;
        settings.units["KV-109-1"].points["ai/0"] = scaled;
        scaled.scale[1] = 4000;
        settings.units["KV-110-1"].points["ao/0"] = scaled;
        model = std::make_unique<PointModel>(settings);
        ids = std::make_unique<ModbusIds>(settings);
        for (unsigned code = 1; code <= KELVO_MODEL_COUNT; ++code) {
            UnitDescription u;
            u.model = kelvo_model(code);
            u.unitId = 1;
            u.name = UnitName(*u.model, 1);
            u.topic = u.name;
            u.firmware = "1.3 (2025-11-14)";
            const std::size_t index = model->addUnit(u);
            ids->add(u.name, index);
            model->setOnline(index, code != 20);
        }
    }

    void fill(std::int64_t seed) {
        for (std::size_t i = 0; i < model->size(); ++i) {
            const KelvoModel& m = *model->description(i).model;
            const Kind kinds[] = {Kind::DIGITAL_IN, Kind::DIGITAL_OUT, Kind::ANALOG_IN,
                                  Kind::ANALOG_OUT, Kind::COUNTER};
            for (const Kind k : kinds) {
                for (unsigned n = 0; n < m.total; ++n) {
                    if (HasPosition(m, k, n)) model->update(i, k, n, seed * 517 + n);
                }
            }
        }
    }
};

unsigned Word(const std::uint8_t* p) {
    return static_cast<unsigned>(p[0] << 8 | p[1]);
}

void CheckAnswer(World& w, const std::uint8_t* frame, std::size_t size, const ModbusAnswer& a) {
    const std::uint8_t function = frame[7];
    if (a.write) {
        Check(a.reply.empty(), "a write with an answer already");
        const auto unit = w.ids->unit(frame[6]);
        Check(unit && *unit == a.write->unit, "a write for another unit");
        Check(w.model->online(*unit), "a write to an offline unit");
        Check(!a.write->requests.empty(), "a write without commands");
        const KelvoModel& m = *w.model->description(*unit).model;
        for (const CommandRequest& r : a.write->requests) {
            const auto p = w.model->point(*unit, r.kind, r.position);
            Check(std::holds_alternative<Command>(CheckCommand(m, r, p ? &p->settings : nullptr)),
                  "a write's command fails the command check");
        }
    }
    const std::vector<std::uint8_t>& out = a.write ? a.write->reply : a.reply;
    Check(out.size() >= MODBUS_HEADER + 2 && out.size() <= MODBUS_MAX_FRAME, "answer size");
    Check(ModbusFrameLength(out.data(), out.size()) == static_cast<long>(out.size()),
          "answer length field");
    Check(Word(out.data()) == Word(frame) && out[6] == frame[6], "answer header");
    if (out[7] == (function | 0x80)) {
        Check(!a.write, "a write answered with an exception before it ran");
        const std::uint8_t code = out[8];
        Check(out.size() == MODBUS_HEADER + 2 &&
                  (code == MODBUS_ILLEGAL_FUNCTION || code == MODBUS_ILLEGAL_ADDRESS ||
                   code == MODBUS_ILLEGAL_VALUE || code == MODBUS_PATH_UNAVAILABLE ||
                   code == MODBUS_TARGET_FAILED),
              "exception answer");
        return;
    }
    Check(out[7] == function && function != 0 && function < 0x80, "answer function");
    if (function >= 1 && function <= 4) {
        const unsigned count = Word(frame + 10);
        const unsigned bytes = function <= 2 ? (count + 7) / 8 : count * 2;
        Check(
            size == MODBUS_HEADER + 5 && out[8] == bytes && out.size() == MODBUS_HEADER + 2 + bytes,
            "read answer size");
    } else {
        Check(out.size() == MODBUS_HEADER + 5 && std::equal(out.begin() + 8, out.end(), frame + 8),
              "write answer echo");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World world;
    if (size < 1) return 0;
    const WordOrder order = data[0] & 1 ? WordOrder::LOW_FIRST : WordOrder::HIGH_FIRST;
    world.fill(static_cast<std::int8_t>(data[0]) >> 1);
    ++data;
    --size;
    // The whole input as one frame, as it is: refused or answered, never read past.
    const ModbusAnswer whole = AnswerModbus(*world.model, *world.ids, order, data, size);
    if (!whole.reply.empty() || whole.write) CheckAnswer(world, data, size, whole);
    for (std::size_t at = 0; at < size;) {
        const long n = ModbusFrameLength(data + at, size - at);
        if (n <= 0) break;
        const std::size_t length = static_cast<std::size_t>(n);
        Check(length >= MODBUS_HEADER + 1 && length <= MODBUS_MAX_FRAME, "frame length");
        const ModbusAnswer a = AnswerModbus(*world.model, *world.ids, order, data + at, length);
        CheckAnswer(world, data + at, length, a);
        at += length;
    }
    return 0;
}
