#include "platform/host/scheduler.h"

#include <chrono>
#include <climits>
#include <thread>

namespace plat {

Scheduler::EventId Scheduler::at(VTime t, Fn fn)
{
    if (t < now_) t = now_;
    EventId id = next_id_++;
    Key key{t, seq_++};
    queue_.emplace(key, std::make_pair(id, std::move(fn)));
    index_.emplace(id, key);
    return id;
}

bool Scheduler::cancel(EventId id)
{
    auto it = index_.find(id);
    if (it == index_.end()) return false;
    queue_.erase(it->second);
    index_.erase(it);
    return true;
}

VTime Scheduler::next_time() const
{
    return queue_.empty() ? UINT64_MAX : queue_.begin()->first.first;
}

bool Scheduler::run_next()
{
    if (queue_.empty()) return false;
    auto it = queue_.begin();
    VTime t = it->first.first;
    Fn fn = std::move(it->second.second);
    index_.erase(it->second.first);
    queue_.erase(it);
    pace_to(t);
    now_ = t;
    fn();
    return true;
}

void Scheduler::run_until(VTime t)
{
    while (!queue_.empty() && queue_.begin()->first.first <= t) run_next();
    if (t > now_) {
        pace_to(t);
        now_ = t;
    }
}

void Scheduler::run_due()
{
    while (!queue_.empty() && queue_.begin()->first.first <= now_) run_next();
}

void Scheduler::clear()
{
    queue_.clear();
    index_.clear();
}

void Scheduler::pace_to(VTime t)
{
    if (pacing_ <= 0) {
        wall_origin_ns_ = -1;
        return;
    }
    using namespace std::chrono;
    int64_t wall = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
    if (wall_origin_ns_ < 0) {
        wall_origin_ns_ = wall;
        virt_origin_ = now_;
    }
    double due_ns = static_cast<double>(t - virt_origin_) * 1000.0 / pacing_;
    int64_t wait = wall_origin_ns_ + static_cast<int64_t>(due_ns) - wall;
    if (wait > 0) std::this_thread::sleep_for(nanoseconds(wait));
}

}  // namespace plat
