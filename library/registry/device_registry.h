// The process-wide list of known units, the per-unit record behind each
// device handle, and the two ways a call holds them: a call on one unit
// holds that unit (calls on one unit take turns), and every call shares the
// list, which Kelvo_Initial replaces only when no call is using it.
#pragma once

#include <array>
#include <cstdint>

#include "platform/lock.h"
#include "protocol/connection.h"
#include "registry/lifetime.h"

namespace kelvo {

inline constexpr std::size_t SAMPLING_CONFIG_SIZE = 26;
using SamplingConfig = std::array<std::uint8_t, SAMPLING_CONFIG_SIZE>;

// One known unit: its connection and what the registry keeps beside it.
// Records never move while they are in the registry.
struct DeviceEntry : Connection {
    DeviceEntry* next = nullptr;  // the registry's list, in the order found
    // What callers hold as the device handle: a value that no other record
    // of this process has had. Record addresses will not do, because the
    // heap hands a released record's address to the next record made, and a
    // handle kept across Kelvo_Initial would then reach another unit.
    std::uintptr_t handle = 0;
    platform::UnitLock lock;  // held for the whole of a call
    std::array<std::uint8_t, 6> mac{};
    SamplingConfig sampling{};  // sent with sampling start and stop
    bool asked = false;         // identification has taken it up (Kelvo_Initial)
};

// Device-list modes: how Kelvo_Initial finds units.
inline constexpr std::int32_t MODE_UNSET = -1;
inline constexpr std::int32_t MODE_BROADCAST_ONLY = 0;
inline constexpr std::int32_t MODE_FILE_ONLY = 1;

class DeviceRegistry {
  public:
    DeviceRegistry() = default;
    ~DeviceRegistry();
    DeviceRegistry(const DeviceRegistry&) = delete;
    DeviceRegistry& operator=(const DeviceRegistry&) = delete;

    // Closes every connection and releases every record: all handles die.
    void Empty();
    // A fresh record with a handle of its own, not yet in the list; null
    // when memory is exhausted.
    static DeviceEntry* NewEntry();
    void Append(DeviceEntry* entry);
    // Unlinks and releases every record for which drop(record) is true.
    template <class P>
    void DropIf(P&& drop) {
        for (DeviceEntry** link = &head_; *link;) {
            DeviceEntry* entry = *link;
            if (drop(*entry)) {
                *link = entry->next;
                delete entry;
                --count_;
            } else {
                link = &entry->next;
            }
        }
        tail_ = &head_;
        while (*tail_) tail_ = &(*tail_)->next;
    }

    // The handle check: the record when handle is one of ours, else null.
    // Compares values only; nothing is read through the handle.
    DeviceEntry* Find(const void* handle) const {
        for (DeviceEntry* entry = head_; entry; entry = entry->next) {
            if (entry->handle == reinterpret_cast<std::uintptr_t>(handle)) return entry;
        }
        return nullptr;
    }

    template <class F>
    void ForEach(F&& f) const {
        for (DeviceEntry* entry = head_; entry; entry = entry->next) f(*entry);
    }
    DeviceEntry* First() const { return head_; }
    std::int32_t Count() const { return count_; }

    std::int32_t mode = MODE_UNSET;
    platform::ListLock lock;  // shared by every call, alone by Kelvo_Initial

  private:
    DeviceEntry* head_ = nullptr;
    DeviceEntry** tail_ = &head_;
    std::int32_t count_ = 0;
};

// The registry created at library load; null if that failed, in which case
// every operation reports its failure value.
DeviceRegistry* Registry();

// The handle callers hold for a record.
inline void* HandleOf(const DeviceEntry& entry) {
    return reinterpret_cast<void*>(entry.handle);
}

// The list held for one call: shared, so that Kelvo_Initial cannot replace
// it meanwhile. Null (and nothing held) when there is no registry. An export
// passes ListCall().get() to its operation: the temporary holds the list
// until the export returns.
class ListCall {
  public:
    ListCall() : registry_(Registry()) {
        if (registry_) registry_->lock.enterShared();
    }
    ~ListCall() {
        if (registry_) registry_->lock.leaveShared();
    }
    ListCall(const ListCall&) = delete;
    ListCall& operator=(const ListCall&) = delete;
    DeviceRegistry* get() const { return registry_; }

  private:
    DeviceRegistry* registry_;
};

// One call on one unit, for as long as the object lives: the list shared,
// the handle checked, and the unit held, so that no other call interleaves
// with this one on its frame. Converts to the unit's record, or to null when
// the handle is not one of the current list (a stale handle reaches nothing).
class UnitCall {
  public:
    explicit UnitCall(const void* handle)
        : entry_(list_.get() ? list_.get()->Find(handle) : nullptr) {
        if (entry_) entry_->lock.lock();
    }
    ~UnitCall() {
        if (entry_) entry_->lock.unlock();
    }
    UnitCall(const UnitCall&) = delete;
    UnitCall& operator=(const UnitCall&) = delete;
    operator DeviceEntry*() const { return entry_; }

  private:
    ListCall list_;
    DeviceEntry* entry_;
};

// The list held alone, for Kelvo_Initial: waits for every call in flight.
class ListChange {
  public:
    ListChange() : registry_(Registry()) {
        if (registry_) registry_->lock.lockExclusive();
    }
    ~ListChange() {
        if (registry_) registry_->lock.unlockExclusive();
    }
    ListChange(const ListChange&) = delete;
    ListChange& operator=(const ListChange&) = delete;
    DeviceRegistry* get() const { return registry_; }

  private:
    DeviceRegistry* registry_;
};

}  // namespace kelvo
