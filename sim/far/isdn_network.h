// The network side of an ISDN primary-rate line, as the far end of a simulated Line:
// LAPD (Q.921) on SAPI 0 with the network's C/R sense, TEI management answers, and a
// Q.931 network side for the five switch variants, scripted by tests. It speaks to the
// adapter only through D-channel frames on the line.
//
// Layer 2: a multiple-frame link with V(S), V(A), V(R), window k, T200/N200 and T203
// on the host's virtual clock; SABME either way, DISC/DM, RR/RNR/REJ, timer recovery.
// Frames it cannot parse are counted and dropped; never trusted. Tests can make it
// lose, double, swap or cut the frames it sends, withhold its acknowledgements until
// polled, or give them only inside its own I-frames.
//
// Layer 3: one record per call (key: call reference and which side allocated it),
// network call states N0..N19, answers driven by a table of (states, message) rows and
// an answer policy for calls the adapter places. Everything it sends or receives goes
// to the event log with its decoded elements, and optionally to a LINUX_LAPD pcap file.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/history.h"
#include "platform/host/host.h"
#include "sim/far/line.h"
#include "sim/far/q931.h"

namespace sim {

enum class SwitchVariant : uint8_t { Ess5 = 1, Ni1 = 2, Dms100 = 3, EuroIsdn = 4, Vn4 = 5 };

// What a variant changes in what the network sends; data, read by the call handling.
struct VariantProfile {
    SwitchVariant variant;
    const char* name;
    uint8_t incompatible_state_cause;  // cause in STATUS for a message the call state does not take
    bool exclusive_channel;            // SETUP towards the user names its channel exclusive
    bool call_proceeding;              // a SETUP from the user is answered first by CALL PROCEEDING
    bool may_change_channel;           // a busy preferred channel is replaced by a free one (else cause 44)
    bool progress_in_alerting;         // ALERTING of a speech call carries progress indicator 8
    bool progress_in_disconnect;       // DISCONNECT towards the user carries progress indicator 8
    bool display_calling;              // SETUP carries the calling number in a display element
    bool north_american_numbers;       // 10 / 7 digits typed national / subscriber, E.164 plan
    bool sending_complete;             // SETUP towards the user carries sending complete
};
const VariantProfile& variant_profile(SwitchVariant v);

// Network call states (Q.931 N-states).
enum class NetState : uint8_t {
    Null = 0,
    CallInitiated = 1,
    OutgoingProceeding = 3,
    CallDelivered = 4,
    CallPresent = 6,
    CallReceived = 7,
    ConnectRequest = 8,
    IncomingProceeding = 9,
    Active = 10,
    DisconnectRequest = 11,
    DisconnectIndication = 12,
    ReleaseRequest = 19,
};
const char* net_state_name(NetState s);

enum class L2State : uint8_t { Released = 4, AwaitingEstablishment = 5, AwaitingRelease = 6, Established = 7, TimerRecovery = 8 };
const char* l2_state_name(L2State s);

struct CallKey {
    uint16_t ref = 0;
    bool user_originated = false;  // the adapter allocated the reference
    auto operator<=>(const CallKey&) const = default;
};

struct CallInfo {
    CallKey key;
    unsigned channel = 0;
    NetState state = NetState::Null;
    std::string called, calling;
    q931::Bearer bearer;
    uint8_t last_cause = 0;         // last cause received from the user (0: none)
    bool connect_acknowledged = false;
    bool routed_back = false;       // one leg of a call from the adapter to one of its own numbers
};

// What the network does with a call the adapter places.
struct AnswerPolicy {
    enum class Action {
        Connect,  // [CALL PROCEEDING], ALERTING, CONNECT
        NoAnswer, // [CALL PROCEEDING], ALERTING, then DISCONNECT cause 19
        Busy,     // [CALL PROCEEDING], DISCONNECT cause 17
        Reject,   // RELEASE COMPLETE with `cause`
        Manual,   // nothing; the test calls proceed/alert/connect/reject
    } action = Action::Connect;
    plat::VTime alert_after = plat::ms(20);
    plat::VTime connect_after = plat::ms(100);
    plat::VTime no_answer_after = plat::ms(30000);
    uint8_t cause = q931::cause::kCallRejected;
};

struct IsdnNetworkConfig {
    SwitchVariant variant = SwitchVariant::Ess5;
    bool e1 = false;
    uint32_t d_channel_mask = 0;  // 0: time slot 24 (T1) or 16 (E1)
    uint8_t tei = 0;
    unsigned k = 7;
    unsigned n200 = 3;
    plat::VTime t200 = plat::ms(1000);
    plat::VTime t203 = plat::ms(10000);
    plat::VTime t303 = plat::ms(4000);
    plat::VTime t305 = plat::ms(30000);
    plat::VTime t308 = plat::ms(4000);
    plat::VTime t316 = plat::ms(120000);
    plat::VTime turnaround = 0;  // from deciding to send a frame to its delivery on the line
    // Not 0: the network keeps its link up as a switch does, with SABME whenever layer 1
    // is up and the link released, and again this long after each attempt that failed.
    plat::VTime keep_link_up = 0;
    // ALERTING and CONNECT towards the user repeat the call's bearer capability.
    bool bearer_in_answers = false;
    // Identity requests go unanswered: the network addresses `tei` and waits for the
    // user's SABME on it, as a primary-rate switch with a fixed TEI does.
    bool ignore_identity_requests = false;
    // The adapter's own directory numbers on this line. A call the adapter places to
    // one of them is routed back: the network offers it to the adapter on a free
    // channel (calling number: the caller's), passes the alerting and the answer on to
    // the caller, carries the B-channel bytes between the two channels while both legs
    // are active, and clears each leg when the other clears.
    std::vector<std::string> adapter_numbers;
};

// A fault put on the next frame the network sends (of the kind asked for).
enum class FrameFault : uint8_t {
    Drop,       // never reaches the line
    Duplicate,  // reaches it twice
    Reorder,    // reaches it after the frame sent next
    Runt,       // only its first two octets reach it
};

struct IsdnCounters {
    uint64_t frames_in = 0, frames_out = 0;
    uint64_t malformed = 0;       // frames that do not parse, or break the procedure
    uint64_t ignored = 0;         // other SAPI or TEI, or not expected in the state
    uint64_t i_in = 0, i_out = 0, retransmitted = 0;
    uint64_t rr_in = 0, rnr_in = 0, rej_in = 0, rej_out = 0, frmr_in = 0;
    uint64_t t200_expiries = 0, reestablishments = 0;
    uint64_t messages_in = 0, messages_out = 0, bad_messages = 0;
    uint64_t identity_requests = 0;
};

struct IsdnEvent {
    enum class Kind { FrameIn, FrameOut, Malformed, Layer2, MessageIn, MessageOut, CallState, Note } kind;
    plat::VTime time = 0;
    std::string text;
    std::optional<q931::Message> message;  // MessageIn / MessageOut
    L2State l2 = L2State::Released;        // Layer2
    std::optional<CallKey> call;           // CallState (and messages of a call)
    NetState state = NetState::Null;       // CallState
};

// Writes D-channel frames as a pcap file of link type LINUX_LAPD (177): every record
// starts with the 16-octet LAPD header (packet type 0 received / 4 sent by us, the
// first link-layer address octet 1 = we are the network side, protocol 0x0030).
// Opened with interface names it writes pcapng instead, one interface per name (a
// board's lines), and each frame on the interface its writer gives.
class LapdPcapWriter {
public:
    static constexpr uint32_t kLinkType = 177;
    bool open(const std::string& path);
    bool open(const std::string& path, const std::vector<std::string>& interfaces);
    void close() { out_.close(); }
    bool is_open() const { return out_.is_open(); }
    void write(plat::VTime t, bool sent_by_network, const std::vector<uint8_t>& frame, uint32_t interface = 0);
    static std::vector<uint8_t> file_header();
    static std::vector<uint8_t> record(plat::VTime t, bool sent_by_network, const std::vector<uint8_t>& frame);
    // pcapng: the section header, an interface description, an enhanced packet block.
    static std::vector<uint8_t> section_header();
    static std::vector<uint8_t> interface_block(const std::string& name);
    static std::vector<uint8_t> packet_block(plat::VTime t, bool sent_by_network, const std::vector<uint8_t>& frame,
                                             uint32_t interface);

private:
    std::ofstream out_;
    bool ng_ = false;
    size_t interfaces_ = 0;
};

class IsdnNetworkSide {
public:
    IsdnNetworkSide(plat::Host& host, Line& line, IsdnNetworkConfig config = {});
    ~IsdnNetworkSide();
    IsdnNetworkSide(const IsdnNetworkSide&) = delete;
    IsdnNetworkSide& operator=(const IsdnNetworkSide&) = delete;

    const IsdnNetworkConfig& config() const { return cfg_; }
    const VariantProfile& profile() const { return *profile_; }
    uint32_t d_channel_mask() const { return mask_; }
    bool is_bearer_channel(unsigned channel) const;

    // Layer 2.
    L2State l2_state() const { return l2_; }
    bool link_up() const { return l2_ == L2State::Established || l2_ == L2State::TimerRecovery; }
    void establish();                      // SABME
    void release();                        // DISC
    void set_receiver_busy(bool busy);     // RNR while busy
    // Faults on frames sent, each for the next frame that is an I-frame (or any frame).
    void inject(FrameFault fault, bool i_frames_only = true);
    size_t faults_pending() const { return faults_.size(); }
    void clear_faults() { faults_.clear(); }  // those no frame has met yet
    // While set, received I-frames are not acknowledged: no RR, and the network's
    // I-frames carry the N(R) last given; a poll is answered with the true V(R), which
    // ends the withholding.
    void withhold_acknowledgement(bool on);
    // While set, received I-frames are acknowledged only in the N(R) of the network's
    // next I-frame (or the answer to a poll), never by an RR of their own.
    void acknowledge_by_piggyback(bool on) { piggyback_ = on; }
    uint8_t vs() const { return vs_; }
    uint8_t va() const { return va_; }
    uint8_t vr() const { return vr_; }

    // Layer 3 scripting. Results are false / nullopt when the link is down or the call
    // or channel does not fit.
    std::optional<CallKey> offer_call(unsigned channel, const std::string& called, const std::string& calling,
                                      const q931::Bearer& bearer);
    bool clear_call(CallKey key, uint8_t cause = q931::cause::kNormalClearing);
    bool clear_channel(unsigned channel, uint8_t cause = q931::cause::kNormalClearing);
    bool restart(unsigned channel);  // RESTART of one channel (class 0)
    bool restart_all_of(uint8_t cls);
    bool restart_all();              // RESTART of all interfaces (class 7)
    bool restart_interface();        // RESTART of this interface (class 6, no channel)
    bool status_enquiry(CallKey key);  // none while the link still holds one for the call
    bool proceed(CallKey key);
    bool alert(CallKey key);
    bool connect(CallKey key);
    bool reject(CallKey key, uint8_t cause);
    bool send_message(const q931::Message& m);  // as is, for tests of the adapter's error paths

    void set_answer_policy(const AnswerPolicy& p) { policy_ = p; policy_fn_ = nullptr; }
    void set_answer_policy(std::function<AnswerPolicy(const CallInfo&)> fn) { policy_fn_ = std::move(fn); }

    std::vector<CallInfo> calls() const;
    std::optional<CallInfo> call(CallKey key) const;
    std::optional<CallInfo> call_on_channel(unsigned channel) const;
    NetState channel_state(unsigned channel) const;
    bool restart_pending() const { return restart_.active; }

    // Observation.
    // The events, bounded: at the limit the older half goes.
    const std::vector<IsdnEvent>& log() const { return log_; }
    void clear_log() { log_.clear(); }
    void set_log_limit(size_t events) { log_limit_ = events; }
    void on_event(std::function<void(const IsdnEvent&)> fn) { observers_.push_back(std::move(fn)); }
    const IsdnCounters& counters() const { return counters_; }
    void set_pcap(LapdPcapWriter* writer, uint32_t interface = 0)
    {
        pcap_ = writer;
        pcap_interface_ = interface;
    }

private:
    struct Timer {
        plat::Scheduler::EventId id = 0;
    };
    struct Call {
        CallInfo info;
        Timer timer;         // T303 / T305 / T308, whichever the state runs
        unsigned expiries = 0;
        Timer policy_timer;  // scripted answer steps
        bool first_answer_sent = false;
        uint8_t clear_cause = q931::cause::kNormalClearing;
        std::optional<CallKey> other_leg;  // a call routed back to the adapter
    };
    using Handler = void (IsdnNetworkSide::*)(Call&, const q931::Decoded&);
    struct Row {
        uint32_t states;  // bit n: NetState n
        q931::MsgType type;
        Handler handler;
    };
    static const Row kRows[];

    // frames
    void from_line(uint32_t channels, const std::vector<uint8_t>& frame);
    void on_condition();
    void send_frame(std::vector<uint8_t> frame);
    void deliver(std::vector<uint8_t> frame);
    uint8_t nr_to_send(bool poll_answer);
    void flush();
    void send_u(lapd::UType type, bool command, bool pf);
    void send_s(lapd::SType type, bool command, bool pf);
    void tei_management(const lapd::Frame& f);

    // layer 2
    void set_l2(L2State s);
    void start(Timer& t, plat::VTime dt, std::function<void()> fn);
    void stop(Timer& t);
    bool running(const Timer& t) const;
    void on_u(const lapd::Frame& f);
    void on_s(const lapd::Frame& f);
    void on_i(const lapd::Frame& f);
    bool nr_valid(uint8_t nr) const;
    void acknowledge(uint8_t nr);
    void ack_in_established(uint8_t nr);
    void reset_variables();
    void reestablish(const char* why);
    void t200_expired();
    void t203_expired();
    void enquiry();
    void try_send_i();
    void established();
    void released(const char* why);
    void arm_keep_up(plat::VTime after);
    bool queue_message(const q931::Message& m);

    // layer 3
    void on_message(const std::vector<uint8_t>& info);
    void on_unknown_reference(const q931::Decoded& d);
    void on_setup(const q931::Decoded& d);
    void on_global(const q931::Decoded& d);
    Call* find(CallKey key);
    Call* find_channel(unsigned channel);
    int free_channel() const;
    void set_state(Call& c, NetState s);
    void drop(Call& c, const char* why);
    q931::Message msg_for(const Call& c, q931::MsgType type) const;
    bool send_call(Call& c, q931::Message m);
    void send_release_complete(CallKey key, uint8_t cause);
    void send_status(Call* c, CallKey key, uint8_t cause);
    void send_disconnect(Call& c, uint8_t cause);
    void send_release(Call& c, uint8_t cause);
    void send_setup(Call& c);
    void t303_expired(CallKey key);
    void run_policy(Call& c);
    bool route_back(Call& c);
    void clear_other_leg(Call& c, uint8_t cause);
    void bridge(uint32_t channels, const std::vector<uint8_t>& frame);
    void schedule_step(Call& c, plat::VTime at, std::function<void(Call&)> step);
    q931::PartyNumber number(const std::string& digits, bool calling) const;

    // message handlers (rows of kRows)
    void h_proceeding(Call& c, const q931::Decoded& d);
    void h_alerting(Call& c, const q931::Decoded& d);
    void h_connect(Call& c, const q931::Decoded& d);
    void h_connect_ack(Call& c, const q931::Decoded& d);
    void h_progress(Call& c, const q931::Decoded& d);
    void h_disconnect(Call& c, const q931::Decoded& d);
    void h_release(Call& c, const q931::Decoded& d);
    void h_release_in_release(Call& c, const q931::Decoded& d);
    void h_release_complete(Call& c, const q931::Decoded& d);
    void h_status_enquiry(Call& c, const q931::Decoded& d);
    void h_status(Call& c, const q931::Decoded& d);
    void h_information(Call& c, const q931::Decoded& d);
    void h_ignore(Call& c, const q931::Decoded& d);

    void emit(IsdnEvent e);
    void note(const std::string& text);

    plat::Host& host_;
    Line& line_;
    IsdnNetworkConfig cfg_;
    const VariantProfile* profile_;
    uint32_t mask_;
    std::shared_ptr<IsdnNetworkSide*> self_;

    // layer 2
    L2State l2_ = L2State::Released;
    uint8_t vs_ = 0, va_ = 0, vr_ = 0;
    unsigned rc_ = 0;
    bool peer_busy_ = false, own_busy_ = false, reject_ = false, ack_pending_ = false;
    Timer t200_, t203_, keep_up_;
    std::vector<std::vector<uint8_t>> unacked_;  // I-frame information from V(A) on
    std::vector<std::vector<uint8_t>> pending_;  // waiting for the window
    std::vector<std::vector<uint8_t>> delivered_;  // in-sequence information for layer 3
    bool layer1_up_ = true;
    bool withhold_ = false, piggyback_ = false;
    bool verify_calls_ = false;  // re-established after a failure: enquire about the calls
    uint8_t given_nr_ = 0;  // the N(R) last sent
    struct Fault {
        FrameFault fault;
        bool i_frames_only;
    };
    std::vector<Fault> faults_;
    std::optional<std::vector<uint8_t>> held_;  // a reordered frame, sent after the next one

    // output
    struct Out {
        plat::VTime due;
        std::vector<uint8_t> frame;
    };
    std::vector<Out> out_;
    Timer flush_timer_;

    // layer 3
    std::map<CallKey, Call> calls_;
    uint16_t next_ref_ = 1;
    AnswerPolicy policy_;
    std::function<AnswerPolicy(const CallInfo&)> policy_fn_;
    struct RestartState {
        bool active = false;
        std::optional<unsigned> channel;
        uint8_t cls = 0;
        unsigned expiries = 0;
        Timer timer;
    } restart_;

    std::vector<IsdnEvent> log_;
    size_t log_limit_ = plat::kHistoryLimit;
    std::vector<std::function<void(const IsdnEvent&)>> observers_;
    IsdnCounters counters_;
    LapdPcapWriter* pcap_ = nullptr;
    uint32_t pcap_interface_ = 0;
};

}  // namespace sim
