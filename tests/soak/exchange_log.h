// Reading kelvo-sim's exchange log while the simulator writes it: one line
// per command exchange, "ADDRESS COMMAND SEQUENCE DELAY OUTCOME ARG".
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kelvosoak {

// The library gives up on a reply after 1500 ms. Delays this close to it
// may end either way, so they are taken as either.
inline constexpr unsigned REPLY_TIMEOUT_MS = 1500;
inline constexpr unsigned TIMEOUT_MARGIN_MS = 150;

struct Exchange {
    std::string address;
    unsigned command = 0;
    unsigned sequence = 0;
    unsigned delayMs = 0;
    std::string outcome;  // "none" or the fault
    unsigned arg = 0;
    bool malformed = false;  // the line could not be read

    // The unit carried the request out (a status fault or a restart stops it
    // before; a delay, drop, wrong sequence or close comes after).
    bool executed() const { return outcome != "status" && outcome != "restart"; }
    // The reply came in time and intact: the exchange must have succeeded.
    bool sound() const {
        return !malformed && outcome == "none" && delayMs < REPLY_TIMEOUT_MS - TIMEOUT_MARGIN_MS;
    }
    // It may have gone either way.
    bool borderline() const {
        return outcome == "none" && !sound() && delayMs <= REPLY_TIMEOUT_MS + TIMEOUT_MARGIN_MS;
    }
    // It must have failed.
    bool faulty() const { return malformed || (!sound() && !borderline()); }
};

class ExchangeLog {
  public:
    // Opens the file, which the simulator must already have created.
    explicit ExchangeLog(const std::string& path);
    ~ExchangeLog();
    ExchangeLog(const ExchangeLog&) = delete;
    ExchangeLog& operator=(const ExchangeLog&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    // Every complete line written since the last call. The simulator writes
    // a line before it answers, so the lines of a call that has returned are
    // all there.
    std::vector<Exchange> take();

  private:
    std::FILE* file_ = nullptr;
    std::string pending_;  // the start of a line not yet complete
};

}  // namespace kelvosoak
