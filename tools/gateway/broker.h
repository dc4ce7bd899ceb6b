// The gateway's MQTT session (libmosquitto, driven by a network thread of
// our own).
//
// The session is persistent (clean session off) and subscriptions use QoS 1,
// so commands published while the gateway is away wait at the broker. The
// network thread connects and reconnects with a backoff of 1 s doubling to
// 30 s and never gives up, whether the broker was never there, went away,
// or refused us. (libmosquitto's own thread ends for good when the first
// connect fails.) Every publication is QoS 1 unless publishTracked() says otherwise.
//
// The last retained value on the broker is always the current one:
// - nothing is queued while the broker is away; on every connect the gateway
//   publishes its whole retained state again instead;
// - every connect starts from a new client object, so the publications a
//   lost connection left unacknowledged are never sent again (libmosquitto
//   would resend them after the fresh state, old values last);
// - at most WINDOW publications are unacknowledged at a time. Beyond that a
//   retained topic waits with its latest value only (a newer value replaces
//   the waiting one), and messages that are not retained wait up to
//   EVENT_LIMIT. So a broker that stops reading costs a bounded amount of
//   memory, however long it takes the keepalive to notice.
//
// Changes that must not be lost go another way: a Forwarder (store.h) keeps
// them on disk and hands them over with publishTracked() while the window
// has room, deleting each once the broker has acknowledged it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"

struct mosquitto;
struct mosquitto_message;

namespace gateway {

class Broker {
  public:
    // Unacknowledged publications at a time, and messages that are not
    // retained waiting behind them.
    static constexpr std::size_t WINDOW = 256;
    static constexpr std::size_t EVENT_LIMIT = 1000;

    struct Handlers {
        std::function<void()> connected;  // publish the retained state, subscribe
        // `retained`: the broker kept it and hands it to every new subscriber.
        std::function<void(const std::string& topic, const std::string& payload, bool retained)>
            message;
        // A publishTracked() message was acknowledged.
        std::function<void(std::uint64_t token)> acked;
    };
    // The message the broker publishes when the session ends without a
    // clean disconnect; `payload` is asked anew for every connect.
    struct Will {
        std::string topic;
        std::function<std::string()> payload;
        bool retain = true;
        // A clean session: the broker keeps nothing for us between
        // connections (no subscriptions, no queued commands).
        bool clean = false;
    };

    // `willTopic` gets "offline" (retained) when the session ends without a
    // clean disconnect.
    Broker(const BrokerSettings& settings, const std::string& clientId,
           const std::string& willTopic, Handlers handlers);
    Broker(const BrokerSettings& settings, const std::string& clientId, Will will,
           Handlers handlers);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Starts the network thread; connection failures are retried there.
    void start();
    bool connected() const { return connected_; }
    // Counts the sessions: a new value means a new connection.
    std::uint64_t session() const { return session_; }
    // How many more messages the window takes now (0 while messages wait
    // in the queue, so that a tracked one never overtakes them).
    std::size_t room();
    // Publishes at once if the window has room; Handlers::acked gets `token`
    // when the broker acknowledges it. False: not sent (no room, or not
    // connected).
    bool publishTracked(const std::string& topic, const std::string& payload, bool retain,
                        std::uint64_t token, int qos = 1);
    // Ends the connection without a clean disconnect (the broker publishes
    // the will) and connects again.
    void drop();
    // Publishes or queues (see above) while connected; false when the
    // message is dropped (not connected, or too many waiting).
    bool publish(const std::string& topic, const std::string& payload, bool retain);
    void subscribe(const std::vector<std::string>& patterns);
    // Waits up to `drain` for the broker to acknowledge what was published,
    // then disconnects cleanly and stops the network thread.
    void stop(std::chrono::milliseconds drain);

    struct Counts {
        std::uint64_t published = 0;  // handed to the broker connection, ever
        std::size_t inflight = 0;     // unacknowledged now
        std::size_t queued = 0;       // waiting for the window now
        std::uint64_t dropped = 0;    // not retained and over EVENT_LIMIT, ever
    };
    Counts counts();

  private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnLog(mosquitto*, void* self, int level, const char* text);
    // A new client object with the callbacks, will, credentials and TLS.
    mosquitto* makeClient();
    void run();
    // Sleeps for `delay` unless stop() comes first.
    void pause(std::chrono::milliseconds delay);
    // With mutex_ held: hands waiting messages to libmosquitto while the
    // window has room.
    void pumpLocked();
    bool sendLocked(const std::string& topic, const std::string& payload, bool retain,
                    std::uint64_t token = 0, int qos = 1);
    void forgetLocked();
    // Why the connection failed: `what`, or the reason of a TLS failure.
    std::string failure(const std::string& what);
    // Says once per failure why the connection failed (or was refused).
    void report(const std::string& why);

    BrokerSettings settings_;
    std::string clientId_;
    Handlers handlers_;
    std::atomic<bool> connected_{false};
    std::atomic<std::uint64_t> session_{0};
    std::atomic<bool> dropping_{false};
    Will will_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    bool refused_ = false;  // the network thread's: the broker refused this connect
    std::condition_variable wake_;

    std::mutex mutex_;             // guards everything below
    mosquitto* client_ = nullptr;  // replaced only by the network thread
    std::size_t inflight_ = 0;
    std::map<std::string, std::string> waiting_;  // retained: topic -> latest payload
    std::deque<std::string> order_;               // waiting_'s topics, oldest first
    struct Event {
        std::string topic, payload;
    };
    std::deque<Event> events_;              // not retained, oldest first
    std::map<int, std::uint64_t> tracked_;  // message ID -> token
    std::uint64_t sent_ = 0;
    std::uint64_t dropped_ = 0;
    std::string lastReport_;
    // The network thread's, about the last connect: what libmosquitto logged
    // on a TLS failure, and why the broker's certificate was refused.
    std::string tlsError_;
    std::string verdict_;
};

}  // namespace gateway
