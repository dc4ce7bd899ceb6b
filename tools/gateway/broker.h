// The gateway's MQTT session (libmosquitto, driven by a network thread of
// our own).
//
// The session is persistent (clean session off) and subscriptions use QoS 1,
// so commands published while the gateway is away wait at the broker. The
// network thread connects and reconnects with a backoff of 1 s doubling to
// 30 s and never gives up, whether the broker was never there, went away,
// or refused us. (libmosquitto's own thread ends for good when the first
// connect fails.) Every publication is QoS 1; nothing is queued while the
// broker is away: on every connect the gateway publishes its whole retained
// state again instead.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
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
    struct Handlers {
        std::function<void()> connected;  // publish the retained state, subscribe
        // `retained`: the broker kept it and hands it to every new subscriber.
        std::function<void(const std::string& topic, const std::string& payload, bool retained)>
            message;
    };

    // `willTopic` gets "offline" (retained) when the session ends without a
    // clean disconnect.
    Broker(const BrokerSettings& settings, const std::string& clientId,
           const std::string& willTopic, Handlers handlers);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Starts the network thread; connection failures are retried there.
    void start();
    bool connected() const { return connected_; }
    // Publishes only while connected; returns whether the message was queued.
    bool publish(const std::string& topic, const std::string& payload, bool retain);
    void subscribe(const std::vector<std::string>& patterns);
    // Waits up to `drain` for the broker to acknowledge what was published,
    // then disconnects cleanly and stops the network thread.
    void stop(std::chrono::milliseconds drain);

    std::uint64_t published() const { return sent_; }

  private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    void run();
    // Sleeps for `delay` unless stop() comes first.
    void pause(std::chrono::milliseconds delay);

    BrokerSettings settings_;
    Handlers handlers_;
    mosquitto* client_ = nullptr;
    std::atomic<bool> connected_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> acknowledged_{0};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stopping_{false};
};

}  // namespace gateway
