#include "registry/device_registry.h"

#include <new>

#include "protocol/trace.h"

namespace kelvo {
namespace {
DeviceRegistry* theRegistry = nullptr;
std::uint32_t recordsMade = 0;  // only Kelvo_Initial makes records, holding the list alone

// The n-th record's handle: n times an odd constant, which is a one-to-one
// mapping of 32-bit numbers, so no two of the first 2^32 records share a
// handle. The values lie far apart: a handle off by a little from a real
// one (or a small integer) is no handle at all.
std::uintptr_t NextHandle() {
    ++recordsMade;
    if (recordsMade == 0) ++recordsMade;  // 0 would be the null handle
    return std::uintptr_t{recordsMade * 0x9E3779B1u};
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
