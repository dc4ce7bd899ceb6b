// The process-wide list of known units and the per-unit record behind each
// device handle.
#pragma once

#include <array>
#include <cstdint>

#include "platform/platform.h"
#include "protocol/frame.h"
#include "registry/ptr_list.h"

namespace kelvo {

inline constexpr std::size_t SAMPLING_CONFIG_SIZE = 26;
using SamplingConfig = std::array<std::uint8_t, SAMPLING_CONFIG_SIZE>;

inline constexpr std::uint8_t UNIDENTIFIED = 0xFF;

// One known unit. Records never move while they are in the registry.
struct DeviceEntry {
    // What callers hold as the device handle: a value that no other record
    // of this process has had. Record addresses will not do, because the
    // heap hands a released record's address to the next record made, and a
    // handle kept across Kelvo_Initial would then reach another unit.
    std::uintptr_t handle = 0;
    platform::Socket socket = platform::NO_SOCKET;  // 0: not connected
    std::uint32_t address = 0;                      // IPv4, network byte order
    std::uint16_t port = COMMAND_PORT;              // host order
    std::array<std::uint8_t, 6> mac{};
    std::uint8_t model = UNIDENTIFIED;
    std::uint8_t aux = UNIDENTIFIED;
    std::uint8_t unitId = UNIDENTIFIED;
    std::uint8_t sequence = 0;  // copied into every request, stepped after each
    CommandFrame frame{};       // request and reply, in place
    SamplingConfig sampling{};  // sent with sampling start and stop
};

// Device-list modes: how Kelvo_Initial finds units.
inline constexpr std::int32_t MODE_UNSET = -1;
inline constexpr std::int32_t MODE_BROADCAST_ONLY = 0;
inline constexpr std::int32_t MODE_FILE_ONLY = 1;

class DeviceRegistry : public PtrList {
  public:
    DeviceRegistry();  // starts the socket layer
    ~DeviceRegistry() override;

    // Closes every connection and releases every record: all handles die.
    void Empty();
    // A fresh record with a handle of its own, not yet in the list; null
    // when memory is exhausted.
    static DeviceEntry* NewEntry();
    bool Append(DeviceEntry* entry) { return PtrList::Append(entry); }
    // Unlinks and releases the record.
    void Drop(DeviceEntry* entry);

    // The handle check: the record when handle is one of ours, else null.
    // Compares values only; nothing is read through the handle.
    DeviceEntry* Find(const void* handle) const;

    template <class F>
    void ForEach(F&& f) const {
        for (const Node* node = First(); node; node = node->next) {
            f(*static_cast<DeviceEntry*>(node->data));
        }
    }

    std::int32_t mode = MODE_UNSET;
};

// The registry created at library load; null if that failed, in which case
// every operation reports its failure value.
DeviceRegistry* Registry();

// The handle callers hold for a record.
inline void* HandleOf(const DeviceEntry& entry) {
    return reinterpret_cast<void*>(entry.handle);
}

// The handle check for operations that may run without a registry.
inline DeviceEntry* FindEntry(DeviceRegistry* registry, const void* handle) {
    return registry ? registry->Find(handle) : nullptr;
}

}  // namespace kelvo
