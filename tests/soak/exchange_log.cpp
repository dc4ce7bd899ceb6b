#include "soak/exchange_log.h"

#include <sstream>

namespace kelvosoak {

ExchangeLog::ExchangeLog(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {}

ExchangeLog::~ExchangeLog() {
    if (file_) std::fclose(file_);
}

std::vector<Exchange> ExchangeLog::take() {
    std::vector<Exchange> lines;
    if (!file_) return lines;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) {
        pending_.append(buffer, n);
    }
    // At the end of what is there now. A seek to where we are clears the
    // end-of-file state, so that the next read looks again (clearerr alone
    // does not do it for the Windows C runtime, which remembers the end in
    // its descriptor too).
    std::fseek(file_, 0, SEEK_CUR);

    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::istringstream in(std::string(pending_.data() + start, end - start));
        Exchange e;
        in >> e.address >> std::hex >> e.command >> std::dec >> e.sequence >> e.delayMs >>
            e.outcome >> e.arg;
        e.malformed = !in;
        lines.push_back(e);
    }
    pending_ = std::string(pending_.data() + start, pending_.size() - start);
    return lines;
}

}  // namespace kelvosoak
