// Every COM port of a running rig as a pseudo-terminal, for terminal programs
// (minicom, screen, pyserial) on this machine. Each port listed in the device map's
// SERIALCOMM key gets a pty; a symbolic link named after the port ("COM5") in the
// bridge's directory points at its terminal side ("/dev/pts/7"). Bytes typed into the
// terminal are written to the port through the Win32-side client, and what the port
// reads goes to the terminal. The port is opened (with DTR up) as soon as it can be,
// and again after the driver refused it (no free modem channel yet). DTR is up while a
// terminal program has the pty open with an output speed other than 0: closing it, or
// setting speed 0 (its hang-up), drops DTR as on a serial line.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/nt/win32.h"

namespace rig {

class PtyBridge {
public:
    struct Port {
        std::string com;       // "COM5"
        std::string terminal;  // "/dev/pts/7"
        std::string link;      // DIR/COM5
        int master = -1;
        plat::nt::HANDLE handle = plat::nt::INVALID_HANDLE_VALUE;
        plat::VTime next_open = 0;
        bool dtr = false;      // as last set on the port
        bool program = false;  // a program had the terminal open when last served
        bool told_ready = false;  // on_ready was called for it
        std::unique_ptr<plat::nt::Request> read;
        std::vector<std::unique_ptr<plat::nt::Request>> writes;
        std::string to_terminal;  // read from the port, not yet taken by the terminal
    };

    PtyBridge(plat::Host& host, std::string dir);
    ~PtyBridge();
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    // Creates the ptys and links for the ports now in the device map; false with the reason.
    // The directory is locked (its lock file) for as long as the bridge runs: a second
    // bridge on it is refused. A link already there is replaced only when it points at a
    // pseudo-terminal (an earlier run's, gone with its process); anything else is refused.
    bool start(std::string* error);
    const std::vector<std::unique_ptr<Port>>& ports() const { return ports_; }
    // One pass: opens ports not yet open, moves typed bytes to the ports and what they
    // read to the terminals. Never blocks.
    void poll();
    // Runs the host's clock paced to the wall clock for `duration` of virtual time, or
    // until `stop` answers true, serving the terminals as it goes.
    void run_paced(plat::VTime duration, const std::function<bool()>& stop = {});
    // Closes every port (clean-up, close) and the ptys, removes the links (those still
    // pointing at its terminals) and unlocks the directory.
    void stop();
    // Called once per port, when it first opens (its modem takes AT commands from then on).
    std::function<void(const Port&)> on_ready;

    // Set by SIGINT and SIGTERM once stop_on_signals() was called.
    static std::atomic<bool> signalled;
    static void stop_on_signals();

private:
    void open_port(Port& p);
    void serve(Port& p);
    void follow_dtr(Port& p);
    void close_for_gone_terminal(Port& p);
    plat::Host& host_;
    std::string dir_;
    int lock_fd_ = -1;  // holds the directory's lock while the bridge runs
    plat::nt::Win32Client client_;
    std::vector<std::unique_ptr<Port>> ports_;
};

// The main job's paced run with every COM port on a pty under `dir`: prints one line
// per port ("COM5 -> /dev/pts/7") to `out`, serves the terminals for `duration` of
// virtual time (or until SIGINT or SIGTERM), then closes the ports. False with the
// reason when no pty could be made.
bool run_with_com_ptys(plat::Host& host, const std::string& dir, plat::VTime duration, std::FILE* out,
                       std::string* error);

}  // namespace rig
