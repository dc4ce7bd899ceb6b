// The two locks that let many threads share the library: one per unit
// (calls on one unit take turns on its frame) and one over the list of units
// (calls share it; Kelvo_Initial takes it alone). Uncontended, taking and
// releasing each costs one atomic instruction; a thread that has to wait
// sleeps in the operating system (a futex on Linux, a slim reader/writer
// lock on Windows).
#pragma once

#include <atomic>
#include <cstdint>

namespace kelvo::platform {

#if defined(_WIN32)

// Both on SRWLOCK (one pointer, zero when free); the calls live in
// platform_win32.cpp so that this header needs no <windows.h>.
class UnitLock {
  public:
    void lock();
    void unlock();

  private:
    void* srw_ = nullptr;
};

class ListLock {
  public:
    void enterShared();
    void leaveShared();
    void lockExclusive();
    void unlockExclusive();

  private:
    void* srw_ = nullptr;
};

#else

// Sleeps while word holds expected (it may return early: callers check
// again); wakes one or all sleepers on word.
void waitWhile(std::atomic<std::uint32_t>& word, std::uint32_t expected);
void wakeOne(std::atomic<std::uint32_t>& word);
void wakeAll(std::atomic<std::uint32_t>& word);

class UnitLock {
  public:
    void lock() {
        std::uint32_t free = FREE;
        if (!state_.compare_exchange_strong(free, HELD, std::memory_order_acquire)) [[unlikely]] {
            lockContended();
        }
    }
    void unlock() {
        if (state_.exchange(FREE, std::memory_order_release) == CONTENDED) [[unlikely]] {
            wakeOne(state_);
        }
    }

  private:
    static constexpr std::uint32_t FREE = 0, HELD = 1, CONTENDED = 2;
    // Once a thread waits, the lock stays marked contended until it is
    // released, so that the release wakes the next waiter.
    void lockContended() {
        while (state_.exchange(CONTENDED, std::memory_order_acquire) != FREE) {
            waitWhile(state_, CONTENDED);
        }
    }
    std::atomic<std::uint32_t> state_{FREE};
};

// The count of shared holders, and one bit for an exclusive holder (or one
// waiting to become it: new shared holders then wait, so it cannot starve).
class ListLock {
  public:
    void enterShared() {
        if (state_.fetch_add(1, std::memory_order_acquire) & EXCLUSIVE) [[unlikely]] {
            enterBehindExclusive();
        }
    }
    void leaveShared() {
        // The last shared holder to leave wakes the one waiting to take it alone.
        if (state_.fetch_sub(1, std::memory_order_release) == (EXCLUSIVE | 1)) [[unlikely]] {
            wakeAll(state_);
        }
    }
    void lockExclusive() {
        exclusive_.lock();  // one exclusive holder at a time
        std::uint32_t seen = state_.fetch_or(EXCLUSIVE, std::memory_order_acquire) | EXCLUSIVE;
        while (seen != EXCLUSIVE) {
            waitWhile(state_, seen);
            seen = state_.load(std::memory_order_acquire);
        }
    }
    void unlockExclusive() {
        state_.fetch_and(~EXCLUSIVE, std::memory_order_release);
        wakeAll(state_);
        exclusive_.unlock();
    }

  private:
    static constexpr std::uint32_t EXCLUSIVE = 0x80000000u;
    void enterBehindExclusive() {
        for (;;) {
            leaveShared();
            std::uint32_t seen = state_.load(std::memory_order_acquire);
            while (seen & EXCLUSIVE) {
                waitWhile(state_, seen);
                seen = state_.load(std::memory_order_acquire);
            }
            if (!(state_.fetch_add(1, std::memory_order_acquire) & EXCLUSIVE)) return;
        }
    }
    std::atomic<std::uint32_t> state_{0};
    UnitLock exclusive_;
};

#endif

}  // namespace kelvo::platform
