// Store-and-forward: changes kept on disk (SQLite, WAL) until the broker has
// acknowledged them, and the forwarder that sends them in order.
//
// A change is a row: an ID that only grows (the order), a stream (which face
// it belongs to), a topic and a payload that the face interprets, and the
// time it was read. put() hands rows to a writer thread that commits what
// has come at most every 5 ms, so a change survives the end of the process
// (kill -9) from a few ms after it was seen. The store keeps to its disk budget: past it, the
// oldest rows go first, and are counted.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"

namespace gateway {

class Store {
  public:
    struct Record {
        std::int64_t id = 0;
        int stream = 0;
        std::string topic;
        std::string payload;
        std::int64_t at = 0;  // ms since the epoch
    };
    // What a row costs beyond its topic and payload, for the budget: the
    // row's header, its ID and time, and the index entry.
    static constexpr std::uint64_t ROW_OVERHEAD = 48;

    // `path` empty: in memory (lost with the process). Throws ConfigError
    // when the file cannot be opened or is not a store.
    Store(const std::string& path, std::uint64_t maxBytes);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Queues a row for the writer; returns its ID.
    std::int64_t put(int stream, std::string topic, std::string payload, std::int64_t at);
    // The last ID handed out.
    std::int64_t last();
    // Committed rows of `stream` after `after`, oldest first.
    std::vector<Record> read(int stream, std::int64_t after, std::size_t limit);
    void remove(int stream, const std::vector<std::int64_t>& ids);
    // Rows of `stream` held (committed or queued).
    std::uint64_t held(int stream);
    // Waits until every queued row is committed.
    void flush();
    // Called after each commit (from the writer thread).
    void onCommit(std::function<void()> callback);

    // A number kept with the rows (the Sparkplug bdSeq, say).
    std::int64_t number(const std::string& key, std::int64_t otherwise);
    void setNumber(const std::string& key, std::int64_t value);

    struct Counts {
        std::uint64_t stored = 0;   // rows put, ever (this run)
        std::uint64_t dropped = 0;  // rows dropped for the budget, ever (kept in the file)
        std::uint64_t rows = 0;     // held now
        std::uint64_t bytes = 0;    // held now, as the budget counts them
    };
    Counts counts();

  private:
    void write();  // the writer thread
    void exec(const char* sql);
    // With dbMutex_ held: drops the oldest rows until the budget is kept.
    void trimLocked();
    sqlite3_stmt* prepare(const char* sql);

    const std::uint64_t maxBytes_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* delete_ = nullptr;
    std::mutex dbMutex_;  // the connection and everything below it

    std::mutex mutex_;  // guards the queue, the counts and the IDs
    std::condition_variable wake_, committed_;
    std::vector<Record> queue_;
    bool writing_ = false;
    bool stopping_ = false;
    std::int64_t nextId_ = 1;
    std::map<int, std::uint64_t> held_;
    std::uint64_t bytes_ = 0;
    std::uint64_t stored_ = 0;
    std::uint64_t dropped_ = 0;
    std::function<void()> onCommit_;
    std::thread writer_;
};

// Sends one stream's rows through a broker session, in order, each once the
// one before was handed over, and deletes each row when the broker has
// acknowledged it. On a new session everything not acknowledged is sent
// again from the oldest (so a row may arrive twice, never not at all).
//
// Rows given to submit() skip the disk while the session is live and no
// older row waits: they are sent from memory, and kept there until the
// broker acknowledges them. When the session ends (or may not send), every
// row in memory, sent but unacknowledged or still queued, goes to the store
// first, in order, ahead of anything newer.
class Forwarder {
  public:
    struct Message {
        std::string topic, payload;
        bool retain = false;
        int qos = 1;  // 0: the forwarder does not hear when it has arrived
    };
    struct Hooks {
        // Called on the forwarder's thread while connected, before sending
        // (`fresh`: first call in this session). False: hold everything.
        std::function<bool(bool fresh)> prepare;
        // The message for a row; `historical`: the row was stored before
        // this session's start. Nullopt: the row is dropped unsent.
        std::function<std::optional<Message>(const Store::Record&, bool historical)> encode;
    };

    Forwarder(Store& store, int stream, Broker& broker, Hooks hooks);
    ~Forwarder();
    void start();
    void stop();
    // Something to do: a row put, a session change.
    void notify();
    // From the broker: `token` was acknowledged.
    void acked(std::uint64_t token);
    // Messages to send before any row, in order (births); from prepare().
    void sendFirst(Message message);
    // A row of this stream, sent from memory or stored (see above).
    void submit(std::string topic, std::string payload, std::int64_t at);

  private:
    // Tokens of rows sent from memory (stored rows use their IDs).
    static constexpr std::uint64_t LIVE_TOKEN = std::uint64_t{1} << 62;
    void run();
    bool pump();
    // With mutex_ held: the rows in memory go to the store.
    void storeLiveLocked();

    Store& store_;
    const int stream_;
    Broker& broker_;
    Hooks hooks_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool poked_ = false;
    std::vector<std::int64_t> acked_;  // acknowledged rows, from the broker's thread
    std::deque<Message> first_;
    bool live_ = false;                                // rows skip the store
    std::deque<Store::Record> liveQueue_;              // to send, oldest first
    std::map<std::uint64_t, Store::Record> liveSent_;  // sent, not acknowledged, by token
    std::uint64_t nextToken_ = LIVE_TOKEN;
    std::thread thread_;
    // The forwarder thread's:
    std::vector<std::int64_t> done_;  // rows to delete: acknowledged, or not to be sent
    std::uint64_t session_ = 0;
    bool ready_ = false;
    std::int64_t cursor_ = 0;      // the last row sent in this session
    std::int64_t historical_ = 0;  // rows up to this one are history
};

}  // namespace gateway
