#include "store.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>

#include "config.h"

namespace gateway {
namespace {

// Rows read per query by the forwarder, and dropped per step past the budget.
constexpr std::size_t TRIM_STEP = 512;
constexpr int BUSY_WAIT_MS = 500;  // for a store another process holds
// Past the budget, rows are dropped until the store is this share of it, so
// that a full store does not drop on every put.
constexpr double TRIM_TO = 0.9;
constexpr auto FORWARD_WAKE = std::chrono::milliseconds(50);
// Commits at most this often: the changes of a moment share one commit, and
// a change is in the file at most this long after it was reported.
constexpr auto COMMIT_EVERY = std::chrono::milliseconds(5);
// The forwarder sends when the window has room for this many (or is empty),
// and deletes acknowledged rows this many at a time, or after DELETE_AFTER.
constexpr std::size_t SEND_BATCH = 64;
constexpr std::size_t DELETE_BATCH = 512;
constexpr auto DELETE_AFTER = std::chrono::milliseconds(100);
// Rows waiting in memory at most; more go to the store.
constexpr std::size_t LIVE_LIMIT = 4096;

std::uint64_t Cost(const std::string& topic, const std::string& payload) {
    return topic.size() + payload.size() + Store::ROW_OVERHEAD;
}

}  // namespace

Store::Store(const std::string& path, std::uint64_t maxBytes) : maxBytes_(maxBytes) {
    const std::string name = path.empty() ? ":memory:" : path;
    if (sqlite3_open_v2(name.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw ConfigError("[store] path " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, BUSY_WAIT_MS);
    try {
        // WAL with NORMAL sync: a commit is in the file once written, so the
        // end of the process loses nothing committed; only a power cut may
        // take the last commits.
        // One gateway per store: a second one would send the first one's
        // changes as its own.
        exec("PRAGMA locking_mode=EXCLUSIVE");
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec(
            "CREATE TABLE IF NOT EXISTS changes (id INTEGER PRIMARY KEY, stream INTEGER NOT NULL, "
            "topic TEXT NOT NULL, payload BLOB NOT NULL, at INTEGER NOT NULL)");
        exec("CREATE INDEX IF NOT EXISTS changes_stream ON changes (stream, id)");
        exec("CREATE TABLE IF NOT EXISTS numbers (key TEXT PRIMARY KEY, value INTEGER NOT NULL)");
        sqlite3_stmt* s = prepare(
            "SELECT stream, COUNT(*), COALESCE(SUM(LENGTH(topic) + LENGTH(payload)), 0) "
            "FROM changes GROUP BY stream");
        while (sqlite3_step(s) == SQLITE_ROW) {
            const auto rows = static_cast<std::uint64_t>(sqlite3_column_int64(s, 1));
            held_[sqlite3_column_int(s, 0)] = rows;
            bytes_ += static_cast<std::uint64_t>(sqlite3_column_int64(s, 2)) + rows * ROW_OVERHEAD;
        }
        sqlite3_finalize(s);
        s = prepare("SELECT COALESCE(MAX(id), 0) FROM changes");
        if (sqlite3_step(s) == SQLITE_ROW) nextId_ = sqlite3_column_int64(s, 0) + 1;
        sqlite3_finalize(s);
        dropped_ = static_cast<std::uint64_t>(number("dropped", 0));
        insert_ =
            prepare("INSERT INTO changes (id, stream, topic, payload, at) VALUES (?, ?, ?, ?, ?)");
        select_ = prepare(
            "SELECT id, topic, payload, at FROM changes WHERE stream = ? AND id > ? ORDER BY id "
            "LIMIT ?");
        delete_ = prepare("DELETE FROM changes WHERE id = ?");
    } catch (const ConfigError&) {
        sqlite3_finalize(insert_);
        sqlite3_finalize(select_);
        sqlite3_finalize(delete_);
        sqlite3_close(db_);
        throw;
    }
    writer_ = std::thread([this] { write(); });
}

Store::~Store() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    writer_.join();
    sqlite3_finalize(insert_);
    sqlite3_finalize(select_);
    sqlite3_finalize(delete_);
    sqlite3_close(db_);
}

void Store::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "failed";
        sqlite3_free(error);
        throw ConfigError(std::string("store: ") + why);
    }
}

sqlite3_stmt* Store::prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
        throw ConfigError(std::string("store: ") + sqlite3_errmsg(db_));
    }
    return s;
}

std::int64_t Store::put(int stream, std::string topic, std::string payload, std::int64_t at) {
    std::lock_guard<std::mutex> hold(mutex_);
    const std::int64_t id = nextId_++;
    bytes_ += Cost(topic, payload);
    ++held_[stream];
    ++stored_;
    queue_.push_back({id, stream, std::move(topic), std::move(payload), at});
    wake_.notify_one();
    return id;
}

std::int64_t Store::last() {
    std::lock_guard<std::mutex> hold(mutex_);
    return nextId_ - 1;
}

void Store::write() {
    pthread_setname_np(pthread_self(), "kelvo-store");  // its CPU shows apart (bench)
    std::vector<Record> batch;
    for (;;) {
        std::function<void()> callback;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            writing_ = false;
            committed_.notify_all();
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, and everything is written
            batch.swap(queue_);
            writing_ = true;
            callback = onCommit_;
        }
        {
            std::lock_guard<std::mutex> hold(dbMutex_);
            sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
            for (const Record& r : batch) {
                sqlite3_bind_int64(insert_, 1, r.id);
                sqlite3_bind_int(insert_, 2, r.stream);
                sqlite3_bind_text(insert_, 3, r.topic.data(), static_cast<int>(r.topic.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_blob(insert_, 4, r.payload.data(), static_cast<int>(r.payload.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_int64(insert_, 5, r.at);
                if (sqlite3_step(insert_) != SQLITE_DONE) {
                    std::fprintf(stderr, "kelvo-gateway: store: %s\n", sqlite3_errmsg(db_));
                }
                sqlite3_reset(insert_);
            }
            trimLocked();
            if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
                std::fprintf(stderr, "kelvo-gateway: store: %s\n", sqlite3_errmsg(db_));
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            }
        }
        batch.clear();
        if (callback) callback();
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, COMMIT_EVERY, [&] { return stopping_; });
    }
}

void Store::trimLocked() {
    std::uint64_t bytes;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        bytes = bytes_;
    }
    if (bytes <= maxBytes_) return;
    const auto target = static_cast<std::uint64_t>(static_cast<double>(maxBytes_) * TRIM_TO);
    sqlite3_stmt* oldest = prepare(
        "SELECT id, stream, LENGTH(topic) + LENGTH(payload) FROM changes ORDER BY id LIMIT ?");
    std::uint64_t droppedNow = 0;
    while (bytes > target) {
        sqlite3_bind_int64(oldest, 1, static_cast<sqlite3_int64>(TRIM_STEP));
        std::vector<std::pair<std::int64_t, int>> gone;
        while (sqlite3_step(oldest) == SQLITE_ROW && bytes > target) {
            gone.emplace_back(sqlite3_column_int64(oldest, 0), sqlite3_column_int(oldest, 1));
            bytes -= std::min<std::uint64_t>(
                bytes, static_cast<std::uint64_t>(sqlite3_column_int64(oldest, 2)) + ROW_OVERHEAD);
        }
        sqlite3_reset(oldest);
        if (gone.empty()) break;
        std::lock_guard<std::mutex> hold(mutex_);
        for (const auto& [id, stream] : gone) {
            sqlite3_bind_int64(delete_, 1, id);
            sqlite3_step(delete_);
            sqlite3_reset(delete_);
            if (held_[stream] > 0) --held_[stream];
        }
        bytes_ = bytes;
        dropped_ += gone.size();
        droppedNow += gone.size();
    }
    sqlite3_finalize(oldest);
    if (droppedNow > 0) {
        sqlite3_stmt* s =
            prepare("INSERT OR REPLACE INTO numbers (key, value) VALUES ('dropped', ?)");
        std::lock_guard<std::mutex> hold(mutex_);
        sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(dropped_));
        sqlite3_step(s);
        sqlite3_finalize(s);
        std::fprintf(stderr,
                     "kelvo-gateway: store: over its budget; the %llu oldest changes dropped\n",
                     static_cast<unsigned long long>(droppedNow));
    }
}

std::vector<Store::Record> Store::read(int stream, std::int64_t after, std::size_t limit) {
    std::vector<Record> rows;
    std::lock_guard<std::mutex> hold(dbMutex_);
    sqlite3_bind_int(select_, 1, stream);
    sqlite3_bind_int64(select_, 2, after);
    sqlite3_bind_int64(select_, 3, static_cast<sqlite3_int64>(limit));
    while (sqlite3_step(select_) == SQLITE_ROW) {
        Record r;
        r.id = sqlite3_column_int64(select_, 0);
        r.stream = stream;
        const auto* topic = sqlite3_column_text(select_, 1);
        r.topic.assign(reinterpret_cast<const char*>(topic),
                       static_cast<std::size_t>(sqlite3_column_bytes(select_, 1)));
        const void* payload = sqlite3_column_blob(select_, 2);
        r.payload.assign(static_cast<const char*>(payload),
                         static_cast<std::size_t>(sqlite3_column_bytes(select_, 2)));
        r.at = sqlite3_column_int64(select_, 3);
        rows.push_back(std::move(r));
    }
    sqlite3_reset(select_);
    return rows;
}

void Store::remove(int stream, const std::vector<std::int64_t>& ids) {
    if (ids.empty()) return;
    std::lock_guard<std::mutex> hold(dbMutex_);
    sqlite3_stmt* size =
        prepare("SELECT LENGTH(topic) + LENGTH(payload) FROM changes WHERE id = ?");
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    std::uint64_t freed = 0, gone = 0;
    for (const std::int64_t id : ids) {
        sqlite3_bind_int64(size, 1, id);
        if (sqlite3_step(size) == SQLITE_ROW) {
            freed += static_cast<std::uint64_t>(sqlite3_column_int64(size, 0)) + ROW_OVERHEAD;
            ++gone;
        }
        sqlite3_reset(size);
        sqlite3_bind_int64(delete_, 1, id);
        sqlite3_step(delete_);
        sqlite3_reset(delete_);
    }
    sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(size);
    std::lock_guard<std::mutex> counts(mutex_);
    bytes_ -= std::min(bytes_, freed);
    held_[stream] -= std::min(held_[stream], gone);
}

std::uint64_t Store::held(int stream) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto it = held_.find(stream);
    return it == held_.end() ? 0 : it->second;
}

void Store::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    committed_.wait(lock, [&] { return queue_.empty() && !writing_; });
}

void Store::onCommit(std::function<void()> callback) {
    std::lock_guard<std::mutex> hold(mutex_);
    onCommit_ = std::move(callback);
}

std::int64_t Store::number(const std::string& key, std::int64_t otherwise) {
    // The constructor's call runs before the writer starts.
    std::unique_lock<std::mutex> lock(dbMutex_, std::defer_lock);
    if (writer_.joinable()) lock.lock();
    sqlite3_stmt* s = prepare("SELECT value FROM numbers WHERE key = ?");
    sqlite3_bind_text(s, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    const std::int64_t value =
        sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : otherwise;
    sqlite3_finalize(s);
    return value;
}

void Store::setNumber(const std::string& key, std::int64_t value) {
    std::lock_guard<std::mutex> hold(dbMutex_);
    sqlite3_stmt* s = prepare("INSERT OR REPLACE INTO numbers (key, value) VALUES (?, ?)");
    sqlite3_bind_text(s, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    sqlite3_bind_int64(s, 2, value);
    sqlite3_step(s);
    sqlite3_finalize(s);
}

Store::Counts Store::counts() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::uint64_t rows = 0;
    for (const auto& [stream, n] : held_) rows += n;
    return {stored_, dropped_, rows, bytes_};
}

// The forwarder.

Forwarder::Forwarder(Store& store, int stream, Broker& broker, Hooks hooks)
    : store_(store), stream_(stream), broker_(broker), hooks_(std::move(hooks)) {}

Forwarder::~Forwarder() {
    stop();
}

void Forwarder::start() {
    thread_ = std::thread([this] { run(); });
}

void Forwarder::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Forwarder::notify() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        poked_ = true;
    }
    wake_.notify_all();
}

void Forwarder::acked(std::uint64_t token) {
    if (token == 0) return;  // a message without a row
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (token >= LIVE_TOKEN) {
            liveSent_.erase(token);
            return;
        }
        acked_.push_back(static_cast<std::int64_t>(token));
        // The window opens in batches: wake the sender once per batch (or
        // at its next look, FORWARD_WAKE).
        if (acked_.size() % SEND_BATCH != 0) return;
        poked_ = true;
    }
    wake_.notify_all();
}

void Forwarder::submit(std::string topic, std::string payload, std::int64_t at) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!live_) {
            store_.put(stream_, std::move(topic), std::move(payload), at);
            return;  // the commit wakes the forwarder
        }
        liveQueue_.push_back({0, stream_, std::move(topic), std::move(payload), at});
        // A broker that takes them slower than they come: the store takes
        // over, so memory stays bounded until the keepalive decides.
        if (liveQueue_.size() >= LIVE_LIMIT) storeLiveLocked();
        poked_ = true;
    }
    wake_.notify_all();
}

void Forwarder::storeLiveLocked() {
    if (!live_) return;
    live_ = false;
    for (auto& [token, row] : liveSent_) {
        store_.put(stream_, std::move(row.topic), std::move(row.payload), row.at);
    }
    for (auto& row : liveQueue_) {
        store_.put(stream_, std::move(row.topic), std::move(row.payload), row.at);
    }
    liveSent_.clear();
    liveQueue_.clear();
}

void Forwarder::sendFirst(Message message) {
    std::lock_guard<std::mutex> hold(mutex_);
    first_.push_back(std::move(message));
}

void Forwarder::run() {
    pthread_setname_np(pthread_self(), "kelvo-forward");
    auto deletedAt = std::chrono::steady_clock::now();
    // Deletes what the broker acknowledged; a row acknowledged but not
    // deleted yet when the process ends goes once more after the restart.
    auto deleteDone = [&](bool now) {
        if (done_.empty()) return;
        if (!now && done_.size() < DELETE_BATCH &&
            std::chrono::steady_clock::now() - deletedAt < DELETE_AFTER) {
            return;
        }
        store_.remove(stream_, done_);
        done_.clear();
        deletedAt = std::chrono::steady_clock::now();
    };
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, FORWARD_WAKE, [&] { return stopping_ || poked_; });
            poked_ = false;
            done_.insert(done_.end(), acked_.begin(), acked_.end());
            acked_.clear();
            if (stopping_) break;
        }
        deleteDone(false);
        const std::uint64_t session = broker_.session();
        if (!broker_.connected() || session != session_) {
            std::lock_guard<std::mutex> hold(mutex_);
            storeLiveLocked();
        }
        if (!broker_.connected()) {
            ready_ = false;
            continue;
        }
        bool fresh = false;
        if (session != session_) {
            // A new session: whatever the last one did not see acknowledged
            // goes again, from the oldest row.
            deleteDone(true);
            session_ = session;
            fresh = true;
            ready_ = false;
            cursor_ = 0;
            std::lock_guard<std::mutex> hold(mutex_);
            first_.clear();
        }
        const std::int64_t mark = store_.last();
        const bool ready = hooks_.prepare(fresh || !ready_);
        if (!ready) {
            ready_ = false;
            std::lock_guard<std::mutex> hold(mutex_);
            storeLiveLocked();
            continue;
        }
        if (!ready_) historical_ = mark;
        ready_ = true;
        while (pump()) {
            std::lock_guard<std::mutex> hold(mutex_);
            if (stopping_) break;
        }
        // Caught up: every stored row is acknowledged, so new rows may skip
        // the store.
        std::lock_guard<std::mutex> hold(mutex_);
        if (!live_ && first_.empty() && store_.held(stream_) == done_.size()) live_ = true;
    }
    deleteDone(true);
    std::lock_guard<std::mutex> hold(mutex_);
    storeLiveLocked();
}

bool Forwarder::pump() {
    for (;;) {
        Message next;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (first_.empty()) break;
            if (broker_.room() == 0) return false;
            next = std::move(first_.front());
            first_.pop_front();
        }
        if (!broker_.publishTracked(next.topic, next.payload, next.retain, 0, next.qos))
            return false;
    }
    // A window that is nearly full waits for a batch of acknowledgements.
    const std::size_t room = broker_.room();
    if (room == 0 || (room < SEND_BATCH && room < Broker::WINDOW)) return false;
    if (!live_) {  // (only this thread changes it)
        const auto rows = store_.read(stream_, cursor_, room);
        for (const auto& row : rows) {
            if (broker_.room() == 0) break;
            const auto message = hooks_.encode(row, row.id <= historical_);
            if (!message) {
                cursor_ = row.id;
                done_.push_back(row.id);
                continue;
            }
            if (!broker_.publishTracked(message->topic, message->payload, message->retain,
                                        message->qos == 0 ? 0 : static_cast<std::uint64_t>(row.id),
                                        message->qos)) {
                break;
            }
            cursor_ = row.id;
            if (message->qos == 0) done_.push_back(row.id);  // no acknowledgement to wait for
        }
        return rows.size() == room;  // more may be waiting
    }
    // Rows in memory: each waits in liveSent_ until acknowledged (a QoS 0
    // one, until handed over), to go to the store if the session ends first.
    while (broker_.room() > 0) {
        Store::Record row;
        std::uint64_t token;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (!live_ || liveQueue_.empty()) break;
            token = nextToken_++;
            row = liveSent_.emplace(token, std::move(liveQueue_.front())).first->second;
            liveQueue_.pop_front();
        }
        const auto message = hooks_.encode(row, false);
        if (message && !broker_.publishTracked(message->topic, message->payload, message->retain,
                                               message->qos == 0 ? 0 : token, message->qos)) {
            break;  // the session ended: the row goes to the store
        }
        if (!message || message->qos == 0) {
            std::lock_guard<std::mutex> hold(mutex_);
            liveSent_.erase(token);
        }
    }
    return false;
}

}  // namespace gateway
