// Shared helpers of the channel I/O and sampling tests: a fake unit listed in
// a mode-1 device list and opened (no broadcast, no identification), literal
// request frames, and readable comparisons of byte strings.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "kelvo.h"
#include "support/device_list.h"
#include "support/fake_unit.h"
#include "support/library.h"

namespace kelvotest::io {

struct Listed {
    std::string address;
    int model;
    int unitId;
};

// Writes a mode-1 device list naming the units (file values stand, nothing
// is broadcast or asked) and runs Kelvo_Initial. Returns its count.
inline int listUnits(std::initializer_list<Listed> units) {
    std::string text = "1\r\n";
    for (const Listed& u : units) text += deviceLine(u.address, u.model, u.unitId) + "\r\n";
    writeDeviceList(text);
    return lib().Initial();
}

// One fake unit at 127.0.0.n, listed alone and opened. The handle is null
// when the list or the connect failed; tests ASSERT on it first.
class OpenedUnit {
  public:
    OpenedUnit(int n, std::uint8_t model, std::uint8_t unitId = 1)
        : fake(testAddress(n), model, unitId) {
        EXPECT_EQ(listUnits({{testAddress(n), model, unitId}}), 1);
        handle = lib().Open(model, unitId);
    }
    FakeUnit fake;
    KELVO_HANDLE handle = nullptr;
};

// Several fake units at 127.0.0.n, listed together (one Kelvo_Initial, so
// that no handle invalidates another) and each opened; unit IDs 1, 2, ...
class OpenedUnits {
  public:
    struct Place {
        int n;
        std::uint8_t model;
    };
    OpenedUnits(std::initializer_list<Place> units) {
        std::string text = "1\r\n";
        int unitId = 1;
        for (const Place& s : units) {
            fakes_.push_back(std::make_unique<FakeUnit>(testAddress(s.n), s.model, unitId));
            text += deviceLine(testAddress(s.n), s.model, unitId) + "\r\n";
            ++unitId;
        }
        writeDeviceList(text);
        EXPECT_EQ(lib().Initial(), static_cast<int>(units.size()));
        unitId = 1;
        for (const Place& s : units) handles_.push_back(lib().Open(s.model, unitId++));
    }
    FakeUnit& fake(std::size_t i) { return *fakes_.at(i); }
    KELVO_HANDLE handle(std::size_t i) const { return handles_.at(i); }
    bool allOpen() const {
        for (KELVO_HANDLE h : handles_)
            if (h == nullptr) return false;
        return true;
    }

  private:
    std::vector<std::unique_ptr<FakeUnit>> fakes_;
    std::vector<KELVO_HANDLE> handles_;
};

// A handle that was never handed out: the address of an object that is not
// a unit record. The library compares handles as addresses only.
inline KELVO_HANDLE strangerHandle() {
    static int notAUnit = 0;
    return &notAUnit;
}

// Frame of `length` bytes starting with `head`, zeros after it.
inline Bytes frameOf(std::initializer_list<std::uint8_t> head, std::size_t length) {
    Bytes b(length > head.size() ? length : head.size(), 0);
    std::size_t i = 0;
    for (std::uint8_t v : head) b[i++] = v;
    return b;
}

inline void put(Bytes& b, std::size_t offset, std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t v : bytes) b.at(offset++) = v;
}

// "11 00 05 ff ..." so that a mismatch shows where the bytes differ.
inline std::string hex(const Bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(b.size() * 3);
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i != 0) s += (i % 16 == 0) ? '|' : ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 0x0F];
    }
    return s;
}

// Every request received so far, after waiting (bounded) for `expected` of
// them; the caller compares the count itself.
inline std::vector<Bytes> sent(const FakeUnit& unit, std::size_t expected) {
    unit.waitForRequests(expected, 2000);
    return unit.requests();
}

// A reply that echoes `request` correctly but carries status byte 1, which
// fails the exchange.
inline Reply failingReply(const Bytes& request) {
    Bytes b = FakeUnit::validReply(request);
    b[1] = 1;
    return Reply{b};
}

// The requests of the digital builders.
inline Bytes readPortsFrame(std::uint8_t seq) {
    return frameOf({0x11, 0x00, seq, 0xFF, 0x08, 0x00, 0x00, 0x00}, 8);
}

inline Bytes writePortFrame(std::uint8_t seq, unsigned port, std::uint8_t value,
                            std::uint8_t mask) {
    Bytes b = frameOf({0x21, 0x00, seq, 0xFF}, 24);
    b.at(8 + port) = mask;
    b.at(16 + port) = value;
    return b;
}

// Sequence number the unit's next request will carry: sends one
// configuration request (which consults no model data) and reads its byte 2
// back, so the number returned has itself been used; the next is one more.
inline std::uint8_t probeSequence(KELVO_HANDLE h, const FakeUnit& unit) {
    std::size_t before = unit.requests().size();
    EXPECT_EQ(lib().SetGainAIO(h, 0, 0), KELVO_STATUS_OK);
    auto all = sent(unit, before + 1);
    if (all.size() != before + 1) {
        ADD_FAILURE() << "probe request missing";
        return 0;
    }
    return all.back()[2];
}

}  // namespace kelvotest::io
