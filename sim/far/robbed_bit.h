// The far end of a robbed-bit trunk: drives the A, B, C, D bits of a line's channels
// (Line::rx_robbed) and watches what the adapter sends (Line::tx_robbed), in one of
// the three start protocols: immediate, wink and E&M. It acts only on the adapter's
// bits and on its script:
//   we seize a channel (off-hook); wink start: the adapter's wink (an off-hook pulse
//   no longer than wink_max) must come first; then the adapter's off-hook answers;
//   the adapter seizes a channel: wink start: we wink after wink_delay; then the
//   script answers (off-hook);
//   either side clears by going on-hook; the adapter's on-hook counts as a clear once
//   it has lasted clear_hold (shorter on-hook pulses, such as the gap after an E&M
//   answer wink, are not a clear); when the adapter clears we go on-hook too.
// The adapter's bits are sampled every `sample` and must hold for `hit` to count.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/scheduler.h"
#include "sim/far/line.h"

namespace sim {

class RobbedBitFarEnd {
public:
    enum class Protocol { Immediate, Wink, EarAndMouth };

    struct Timing {
        plat::VTime sample = plat::ms(1);
        plat::VTime hit = plat::ms(20);
        plat::VTime wink_delay = plat::ms(100);
        plat::VTime wink_length = plat::ms(200);
        plat::VTime wink_max = plat::ms(1500);
        plat::VTime clear_hold = plat::ms(300);
        // After a call on a channel has cleared, the channel is not seized again for this
        // long: a switch's guard, which outlasts the adapter's own idle guard.
        plat::VTime idle_guard = plat::ms(3000);
    };

    // Bits for on-hook and off-hook, both directions.
    static constexpr uint8_t kOnHook = 0x0;
    static constexpr uint8_t kOffHook = 0xF;

    enum class Event {
        Seized,           // we went off-hook to call the adapter
        Winked,           // we winked in answer to the adapter's seizure
        Answered,         // we answered the adapter's call
        Cleared,          // we went on-hook to clear
        AdapterSeized,    // the adapter went off-hook on an idle channel
        AdapterWink,      // the adapter winked in answer to our seizure
        AdapterAnswered,  // the adapter answered our call
        AdapterCleared,   // the adapter went (and stayed) on-hook on a call
    };
    static const char* name(Event e);

    enum class State {
        Idle,
        Calling,      // we seized; wink start: waiting for the adapter's wink
        AwaitAnswer,  // we seized (and saw the wink): waiting for the adapter's off-hook
        Called,       // the adapter seized us; waiting for the script to answer
        Connected,
        Clearing,     // we cleared; waiting for the adapter's on-hook
    };

    struct Record {
        plat::VTime time = 0;
        unsigned channel = 0;
        Event event = Event::Seized;
    };

    // One script step: an action now, a pause, or waiting (at most `time`) for an
    // event on a channel that has not been seen before the step began.
    struct Step {
        enum Kind { Seize, Answer, Clear, Pause, Await } kind = Pause;
        unsigned channel = 0;
        Event event = Event::Seized;
        plat::VTime time = 0;
    };

    RobbedBitFarEnd(plat::Scheduler& sched, Line& line, Protocol protocol, Timing timing);
    RobbedBitFarEnd(plat::Scheduler& sched, Line& line, Protocol protocol)
        : RobbedBitFarEnd(sched, line, protocol, Timing()) {}
    ~RobbedBitFarEnd();
    RobbedBitFarEnd(const RobbedBitFarEnd&) = delete;
    RobbedBitFarEnd& operator=(const RobbedBitFarEnd&) = delete;

    // Actions; false when the channel's state does not allow it (or no such channel); a
    // channel in its idle guard is not seized.
    bool seize(unsigned channel);
    bool answer(unsigned channel);
    bool clear(unsigned channel);

    // Runs a script from now on; done() once its last step has run, failure() says
    // which step timed out (the script then stops).
    void run(std::vector<Step> script);
    bool done() const { return script_pos_ >= script_.size() && failure_.empty(); }
    const std::string& failure() const { return failure_; }

    State state(unsigned channel) const { return ch_.at(channel).state; }
    // Idle, and its guard after the last call over.
    bool seizable(unsigned channel) const;
    bool adapter_off_hook(unsigned channel) const { return ch_.at(channel).level_off; }
    const std::vector<Record>& log() const { return log_; }
    void clear_log() { log_.clear(); }
    size_t count(unsigned channel, Event e) const;
    // Time of the first record of the event on the channel at or after `from`; 0 when none.
    plat::VTime first(unsigned channel, Event e, plat::VTime from = 0) const;

    static constexpr unsigned kChannels = 32;

private:
    struct Channel {
        State state = State::Idle;
        bool raw_off = false;        // the adapter's bits, last sample
        plat::VTime raw_since = 0;
        bool level_off = false;      // the adapter's bits, held for `hit`
        plat::VTime level_since = 0;
        bool wink_seen_off = false;  // Calling, wink start: the adapter's wink began
        uint64_t wink_event = 0;
        bool guarded = false;        // a call has cleared: idle_guard runs from idle_since
        plat::VTime idle_since = 0;
    };
    void to_idle(Channel& c);

    void sample();
    void adapter_changed(unsigned k, bool off);
    void check_timed(unsigned k);
    void send(unsigned k, bool off) { line_.rx_robbed[k] = off ? kOffHook : kOnHook; }
    void note(unsigned k, Event e);
    void advance_script();
    void start_wink(unsigned k);

    plat::Scheduler& sched_;
    Line& line_;
    Protocol protocol_;
    Timing timing_;
    std::array<Channel, kChannels> ch_{};
    std::vector<Record> log_;
    uint64_t sample_event_ = 0;

    std::vector<Step> script_;
    size_t script_pos_ = 0;
    plat::VTime step_began_ = 0;
    uint64_t pause_event_ = 0;
    std::string failure_;
};

}  // namespace sim
