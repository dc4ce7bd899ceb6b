#include "registry/device_registry.h"

#include <new>

#include "protocol/trace.h"

namespace kelvo {
namespace {
DeviceRegistry* theRegistry = nullptr;
std::uint32_t recordsMade = 0;  // only Kelvo_Initial makes records, holding the list alone

// The n-th record's handle: n times an odd constant, which is a one-to-one
// mapping of pointer-sized numbers, so no two of the first 2^32 records
// share a handle. The values lie far apart: a handle off by a little from a
// real one (or a small integer) is no handle at all. In 64-bit processes the
// constant fills the upper half too, so that a caller which keeps handles in
// 32 bits fails at once instead of by chance.
std::uintptr_t NextHandle() {
    constexpr std::uintptr_t SPREAD = sizeof(std::uintptr_t) == 8
                                          ? static_cast<std::uintptr_t>(0x9E3779B97F4A7C15ull)
                                          : std::uintptr_t{0x9E3779B1u};
    ++recordsMade;
    if (recordsMade == 0) ++recordsMade;  // 0 would be the null handle
    return std::uintptr_t{recordsMade} * SPREAD;
}
}  // namespace

DeviceRegistry::~DeviceRegistry() {
    Empty();
}

void DeviceRegistry::Empty() {
    DropIf([](DeviceEntry& entry) {
        if (entry.socket != platform::NO_SOCKET) platform::sockets().close(entry.socket);
        return true;
    });
}

DeviceEntry* DeviceRegistry::NewEntry() {
    auto* entry = new (std::nothrow) DeviceEntry;
    if (entry) entry->handle = NextHandle();
    return entry;
}

void DeviceRegistry::Append(DeviceEntry* entry) {
    entry->next = nullptr;
    *tail_ = entry;
    tail_ = &entry->next;
    ++count_;
}

DeviceRegistry* Registry() {
    return theRegistry;
}

// Only memory: the socket layer starts later, with the first socket.
void onLibraryLoad() {
    if (!theRegistry) theRegistry = new (std::nothrow) DeviceRegistry;
}

// Closes the units' connections, the trace and the socket layer, each only
// if it was opened.
void onLibraryUnload() {
    trace::Close();
    delete theRegistry;
    theRegistry = nullptr;
    platform::releaseSocketLayer();
}

}  // namespace kelvo
