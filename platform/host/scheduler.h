// Virtual clock and event scheduler. Events run in order of time, then of insertion.
// Nothing runs on its own thread: run_for / run_until advance the clock event by event.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>

namespace plat {

using VTime = uint64_t;  // microseconds of virtual time

constexpr VTime ms(uint64_t n) { return n * 1000; }

class Scheduler {
public:
    using EventId = uint64_t;
    using Fn = std::function<void()>;

    VTime now() const { return now_; }

    EventId at(VTime t, Fn fn);                    // t before now runs at now
    EventId after(VTime dt, Fn fn) { return at(now_ + dt, std::move(fn)); }
    bool cancel(EventId id);                       // false when not pending
    bool pending(EventId id) const { return index_.count(id) != 0; }
    size_t size() const { return queue_.size(); }
    VTime next_time() const;                       // UINT64_MAX when empty

    bool run_next();                               // false when empty
    void run_until(VTime t);                       // every event at or before t; clock ends at t
    void run_for(VTime dt) { run_until(now_ + dt); }
    // Runs events due now (time <= now) only.
    void run_due();

    // Real-time pacing: virtual time advances no faster than factor x wall time (0 = off).
    void set_pacing(double factor) { pacing_ = factor; }
    double pacing() const { return pacing_; }

    void clear();

private:
    using Key = std::pair<VTime, uint64_t>;
    void pace_to(VTime t);
    std::map<Key, std::pair<EventId, Fn>> queue_;
    std::unordered_map<EventId, Key> index_;
    VTime now_ = 0;
    uint64_t seq_ = 0;
    EventId next_id_ = 1;
    double pacing_ = 0;
    int64_t wall_origin_ns_ = -1;
    VTime virt_origin_ = 0;
};

}  // namespace plat
