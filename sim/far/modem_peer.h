// A modem at the far end of a line, on the B channels its far end puts it on (the ISDN
// network side when a call on the channel is active, the robbed-bit far end when a
// channel is connected, or a test). It speaks to the adapter's modem processors only
// through frames on the line's channel, in the line signal below: each side sends its
// carrier (the answering modem its answer tone, the calling modem its calling carrier,
// both with the speed they offer); a side that hears the other's carrier is connected
// at the lower of the two speeds. Then data both ways, and a carrier-off when either
// side hangs up.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/host/history.h"
#include "platform/host/scheduler.h"
#include "sim/far/line.h"

namespace sim {

class IsdnNetworkSide;
class RobbedBitFarEnd;
struct CallInfo;

// The line signal of a modem connection: one frame per signal, its first byte the kind.
namespace modem_line {
enum Kind : uint8_t {
    kAnswerTone = 0xA1,      // + speed (32-bit little-endian): the answering modem's carrier
    kCallingCarrier = 0xA2,  // + speed: the calling modem's carrier
    kData = 0xA3,            // + the bytes carried
    kCarrierOff = 0xA4,      // the sender hung up
};
std::vector<uint8_t> carrier(Kind kind, uint32_t speed);
std::vector<uint8_t> data(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> carrier_off();
// The speed a carrier frame offers (0 when the frame is not a carrier).
uint32_t speed_of(const std::vector<uint8_t>& frame);
}  // namespace modem_line

class ModemPeer {
public:
    struct Config {
        bool answers = true;                  // false: hears the adapter's carrier and stays silent
        uint32_t speed = 33600;               // offered in its carrier
        plat::VTime reply_after = plat::ms(200);  // from hearing a carrier to sending its own
        bool echo = false;                    // sends back what it receives
    };
    enum class State { Off, Listening, Connected };

    ModemPeer(plat::Scheduler& sched, Line& line, Config config);
    ModemPeer(plat::Scheduler& sched, Line& line) : ModemPeer(sched, line, Config()) {}
    ~ModemPeer();
    ModemPeer(const ModemPeer&) = delete;
    ModemPeer& operator=(const ModemPeer&) = delete;

    // The far end puts the modem on a B channel, or takes it off (a connected modem
    // then loses its line: no carrier-off is sent, the adapter's modem hears silence).
    void put_on(unsigned channel);
    void take_off(unsigned channel);
    // Puts the modem on each B channel whose call becomes active (of the calls `which`
    // picks, all without it; never a call routed back to the adapter), takes it off
    // when the call clears.
    void follow(IsdnNetworkSide& net, std::function<bool(const CallInfo&)> which = {});
    // The same for the robbed-bit far end's connected channels (watched every 10 ms).
    void follow(RobbedBitFarEnd& far_end);

    // The modem calls: it sends its calling carrier on the channel (it is put on it).
    void originate(unsigned channel);
    // Drops the carrier of a connected channel: carrier-off to the adapter.
    bool hang_up(unsigned channel);
    // Sends data on a connected channel; false when not connected.
    bool send(unsigned channel, const std::vector<uint8_t>& bytes);

    // Data heard on a connected channel goes to the sink instead of being kept.
    using DataSink = std::function<void(unsigned channel, const std::vector<uint8_t>& bytes)>;
    void on_data(DataSink sink) { data_sink_ = std::move(sink); }

    void set_config(const Config& c) { cfg_ = c; }
    State state(unsigned channel) const { return ch_.at(channel).state; }
    uint32_t speed(unsigned channel) const { return ch_.at(channel).speed; }
    // Data received per channel, bounded: at the limit the older half goes.
    const std::vector<std::vector<uint8_t>>& received(unsigned channel) const { return ch_.at(channel).received; }
    void set_received_limit(size_t frames) { received_limit_ = frames; }
    unsigned hangups_heard(unsigned channel) const { return ch_.at(channel).hangups_heard; }
    unsigned connects(unsigned channel) const { return ch_.at(channel).connects; }
    // Calls the modem was put on, and those of them it connected on (once a call, however often).
    unsigned calls(unsigned channel) const { return ch_.at(channel).calls; }
    unsigned calls_connected(unsigned channel) const { return ch_.at(channel).calls_connected; }

    static constexpr unsigned kChannels = 32;

private:
    struct Channel {
        State state = State::Off;
        bool calling = false;  // we originated: our carrier is the calling carrier
        uint32_t speed = 0;
        plat::Scheduler::EventId reply = 0;
        std::vector<std::vector<uint8_t>> received;
        unsigned hangups_heard = 0, connects = 0;
        unsigned calls = 0, calls_connected = 0;
        bool connected_this_call = false;
    };
    void from_line(uint32_t channels, const std::vector<uint8_t>& frame);
    void heard(unsigned channel, const std::vector<uint8_t>& frame);
    void to_line(unsigned channel, const std::vector<uint8_t>& frame) { line_.frame_to_adapter(1u << channel, frame); }
    void cancel(Channel& c);
    void watch_robbed_bit();

    plat::Scheduler& sched_;
    Line& line_;
    Config cfg_;
    size_t received_limit_ = plat::kHistoryLimit;
    std::array<Channel, kChannels> ch_{};
    std::shared_ptr<ModemPeer*> self_;
    DataSink data_sink_;
    RobbedBitFarEnd* robbed_bit_ = nullptr;
    plat::Scheduler::EventId watch_ = 0;
};

}  // namespace sim
