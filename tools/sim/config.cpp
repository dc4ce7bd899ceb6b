#include "sim/config.h"

#include <fmt/format.h>

#include <charconv>
#include <set>
#include <stdexcept>

namespace sim {

namespace {

[[noreturn]] void fail(const std::string& message) {
    throw std::invalid_argument(message);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

unsigned long parseNumber(std::string_view text, int base, unsigned long max,
                          std::string_view what) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc{} || ptr != end || value > max) {
        fail(fmt::format("bad {} '{}'", what, text));
    }
    return value;
}

}  // namespace

std::uint8_t parseByte(std::string_view text, std::string_view what) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    return static_cast<std::uint8_t>(parseNumber(text, base, 255, what));
}

std::uint32_t parseIPv4(std::string_view text) {
    const auto parts = split(text, '.');
    if (parts.size() != 4) fail(fmt::format("bad IPv4 address '{}'", text));
    std::uint32_t address = 0;
    for (std::string_view part : parts) {
        address =
            (address << 8) | static_cast<std::uint32_t>(parseNumber(part, 10, 255, "IPv4 address"));
    }
    return address;
}

Mac parseMac(std::string_view text) {
    const auto parts = split(text, '-');
    if (parts.size() != 6) fail(fmt::format("bad MAC address '{}'", text));
    Mac mac{};
    for (std::size_t i = 0; i < mac.size(); ++i) {
        mac[i] = static_cast<std::uint8_t>(parseNumber(parts[i], 16, 255, "MAC address"));
    }
    return mac;
}

std::string formatIPv4(std::uint32_t a) {
    return fmt::format("{}.{}.{}.{}", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
}

std::string formatMac(const Mac& m) {
    return fmt::format("{:02X}-{:02X}-{:02X}-{:02X}-{:02X}-{:02X}", m[0], m[1], m[2], m[3], m[4],
                       m[5]);
}

Mac defaultMac(std::uint32_t address) {
    return {0x02,
            0x4B,
            0x56,
            static_cast<std::uint8_t>(address >> 16),
            static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address)};
}

UnitDescription parseUnit(std::string_view text) {
    const auto fields = split(text, ',');
    std::string_view head = fields[0];
    UnitDescription unit;
    if (const std::size_t at = head.find('@'); at != std::string_view::npos) {
        unit.address = parseIPv4(head.substr(at + 1));
        head = head.substr(0, at);
    }
    const std::size_t colon = head.find(':');
    if (colon == std::string_view::npos) {
        fail(fmt::format("unit '{}': expected MODEL:UNITID[@ADDRESS]", text));
    }
    unit.model = findModel(head.substr(0, colon));
    if (unit.model == nullptr) {
        fail(fmt::format("unit '{}': unknown model '{}' (KV-101..KV-120 or 1..20)", text,
                         head.substr(0, colon)));
    }
    unit.unitId = parseByte(head.substr(colon + 1), "unit ID");
    for (std::size_t i = 1; i < fields.size(); ++i) {
        const std::string_view field = fields[i];
        if (field.starts_with("aux=")) {
            unit.aux = parseByte(field.substr(4), "aux byte");
        } else if (field.starts_with("mac=")) {
            unit.mac = parseMac(field.substr(4));
        } else {
            fail(fmt::format("unit '{}': unknown option '{}' (aux=N, mac=MAC)", text, field));
        }
    }
    return unit;
}

std::vector<Identity> planUnits(const std::vector<UnitDescription>& descriptions, bool allModels,
                                std::size_t count, std::uint32_t base) {
    std::set<std::uint32_t> taken;
    for (const UnitDescription& s : descriptions) {
        if (s.address && !taken.insert(*s.address).second) {
            fail(fmt::format("two units at {}", formatIPv4(*s.address)));
        }
    }
    std::uint32_t next = base;
    auto freeAddress = [&] {
        while (taken.count(next) != 0) ++next;
        taken.insert(next);
        return next++;
    };
    auto identity = [](const ModelInfo* model, std::uint8_t unitId, std::uint8_t aux,
                       std::uint32_t address, const std::optional<Mac>& mac) {
        return Identity{model, unitId, aux, address, mac ? *mac : defaultMac(address)};
    };

    std::vector<Identity> units;
    for (const UnitDescription& s : descriptions) {
        const std::uint32_t address = s.address ? *s.address : freeAddress();
        units.push_back(identity(s.model, s.unitId, s.aux, address, s.mac));
    }
    if (allModels) {
        for (std::uint8_t code = 1; code <= MODEL_COUNT; ++code) {
            units.push_back(identity(findModel(code), 1, 0, freeAddress(), std::nullopt));
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto code = static_cast<std::uint8_t>(i % MODEL_COUNT + 1);
        const auto unitId = static_cast<std::uint8_t>(1 + i / MODEL_COUNT);
        units.push_back(identity(findModel(code), unitId, 0, freeAddress(), std::nullopt));
    }
    return units;
}

std::string deviceList(const std::vector<Identity>& units, int mode) {
    std::string text = fmt::format("{}\r\n", mode);
    for (const Identity& u : units) {
        text += fmt::format("{}-{},{},{},{},{},{}\r\n", u.model->name, u.unitId, u.model->code,
                            u.unitId, formatIPv4(u.address), formatMac(u.mac), u.aux);
    }
    return text;
}

}  // namespace sim
