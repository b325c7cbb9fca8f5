// Work that other components of a serving run (device servers, terminal bridges, socket
// peers) do on the simulator's own thread, between two events of the virtual clock.
//
// A component registers a poller: a function, and optionally a descriptor. The serving
// loop runs every poller after each batch of clock events it has run, and while it waits
// for the wall clock to reach the next event it sleeps in poll(2) on the registered
// descriptors, so input on any of them wakes it at once. A poller may do anything the
// simulator's thread may do: call into the driver's entries, touch device models, add or
// remove pollers (the change takes effect at the next round), or ask for a restart.
//
//     int id = job.pollers().add([&] { server.poll(); }, server.fd());
//     ...
//     job.pollers().remove(id);
#pragma once

#include <chrono>
#include <functional>
#include <map>

namespace rig {

class Pollers {
public:
    using Fn = std::function<void()>;
    // fd >= 0: the serving loop also wakes when it is readable. Answers an id for remove().
    int add(Fn fn, int fd = -1);
    // fd_of answers the descriptor to wait on now (it may change, e.g. listener then connection).
    int add(Fn fn, std::function<int()> fd_of);
    void remove(int id);
    size_t size() const { return entries_.size(); }

    // Runs every poller once.
    void run();
    // Sleeps until a registered descriptor is readable or `most` has passed.
    void wait(std::chrono::microseconds most);

private:
    struct Entry {
        Fn fn;
        std::function<int()> fd_of;
    };
    std::map<int, Entry> entries_;
    int next_id_ = 1;
};

}  // namespace rig
