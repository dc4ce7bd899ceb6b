#include "registry/device_registry.h"

#include <new>

namespace kelvo {
namespace {
DeviceRegistry* theRegistry = nullptr;
}

DeviceRegistry::DeviceRegistry() {
    platform::startup();
}

DeviceRegistry::~DeviceRegistry() {
    Empty();
    platform::cleanup();
}

void DeviceRegistry::Empty() {
    ForEach([](DeviceEntry& entry) {
        if (entry.socket != platform::NO_SOCKET) platform::sockets().close(entry.socket);
        delete &entry;
    });
    FreeNodes();
}

DeviceEntry* DeviceRegistry::NewEntry() {
    return new (std::nothrow) DeviceEntry;
}

void DeviceRegistry::Drop(DeviceEntry* entry) {
    Remove(entry);
    delete entry;
}

DeviceEntry* DeviceRegistry::Find(const void* handle) const {
    for (const Node* node = First(); node; node = node->next) {
        if (node->data == handle) return static_cast<DeviceEntry*>(node->data);
    }
    return nullptr;
}

DeviceRegistry* Registry() {
    return theRegistry;
}

void onLibraryLoad() {
    if (!theRegistry) theRegistry = new (std::nothrow) DeviceRegistry;
}

void onLibraryUnload() {
    delete theRegistry;
    theRegistry = nullptr;
}

}  // namespace kelvo
