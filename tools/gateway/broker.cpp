#include "broker.h"

#include <mosquitto.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace gateway {
namespace {

constexpr int QOS = 1;
constexpr auto RECONNECT_MIN = std::chrono::milliseconds(1000);
constexpr auto RECONNECT_MAX = std::chrono::milliseconds(30000);
constexpr int LOOP_MS = 100;  // the network thread looks at stop() this often
constexpr auto CLOSE_WAIT = std::chrono::milliseconds(1000);
constexpr auto CONNECT_TIMEOUT = std::chrono::seconds(15);  // TCP, TLS and CONNACK
constexpr auto SPIN_GUARD = std::chrono::milliseconds(5);

constexpr auto TCP_CONNECT_TIMEOUT = std::chrono::seconds(3);

// Whether the socket is connected to its peer yet. (A refused connect looks
// the same as one still under way.)
bool PeerConnected(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    return fd >= 0 && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
}

struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
    ~LibraryInit() { mosquitto_lib_cleanup(); }
};

void Check(int rc, const char* what) {
    if (rc != MOSQ_ERR_SUCCESS) {
        throw ConfigError(std::string(what) + ": " + mosquitto_strerror(rc));
    }
}

}  // namespace

Broker::Broker(const BrokerSettings& settings, const std::string& clientId,
               const std::string& willTopic, Handlers handlers)
    : settings_(settings), handlers_(std::move(handlers)) {
    static LibraryInit init;
    client_ = mosquitto_new(clientId.c_str(), false, this);
    if (!client_) throw ConfigError("cannot create the MQTT client");
    mosquitto_connect_callback_set(client_, &Broker::OnConnect);
    mosquitto_disconnect_callback_set(client_, &Broker::OnDisconnect);
    mosquitto_publish_callback_set(client_, &Broker::OnPublish);
    mosquitto_message_callback_set(client_, &Broker::OnMessage);
    // No window: the whole state goes out at once after a connect.
    mosquitto_max_inflight_messages_set(client_, 0);
    const std::string offline = "offline";
    Check(mosquitto_will_set(client_, willTopic.c_str(), static_cast<int>(offline.size()),
                             offline.data(), QOS, true),
          "MQTT will");
    if (!settings.username.empty()) {
        Check(mosquitto_username_pw_set(
                  client_, settings.username.c_str(),
                  settings.password.empty() ? nullptr : settings.password.c_str()),
              "MQTT user");
    }
    if (!settings.caFile.empty()) {
        Check(
            mosquitto_tls_set(client_, settings.caFile.c_str(), nullptr, nullptr, nullptr, nullptr),
            "MQTT TLS");
    }
}

Broker::~Broker() {
    stop(std::chrono::milliseconds(0));
    mosquitto_destroy(client_);
}

void Broker::start() {
    // Publications from other threads are queued and wake this thread.
    mosquitto_threaded_set(client_, true);
    thread_ = std::thread([this] { run(); });
}

void Broker::pause(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, delay, [&] { return stopping_.load(); });
}

void Broker::run() {
    auto delay = RECONNECT_MIN;
    bool everConnected = false, socketOpen = false, reported = false;
    auto connectBy = std::chrono::steady_clock::now();
    auto tcpBy = connectBy;
    while (!stopping_) {
        if (!socketOpen) {
            // Asynchronous: a connect that hangs never holds up a stop. A
            // reconnect closes whatever socket the last attempt left.
            const int rc = everConnected ? mosquitto_reconnect_async(client_)
                                         : mosquitto_connect_async(client_, settings_.host.c_str(),
                                                                   settings_.effectivePort(),
                                                                   settings_.keepalive);
            if (rc != MOSQ_ERR_SUCCESS) {
                if (!reported) {
                    std::fprintf(stderr, "kelvo-gateway: broker %s:%d: %s; retrying\n",
                                 settings_.host.c_str(), settings_.effectivePort(),
                                 mosquitto_strerror(rc));
                    reported = true;
                }
                pause(delay);
                delay = std::min(delay * 2, RECONNECT_MAX);
                continue;
            }
            everConnected = true;  // the host and port are kept from here on
            socketOpen = true;
            connectBy = std::chrono::steady_clock::now() + CONNECT_TIMEOUT;
            tcpBy = std::chrono::steady_clock::now() + TCP_CONNECT_TIMEOUT;
        }
        const auto begin = std::chrono::steady_clock::now();
        bool failed = mosquitto_loop(client_, LOOP_MS, 1) != MOSQ_ERR_SUCCESS;
        if (!failed && !connected_) {
            // Until the broker has accepted us: libmosquitto does not notice
            // a refused TLS connect (its loop returns at once, forever), so
            // the TCP connect and the whole handshake get deadlines.
            const auto now = std::chrono::steady_clock::now();
            failed = now > connectBy || (now > tcpBy && !PeerConnected(mosquitto_socket(client_)));
            if (!failed && std::chrono::steady_clock::now() - begin < SPIN_GUARD) {
                pause(SPIN_GUARD);
            }
        }
        if (failed) {
            socketOpen = false;
            connected_ = false;
            pause(delay);
            delay = std::min(delay * 2, RECONNECT_MAX);
        } else if (connected_) {
            delay = RECONNECT_MIN;
            reported = false;
        }
    }
}

bool Broker::publish(const std::string& topic, const std::string& payload, bool retain) {
    if (!connected_) return false;
    const int rc = mosquitto_publish(client_, nullptr, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), QOS, retain);
    if (rc != MOSQ_ERR_SUCCESS) return false;
    ++sent_;
    return true;
}

void Broker::subscribe(const std::vector<std::string>& patterns) {
    std::vector<char*> list;
    for (const auto& p : patterns) list.push_back(const_cast<char*>(p.c_str()));
    if (list.empty()) return;
    const int rc = mosquitto_subscribe_multiple(client_, nullptr, static_cast<int>(list.size()),
                                                list.data(), QOS, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "kelvo-gateway: subscribe: %s\n", mosquitto_strerror(rc));
    }
}

void Broker::stop(std::chrono::milliseconds drain) {
    if (!thread_.joinable()) return;
    const auto until = std::chrono::steady_clock::now() + drain;
    while (connected_ && acknowledged_ < sent_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (connected_) {
        // The network thread sends the DISCONNECT; the broker then drops
        // the will. Bounded: the thread ends when the socket closes.
        mosquitto_disconnect(client_);
        const auto closeBy = std::chrono::steady_clock::now() + CLOSE_WAIT;
        while (connected_ && std::chrono::steady_clock::now() < closeBy) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    connected_ = false;
}

void Broker::OnConnect(mosquitto*, void* self, int rc) {
    auto* b = static_cast<Broker*>(self);
    if (rc != 0) {
        std::fprintf(stderr, "kelvo-gateway: broker refused the connection: %s\n",
                     mosquitto_connack_string(rc));
        return;
    }
    std::fprintf(stderr, "kelvo-gateway: connected to %s:%d\n", b->settings_.host.c_str(),
                 b->settings_.effectivePort());
    b->connected_ = true;
    if (b->handlers_.connected) b->handlers_.connected();
}

void Broker::OnDisconnect(mosquitto*, void* self, int rc) {
    auto* b = static_cast<Broker*>(self);
    if (b->connected_ && rc != 0) {
        std::fprintf(stderr, "kelvo-gateway: lost the broker: %s; reconnecting\n",
                     mosquitto_strerror(rc));
    }
    b->connected_ = false;
}

void Broker::OnPublish(mosquitto*, void* self, int) {
    ++static_cast<Broker*>(self)->acknowledged_;
}

void Broker::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* b = static_cast<Broker*>(self);
    if (!b->handlers_.message || !m->topic) return;
    b->handlers_.message(
        m->topic,
        std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)),
        m->retain);
}

}  // namespace gateway
