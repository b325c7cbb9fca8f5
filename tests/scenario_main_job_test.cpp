// The main job as a user runs it: the default and the four-line boards carry calls and
// checked data on every line; a line with nothing at its far end stays down; an outside
// program speaking LAPD on a socket brings the D channel up and calls both ways; the
// pcap decodes in tshark; the serving mode keeps its files in its root, restarts, and
// halts on a signal; bad option values are refused with status 2.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "driver/Wmp_nt40/Wmp_shel.h"
#include "sim/board/csm.h"
#include "sim/board/hdlc.h"
#include "sim/far/q931.h"
#include "sim/firmware/firmware.h"
#include "platform/registry/hive_file.h"
#include "tools/harness/main_job.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

namespace fs = std::filesystem;

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string config(const std::string& name) { return read_text(std::string(VORNET_SOURCE_DIR) + "/configs/" + name); }

fs::path temp_dir(const std::string& tag)
{
    char tmpl[64];
    std::snprintf(tmpl, sizeof tmpl, "/tmp/vornet-%s-XXXXXX", tag.c_str());
    return fs::path(mkdtemp(tmpl));
}

void expect_every_line_carried_checked_data(const rig::Summary& s, size_t lines)
{
    EXPECT_TRUE(s.initialised);
    EXPECT_TRUE(s.data_interface_up);
    EXPECT_TRUE(s.halted_clean);
    EXPECT_EQ(s.leaked_allocations, 0u);
    EXPECT_EQ(s.leaked_mappings, 0u);
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    ASSERT_EQ(s.lines.size(), lines);
    for (const auto& l : s.lines) {
        SCOPED_TRACE("line " + std::to_string(l.line) + " (" + l.signalling + ")");
        EXPECT_TRUE(l.carries_calls);
        EXPECT_EQ(l.layer1, "up");
        EXPECT_GE(l.calls.connected, 1u);
        EXPECT_EQ(l.calls.connected, l.calls.offered);
        EXPECT_EQ(l.calls.cleared, l.calls.connected);
        EXPECT_EQ(l.calls.failed, 0u);
        EXPECT_GT(l.data.bytes_sent, 0u);
        EXPECT_EQ(l.data.bytes_verified, l.data.bytes_sent);
        EXPECT_EQ(l.data.bytes_lost, 0u);
        EXPECT_EQ(l.data.frames_corrupt, 0u);
    }
    EXPECT_EQ(s.data.bytes_verified, s.data.bytes_sent);
}

TEST(MainJob, DefaultRunCallsBothWaysWithEveryByteVerified)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.firmware = sim::fw::default_image();  // as vornet-sim runs
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.run();
    rig::Summary s = job.finish();
    expect_every_line_carried_checked_data(s, 1);
    EXPECT_EQ(s.calls_by_kind[rig::CallKind::IsdnIncoming].connected, 2u);
    EXPECT_EQ(s.calls_by_kind[rig::CallKind::IsdnOutgoing].connected, 1u);
    // The modem call waited for the processors to boot, went to a pump, carried data
    // both ways (counted in the line's verified bytes) and its statistics were read.
    EXPECT_EQ(s.calls_by_kind[rig::CallKind::ModemIncoming].connected, 1u);
    EXPECT_EQ(s.calls_by_kind[rig::CallKind::ModemIncoming].cleared, 1u);
    EXPECT_EQ(s.modem_statistics_read, 1u);
    EXPECT_EQ(s.lines[0].pumps, 30u);
    EXPECT_EQ(s.calls_connected, 4) << "the driver counted the same connections";
    EXPECT_TRUE(s.error_log.empty());
    const std::string json = rig::to_json(s);
    EXPECT_EQ(json.find("null"), std::string::npos) << json;
    EXPECT_NE(json.find("\"modem_calls\": {\"offered\": 1, \"answered\": 1, \"connected\": 1, \"cleared\": 1, \"failed\": 0}, "
                        "\"modem_statistics_read\": 1"),
              std::string::npos)
        << json;
    EXPECT_NE(rig::to_table(s).find("modem calls: 1 offered, 1 connected on pumps, 1 cleared, 0 failed; statistics read "
                                    "at hang-up of 1\n"),
              std::string::npos)
        << rig::to_table(s);
    EXPECT_TRUE(job.rig().host.trace.lines().empty()) << "with tracing off no trace line is kept";
    // The driver's CPU over the run, its register accesses apart.
    EXPECT_DOUBLE_EQ(s.driver_cpu.simulated_seconds, 30.0);
    EXPECT_GT(s.driver_cpu.entries, 1000u);
    EXPECT_GT(s.driver_cpu.register_accesses, 10000u);
    EXPECT_GT(s.driver_cpu.driver_ns, 0u);
    EXPECT_NE(rig::to_table(s).find("driver CPU: "), std::string::npos);
    EXPECT_NE(json.find("\"driver_cpu\": {\"simulated_seconds\": 30, "), std::string::npos) << json;
}

// A far modem that never answers: the pump gives up, the call is counted failed, not
// connected, and no statistics are claimed for it; the line's other calls go on.
TEST(MainJob, AModemCallTheFarModemNeverAnswersIsCountedFailed)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.firmware = sim::fw::default_image();
    o.plan.calls_per_line = 3;  // from the network, to the network, modem
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    ASSERT_NE(job.traffic(), nullptr);
    sim::ModemPeer* far = job.traffic()->far_modem(0);
    ASSERT_NE(far, nullptr);
    sim::ModemPeer::Config silent;
    silent.answers = false;
    far->set_config(silent);
    job.run();
    rig::Summary s = job.finish();
    EXPECT_TRUE(s.halted_clean);
    const rig::CallCounters& modem = s.calls_by_kind[rig::CallKind::ModemIncoming];
    EXPECT_EQ(modem.offered, 1u);
    EXPECT_EQ(modem.connected, 0u);
    EXPECT_EQ(modem.failed, 1u);
    EXPECT_EQ(s.modem_statistics_read, 0u);
    EXPECT_EQ(s.calls.connected, 2u);
    EXPECT_EQ(s.data.bytes_verified, s.data.bytes_sent);
    EXPECT_EQ(s.data.bytes_lost, 0u);
    EXPECT_NE(rig::to_table(s).find("modem calls: 1 offered, 0 connected on pumps, 0 cleared, 1 failed"), std::string::npos)
        << rig::to_table(s);
}

TEST(MainJob, WithoutFirmwareTheLineCarriesDataCallsAndTheLogSaysWhy)
{
    rig::MainJob job;
    rig::RunOptions o;  // no firmware file: the modem processors never boot
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.run();
    rig::Summary s = job.finish();
    expect_every_line_carried_checked_data(s, 1);
    EXPECT_EQ(s.calls_by_kind.count(rig::CallKind::ModemIncoming), 0u) << "no modem call is offered to dead pumps";
    EXPECT_EQ(s.calls.connected, 4u);
    const std::string table = rig::to_table(s);
    EXPECT_NE(table.find("sub-code 29"), std::string::npos) << "the error log is decoded";
    // Each entry leads with its meaning; the raw figures follow.
    const size_t entry = table.rfind('\n', table.find("sub-code 29"));
    EXPECT_NE(table.compare(entry + 1, 4, "  0x"), 0) << table;
    EXPECT_NE(table.find("(code 0x"), std::string::npos) << table;
    EXPECT_NE(table.find("modem calls: none\n"), std::string::npos) << table;
    EXPECT_EQ(rig::to_json(s).find("null"), std::string::npos);
}

// More calls than the run has time for: the table says how many started and why.
TEST(MainJob, CallsTheRunHasNoTimeForAreNamed)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.run_ms = 8000;
    o.plan.calls_per_line = 50;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.run();
    rig::Summary s = job.finish();
    ASSERT_EQ(s.lines.size(), 1u);
    EXPECT_EQ(s.lines[0].calls_planned, 50u);
    EXPECT_LT(s.lines[0].calls_started, 50u);
    EXPECT_EQ(s.lines[0].calls_started, s.lines[0].calls.offered);
    const std::string table = rig::to_table(s);
    EXPECT_NE(table.find("line 0: " + std::to_string(s.lines[0].calls_started) +
                         " of the 50 calls asked for (--calls) started; the run's length (--run-ms) left no time for more"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("driver's counters (calls to the adapter only, since the adapter last started)"), std::string::npos) << table;
}

TEST(MainJob, FourLineRunAtFullLoadFillsEveryBChannelOfEveryLine)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.config_text = config("four-line.reg");
    o.firmware = sim::fw::default_image();
    o.run_ms = 13000;
    o.plan.full_load = true;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.run();
    ASSERT_NE(job.traffic(), nullptr);
    rig::Summary s = job.finish();
    expect_every_line_carried_checked_data(s, 4);
    // T1 ISDN 23 B channels, E1 ISDN 30, robbed bit 24: every one carried a call; on the
    // ISDN lines a quarter of them (T1 5, E1 7) modem calls on pumps.
    const uint64_t channels[4] = {23, 23, 30, 24};
    for (unsigned n = 0; n < 4; n++) EXPECT_EQ(s.lines[n].calls.connected, channels[n]) << "line " << n;
    EXPECT_EQ(s.lines[0].statistics_read + s.lines[1].statistics_read + s.lines[2].statistics_read, 17u);
    EXPECT_EQ(s.calls_by_kind[rig::CallKind::ModemIncoming].connected, 17u);
    EXPECT_EQ(s.modem_statistics_read, 17u);
    EXPECT_EQ(s.lines[3].statistics_read, 0u) << "no modem calls on the robbed-bit line";
    EXPECT_EQ(s.calls_by_kind[rig::CallKind::RobbedBitIncoming].connected, 24u);
}

// Bytes the process holds on its heap now (under a sanitizer, as its allocator counts them).
size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// Every model, far end and the host keep their past bounded: at full load, once the run
// has settled, the heap (as the allocator counts it, also under a sanitizer), the
// driver's pool and the pending events stay where they were, and within a fifth of
// what they were after the first 20 seconds.
TEST(MainJob, MemoryStaysFlatAtFullLoadOnTheFourLineBoard)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.config_text = config("four-line.reg");
    o.firmware = sim::fw::default_image();
    o.plan.full_load = true;
    o.plan.frame_bytes = 1024;  // line rate in fewer, longer frames: a quicker run
    o.run_ms = 20000;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.card()->hdlc().knobs.poll_interval = plat::ms(4);  // fewer transmit-descriptor polls: a quicker run
    plat::Host& h = job.rig().host;
    struct Sample {
        size_t heap, pool_blocks, pool_bytes, events;
    };
    auto sample = [&] {
        Sample x{heap_in_use(), h.allocations.size(), 0, h.sched.size()};
        for (const auto& [p, n] : h.allocations) x.pool_bytes += n;
        return x;
    };
    job.run();
    const Sample first = sample();
    ASSERT_EQ(job.traffic()->connected_calls(), 100u) << "every B channel carries a call";
    job.run();
    const Sample settled = sample();
    for (int k = 3; k <= 5; k++) {
        job.run();
        const Sample now = sample();
        SCOPED_TRACE("after " + std::to_string(k * 20) + " simulated seconds");
        EXPECT_LE(now.heap, first.heap + first.heap / 5) << "heap after 20 s: " << first.heap;
        EXPECT_LE(now.heap, settled.heap + settled.heap / 50) << "heap after 40 s: " << settled.heap;
        EXPECT_EQ(now.pool_blocks, first.pool_blocks);
        EXPECT_EQ(now.pool_bytes, first.pool_bytes);
        EXPECT_LE(now.events, first.events + 64);
    }
    EXPECT_EQ(job.traffic()->connected_calls(), 100u);
    rig::Summary s = job.finish();
    expect_every_line_carried_checked_data(s, 4);
}

// Many short calls one after another: what the main job keeps of the run (the models'
// logs, the processors' messages, its packets) does not grow with the number of calls
// made. After 2,000 calls the heap is where it was after 400, within a fifth.
TEST(MainJob, MemoryStaysFlatOverManyShortCalls)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.firmware = sim::fw::default_image();
    o.plan.calls_per_line = 100000;
    o.plan.hold = plat::ms(500);
    o.plan.spacing = plat::ms(300);
    o.run_ms = 120000;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.run();
    const size_t early = heap_in_use();
    const uint64_t early_calls = job.traffic()->total_calls().connected;
    ASSERT_GT(early_calls, 300u);
    for (int k = 0; k < 4; k++) job.run();
    const size_t late = heap_in_use();
    const uint64_t late_calls = job.traffic()->total_calls().connected;
    EXPECT_GT(late_calls, 4 * early_calls);
    EXPECT_LE(late, early + early / 5) << early_calls << " calls: " << early << " bytes; " << late_calls << " calls: " << late;
    sim::Card& card = *job.card();
    EXPECT_TRUE(card.hdlc().writes().empty() && card.hdlc().executed().empty() && card.latch_writes().empty());
    for (unsigned s = 0; s < 4; s++) {
        sim::ModemSocket* m = card.modem(s);
        if (m != nullptr) {
            EXPECT_LE(m->messages().size(), 4096u);
        }
    }
    rig::Summary sum = job.finish();
    EXPECT_EQ(sum.lines[0].calls.failed, 0u);
}

TEST(MainJob, CallsPerLineFollowTheOption)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.plan.calls_per_line = 7;
    o.plan.hold = plat::ms(1000);
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.run();
    rig::Summary s = job.finish();
    EXPECT_EQ(s.lines[0].calls.offered, 7u);
    EXPECT_EQ(s.lines[0].calls.connected, 7u);
}

// A short run ends while the robbed-bit line's second call is still ringing: the call is
// let connect and clear, not counted failed.
TEST(MainJob, ShortRunCountsNoCallFailedThatTheEndOfTheRunCaughtRinging)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.config_text = config("four-line.reg");
    o.run_ms = 8000;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.run();
    rig::Summary s = job.finish();
    expect_every_line_carried_checked_data(s, 4);
    EXPECT_EQ(s.lines[3].calls.offered, 2u);
    EXPECT_EQ(s.calls.failed, 0u);
}

// Many calls on the robbed-bit line: the far end seizes a channel again only after the
// guard a switch keeps once a call there has cleared, and every call connects.
TEST(MainJob, RobbedBitCallsBeyondTheFirstFewOnAChannelAllConnect)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.config_text = config("four-line.reg");
    o.plan.calls_per_line = 40;
    o.run_ms = 80000;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.run();
    rig::Summary s = job.finish();
    EXPECT_EQ(s.lines[3].calls.offered, 40u);
    EXPECT_EQ(s.lines[3].calls.connected, 40u);
    EXPECT_EQ(s.lines[3].calls.failed, 0u);
    EXPECT_EQ(s.lines[3].data.bytes_lost, 0u);
}

// The progress line counts from the start, whichever way the run runs (a fault run steps
// the clock with run_for(), never run()): simulated time since then, the time left at
// the pace so far.
TEST(MainJob, ProgressCountsFromTheStartOnEveryWayOfRunning)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.run_ms = 30000;
    std::string e;
    const auto w0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.run_for(5000);
    const double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    const std::string text = job.progress_text();
    EXPECT_EQ(text.rfind("     5.0 s simulated of 30, about ", 0), 0u) << text;
    const size_t at = text.find("about ");
    ASSERT_NE(at, std::string::npos) << text;
    const double left = std::stod(text.substr(at + 6));
    // 25 s to go at 5 s done in at most wall_s.
    EXPECT_LE(left, 5 * wall_s + 1) << text;
    job.finish();
}

TEST(MainJob, LineWithNothingAtItsFarEndStaysDownAndCarriesNoCalls)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.config_text = config("four-line.reg");
    o.run_ms = 8000;
    o.lines[1].kind = rig::Rig::FarKind::None;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    job.run();
    rig::Summary s = job.finish();
    EXPECT_TRUE(s.halted_clean);
    EXPECT_EQ(s.lines[1].layer1, "down");
    EXPECT_EQ(s.lines[1].far_end, "none (no signal)");
    EXPECT_FALSE(s.lines[1].carries_calls);
    EXPECT_EQ(s.lines[1].calls.offered, 0u);
    EXPECT_EQ(s.lines[0].layer1, "up");
    EXPECT_GE(s.lines[0].calls.connected, 1u);
}

TEST(MainJob, DataInterfaceIsReportedDownAfterAResetThatFailed)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.traffic = false;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    plat::Host& h = job.rig().host;
    h.run_for(plat::ms(2000));
    Adapter* a = rig::Rig::driver_adapter(job.adapter());
    rig::Summary before;
    rig::observe_adapter(a, before);
    EXPECT_TRUE(before.data_interface_up);

    // A reset (as the management service's adapter init does one) whose bring-up fails:
    // the HDLC controller's clocks never come.
    job.card()->hdlc().knobs.clocks_never = true;
    rig::with_adapter_lock(a, [&] { ResetAdapter(a); });
    h.run_for(plat::ms(2000));
    ASSERT_EQ(a->Bt847x.NumResets, 3u) << "the controller's clocks never came";
    ASSERT_EQ(a->BringUpCompleted, 1) << "it came up once";
    rig::Summary after;
    rig::observe_adapter(a, after);
    EXPECT_FALSE(after.data_interface_up) << "the bring-up of long ago does not count";
    job.finish();
}

// ---- an outside program on the D channel ----

// The network side of LAPD and Q.931 as a small outside program would speak it, one
// datagram per frame over the socket.
class LapdPeerProgram {
public:
    int fd = -1;
    uint8_t vs = 0, vr = 0;
    bool link_up = false;
    std::deque<sim::q931::Message> received;

    bool connect(const std::string& path)
    {
        fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~LapdPeerProgram()
    {
        if (fd >= 0) ::close(fd);
    }
    void send(const std::vector<uint8_t>& f) { ASSERT_EQ(::send(fd, f.data(), f.size(), 0), ssize_t(f.size())); }
    void send_message(const sim::q931::Message& m)
    {
        send(sim::lapd::build_i(0, true, 0, vs, vr, false, sim::q931::encode(m)));
        vs = uint8_t((vs + 1) % 128);
    }
    // Reads what the adapter sent: answers SABME and acknowledges I-frames.
    void read()
    {
        uint8_t buf[512];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
            auto f = sim::lapd::parse(std::span<const uint8_t>(buf, size_t(n)));
            if (!f) continue;
            using K = sim::lapd::Frame::Kind;
            if (f->kind == K::U && f->u == uint8_t(sim::lapd::UType::Sabme)) {
                send(sim::lapd::build_u(0, false, 0, sim::lapd::UType::Ua, f->pf));
                vs = vr = 0;
                link_up = true;
            } else if (f->kind == K::U && f->u == uint8_t(sim::lapd::UType::Ua)) {
                link_up = true;
            } else if (f->kind == K::I) {
                vr = uint8_t((f->ns + 1) % 128);
                send(sim::lapd::build_s(0, false, 0, sim::lapd::SType::Rr, vr, f->pf));
                auto d = sim::q931::decode(f->info);
                if (d.ok()) received.push_back(d.msg);
            } else if (f->kind == K::S && f->pf && f->cr == false) {
                // A poll from the adapter: answer with our state.
                send(sim::lapd::build_s(0, false, 0, sim::lapd::SType::Rr, vr, true));
            }
        }
    }
    std::optional<sim::q931::Message> take(uint8_t type)
    {
        for (auto it = received.begin(); it != received.end(); ++it)
            if (it->type == type) {
                auto m = *it;
                received.erase(it);
                return m;
            }
        return std::nullopt;
    }
};

TEST(MainJob, OutsidePeerBringsTheLinkUpAndCallsBothWays)
{
    const fs::path dir = temp_dir("peer");
    const std::string path = (dir / "d0.sock").string();
    rig::MainJob job;
    rig::RunOptions o;
    o.lines[0] = {rig::Rig::FarKind::Peer, path};
    o.traffic = false;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    ASSERT_NE(job.peer(0), nullptr);
    plat::Host& h = job.rig().host;
    Adapter* a = rig::Rig::driver_adapter(job.adapter());
    ASSERT_NE(a, nullptr);

    LapdPeerProgram peer;
    ASSERT_TRUE(peer.connect(path));
    auto step_until = [&](const std::function<bool()>& done, plat::VTime limit) {
        for (plat::VTime t = 0; t < limit; t += plat::ms(5)) {
            if (done()) return true;
            h.run_for(plat::ms(5));
            job.pollers().run();
            peer.read();
        }
        return done();
    };
    ASSERT_TRUE(step_until([&] { return a->BringUpCompleted == 1 && a->Framer[0].bL1Up; }, plat::ms(3000)));
    // SABME once a second until the adapter answers (or sends its own).
    for (int i = 0; i < 5 && !peer.link_up; i++) {
        peer.send(sim::lapd::build_u(0, true, 0, sim::lapd::UType::Sabme, true));
        step_until([&] { return peer.link_up; }, plat::ms(1000));
    }
    ASSERT_TRUE(peer.link_up) << "to peer " << job.peer(0)->counters().to_peer << ", from peer "
                              << job.peer(0)->counters().from_peer << ", dropped " << job.peer(0)->counters().dropped;
    EXPECT_GE(job.peer(0)->counters().connections, 1u);

    Link* in = nullptr;
    Link* out = nullptr;
    rig::with_adapter_lock(a, [&] {
        in = LinkAcquire(a, 0, 0, 2, OWNER_DRIVER);
        out = LinkAcquire(a, 0, 0, 7, OWNER_DRIVER);
    });
    ASSERT_TRUE(in && out);

    // From the network: SETUP on channel 3 to the Link's number; the driver answers.
    using sim::q931::MsgType;
    auto setup = sim::q931::make(MsgType::Setup, 1, false);
    setup.bearer = sim::q931::Bearer::unrestricted64();
    setup.channel = sim::q931::ChannelId{true, false, 3};
    setup.called = sim::q931::PartyNumber{0x41, std::nullopt, "5551002"};
    setup.calling = sim::q931::PartyNumber{0x21, 0x03, "4165550199"};
    peer.send_message(setup);
    ASSERT_TRUE(step_until([&] { return peer.take(uint8_t(MsgType::Connect)).has_value(); }, plat::ms(3000)));
    peer.send_message(sim::q931::make(MsgType::ConnectAcknowledge, 1, false));
    ASSERT_TRUE(step_until([&] { return in->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(1000)));

    // From the driver: SETUP; the network proceeds and connects.
    const char dial[] = "I 5551212";
    BOOLEAN placed = FALSE;
    rig::with_adapter_lock(a, [&] {
        DecodeCallModifiers(out, (const UCHAR*)dial, sizeof dial - 1);
        placed = RSS_MakeCall(out);
    });
    ASSERT_TRUE(placed);
    std::optional<sim::q931::Message> theirs;
    ASSERT_TRUE(step_until([&] { return (theirs = peer.take(uint8_t(MsgType::Setup))).has_value(); }, plat::ms(3000)));
    ASSERT_TRUE(theirs->called.has_value());
    EXPECT_EQ(theirs->called->digits, "5551212");
    auto proceeding = sim::q931::make(MsgType::CallProceeding, theirs->cr, true);
    proceeding.channel = theirs->channel;
    peer.send_message(proceeding);
    peer.send_message(sim::q931::make(MsgType::Connect, theirs->cr, true));
    ASSERT_TRUE(step_until([&] { return out->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(3000)));
    EXPECT_TRUE(step_until([&] { return peer.take(uint8_t(MsgType::ConnectAcknowledge)).has_value(); }, plat::ms(1000)));
    EXPECT_EQ(job.peer(0)->counters().refused, 0u);

    rig::Summary s = job.finish();
    EXPECT_TRUE(s.halted_clean);
    EXPECT_GE(s.calls_connected, 2);
    fs::remove_all(dir);
}

// The network side of a PRI as a small outside program: it offers calls to the adapter's
// directory numbers, answers every call the adapter places, and answers clearing as Q.931
// asks (DISCONNECT: RELEASE; RELEASE: RELEASE COMPLETE).
struct PriNetworkProgram {
    LapdPeerProgram lapd;
    unsigned offered = 0, their_calls_connected = 0, our_calls_answered = 0, cleared = 0, refused = 0;
    std::set<uint16_t> ours;  // call references we allocated

    void offer(uint16_t cr, uint8_t channel, const std::string& number)
    {
        auto setup = sim::q931::make(sim::q931::MsgType::Setup, cr, false);
        setup.bearer = sim::q931::Bearer::unrestricted64();
        setup.channel = sim::q931::ChannelId{true, false, channel};
        setup.called = sim::q931::PartyNumber{0x41, std::nullopt, number};
        setup.calling = sim::q931::PartyNumber{0x21, 0x03, "4165550199"};
        lapd.send_message(setup);
        ours.insert(cr);
        offered++;
    }
    void serve(uint8_t& next_channel)
    {
        using sim::q931::MsgType;
        lapd.read();
        while (!lapd.received.empty()) {
            sim::q931::Message m = lapd.received.front();
            lapd.received.pop_front();
            // The flag is set in messages from the side that did not allocate the reference.
            const bool flag = !m.cr_flag;
            switch (MsgType(m.type)) {
            case MsgType::Setup: {
                auto proceeding = sim::q931::make(MsgType::CallProceeding, m.cr, flag);
                proceeding.channel = sim::q931::ChannelId{true, false, m.channel && m.channel->channel ? *m.channel->channel : next_channel++};
                lapd.send_message(proceeding);
                lapd.send_message(sim::q931::make(MsgType::Connect, m.cr, flag));
                our_calls_answered++;
                break;
            }
            case MsgType::Connect:
                lapd.send_message(sim::q931::make(MsgType::ConnectAcknowledge, m.cr, flag));
                their_calls_connected++;
                break;
            case MsgType::Disconnect: lapd.send_message(sim::q931::make(MsgType::Release, m.cr, flag)); break;
            case MsgType::Release:
                lapd.send_message(sim::q931::make(MsgType::ReleaseComplete, m.cr, flag));
                cleared++;
                break;
            case MsgType::ReleaseComplete:
                if (m.cause && m.cause->value != 16) refused++;
                cleared++;
                break;
            default: break;
            }
        }
    }
};

// The program connects, brings layer 2 up, offers two calls and serves the adapter's
// `calls` calls; the summary and the program's own counts must say the same.
void pri_program_run(unsigned calls)
{
    const fs::path dir = temp_dir("pri");
    const std::string path = (dir / "d0.sock").string();
    PriNetworkProgram net;
    uint8_t next_channel = 1;
    rig::MainJob job;
    rig::RunOptions o;
    o.lines[0] = {rig::Rig::FarKind::Peer, path};
    o.plan.calls_per_line = calls;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    plat::Host& h = job.rig().host;
    // The program runs between the clock's events, as the socket's other pollers do.
    job.pollers().add([&] { net.serve(next_channel); });

    ASSERT_TRUE(net.lapd.connect(path));
    // At once, before the adapter is up: it waits in the socket and is heard.
    net.lapd.send(sim::lapd::build_u(0, true, 0, sim::lapd::UType::Sabme, true));
    auto step = [&](plat::VTime length) {
        for (plat::VTime t = 0; t < length; t += plat::ms(5)) {
            h.run_for(plat::ms(5));
            job.pollers().run();
        }
    };
    for (int i = 0; i < 600 && !net.lapd.link_up; i++) step(plat::ms(5));
    ASSERT_TRUE(net.lapd.link_up) << "the SABME sent at once was answered; from the program " << job.peer(0)->counters().from_peer
                                  << ", to it " << job.peer(0)->counters().to_peer << ", connections " << job.peer(0)->counters().connections;
    step(plat::ms(500));
    // Two calls of the network's own, to two of the line's directory numbers, on the
    // channels from the top (the adapter's own calls take them from the bottom).
    net.offer(1, 23, "5551010");
    step(plat::ms(1000));
    net.offer(2, 22, "5551011");
    step(plat::ms(15000));
    EXPECT_EQ(job.peer(0)->counters().connections, 1u);

    rig::Summary s = job.finish();
    ASSERT_EQ(s.lines.size(), 1u);
    const rig::Summary::Line& l = s.lines[0];
    EXPECT_EQ(l.far_end, "outside peer");
    EXPECT_TRUE(l.carries_calls);
    const rig::CallCounters& in = s.calls_by_kind[rig::CallKind::PeerIncoming];
    const rig::CallCounters& out = s.calls_by_kind[rig::CallKind::PeerOutgoing];
    EXPECT_EQ(in.offered, 2u);
    EXPECT_EQ(in.connected, 2u);
    EXPECT_EQ(in.cleared, 2u);
    EXPECT_EQ(out.offered, calls) << "--calls " << calls << ": that many calls placed to the network";
    EXPECT_EQ(out.connected, calls);
    EXPECT_EQ(out.cleared, calls);
    EXPECT_EQ(l.calls.offered, 2u + calls);
    EXPECT_EQ(l.calls.failed, 0u);
    EXPECT_EQ(net.their_calls_connected, 2u) << "the adapter answered both of the network's calls";
    EXPECT_EQ(net.our_calls_answered, calls);
    EXPECT_EQ(net.refused, 0u);
    // What the owner sent on each call came back from the channel's far end, checked.
    EXPECT_GT(l.data.bytes_sent, 0u);
    EXPECT_EQ(l.data.bytes_verified, l.data.bytes_sent);
    EXPECT_EQ(l.data.bytes_lost, 0u);
    EXPECT_EQ(l.data.frames_corrupt, 0u);
    EXPECT_TRUE(l.peer.present);
    EXPECT_EQ(l.peer.path, path);
    EXPECT_EQ(l.peer.connections, 1u);
    EXPECT_GE(l.peer.echoed, l.data.frames_verified);
    EXPECT_TRUE(s.halted_clean);
    const std::string table = rig::to_table(s);
    EXPECT_NE(table.find("ISDN data, from the outside program"), std::string::npos) << table;
    EXPECT_NE(table.find("outside program on " + path), std::string::npos) << table;
    EXPECT_NE(rig::to_json(s).find("\"outside_program\": {\"socket\""), std::string::npos);
    fs::remove_all(dir);
}

TEST(MainJob, OutsideNetworkStackGetsItsCallsAnsweredAndCallsPlacedWithDataEchoed) { pri_program_run(3); }

// --calls 0 places none: the user side still owns the Links and answers what the program offers.
TEST(MainJob, OutsideNetworkStackWithCallsZeroStillGetsItsCallsAnswered) { pri_program_run(0); }

// ---- the pcap, decoded by tshark ----

// One interface per line, named after it: a line's frames are apart from the others'.
TEST(MainJob, PcapOfTheDChannelsDecodesAsQ931InTsharkOneInterfacePerLine)
{
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    const fs::path dir = temp_dir("pcap");
    const std::string pcap = (dir / "d.pcap").string();
    {
        rig::MainJob job;
        rig::RunOptions o;
        o.config_text = config("four-line.reg");
        o.run_ms = 12000;
        o.plan.calls_per_line = 2;
        o.pcap_path = pcap;
        std::string e;
        ASSERT_TRUE(job.start(o, &e)) << e;
        job.run();
        job.finish();
    }
    const std::string out = (dir / "decoded.txt").string();
    ASSERT_EQ(std::system(("tshark -r " + pcap + " -T fields -e lapd.control.u_modifier_cmd -e q931.message_type > " +
                           out + " 2>&1").c_str()),
              0);
    const std::string text = read_text(out);
    EXPECT_NE(text.find("0x05"), std::string::npos) << "SETUP\n" << text;  // message type 5
    EXPECT_NE(text.find("0x07"), std::string::npos) << "CONNECT\n" << text;
    EXPECT_NE(text.find("0x4d"), std::string::npos) << "RELEASE\n" << text;
    ASSERT_EQ(std::system(("tshark -r " + pcap + " -V > " + out + " 2>&1").c_str()), 0);
    EXPECT_EQ(read_text(out).find("Malformed"), std::string::npos);
    // Lines 0 to 2 are ISDN, line 3 robbed bit (no D channel).
    for (int line = 0; line < 4; line++) {
        SCOPED_TRACE(line);
        ASSERT_EQ(std::system(("tshark -r " + pcap + " -Y 'frame.interface_id == " + std::to_string(line) +
                               "' -T fields -e frame.interface_name -e lapd.sapi > " + out + " 2>/dev/null").c_str()),
                  0);
        const std::string rows = read_text(out);
        if (line == 3) {
            EXPECT_EQ(rows, "");
            continue;
        }
        std::istringstream in(rows);
        std::string row;
        size_t n = 0;
        for (; std::getline(in, row); n++) EXPECT_EQ(row, "line " + std::to_string(line) + "\t0");
        EXPECT_GT(n, 4u) << rows;
    }
    fs::remove_all(dir);
}

// ---- serving ----

TEST(MainJob, ServingRootHoldsTheHiveAndFirmwareAndARestartReloadsThem)
{
    const fs::path root = temp_dir("root");
    rig::MainJob job;
    rig::RunOptions o;
    o.root = root.string();
    o.firmware = std::vector<uint8_t>{1, 2, 3, 4};
    o.traffic = false;
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    EXPECT_NE(read_text((root / "registry.reg").string()).find("\"DeviceName\"=\"RIROVE\""), std::string::npos);
    EXPECT_EQ(fs::file_size(root / "C/WINNT/system32/drivers/armcsm"), 4u);
    EXPECT_EQ(read_text((root / "C/WINNT/system32/drivers/vornet.sys").string()),
              std::string(reinterpret_cast<const char*>(&VornetDriverVersion), sizeof VornetDriverVersion))
        << "the installed driver's file carries the driver's version resource";
    job.rig().host.run_for(plat::ms(1000));
    ASSERT_NE(job.adapter(), nullptr);

    // The hive changes on disk; a poller asks for the restart, as the applet's would.
    {
        std::ofstream hive(root / "registry.reg", std::ios::app);
        hive << "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters]\n"
                "\"DeviceName\"=\"CHANGED\"\n";
    }
    bool restarted = false;
    int id = job.pollers().add([&] {
        std::string why;
        restarted = job.restart(&why);
        EXPECT_TRUE(restarted) << why;
    });
    job.pollers().run();
    job.pollers().remove(id);
    ASSERT_TRUE(restarted);
    EXPECT_EQ(job.rig().host.registry.get_sz(job.rig().parameters_key(1), "DeviceName").value_or(""), "CHANGED");
    job.rig().host.run_for(plat::ms(1000));
    Adapter* a = rig::Rig::driver_adapter(job.adapter());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->CSMCodeSize, 4u) << "the firmware file was read again";
    rig::Summary s = job.finish();
    EXPECT_TRUE(s.halted_clean);
    fs::remove_all(root);
}

// The hive the simulator writes at start goes through the hive's lock and a renamed
// temporary file: a reader holding the lock finds it whole every time, a temporary file
// a killed writer left is removed, and a hive cut short is refused at the restart
// instead of being taken as a smaller configuration.
TEST(MainJob, ServingRootWritesTheHiveWholeUnderItsLock)
{
    const fs::path root = temp_dir("whole");
    std::ofstream(root / "registry.reg.4242.tmp") << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYS";  // a writer killed mid-write
    std::atomic<bool> stop{false}, written{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        while (!stop) {
            std::string text;
            {
                plat::reg::HiveLock lock(root, false);
                if (!lock.held() || !plat::reg::read_hive_text(root, &text, nullptr)) continue;
            }
            if (text.empty() && !written) continue;  // before the first start
            plat::reg::Registry r;
            if (!r.load_reg(text).ok || !r.get_sz("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters",
                                                  "DeviceName"))
                torn++;
            reads++;
        }
    });
    for (int k = 0; k < 6; k++) {
        rig::MainJob job;
        rig::RunOptions o;
        o.root = root.string();
        o.traffic = false;
        // Each start another configuration, so each writes the hive.
        o.config_text = config("default.reg") + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Start]\n\"N\"=dword:" + std::to_string(k) + "\n";
        std::string e;
        if (!job.start(o, &e)) {
            ADD_FAILURE() << e;
            break;
        }
        written = true;
        job.finish();
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads under the lock";
    for (const auto& f : fs::directory_iterator(root))
        EXPECT_NE(f.path().extension(), ".tmp") << f.path() << " left";
    const std::string hive = read_text((root / "registry.reg").string());
    EXPECT_NE(hive.find("\"N\"=dword:00000005"), std::string::npos);

    // Cut at a line's end, the hive is refused whole at the restart.
    rig::MainJob job;
    rig::RunOptions o;
    o.root = root.string();
    o.traffic = false;
    o.config_text = config("default.reg");
    std::string e;
    ASSERT_TRUE(job.start(o, &e)) << e;
    const std::string whole = read_text((root / "registry.reg").string());
    const size_t cut = whole.rfind("\n[HKEY_LOCAL_MACHINE") + 1;
    std::ofstream(root / "registry.reg", std::ios::binary | std::ios::trunc) << whole.substr(0, cut);
    e.clear();
    EXPECT_FALSE(job.restart(&e));
    EXPECT_NE(e.find("cut short"), std::string::npos) << e;
    job.finish();
    fs::remove_all(root);
}

// A served root's own hive is what the adapter boots from, read at start under its lock,
// and the start leaves it as it stands: a value another process wrote after the
// simulator first looked at the hive is neither lost nor overwritten.
TEST(MainJob, ServingFromTheRootsHiveKeepsAValueWrittenSinceItWasRead)
{
    const fs::path root = temp_dir("kept");
    const std::string params = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters";
    {
        rig::MainJob job;
        rig::RunOptions o;
        o.root = root.string();
        o.traffic = false;
        o.config_text = config("default.reg");
        std::string e;
        ASSERT_TRUE(job.start(o, &e)) << e;
        job.finish();
    }
    rig::RunOptions o;
    o.root = root.string();
    o.traffic = false;
    o.config_text = read_text((root / "registry.reg").string());  // what the simulator read first
    o.hive_in_root = true;
    // Another process writes a value after that read.
    std::string e;
    {
        plat::reg::Registry later;
        ASSERT_TRUE(later.load_reg(o.config_text).ok);
        later.set_dword("HKEY_LOCAL_MACHINE\\SOFTWARE\\Later", "N", 7);
        ASSERT_TRUE(plat::reg::replace_hive(root, later, &e)) << e;
    }
    const std::string before = read_text((root / "registry.reg").string());
    rig::MainJob job;
    ASSERT_TRUE(job.start(o, &e)) << e;
    EXPECT_EQ(read_text((root / "registry.reg").string()), before) << "the start rewrote the hive";
    EXPECT_EQ(job.rig().host.registry.get_dword("HKEY_LOCAL_MACHINE\\SOFTWARE\\Later", "N").value_or(0), 7u);
    EXPECT_TRUE(job.rig().host.registry.get_dword(params, "AdapterID").has_value());
    job.finish();
    fs::remove_all(root);
}

int run_sim(const std::vector<std::string>& args, std::string* err = nullptr, std::string* out = nullptr)
{
    // A run that does not end by itself is ended (status 124).
    std::string cmd = std::string("timeout 120 ") + VORNET_SIM;
    for (const auto& a : args) cmd += " '" + a + "'";
    // Its own files: tests run side by side, each in its own process.
    const std::string err_file = "/tmp/vornet-sim-err-" + std::to_string(::getpid()) + ".txt";
    const std::string out_file = "/tmp/vornet-sim-out-" + std::to_string(::getpid()) + ".txt";
    cmd += " >" + out_file + " 2>" + err_file;
    int rc = std::system(cmd.c_str());
    if (err != nullptr) *err = read_text(err_file);
    if (out != nullptr) *out = read_text(out_file);
    std::remove(err_file.c_str());
    std::remove(out_file.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

TEST(MainJob, ServeRunsUntilSigtermThenHaltsAndReports)
{
    const fs::path root = temp_dir("serve");
    const std::string out = (root / "out.json").string();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int f = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(f, 1);
        execl(VORNET_SIM, VORNET_SIM, "--serve", "--root", root.c_str(), "--json", (char*)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 100 && !fs::exists(root / "registry.reg"); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(fs::exists(root / "registry.reg"));
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string json = read_text(out);
    EXPECT_NE(json.find("\"halted_clean\": true"), std::string::npos) << json;
    EXPECT_NE(json.find("\"simulated_seconds\": 1."), std::string::npos) << "paced to the wall clock: " << json;
    fs::remove_all(root);
}

// Ctrl-C ends a run with an outside program's socket as it ends any run: wound down,
// the summary printed with the socket's counters, the socket file gone. A second run on
// the same path meanwhile is refused and leaves the first one's socket alone.
TEST(MainJob, PeerRunEndsOnCtrlCWithItsSummaryAndRemovesOnlyItsSocket)
{
    const fs::path dir = temp_dir("peerint");
    const std::string sock = (dir / "d0.sock").string();
    const std::string out = (dir / "out.txt").string();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int f = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(f, 1);
        execl(VORNET_SIM, VORNET_SIM, "--peer", ("0:" + sock).c_str(), "--run-ms", "600000", (char*)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200 && !fs::exists(fs::symlink_status(sock)); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::is_socket(sock));
    std::string err;
    EXPECT_EQ(run_sim({"--peer", "0:" + sock, "--run-ms", "1000"}, &err), 2);
    EXPECT_NE(err.find("in use by another program"), std::string::npos) << err;
    EXPECT_TRUE(fs::is_socket(sock)) << "the second run left the first one's socket";
    // A second program while one is connected is refused, and counted.
    LapdPeerProgram first, second;
    ASSERT_TRUE(first.connect(sock));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(second.connect(sock));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string table = read_text(out);
    EXPECT_NE(table.find("halt clean"), std::string::npos) << table;
    EXPECT_NE(table.find("outside program on " + sock + ": 1 connection(s), 1 more refused"), std::string::npos) << table;
    EXPECT_NE(table.find("dropped (none connected"), std::string::npos) << table;
    EXPECT_FALSE(fs::exists(fs::symlink_status(sock))) << "its socket is removed";
    fs::remove_all(dir);
}

// A root that setup (or the applet, or an earlier run) has written: serving boots with
// its hive and its firmware file and leaves them as they were; --config and --firmware
// given on the command line take their place.
// A fault run and a soak stopped by a signal end as any run does: wound down, halted,
// the summary and the table of the faults done by then printed.
TEST(MainJob, FaultAndSoakRunsEndOnASignalWithTheirTable)
{
    struct Case {
        std::vector<std::string> args;
        int signal;
    };
    const Case cases[] = {
        {{"--soak", "5", "--run-ms", "86400000"}, SIGINT},
        {{"--fault", "signal-loss", "--run-ms", "86400000"}, SIGTERM},
    };
    const fs::path dir = temp_dir("faultint");
    const std::string out = (dir / "out.txt").string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int f = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(f, 1);
            std::vector<char*> argv{const_cast<char*>(VORNET_SIM)};
            for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(VORNET_SIM, argv.data());
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(4000));
        ::kill(pid, c.signal);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal, not killed by it";
        const std::string table = read_text(out);
        EXPECT_NE(table.find("adapter: initialised"), std::string::npos) << table;
        EXPECT_NE(table.find("halt clean"), std::string::npos) << table;
        EXPECT_NE(table.find("\nall rows "), std::string::npos) << table;
        EXPECT_NE(table.find("stopped by SIGINT or SIGTERM: the rows above are the faults done by then\n"), std::string::npos) << table;
    }
    fs::remove_all(dir);
}

TEST(MainJob, ServeBootsWithTheHiveAndFirmwareAlreadyInTheRoot)
{
    const std::string chosen = config("default.reg") + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorlane\\Setup]\n\"Chosen\"=\"by setup\"\n";
    const std::string image = std::string("AIF\0\1\2\3", 7);
    // --firmware takes only a loadable image: one of another layout.
    sim::fw::ImageLayout layout = sim::fw::default_layout();
    layout.read_only.assign(64, 0x5A);
    const std::vector<uint8_t> other_bytes = sim::fw::build_image(layout);
    const std::string other(other_bytes.begin(), other_bytes.end());
    struct Run {
        const char* name;
        bool given;  // --config and --firmware on the command line
    } runs[] = {{"from the root", false}, {"from the options", true}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        const fs::path root = temp_dir("kept");
        const fs::path drivers = root / rig::kDriversFolder;
        fs::create_directories(drivers);
        std::ofstream(root / "registry.reg", std::ios::binary) << chosen;
        std::ofstream(drivers / "armcsm", std::ios::binary) << image;
        const std::string config_file = std::string(VORNET_SOURCE_DIR) + "/configs/default.reg";
        const std::string firmware_file = (root / "other-image").string();
        std::ofstream(firmware_file, std::ios::binary) << other;
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            if (run.given)
                execl(VORNET_SIM, VORNET_SIM, "--serve", "--root", root.c_str(), "--config", config_file.c_str(),
                      "--firmware", firmware_file.c_str(), (char*)nullptr);
            else
                execl(VORNET_SIM, VORNET_SIM, "--serve", "--root", root.c_str(), (char*)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200 && !fs::exists(root / "machine"); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(fs::exists(root / "machine")) << "serving";
        const std::string hive = read_text((root / "registry.reg").string());
        const std::string firmware = read_text((drivers / "armcsm").string());
        ::kill(pid, SIGTERM);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        if (run.given) {
            EXPECT_EQ(hive.find("Chosen"), std::string::npos) << hive;
            EXPECT_TRUE(firmware == other);
        } else {
            EXPECT_NE(hive.find("\"Chosen\"=\"by setup\""), std::string::npos) << hive;
            EXPECT_NE(hive.find("\"DeviceName\"=\"RIROVE\""), std::string::npos) << hive;
            EXPECT_TRUE(firmware == image) << "the root's firmware file is the one the driver opens";
        }
        fs::remove_all(root);
    }
}

TEST(MainJob, BadOptionValuesAreRefusedWithStatusTwoAndAMessage)
{
    // Configuration files: one cut short in several places, binary, and board types no table has.
    const fs::path dir = temp_dir("badcfg");
    const std::string whole = config("default.reg");
    const std::string value_line = "\"AdapterID\"=dword:00000004";
    const size_t at = whole.find(value_line);
    ASSERT_NE(at, std::string::npos);
    const std::string line_of_value = std::to_string(std::count(whole.begin(), whole.begin() + at, '\n') + 1);
    auto file = [&](const std::string& name, const std::string& text) {
        std::ofstream((dir / name).string(), std::ios::binary) << text;
        return (dir / name).string();
    };
    auto adapter = [&](const std::string& data) {
        std::string t = whole;
        return t.replace(at, value_line.size(), "\"AdapterID\"=" + data);
    };
    const std::string cut_dword = file("cut-dword.reg", whole.substr(0, at + value_line.size() - 3));
    const std::string cut_string = file("cut-string.reg", whole.substr(0, whole.find("\"RIROVE\"") + 4));
    const std::string cut_key = file("cut-key.reg", whole.substr(0, whole.find("\\Parameters]") + 5));
    const std::string cut_hex = file("cut-hex.reg", whole.substr(0, whole.find(",\\\n") + 3));
    const std::string binary = file("binary.reg", std::string("REG\x01\x1b[31m\xff\0zz\n", 14));
    const std::string id_nine = file("id-9.reg", adapter("dword:00000009"));
    const std::string id_zero = file("id-0.reg", adapter("dword:00000000"));
    const std::string id_text = file("id-text.reg", adapter("\"four\""));

    struct Case {
        std::vector<std::string> args;
        std::string message;
        bool usage;  // a usage error: the usage text follows
    };
    const Case cases[] = {
        {{"--calls", "many"}, "--calls needs a number", true},
        {{"--calls"}, "--calls needs a number", true},
        {{"--load", "half"}, "--load takes \"full\"", true},
        {{"--run-ms", "-5"}, "--run-ms needs a number", true},
        {{"--line", "0:carrier-pigeon"}, "is none of none, isdn, rbs, leased, peer:PATH", true},
        {{"--line", "x:isdn"}, "is not a line number", true},
        {{"--line", "3:isdn"}, "the board has 1 line(s)", false},
        {{"--peer", "0"}, "--peer needs N:PATH", true},
        {{"--peer", "0:/proc/version"}, "/proc/version exists and is not a socket: not replaced", false},
        {{"--serve"}, "--serve needs --root DIR", true},
        {{"--root", "/tmp/x"}, "--root is the directory a --serve run keeps its files in", true},
        {{"--serve", "--root", "/tmp/x", "--run-ms", "10"}, "--run-ms does not end a --serve run", true},
        {{"--load", "full", "--calls", "0"}, "not with --calls 0", true},
        {{"--config", VORNET_SOURCE_DIR "/README.md"}, "README.md: configuration: line 1: ", false},
        {{"--config", "/nonexistent.reg"}, "cannot read /nonexistent.reg", false},
        {{"--config", cut_dword}, "configuration: line " + line_of_value + ": the text ends inside this line: cut short", false},
        {{"--config", cut_string}, "configuration: line 5: unterminated string", false},
        {{"--config", cut_key}, "configuration: line 3: section must end with ']'", false},
        {{"--config", cut_hex}, "configuration: line 7: hex list ends with ','", false},
        {{"--config", binary}, "line 1: expected REGEDIT4 as the first line, found 'REG\\x01\\x1B[31m\\xFF\\x00zz'", false},
        {{"--config", id_nine}, "configuration: AdapterID 9 names no board type: 1 to 7", false},
        {{"--config", id_zero}, "configuration: AdapterID 0 names no board type: 1 to 7", false},
        {{"--config", id_text}, "configuration: AdapterID four names no board type: 1 to 7", false},
        {{"--firmware", "/nonexistent.img"}, "cannot read /nonexistent.img", false},
        {{"--firmware", "/tmp"}, "cannot read /tmp as a file", false},
        {{"--firmware", "/dev/null"}, "cannot read /dev/null as a file", false},
        {{"--no-such-option"}, "unknown option --no-such-option", true},
        {{"--fault", "gremlins"}, "--fault \"gremlins\" is none of all, modem-silent, signal-loss", true},
        {{"--soak", "seven"}, "--soak needs a seed", true},
        {{"--soak", "7", "--serve", "--root", "/tmp"}, "--fault and --soak run in virtual time", true},
        {{"--fault", "d-drop", "--peer", "0:/tmp/never.sock"}, "--fault and --soak run in virtual time: not with --serve, --com-pty or --peer", true},
        {{"--line", "0:peer:/tmp/never.sock", "--soak", "3"}, "not with --serve, --com-pty or --peer", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        std::string err;
        EXPECT_EQ(run_sim(c.args, &err), 2);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(err.find("usage: vornet-sim") != std::string::npos, c.usage) << err;
    }
    fs::remove_all(dir);
}

// A firmware file no modem processor would load is refused before the run, with the reason.
TEST(MainJob, FirmwareFilesTheProcessorsCannotLoadAreRefused)
{
    const std::vector<uint8_t> good = sim::fw::default_image();
    std::vector<uint8_t> random(3000);
    uint32_t x = 12345;
    for (auto& b : random) b = uint8_t((x = x * 1103515245u + 12345u) >> 16);
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* why;  // nullptr: loadable
    };
    const Case cases[] = {
        {"empty", {}, "shorter than the 128-octet AIF header"},
        {"cut short", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2), "cut short"},
        {"zeros", std::vector<uint8_t>(4096, 0), "no read-only part"},
        {"random", random, "run past its end"},
        {"the built one", good, nullptr},
    };
    const fs::path dir = temp_dir("fw");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        EXPECT_EQ(sim::fw::check_image(c.bytes, &why), c.why == nullptr) << why;
        if (c.why == nullptr) continue;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        const std::string file = (dir / "image").string();
        std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(c.bytes.data()),
                                                                      std::streamsize(c.bytes.size()));
        std::string err;
        EXPECT_EQ(run_sim({"--firmware", file, "--run-ms", "100"}, &err), 2);
        EXPECT_NE(err.find(file + " is no modem-processor firmware image: "), std::string::npos) << err;
        EXPECT_NE(err.find(c.why), std::string::npos) << err;
    }
    fs::remove_all(dir);
}

// A far end the line's configuration does not speak to runs, with a warning that says so.
TEST(MainJob, AFarEndTheLineIsNotConfiguredForIsNamed)
{
    // What the run goes on with, named in a warning line: a far end the line's signalling
    // does not speak to, a signalling protocol no stack has.
    const fs::path dir = temp_dir("warn");
    std::string nine = config("default.reg");
    const std::string protocol = "\"SignallingProtocol_0\"=dword:00000001";
    ASSERT_NE(nine.find(protocol), std::string::npos);
    nine.replace(nine.find(protocol), protocol.size(), "\"SignallingProtocol_0\"=dword:00000009");
    const std::string nine_file = (dir / "protocol-9.reg").string();
    std::ofstream(nine_file) << nine;
    struct Case {
        std::vector<std::string> args;
        std::string warning;  // empty: none
    };
    const Case cases[] = {
        {{"--line", "0:rbs"}, "warning: line 0: a robbed-bit far end on a line configured for 5ESS: no calls"},
        {{"--config", nine_file}, "warning: line 0: SignallingProtocol_0 9 names no signalling stack"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "default" : c.args[0]);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--run-ms", "200"});
        std::string err;
        EXPECT_EQ(run_sim(args, &err), 0) << err;
        if (c.warning.empty()) EXPECT_EQ(err.find("warning"), std::string::npos) << err;
        else EXPECT_NE(err.find(c.warning), std::string::npos) << err;
    }
    fs::remove_all(dir);
}

// One simulator serves a root: a second one on it is refused and leaves the first one's
// sockets where they are.
TEST(MainJob, SecondServeOnARootIsRefusedAndLeavesTheFirstOnesSockets)
{
    const fs::path root = temp_dir("twice");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int f = ::open("/dev/null", O_WRONLY);
        dup2(f, 1);
        execl(VORNET_SIM, VORNET_SIM, "--serve", "--root", root.c_str(), "--calls", "0", (char*)nullptr);
        _exit(127);
    }
    // The child is stopped however the test ends, or it would hold the test's output open.
    struct Reaper {
        pid_t pid;
        ~Reaper()
        {
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    } reaper{pid};
    const auto served = [&] { return fs::is_socket(root / "machine") && fs::is_socket(root / "VORNET1"); };
    for (int i = 0; i < 400 && !served(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(served());
    std::string err;
    EXPECT_EQ(run_sim({"--serve", "--root", root.string(), "--calls", "0"}, &err), 2);
    EXPECT_NE(err.find(root.string() + " is served by another vornet-sim already"), std::string::npos) << err;
    EXPECT_TRUE(fs::is_socket(root / "VORNET1")) << "the first one's device socket is still there";
    EXPECT_TRUE(fs::is_socket(root / "machine"));
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    reaper.pid = 0;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    fs::remove_all(root);
}

// With --json standard output is one JSON object, a fault run's table inside it, and the
// fault run's driver CPU measured.
TEST(MainJob, JsonIsOneObjectWithTheFaultTableInside)
{
    std::string out, err;
    EXPECT_EQ(run_sim({"--fault", "d-double", "--json"}, &err, &out), 0) << err;
    ASSERT_FALSE(out.empty()) << err;
    EXPECT_EQ(out.front(), '{') << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line, one object: " << out;
    EXPECT_EQ(out[out.size() - 2], '}') << out;
    EXPECT_NE(out.find("\"faults\": [{\"fault\": \"d-double\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"faults_sound\": true"), std::string::npos) << out;
    EXPECT_NE(out.find(", \"uncompleted\": 0, \"bytes_lost\": "), std::string::npos) << out;
    EXPECT_NE(out.find("\"faults_total\": {\"packets\": "), std::string::npos) << out;
    EXPECT_NE(out.find(", \"bytes_lost_outside_faults\": 0"), std::string::npos) << out;
    EXPECT_EQ(out.find("\"ms_per_simulated_second\": 0,"), std::string::npos) << "driver CPU measured: " << out;
    // The text has the same figures.
    EXPECT_EQ(run_sim({"--fault", "d-double"}, &err, &out), 0) << err;
    EXPECT_NE(out.find("packets  completed uncompleted bytes lost  result\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nall rows "), std::string::npos) << out;
    EXPECT_NE(out.find("outside them (before the first fault, between faults, in the wind-down) 0\n"), std::string::npos)
        << out;
    // The COM ports' names are in the object; their lines go to standard error.
    const fs::path ports = temp_dir("jsonpty");
    EXPECT_EQ(run_sim({"--com-pty", ports.string(), "--run-ms", "500", "--json"}, &err, &out), 0) << err;
    EXPECT_EQ(out.front(), '{') << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    EXPECT_NE(out.find("\"com_ports\": [{\"port\": \"COM5\", \"terminal\": \"/dev/pts/"), std::string::npos) << out;
    EXPECT_NE(err.find("COM5 -> /dev/pts/"), std::string::npos) << err;
    // As text: the COM ports' modem calls, and the main job's own none beside them.
    EXPECT_EQ(run_sim({"--com-pty", ports.string(), "--run-ms", "500"}, &err, &out), 0) << err;
    EXPECT_NE(out.find("line 0, COM ports: 0 modem call(s) up"), std::string::npos) << out;
    EXPECT_NE(out.find("modem calls of the main job's own: none (it leaves the modems to the COM ports"), std::string::npos) << out;
    EXPECT_EQ(out.find("modem calls: none"), std::string::npos) << out;
    fs::remove_all(ports);
    // A soak's object holds its table and its figures, and nothing else is printed.
    // (Its status says whether the faults broke an invariant: not the object's shape.)
    const int soak_status = run_sim({"--soak", "3", "--run-ms", "8000", "--json"}, &err, &out);
    EXPECT_TRUE(soak_status == 0 || soak_status == 1) << soak_status << err;
    ASSERT_FALSE(out.empty()) << err;
    EXPECT_EQ(out.front(), '{') << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line, one object: " << out;
    EXPECT_EQ(out[out.size() - 2], '}') << out;
    EXPECT_NE(out.find("\"faults\": [{\"fault\": "), std::string::npos) << out;
    EXPECT_NE(out.find("\"soak\": {\"seed\": 3, \"driver_memory_bytes\": {\"start\": "), std::string::npos) << out;
    EXPECT_NE(out.find("\"stopped_by_signal\": false"), std::string::npos) << out;
    // --help names every fault --fault takes.
    EXPECT_EQ(run_sim({"--help"}, &err, &out), 0);
    for (const char* name : {"modem-silent", "signal-loss", "d-drop", "d-double", "d-corrupt", "hdlc-acks", "hang-reset",
                             "halt", "socket-closed"})
        EXPECT_NE(out.find(std::string("  ") + name + " "), std::string::npos) << out;
}

}  // namespace
