#include "broker.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
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

// The certificate check (chain, dates, host name or address), keeping the
// verdict: libmosquitto frees the connection's state before the gateway
// could ask, and logs only "certificate verify failed".
int VerifyAndKeep(X509_STORE_CTX* store, void* verdict) {
    const int ok = X509_verify_cert(store);
    const int error = X509_STORE_CTX_get_error(store);
    if (ok <= 0 && error != X509_V_OK) {
        *static_cast<std::string*>(verdict) = X509_verify_cert_error_string(error);
    }
    return ok;
}

// A TLS client context that trusts `caFile` and checks the broker's
// certificate names `host` (a name, or an address in its IP entries).
SSL_CTX* TlsContext(const std::string& caFile, const std::string& host, std::string* verdict) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) throw ConfigError("MQTT TLS: cannot create the TLS context");
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(context);
    in_addr address{};
    const bool ip = inet_pton(AF_INET, host.c_str(), &address) == 1;
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1 ||
        (ip ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
            : X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0)) != 1) {
        SSL_CTX_free(context);
        throw ConfigError("MQTT TLS: cannot use the CA file " + caFile);
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(context, &VerifyAndKeep, verdict);
    return context;
}

}  // namespace

Broker::Broker(const BrokerSettings& settings, const std::string& clientId,
               const std::string& willTopic, Handlers handlers)
    : Broker(settings, clientId, Will{willTopic, [] { return std::string("offline"); }, true},
             std::move(handlers)) {}

Broker::Broker(const BrokerSettings& settings, const std::string& clientId, Will will,
               Handlers handlers)
    : settings_(settings),
      clientId_(clientId),
      handlers_(std::move(handlers)),
      will_(std::move(will)) {
    static LibraryInit init;
    client_ = makeClient();
    if (!settings_.password.empty() && settings_.caFile.empty()) {
        std::fprintf(stderr,
                     "kelvo-gateway: warning: the broker password goes to %s:%d without TLS, "
                     "readable on the way ([broker.tls] ca_file turns TLS on)\n",
                     settings_.host.c_str(), settings_.effectivePort());
    }
}

mosquitto* Broker::makeClient() {
    mosquitto* client = mosquitto_new(clientId_.c_str(), will_.clean, this);
    if (!client) throw ConfigError("cannot create the MQTT client");
    mosquitto_connect_callback_set(client, &Broker::OnConnect);
    mosquitto_disconnect_callback_set(client, &Broker::OnDisconnect);
    mosquitto_publish_callback_set(client, &Broker::OnPublish);
    mosquitto_message_callback_set(client, &Broker::OnMessage);
    mosquitto_log_callback_set(client, &Broker::OnLog);
    // The window is ours (pumpLocked); libmosquitto never holds any back.
    mosquitto_max_inflight_messages_set(client, 0);
    // Publications from other threads are queued and wake the network thread.
    mosquitto_threaded_set(client, true);
    const std::string will = will_.payload();
    Check(mosquitto_will_set(client, will_.topic.c_str(), static_cast<int>(will.size()),
                             will.data(), QOS, will_.retain),
          "MQTT will");
    if (!settings_.username.empty()) {
        Check(mosquitto_username_pw_set(
                  client, settings_.username.c_str(),
                  settings_.password.empty() ? nullptr : settings_.password.c_str()),
              "MQTT user");
    }
    if (!settings_.caFile.empty()) {
        // Our own context (libmosquitto keeps a reference): the same checks
        // as libmosquitto's, with the verdict kept.
        SSL_CTX* context = TlsContext(settings_.caFile, settings_.host, &verdict_);
        const int rc = mosquitto_void_option(client, MOSQ_OPT_SSL_CTX, context);
        SSL_CTX_free(context);
        Check(rc, "MQTT TLS");
        Check(mosquitto_int_option(client, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0), "MQTT TLS");
    }
    return client;
}

Broker::~Broker() {
    stop(std::chrono::milliseconds(0));
    mosquitto_destroy(client_);
}

void Broker::start() {
    thread_ = std::thread([this] { run(); });
}

void Broker::pause(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, delay, [&] { return stopping_.load(); });
}

void Broker::report(const std::string& why) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (why == lastReport_) return;
    lastReport_ = why;
    std::fprintf(stderr, "kelvo-gateway: broker %s:%d: %s; retrying\n", settings_.host.c_str(),
                 settings_.effectivePort(), why.c_str());
}

void Broker::forgetLocked() {
    tracked_.clear();
    waiting_.clear();
    order_.clear();
    events_.clear();
    inflight_ = 0;
}

void Broker::run() {
    auto delay = RECONNECT_MIN;
    bool socketOpen = false, used = false;
    auto connectBy = std::chrono::steady_clock::now();
    auto tcpBy = connectBy;
    while (!stopping_) {
        if (!socketOpen) {
            if (used) {
                // A fresh client: whatever the last connection left
                // unacknowledged is dropped, not sent after the state that
                // the next connect publishes.
                mosquitto* fresh = makeClient();
                std::lock_guard<std::mutex> hold(mutex_);
                std::swap(fresh, client_);
                forgetLocked();
                mosquitto_destroy(fresh);
            }
            used = true;
            tlsError_.clear();
            verdict_.clear();
            refused_ = false;
            // Asynchronous: a connect that hangs never holds up a stop.
            const int rc = mosquitto_connect_async(client_, settings_.host.c_str(),
                                                   settings_.effectivePort(), settings_.keepalive);
            if (rc != MOSQ_ERR_SUCCESS) {
                report(failure(mosquitto_strerror(rc)));
                pause(delay);
                delay = std::min(delay * 2, RECONNECT_MAX);
                continue;
            }
            socketOpen = true;
            connectBy = std::chrono::steady_clock::now() + CONNECT_TIMEOUT;
            tcpBy = std::chrono::steady_clock::now() + TCP_CONNECT_TIMEOUT;
        }
        const auto begin = std::chrono::steady_clock::now();
        const int rc = mosquitto_loop(client_, LOOP_MS, 1);
        bool failed = rc != MOSQ_ERR_SUCCESS;
        std::string why = failed ? mosquitto_strerror(rc) : "";
        if (dropping_.exchange(false) && connected_) {
            // The next connect's fresh client closes this one's socket
            // without a DISCONNECT: the broker publishes the will.
            std::fprintf(stderr, "kelvo-gateway: ending the session with %s:%d\n",
                         settings_.host.c_str(), settings_.effectivePort());
            socketOpen = false;
            connected_ = false;
            continue;
        }
        if (!failed && !connected_) {
            // Until the broker has accepted us: libmosquitto does not notice
            // a refused TLS connect (its loop returns at once, forever), so
            // the TCP connect and the whole handshake get deadlines.
            const auto now = std::chrono::steady_clock::now();
            if (now > tcpBy && !PeerConnected(mosquitto_socket(client_))) {
                failed = true;
                why = "no connection";
            } else if (now > connectBy) {
                failed = true;
                why = "no answer to the MQTT connect";
            }
            if (!failed && std::chrono::steady_clock::now() - begin < SPIN_GUARD) {
                pause(SPIN_GUARD);
            }
        }
        if (failed) {
            if (!connected_ && !refused_) report(failure(why));
            socketOpen = false;
            connected_ = false;
            pause(delay);
            delay = std::min(delay * 2, RECONNECT_MAX);
        } else if (connected_) {
            delay = RECONNECT_MIN;
            std::lock_guard<std::mutex> hold(mutex_);
            lastReport_.clear();
            pumpLocked();
        }
    }
}

std::string Broker::failure(const std::string& what) {
    // A TLS failure says why: the certificate check's verdict, or what
    // libmosquitto logged ("host name verification failed", OpenSSL's reason).
    if (!verdict_.empty()) return "TLS: the broker's certificate was refused: " + verdict_;
    if (!tlsError_.empty()) return "TLS: " + tlsError_;
    return what;
}

bool Broker::sendLocked(const std::string& topic, const std::string& payload, bool retain,
                        std::uint64_t token, int qos) {
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) return false;
    if (token != 0) tracked_[mid] = token;
    ++sent_;
    ++inflight_;
    return true;
}

void Broker::pumpLocked() {
    while (inflight_ < WINDOW && !events_.empty()) {
        sendLocked(events_.front().topic, events_.front().payload, false);
        events_.pop_front();
    }
    while (inflight_ < WINDOW && !order_.empty()) {
        const auto it = waiting_.find(order_.front());
        order_.pop_front();
        if (it == waiting_.end()) continue;
        sendLocked(it->first, it->second, true);
        waiting_.erase(it);
    }
}

bool Broker::publish(const std::string& topic, const std::string& payload, bool retain) {
    if (!connected_) return false;
    std::lock_guard<std::mutex> hold(mutex_);
    if (retain) {
        // A topic already waiting keeps its place and takes the newer value.
        const auto it = waiting_.find(topic);
        if (it != waiting_.end()) {
            it->second = payload;
            return true;
        }
        if (inflight_ < WINDOW && order_.empty()) return sendLocked(topic, payload, true);
        waiting_.emplace(topic, payload);
        order_.push_back(topic);
        return true;
    }
    if (inflight_ < WINDOW && events_.empty()) return sendLocked(topic, payload, false);
    if (events_.size() >= EVENT_LIMIT) {
        ++dropped_;
        return false;
    }
    events_.push_back({topic, payload});
    return true;
}

std::size_t Broker::room() {
    if (!connected_) return 0;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!events_.empty() || !order_.empty() || inflight_ >= WINDOW) return 0;
    return WINDOW - inflight_;
}

bool Broker::publishTracked(const std::string& topic, const std::string& payload, bool retain,
                            std::uint64_t token, int qos) {
    if (!connected_) return false;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!events_.empty() || !order_.empty() || inflight_ >= WINDOW) return false;
    // (QoS 0 counts in the window too: libmosquitto reports it once written.)
    return sendLocked(topic, payload, retain, token, qos);
}

void Broker::drop() {
    dropping_ = true;
}

Broker::Counts Broker::counts() {
    std::lock_guard<std::mutex> hold(mutex_);
    return {sent_, inflight_, order_.size() + events_.size(), dropped_};
}

void Broker::subscribe(const std::vector<std::string>& patterns) {
    std::vector<char*> list;
    for (const auto& p : patterns) list.push_back(const_cast<char*>(p.c_str()));
    if (list.empty()) return;
    std::lock_guard<std::mutex> hold(mutex_);
    const int rc = mosquitto_subscribe_multiple(client_, nullptr, static_cast<int>(list.size()),
                                                list.data(), QOS, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "kelvo-gateway: subscribe: %s\n", mosquitto_strerror(rc));
    }
}

void Broker::stop(std::chrono::milliseconds drain) {
    if (!thread_.joinable()) return;
    const auto until = std::chrono::steady_clock::now() + drain;
    auto settled = [&] {
        std::lock_guard<std::mutex> hold(mutex_);
        return inflight_ == 0 && order_.empty() && events_.empty();
    };
    while (connected_ && !settled() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (connected_) {
        // The network thread sends the DISCONNECT; the broker then drops
        // the will. Bounded: the thread ends when the socket closes.
        {
            std::lock_guard<std::mutex> hold(mutex_);
            mosquitto_disconnect(client_);
        }
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

void Broker::OnConnect(mosquitto* client, void* self, int rc) {
    auto* b = static_cast<Broker*>(self);
    if (rc != 0) {
        b->refused_ = true;
        b->report(std::string("refused the connection: ") + mosquitto_connack_string(rc));
        return;
    }
    // The log only tells why a connect failed (every connect has a client
    // of its own). Connected, libmosquitto would format a line for every
    // packet sent and received, two per publication, only to have it
    // dropped here.
    mosquitto_log_callback_set(client, nullptr);
    std::fprintf(stderr, "kelvo-gateway: connected to %s:%d\n", b->settings_.host.c_str(),
                 b->settings_.effectivePort());
    b->connected_ = true;
    ++b->session_;
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

void Broker::OnPublish(mosquitto*, void* self, int mid) {
    auto* b = static_cast<Broker*>(self);
    std::uint64_t token = 0;
    {
        std::lock_guard<std::mutex> hold(b->mutex_);
        if (b->inflight_ > 0) --b->inflight_;
        const auto it = b->tracked_.find(mid);
        if (it != b->tracked_.end()) {
            token = it->second;
            b->tracked_.erase(it);
        }
    }
    if (token != 0 && b->handlers_.acked) b->handlers_.acked(token);
}

void Broker::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* b = static_cast<Broker*>(self);
    if (!b->handlers_.message || !m->topic) return;
    b->handlers_.message(
        m->topic,
        std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)),
        m->retain);
}

void Broker::OnLog(mosquitto*, void* self, int level, const char* text) {
    // libmosquitto logs OpenSSL's reasons ("OpenSSL Error[0]: ...") and
    // nothing else that the network thread does not see itself.
    if (level != MOSQ_LOG_ERR || !text) return;
    auto* b = static_cast<Broker*>(self);
    std::string line = text;
    const auto colon = line.find("]: ");
    if (line.rfind("OpenSSL Error", 0) == 0 && colon != std::string::npos) {
        line = line.substr(colon + 3);
    }
    if (line.rfind("Error: ", 0) == 0) line = line.substr(7);
    while (!line.empty() && (line.back() == '.' || line.back() == '\n')) line.pop_back();
    if (b->tlsError_.empty()) b->tlsError_ = line;
}

}  // namespace gateway
