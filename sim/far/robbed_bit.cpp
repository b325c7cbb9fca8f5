#include "sim/far/robbed_bit.h"
#include "platform/host/history.h"

#include <sstream>

namespace sim {

const char* RobbedBitFarEnd::name(Event e)
{
    switch (e) {
    case Event::Seized: return "Seized";
    case Event::Winked: return "Winked";
    case Event::Answered: return "Answered";
    case Event::Cleared: return "Cleared";
    case Event::AdapterSeized: return "AdapterSeized";
    case Event::AdapterWink: return "AdapterWink";
    case Event::AdapterAnswered: return "AdapterAnswered";
    case Event::AdapterCleared: return "AdapterCleared";
    }
    return "?";
}

RobbedBitFarEnd::RobbedBitFarEnd(plat::Scheduler& sched, Line& line, Protocol protocol, Timing timing)
    : sched_(sched), line_(line), protocol_(protocol), timing_(timing)
{
    for (unsigned k = 0; k < kChannels; k++) {
        send(k, false);
        ch_[k].raw_since = ch_[k].level_since = sched_.now();
    }
    sample_event_ = sched_.after(timing_.sample, [this] { sample(); });
}

RobbedBitFarEnd::~RobbedBitFarEnd()
{
    sched_.cancel(sample_event_);
    sched_.cancel(pause_event_);
    for (auto& c : ch_) sched_.cancel(c.wink_event);
}

void RobbedBitFarEnd::note(unsigned k, Event e)
{
    plat::push_bounded(log_, Record{sched_.now(), k, e});
    advance_script();
}

size_t RobbedBitFarEnd::count(unsigned channel, Event e) const
{
    size_t n = 0;
    for (const auto& r : log_) n += r.channel == channel && r.event == e;
    return n;
}

plat::VTime RobbedBitFarEnd::first(unsigned channel, Event e, plat::VTime from) const
{
    for (const auto& r : log_)
        if (r.channel == channel && r.event == e && r.time >= from) return r.time;
    return 0;
}

// ---- actions ----

bool RobbedBitFarEnd::seizable(unsigned k) const
{
    if (k >= kChannels || ch_[k].state != State::Idle) return false;
    return !ch_[k].guarded || sched_.now() - ch_[k].idle_since >= timing_.idle_guard;
}

void RobbedBitFarEnd::to_idle(Channel& c)
{
    c.state = State::Idle;
    c.guarded = true;
    c.idle_since = sched_.now();
}

bool RobbedBitFarEnd::seize(unsigned k)
{
    if (!seizable(k)) return false;
    send(k, true);
    ch_[k].state = protocol_ == Protocol::Wink ? State::Calling : State::AwaitAnswer;
    ch_[k].wink_seen_off = false;
    note(k, Event::Seized);
    return true;
}

bool RobbedBitFarEnd::answer(unsigned k)
{
    if (k >= kChannels || ch_[k].state != State::Called) return false;
    sched_.cancel(ch_[k].wink_event);
    ch_[k].wink_event = 0;
    send(k, true);
    ch_[k].state = State::Connected;
    note(k, Event::Answered);
    return true;
}

bool RobbedBitFarEnd::clear(unsigned k)
{
    if (k >= kChannels || ch_[k].state == State::Idle || ch_[k].state == State::Clearing) return false;
    sched_.cancel(ch_[k].wink_event);
    ch_[k].wink_event = 0;
    send(k, false);
    if (ch_[k].level_off) ch_[k].state = State::Clearing;
    else to_idle(ch_[k]);
    note(k, Event::Cleared);
    return true;
}

void RobbedBitFarEnd::start_wink(unsigned k)
{
    ch_[k].wink_event = sched_.after(timing_.wink_delay, [this, k] {
        if (ch_[k].state != State::Called) return;
        send(k, true);
        note(k, Event::Winked);
        ch_[k].wink_event = sched_.after(timing_.wink_length, [this, k] {
            ch_[k].wink_event = 0;
            if (ch_[k].state == State::Called) send(k, false);
        });
    });
}

// ---- watching the adapter ----

void RobbedBitFarEnd::sample()
{
    plat::VTime now = sched_.now();
    for (unsigned k = 0; k < kChannels; k++) {
        Channel& c = ch_[k];
        uint8_t bits = line_.tx_robbed[k] & 0x0F;
        // Only the two hook patterns count; anything else keeps the last judgement.
        if (bits == kOffHook || bits == kOnHook) {
            bool off = bits == kOffHook;
            if (off != c.raw_off) {
                c.raw_off = off;
                c.raw_since = now;
            }
        }
        if (c.raw_off != c.level_off && now - c.raw_since >= timing_.hit) {
            c.level_off = c.raw_off;
            c.level_since = c.raw_since;
            adapter_changed(k, c.level_off);
        }
        check_timed(k);
    }
    sample_event_ = sched_.after(timing_.sample, [this] { sample(); });
}

void RobbedBitFarEnd::adapter_changed(unsigned k, bool off)
{
    Channel& c = ch_[k];
    switch (c.state) {
    case State::Idle:
        if (!off) break;
        c.state = State::Called;
        note(k, Event::AdapterSeized);
        if (protocol_ == Protocol::Wink) start_wink(k);
        break;
    case State::Calling:  // wink start: off-hook begins the wink, on-hook ends it
        if (off) {
            c.wink_seen_off = true;
        } else if (c.wink_seen_off) {
            c.state = State::AwaitAnswer;
            note(k, Event::AdapterWink);
        }
        break;
    case State::AwaitAnswer:
        if (!off) break;
        c.state = State::Connected;
        note(k, Event::AdapterAnswered);
        break;
    case State::Clearing:
        if (off) break;
        to_idle(c);
        note(k, Event::AdapterCleared);
        break;
    case State::Called:
    case State::Connected: break;  // an on-hook counts once it has lasted clear_hold
    }
}

void RobbedBitFarEnd::check_timed(unsigned k)
{
    Channel& c = ch_[k];
    plat::VTime held = sched_.now() - c.level_since;
    if (c.state == State::Calling && c.level_off && held > timing_.wink_max) {
        // An off-hook too long for a wink: the adapter answered without winking.
        c.state = State::Connected;
        note(k, Event::AdapterAnswered);
        return;
    }
    if ((c.state == State::Called || c.state == State::Connected) && !c.level_off && held >= timing_.clear_hold) {
        sched_.cancel(c.wink_event);
        c.wink_event = 0;
        send(k, false);
        to_idle(c);
        note(k, Event::AdapterCleared);
    }
}

// ---- script ----

void RobbedBitFarEnd::run(std::vector<Step> script)
{
    sched_.cancel(pause_event_);
    script_ = std::move(script);
    script_pos_ = 0;
    failure_.clear();
    step_began_ = sched_.now();
    advance_script();
}

void RobbedBitFarEnd::advance_script()
{
    while (script_pos_ < script_.size() && failure_.empty()) {
        const Step& s = script_[script_pos_];
        std::ostringstream why;
        why << "step " << script_pos_ << " on channel " << s.channel << ": ";
        switch (s.kind) {
        case Step::Seize:
        case Step::Answer:
        case Step::Clear: {
            // The action's own note re-enters here; move on first.
            Step::Kind kind = s.kind;
            unsigned channel = s.channel;
            script_pos_++;
            step_began_ = sched_.now();
            bool ok = kind == Step::Seize ? seize(channel) : kind == Step::Answer ? answer(channel) : clear(channel);
            if (!ok) {
                why << "the action is not possible in this state";
                failure_ = why.str();
            }
            return;
        }
        case Step::Pause:
            if (pause_event_ != 0 && sched_.pending(pause_event_)) return;
            if (sched_.now() - step_began_ < s.time) {
                pause_event_ = sched_.at(step_began_ + s.time, [this] {
                    pause_event_ = 0;
                    advance_script();
                });
                return;
            }
            break;
        case Step::Await:
            if (first(s.channel, s.event, step_began_) == 0) {
                if (sched_.now() - step_began_ >= s.time) {
                    why << "no " << name(s.event) << " within " << s.time / 1000 << " ms";
                    failure_ = why.str();
                    return;
                }
                if (pause_event_ == 0 || !sched_.pending(pause_event_))
                    pause_event_ = sched_.at(step_began_ + s.time, [this] {
                        pause_event_ = 0;
                        advance_script();
                    });
                return;
            }
            sched_.cancel(pause_event_);
            pause_event_ = 0;
            break;
        }
        script_pos_++;
        step_began_ = sched_.now();
    }
}

}  // namespace sim
