// The serial-attached modem adapter: the zelCOM port driver's ports and a scripted
// modem behind each. Every port is a socket in the run's root named for the port
// (platform/win32/serial_wire.h); the adapter runs on a thread of its own, paced by the
// wall clock.
//
// The modem takes AT command lines and answers in the forms the applet reads: the
// command echoed (E1), then "ati0" its product text, "ati11" the last call's report in
// two pages and "at&v" its settings in four (a carriage return asks for the next page),
// "ats<n>?" the register as three digits, set commands OK, and unknown ones ERROR; the
// result codes are words (V1) or digits (V0). It rings, raises and drops carrier, and
// hangs up when DTR drops in a call.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"

namespace sim::serial {

// The last call, as "ati11" reports it.
struct CallReport {
    std::string modulation = "V.34";
    unsigned initial_tx_rate = 33600, initial_rx_rate = 31200, final_tx_rate = 28800, final_rx_rate = 26400;
    std::string protocol = "LAPM";
    std::string compression = "V42bis";
    unsigned noise = 32;
    unsigned rx_power = 14, tx_power = 11, round_trip = 9, near_echo = 30, far_echo = 40;
    unsigned tx_frames = 120, tx_frame_errors = 2, rx_frames = 340, rx_frame_errors = 3;
    unsigned local_retrains = 1, remote_retrains = 0;
    unsigned termination = 47, robbed_bit = 0, digital_loss = 6;
};

struct ModemKnobs {
    unsigned reply_delay_ms = 20;  // before each reply
    bool silent = false;           // takes commands and answers nothing, not even the echo
    std::string version_text = "ZELMQPCI Modem Version 4.16j";  // the "ati0" report
    std::set<std::string> error_to;  // commands (as sent, without "at") answered ERROR
    bool hold_controls = false;      // the port driver leaves device controls unanswered
};

class SerialModemAdapter {
public:
    explicit SerialModemAdapter(std::filesystem::path root);
    ~SerialModemAdapter();
    SerialModemAdapter(const SerialModemAdapter&) = delete;
    SerialModemAdapter& operator=(const SerialModemAdapter&) = delete;

    // The ports the hive lists: the ShadowDeviceName of each "Port%d" key of the zelCOM
    // Parameters key, from 1 to its ZELPortCount.
    static std::vector<std::string> listed_ports(const plat::reg::Registry& hive);

    // Before start().
    bool add_port(const std::string& name, std::string* error);
    bool start(std::string* error);
    void stop();

    void set_knobs(const std::string& port, const ModemKnobs& knobs);
    void ring(const std::string& port);
    void raise_carrier(const std::string& port, const CallReport& report = {});
    void drop_carrier(const std::string& port);
    void lose_carrier(const std::string& port);      // carrier gone, the modem still off hook (DSR on)
    void set_dsr(const std::string& port, bool on);  // the modem off hook without carrier

    // What the host did.
    bool blocking(const std::string& port);
    bool dtr(const std::string& port);
    bool rts(const std::string& port);
    std::vector<std::string> commands(const std::string& port);  // every command line taken
    std::string setting(const std::string& port, const std::string& name);  // "s10", "&z0", "e", ...

private:
    struct Port;
    Port* find(const std::string& name);  // under lock_
    void run();
    void wake();

    std::filesystem::path root_;
    std::mutex lock_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::thread thread_;
    int wake_[2] = {-1, -1};
    bool stopping_ = false;
};

}  // namespace sim::serial
