// The point model: every unit's inputs and outputs as points, the one place
// between the unit workers (south) and the faces that show them (north: the
// MQTT topics, Home Assistant discovery...).
//
// A worker writes what it read; the model decides, by the unit's publishing
// policy, which points to report, and hands them to every face. A face never
// talks to a unit: it submits commands here, where they are checked once for
// every face and handed to the unit's worker; their outcome comes back to the
// face that submitted them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "commands.h"
#include "config.h"
#include "kelvo_models.h"

namespace gateway {

// GOOD: read at the last poll. STALE: the unit is online, but the value has
// not been read again for longer than the reply timeout plus two periods.
// OFFLINE: the unit does not answer; the value is the last one read.
enum class Quality { GOOD, STALE, OFFLINE };

struct UnitDescription {
    const KelvoModel* model = nullptr;
    std::uint8_t unitId = 0;
    std::uint8_t aux = 0;
    std::string address;
    std::string mac;       // empty: unknown
    std::string firmware;  // empty: unknown
    std::string name;      // the unit's own name, "KV-108-1"
    std::string topic;     // its topic level: the configured name, or `name`
    std::string gateway;   // the ID of the gateway that publishes it
    std::chrono::milliseconds period{100};
};

struct Point {
    Kind kind;
    unsigned position;
    PointSettings settings;
    std::int64_t raw = 0;  // as the unit gave it (an output: as written while it holds the bits)
    double value = 0;      // engineering value: raw, scaled when the point has a scale
    Quality quality = Quality::OFFLINE;
    std::chrono::system_clock::time_point readAt{};  // the epoch: never read
    bool read = false;

    // What was reported last, for the deadband and the heartbeat.
    bool reported = false;
    double reportedValue = 0;
    std::chrono::steady_clock::time_point reportedAt{};

    std::string topic() const;  // "ai/0"
    // The engineering value as text, with the point's decimals.
    std::string valueText() const;
};

// What a face is told. Calls come from the unit workers' threads, for one
// unit in order, with that unit's lock held: a face must not call back into
// the model for the same unit from them.
class Face {
  public:
    virtual ~Face() = default;
    virtual void unitAdded(std::size_t unit, const UnitDescription& description,
                           const std::vector<Point>& points) = 0;
    virtual void stateChanged(std::size_t unit, bool online) = 0;
    // A point to report: changed (past its deadband), polled in "poll" mode,
    // due for its heartbeat, or confirmed by a command (`always`: report it
    // even when it shows the same as before).
    virtual void pointReported(std::size_t unit, const Point& point, bool always) = 0;
    // A command this face submitted was refused (`outcome` null: nothing was
    // done) or may have been carried out (`outcome` "unknown").
    virtual void commandFailed(std::size_t unit, const CommandRequest& request,
                               const std::string& reason, const char* outcome) = 0;
    // A command this face submitted was carried out and confirmed by the
    // unit; its point was reported just before. For faces that answer each
    // command (HTTP, Modbus); request.tag tells which one it was.
    virtual void commandConfirmed(std::size_t unit, const CommandRequest& request) {
        (void)unit;
        (void)request;
    }
    // The quality of the unit's points changed. A unit's points are read in
    // one exchange, so they share it: OFFLINE while the unit does not
    // answer, STALE while it is online but has not been read for too long,
    // GOOD again once it is.
    virtual void qualityChanged(std::size_t unit, Quality quality) {
        (void)unit;
        (void)quality;
    }
};

// Where the model hands checked commands: the unit's worker. A reason when
// it cannot take the command now (full, stopping).
class CommandSink {
  public:
    virtual ~CommandSink() = default;
    virtual std::optional<std::string> enqueue(const Command& command,
                                               const CommandRequest& request) = 0;
};

class PointModel {
  public:
    explicit PointModel(const Settings& settings) : settings_(settings) {}

    void addFace(Face* face) { faces_.push_back(face); }  // before any unit is added

    // A new unit with a point for every position of its model; returns its
    // index. Units are never removed.
    std::size_t addUnit(const UnitDescription& description);
    void attach(std::size_t unit, CommandSink* sink);
    std::size_t size();
    const UnitDescription& description(std::size_t unit);
    // A unit by its topic level; nullopt when there is none.
    std::optional<std::size_t> find(const std::string& topic);

    // From the worker: a value read (or, with `confirmed`, just written).
    void update(std::size_t unit, Kind kind, unsigned position, std::int64_t raw,
                bool confirmed = false);
    // Everything one poll read, under one lock and one reading of the clocks.
    struct Reading {
        Kind kind;
        unsigned position;
        std::int64_t raw;
    };
    void updatePoll(std::size_t unit, const Reading* readings, std::size_t count);
    // A written digital port: the lines of `mask` now hold `value`.
    void confirmMasked(std::size_t unit, unsigned port, std::int64_t value, std::uint8_t mask);
    void setOnline(std::size_t unit, bool online);
    bool online(std::size_t unit);
    std::optional<Point> point(std::size_t unit, Kind kind, unsigned position);
    // Calls `look(points, online)` with the unit's lock held, for a face
    // that reads many points at once without copying them; `look` must not
    // call back into the model.
    template <typename Look>
    void visit(std::size_t index, Look&& look) {
        Unit& u = unit(index);
        std::lock_guard<std::mutex> hold(u.mutex);
        look(static_cast<const std::vector<Point>&>(u.points), u.online);
    }
    // Marks points STALE that have not been read for `after`.
    void sweep(std::chrono::steady_clock::duration after);

    // The one path for commands from every face: checks `request` against
    // the unit's model and settings and hands it to the worker; a refusal
    // goes back to request.origin.
    void submit(std::size_t unit, const CommandRequest& request);
    // From the worker: a command it could not carry out.
    void fail(std::size_t unit, const CommandRequest& request, const std::string& reason,
              const char* outcome = nullptr);
    // From the worker: a command carried out and confirmed (after its point
    // was updated).
    void confirmed(std::size_t unit, const CommandRequest& request);

    // Commands of every face so far, by outcome.
    struct CommandCounts {
        std::uint64_t confirmed = 0, refused = 0, unknown = 0;
    };
    CommandCounts commandCounts() const {
        return {confirmed_.load(), refused_.load(), unknown_.load()};
    }

  private:
    struct Unit {
        std::size_t index = 0;
        UnitDescription description;
        PublishMode publish;
        std::chrono::seconds heartbeat;
        std::mutex mutex;  // guards everything below
        std::vector<Point> points;
        bool online = false;
        bool announced = false;  // the state was told at least once
        Quality quality = Quality::OFFLINE;
        bool qualityTold = false;
        CommandSink* sink = nullptr;
        std::chrono::steady_clock::time_point polledAt{};
    };
    Unit& unit(std::size_t index);
    Point* find(Unit& u, Kind kind, unsigned position);
    // With u.mutex held: tells the faces when the unit's quality changes.
    void setQuality(Unit& u, Quality quality);
    struct Now {
        std::chrono::system_clock::time_point wall = std::chrono::system_clock::now();
        std::chrono::steady_clock::time_point steady = std::chrono::steady_clock::now();
    };
    void store(Unit& u, Point& p, std::int64_t raw, bool confirmed, const Now& now);

    const Settings& settings_;
    std::vector<Face*> faces_;
    // Guards the two below (each unit has its own lock); shared by the
    // lookups every poll makes, alone only to add a unit.
    std::shared_mutex unitsMutex_;
    std::vector<std::unique_ptr<Unit>> units_;
    std::map<std::string, std::size_t> byTopic_;
    std::atomic<std::uint64_t> confirmed_{0}, refused_{0}, unknown_{0};
};

}  // namespace gateway
