#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "os.h"
#include "unit.h"

namespace kelvo_cli::os {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void onInterrupt(int) {
    gInterrupted = 1;
}

struct LocalTime {
    std::tm tm{};
    long ms = 0;
};

LocalTime now() {
    const auto clock = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(clock);
    LocalTime t;
    t.ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock.time_since_epoch()).count() %
        1000);
    localtime_r(&seconds, &t.tm);
    return t;
}

}  // namespace

// Without SA_RESTART, so that a signal also cuts a pause short.
void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
    return gInterrupted != 0;
}

// poll() without descriptors returns early with EINTR when a signal arrives.
void sleepAtMost(unsigned ms) {
    ::poll(nullptr, 0, static_cast<int>(ms));
}

std::string clockTime() {
    const LocalTime t = now();
    return fmt::format("{:02}:{:02}:{:02}.{:03}", t.tm.tm_hour, t.tm.tm_min, t.tm.tm_sec, t.ms);
}

std::string isoTime() {
    const LocalTime t = now();
    const long offset = t.tm.tm_gmtoff / 60;
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}{}{:02}:{:02}",
                       t.tm.tm_year + 1900, t.tm.tm_mon + 1, t.tm.tm_mday, t.tm.tm_hour,
                       t.tm.tm_min, t.tm.tm_sec, t.ms, offset < 0 ? '-' : '+',
                       std::labs(offset) / 60, std::labs(offset) % 60);
}

}  // namespace kelvo_cli::os
