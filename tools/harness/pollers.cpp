#include "tools/harness/pollers.h"

#include <poll.h>

#include <thread>
#include <vector>

namespace rig {

int Pollers::add(Fn fn, int fd)
{
    return add(std::move(fn), fd < 0 ? std::function<int()>() : std::function<int()>([fd] { return fd; }));
}

int Pollers::add(Fn fn, std::function<int()> fd_of)
{
    int id = next_id_++;
    entries_[id] = {std::move(fn), std::move(fd_of)};
    return id;
}

void Pollers::remove(int id) { entries_.erase(id); }

void Pollers::run()
{
    // A poller may add or remove pollers: run a snapshot of the ids.
    std::vector<int> ids;
    for (const auto& [id, e] : entries_) ids.push_back(id);
    for (int id : ids) {
        auto it = entries_.find(id);
        if (it == entries_.end()) continue;
        Fn fn = it->second.fn;  // the entry may go while it runs
        if (fn) fn();
    }
}

void Pollers::wait(std::chrono::microseconds most)
{
    std::vector<pollfd> fds;
    for (const auto& [id, e] : entries_) {
        int fd = e.fd_of ? e.fd_of() : -1;
        if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    }
    if (most.count() <= 0) return;
    if (fds.empty()) {
        std::this_thread::sleep_for(most);
        return;
    }
    int ms = int((most.count() + 999) / 1000);
    ::poll(fds.data(), fds.size(), ms);
}

}  // namespace rig
