// A terminal program on a COM port's pseudo-terminal: it opens the terminal the bridge
// names, sets it raw as minicom or pyserial would, types AT commands and reads what the
// modem channel behind the port answers.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "sim/firmware/firmware.h"
#include "sim/far/modem_peer.h"
#include "tools/harness/main_job.h"
#include "tools/harness/pty_bridge.h"
#include "tools/harness/rig.h"

namespace {

struct Terminal {
    int fd = -1;
    explicit Terminal(const std::string& path)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            cfsetspeed(&t, B115200);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~Terminal() { close(); }
    void close()
    {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void type(const std::string& s) { EXPECT_EQ(::write(fd, s.data(), s.size()), ssize_t(s.size())); }
    std::string take()
    {
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
        return out;
    }
};

// Serves the bridge on the virtual clock (not paced) until the terminal has read `want`.
std::string read_until(rig::Rig& r, rig::PtyBridge& bridge, Terminal& t, const std::string& want, plat::VTime limit)
{
    std::string got;
    for (plat::VTime end = r.host.now() + limit; r.host.now() < end;) {
        bridge.poll();
        r.host.run_for(plat::ms(5));
        bridge.poll();
        got += t.take();
        if (got.find(want) != std::string::npos) break;
    }
    return got;
}

TEST(PtyBridge, ATerminalProgramTalksToTheModemThroughItsPseudoTerminal)
{
    rig::Rig r;
    std::string error;
    ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
    r.host.registry.set_dword(r.parameters_key(1), "AsyncPorts_0", 2);
    r.set_firmware(sim::fw::build_image(sim::fw::default_layout()));
    r.add_board_for(1, 4);
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    ASSERT_NE(na, nullptr);
    r.host.run_for(plat::ms(1000));  // the ports exist; the modem processors still boot

    std::string dir = (std::filesystem::temp_directory_path() / ("vornet-pty-" + std::to_string(::getpid()))).string();
    {
        rig::PtyBridge bridge(r.host, dir);
        std::vector<std::string> ready;
        bridge.on_ready = [&](const rig::PtyBridge::Port& p) { ready.push_back(p.com); };
        ASSERT_TRUE(bridge.start(&error)) << error;
        ASSERT_EQ(bridge.ports().size(), 2u);
        EXPECT_TRUE(ready.empty()) << "no port is open while the modem processors boot";
        const auto& com = *bridge.ports()[0];
        EXPECT_EQ(com.com, "COM5");
        EXPECT_EQ(std::filesystem::read_symlink(dir + "/COM5").string(), com.terminal);
        EXPECT_EQ(com.terminal.rfind("/dev/pts/", 0), 0u) << com.terminal;

        Terminal t(dir + "/COM5");
        ASSERT_GE(t.fd, 0);
        // Typed before any modem channel is free: the bridge opens the port once one is.
        t.type("AT\r");
        std::string got = read_until(r, bridge, t, "OK", plat::ms(20000));
        EXPECT_NE(got.find("\r\nOK\r\n"), std::string::npos) << got;
        EXPECT_NE(bridge.ports()[0]->handle, plat::nt::INVALID_HANDLE_VALUE);
        EXPECT_EQ(std::count(ready.begin(), ready.end(), "COM5"), 1) << "told once, when it opened";
        t.type("ATI4\r");
        got = read_until(r, bridge, t, "OK", plat::ms(2000));
        EXPECT_NE(got.find("OK"), std::string::npos) << got;
        bridge.stop();
        std::error_code ec;
        EXPECT_FALSE(std::filesystem::is_symlink(dir + "/COM5", ec));
    }
    Adapter* a = rig::Rig::driver_adapter(na);
    EXPECT_EQ(a->NdisWanInfo[0][0].CurrentOwner, 0u) << "the bridge closed the port";
    r.halt(na);
    std::filesystem::remove_all(dir);
    for (const auto& v : r.host.violations()) ADD_FAILURE() << v;
}


// What a run finds at DIR/COM5: a link of an earlier run (to a pseudo-terminal) is
// replaced; anything else is the user's and is refused, left as it was. A second bridge
// on the directory while one serves it is refused and leaves the first one's links.
TEST(PtyBridge, ALinkIsReplacedOnlyWhenItIsAnOldOneAndADirectoryServesOneBridge)
{
    namespace fs = std::filesystem;
    rig::Rig r;
    std::string error;
    ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
    r.add_board_for(1, 4);
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    ASSERT_NE(na, nullptr);
    const fs::path dir = fs::temp_directory_path() / ("vornet-ptylink-" + std::to_string(::getpid()));
    const fs::path com5 = dir / "COM5";
    struct Case {
        const char* what;
        std::function<void()> make;  // what is at DIR/COM5 before the start
        bool started;
    };
    const Case cases[] = {
        {"nothing", [] {}, true},
        {"an old run's link", [&] { fs::create_symlink("/dev/pts/9999", com5); }, true},
        {"a file", [&] { std::ofstream(com5) << "precious\n"; }, false},
        {"a directory", [&] { fs::create_directory(com5); }, false},
        {"a link elsewhere", [&] { fs::create_symlink("/etc/hostname", com5); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir);
        fs::create_directories(dir);
        c.make();
        const fs::file_status before = fs::symlink_status(com5);
        rig::PtyBridge bridge(r.host, dir.string());
        error.clear();
        EXPECT_EQ(bridge.start(&error), c.started) << error;
        if (c.started) {
            ASSERT_FALSE(bridge.ports().empty());
            EXPECT_EQ(fs::read_symlink(com5).string(), bridge.ports()[0]->terminal);
        } else {
            EXPECT_NE(error.find(com5.string() + " exists and is not a link to a pseudo-terminal: not replaced"), std::string::npos)
                << error;
            EXPECT_EQ(fs::symlink_status(com5).type(), before.type()) << "left as it was";
            if (fs::is_regular_file(fs::symlink_status(com5))) {
                std::ifstream in(com5);
                std::string text;
                std::getline(in, text);
                EXPECT_EQ(text, "precious");
            }
        }
    }
    // One bridge serving the directory, a second one refused.
    fs::remove_all(dir);
    {
        rig::PtyBridge first(r.host, dir.string());
        ASSERT_TRUE(first.start(&error)) << error;
        const std::string terminal = first.ports()[0]->terminal;
        rig::PtyBridge second(r.host, dir.string());
        EXPECT_FALSE(second.start(&error));
        EXPECT_NE(error.find(dir.string() + " is in use by another vornet-sim's --com-pty"), std::string::npos) << error;
        second.stop();
        EXPECT_EQ(fs::read_symlink(com5).string(), terminal) << "the first one's link stays";
        first.stop();
        EXPECT_FALSE(fs::exists(fs::symlink_status(com5))) << "removed at its end";
        // The directory is free again.
        rig::PtyBridge third(r.host, dir.string());
        EXPECT_TRUE(third.start(&error)) << error;
    }
    r.halt(na);
    fs::remove_all(dir);
}

// Serves the bridge on the virtual clock for `t`.
void serve_for(rig::Rig& r, rig::PtyBridge& bridge, plat::VTime t)
{
    for (plat::VTime end = r.host.now() + t; r.host.now() < end;) {
        bridge.poll();
        r.host.run_for(plat::ms(5));
    }
    bridge.poll();
}

std::string joined(const std::vector<std::vector<uint8_t>>& frames)
{
    std::string s;
    for (const auto& f : frames) s.append(f.begin(), f.end());
    return s;
}

// The run vornet-sim makes with --com-pty: the main job's traffic on the lines, the
// ports' Links left to the ports, the far modem on the speech calls of the ISDN line.
// A terminal on COM5 dials the far modem, exchanges data, escapes and hangs up; then
// the far end calls the port's number, the terminal answers, and drops DTR to hang up.
TEST(PtyBridge, ATerminalDialsAnswersExchangesDataAndHangsUp)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.plan.leave_port_links = true;
    o.firmware = sim::fw::default_image();  // as vornet-sim gives it
    std::string error;
    ASSERT_TRUE(job.start(o, &error)) << error;
    rig::Rig& r = job.rig();
    sim::IsdnNetworkSide* net = job.far_ends().isdn[0];
    sim::ModemPeer* far = job.modem(0);
    ASSERT_NE(net, nullptr);
    ASSERT_NE(far, nullptr);
    r.host.run_for(plat::ms(14000));  // the modem processors booted, the network's link up

    std::string dir = (std::filesystem::temp_directory_path() / ("vornet-pty-call-" + std::to_string(::getpid()))).string();
    {
        rig::PtyBridge bridge(r.host, dir);
        ASSERT_TRUE(bridge.start(&error)) << error;
        Terminal t(dir + "/COM5");
        ASSERT_GE(t.fd, 0);
        t.type("AT\r");
        std::string got = read_until(r, bridge, t, "OK\r\n", plat::ms(20000));
        EXPECT_EQ(got, "AT\r\r\nOK\r\n");

        // Dialling: the network connects the call, the far modem answers.
        t.type("ATD5550123\r");
        got = read_until(r, bridge, t, "CONNECT", plat::ms(10000));
        got += read_until(r, bridge, t, "\r\n", plat::ms(200));
        EXPECT_EQ(got.rfind("ATD5550123\r", 0), 0u) << got;
        EXPECT_NE(got.find("\r\nCONNECT 33600\r\n"), std::string::npos) << got;
        std::optional<sim::CallInfo> call;
        for (const auto& c : net->calls())
            if (c.called == "5550123") call = c;
        ASSERT_TRUE(call.has_value()) << "no call to the number dialled";
        EXPECT_EQ(call->state, sim::NetState::Active);
        const unsigned ch = call->channel;
        EXPECT_EQ(far->state(ch), sim::ModemPeer::State::Connected);

        // Data both ways: what the terminal types reaches the far modem, which echoes it.
        t.type("hello, far end");
        got = read_until(r, bridge, t, "hello, far end", plat::ms(2000));
        EXPECT_EQ(got, "hello, far end");
        EXPECT_EQ(joined(far->received(ch)), "hello, far end");
        ASSERT_TRUE(far->send(ch, {'f', 'r', 'o', 'm', ' ', 'f', 'a', 'r'}));
        EXPECT_EQ(read_until(r, bridge, t, "from far", plat::ms(2000)), "from far");

        // "+++" typed key by key between guard times of a second: the far modem gets
        // (and echoes) it as data, then the modem is back in command state.
        serve_for(r, bridge, plat::ms(1000));
        for (int i = 0; i < 3; i++) {
            t.type("+");
            serve_for(r, bridge, plat::ms(150));
        }
        got = read_until(r, bridge, t, "OK\r\n", plat::ms(2000));
        EXPECT_EQ(got, "+++\r\nOK\r\n");
        EXPECT_EQ(joined(far->received(ch)), "hello, far end+++");
        // Back on line, and out again.
        t.type("ATO\r");
        got = read_until(r, bridge, t, "CONNECT 33600\r\n", plat::ms(2000));
        EXPECT_EQ(got, "ATO\r\r\nCONNECT 33600\r\n");
        t.type("again");
        EXPECT_EQ(read_until(r, bridge, t, "again", plat::ms(2000)), "again");
        serve_for(r, bridge, plat::ms(1100));
        t.type("+++");
        EXPECT_EQ(read_until(r, bridge, t, "OK\r\n", plat::ms(3000)), "+++\r\nOK\r\n");
        t.type("ATH\r");
        got = read_until(r, bridge, t, "OK\r\n", plat::ms(2000));
        EXPECT_EQ(got, "ATH\r\r\nOK\r\n");
        ASSERT_TRUE(rig::run_until(r.host, [&] { return net->channel_state(ch) == sim::NetState::Null; }, plat::ms(5000)))
            << "the call was not cleared";
        EXPECT_EQ(far->hangups_heard(ch), 1u);

        // The far end calls the port's number: RING, ATA, CONNECT.
        serve_for(r, bridge, plat::ms(500));
        unsigned in = 0;
        for (unsigned c = 23; c >= 1 && in == 0; c--)
            if (net->is_bearer_channel(c) && net->channel_state(c) == sim::NetState::Null) in = c;
        ASSERT_NE(in, 0u);
        auto key = net->offer_call(in, "5551000", "4165550123", sim::q931::Bearer::speech(false));
        ASSERT_TRUE(key.has_value());
        got = read_until(r, bridge, t, "RING\r\n", plat::ms(5000));
        EXPECT_EQ(got, "\r\nRING\r\n");
        t.type("ATA\r");
        got = read_until(r, bridge, t, "CONNECT", plat::ms(10000));
        got += read_until(r, bridge, t, "\r\n", plat::ms(200));
        EXPECT_NE(got.find("\r\nCONNECT 33600\r\n"), std::string::npos) << got;
        ASSERT_TRUE(net->call(*key).has_value());
        EXPECT_EQ(net->call(*key)->state, sim::NetState::Active);
        EXPECT_EQ(far->state(in), sim::ModemPeer::State::Connected);
        t.type("12345");
        EXPECT_EQ(read_until(r, bridge, t, "12345", plat::ms(2000)), "12345");

        // The terminal drops DTR (output speed 0, as a terminal program hangs up).
        termios tio{};
        ASSERT_EQ(tcgetattr(t.fd, &tio), 0);
        speed_t speed = cfgetospeed(&tio);
        cfsetospeed(&tio, B0);
        ASSERT_EQ(tcsetattr(t.fd, TCSANOW, &tio), 0);
        got = read_until(r, bridge, t, "NO CARRIER\r\n", plat::ms(3000));
        EXPECT_EQ(got, "\r\nNO CARRIER\r\n");
        ASSERT_TRUE(rig::run_until(r.host, [&] { return !net->call(*key) || net->call(*key)->state == sim::NetState::Null; },
                                   plat::ms(5000)))
            << "the call was not cleared";
        EXPECT_EQ(far->hangups_heard(in), 1u);
        // DTR up again: the modem takes commands.
        cfsetospeed(&tio, speed);
        ASSERT_EQ(tcsetattr(t.fd, TCSANOW, &tio), 0);
        serve_for(r, bridge, plat::ms(100));
        t.type("AT\r");
        EXPECT_EQ(read_until(r, bridge, t, "OK\r\n", plat::ms(2000)), "AT\r\r\nOK\r\n");

        // Closing the terminal program drops DTR: the call ends. The next program
        // finds DTR up and the modem in command state.
        t.type("ATD5550125\r");
        got = read_until(r, bridge, t, "CONNECT", plat::ms(10000));
        EXPECT_NE(got.find("\r\nCONNECT"), std::string::npos) << got;
        std::optional<sim::CallInfo> closed;
        for (const auto& c : net->calls())
            if (c.called == "5550125") closed = c;
        ASSERT_TRUE(closed.has_value());
        // Closed in the middle of a block: what it typed and the port still holds is
        // not taken by the modem as commands once the call is down.
        t.type(std::string(3000, 'x'));
        serve_for(r, bridge, plat::ms(20));
        t.take();
        t.close();
        serve_for(r, bridge, plat::ms(100));
        EXPECT_TRUE(rig::run_until(r.host, [&] { return net->channel_state(closed->channel) == sim::NetState::Null; },
                                   plat::ms(5000)))
            << "the call outlived the terminal program";
        serve_for(r, bridge, plat::ms(500));
        Terminal next(dir + "/COM5");
        ASSERT_GE(next.fd, 0);
        serve_for(r, bridge, plat::ms(100));
        EXPECT_EQ(next.take(), "") << "what came while no terminal was open is not kept";
        next.type("AT\r");
        EXPECT_EQ(read_until(r, bridge, next, "OK\r\n", plat::ms(2000)), "AT\r\r\nOK\r\n");

        // Closing the port ends a call as well.
        next.type("ATD5550124\r");
        got = read_until(r, bridge, next, "CONNECT", plat::ms(10000));
        EXPECT_NE(got.find("\r\nCONNECT"), std::string::npos) << got;
        std::optional<sim::CallInfo> last;
        for (const auto& c : net->calls())
            if (c.called == "5550124") last = c;
        ASSERT_TRUE(last.has_value());
        EXPECT_EQ(last->state, sim::NetState::Active);
        bridge.stop();
        EXPECT_TRUE(rig::run_until(r.host, [&] { return net->channel_state(last->channel) == sim::NetState::Null; },
                                   plat::ms(5000)))
            << "the call outlived the port's handle";
    }
    std::filesystem::remove_all(dir);
    rig::Summary s = job.finish();
    EXPECT_TRUE(s.violations.empty());
    for (const auto& v : s.violations) ADD_FAILURE() << v;
    EXPECT_TRUE(s.halted_clean);
    EXPECT_EQ(s.data.bytes_verified, s.data.bytes_sent) << "the traffic beside the port";
    // The port's four calls (three dialled, one answered) are in the summary, apart from the traffic's.
    ASSERT_FALSE(s.lines.empty());
    EXPECT_TRUE(s.lines[0].com_ports.present);
    EXPECT_EQ(s.lines[0].com_ports.calls, 4u);
    EXPECT_EQ(s.lines[0].com_ports.connected, 4u);
    const std::string table = rig::to_table(s), json = rig::to_json(s);
    EXPECT_NE(table.find("line 0, COM ports: 4 modem call(s) up, 4 of them connected with the far modem"), std::string::npos)
        << table;
    EXPECT_NE(json.find("\"com_port_calls\": {\"calls\": 4, \"connected\": 4}"), std::string::npos) << json;
}


// A dial the network refuses (busy), and one nobody answers: the terminal gets NO CARRIER
// and the modem takes commands again.
TEST(PtyBridge, ADialThatFailsEndsInNoCarrier)
{
    rig::MainJob job;
    rig::RunOptions o;
    o.plan.leave_port_links = true;
    o.firmware = sim::fw::default_image();
    std::string error;
    ASSERT_TRUE(job.start(o, &error)) << error;
    rig::Rig& r = job.rig();
    sim::IsdnNetworkSide* net = job.far_ends().isdn[0];
    ASSERT_NE(net, nullptr);
    r.host.run_for(plat::ms(14000));
    std::string dir = (std::filesystem::temp_directory_path() / ("vornet-pty-fail-" + std::to_string(::getpid()))).string();
    {
        rig::PtyBridge bridge(r.host, dir);
        ASSERT_TRUE(bridge.start(&error)) << error;
        Terminal t(dir + "/COM5");
        ASSERT_GE(t.fd, 0);
        t.type("AT\r");
        ASSERT_NE(read_until(r, bridge, t, "OK\r\n", plat::ms(20000)).find("OK"), std::string::npos);
        struct Case {
            const char* name;
            sim::AnswerPolicy::Action action;
        } cases[] = {{"busy", sim::AnswerPolicy::Action::Busy}, {"no answer", sim::AnswerPolicy::Action::NoAnswer}};
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            net->set_answer_policy([&c](const sim::CallInfo& call) {
                sim::AnswerPolicy p;
                if (call.called == "5550199") p.action = c.action;
                p.no_answer_after = plat::ms(3000);
                return p;
            });
            t.type("ATD5550199\r");
            std::string got = read_until(r, bridge, t, "NO CARRIER\r\n", plat::ms(60000));
            EXPECT_NE(got.find("\r\nNO CARRIER\r\n"), std::string::npos) << got;
            serve_for(r, bridge, plat::ms(500));
            t.type("AT\r");
            EXPECT_EQ(read_until(r, bridge, t, "OK\r\n", plat::ms(3000)), "AT\r\r\nOK\r\n");
        }
        bridge.stop();
    }
    std::filesystem::remove_all(dir);
    rig::Summary s = job.finish();
    for (const auto& v : s.violations) ADD_FAILURE() << v;
}

}  // namespace
