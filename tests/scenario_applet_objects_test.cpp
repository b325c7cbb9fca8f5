// The applet's object tree against the boards served as vornet-sim --serve serves
// them: the agent finds the adapter by probing the driver's devices, the adapter
// builds its line interface, channels and modems from the driver's summary and its
// modules' processor and pump counts, and follows the status snapshot of every line;
// a speech call from the far end is answered by a pump, the channel shows it connected
// on that modem, and clearing brings both back to idle. On both shipped boards every
// module's modems and every call's channel and modem show what the board has.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QLCommon/Adapter.h"
#include "QLCommon/Agent.h"
#include "QLCommon/mthrd.h"
#include "QLCommon/os.h"
#include "QLCommon/smem.h"
#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/MDM_PUMP.h"
#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "sim/far/isdn_network.h"
#include "sim/far/modem_peer.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/device_server.h"
#include "tools/harness/rig.h"
#include "platform/win32/test_root.h"

namespace fs = std::filesystem;

namespace {

class AppletObjects : public ::testing::Test {
public:
    TempRoot root;
    rig::Rig r;
    sim::Card* card = nullptr;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    std::unique_ptr<sim::IsdnNetworkSide> net;
    std::unique_ptr<sim::ModemPeer> peer;
    std::unique_ptr<rig::DeviceServer> server;
    std::mutex boxLock;
    std::vector<std::string> boxes;

    void SetUp() override
    {
        std::ofstream(root.dir / "registry.reg") << rig::kDefaultConfig;
        std::string e;
        ASSERT_TRUE(rig::DeviceServer::load_root(r, root.dir, &e)) << e;
        r.set_firmware(sim::fw::default_image());
        card = &r.add_board_for(1, 4);
        net = std::make_unique<sim::IsdnNetworkSide>(r.host, card->line(0), sim::IsdnNetworkConfig{});
        peer = std::make_unique<sim::ModemPeer>(r.host.sched, card->line(0));
        peer->follow(*net);
        ASSERT_EQ(r.load_driver(), 0);
        a = rig::Rig::driver_adapter(na = r.initialize(1));
        ASSERT_NE(a, nullptr);
        ASSERT_TRUE(rig::run_until(r.host, [&] { return running_processors() == 10u; }, plat::ms(15000)));
        if (!rig::run_until(r.host, [&] { return net->link_up(); }, plat::ms(3000))) net->establish();
        ASSERT_TRUE(rig::run_until(r.host, [&] { return net->link_up() && a->LineUp[0] == 1; }, plat::ms(3000)));
        server = std::make_unique<rig::DeviceServer>(r, root.dir);
        server->service();  // the running adapter's socket exists from here on
        os_SetMessageBoxHandler([this](const std::string& text) {
            std::lock_guard<std::mutex> g(boxLock);
            boxes.push_back(text);
        });
    }
    void TearDown() override
    {
        if (GAgent != nullptr) on_client([] { smem_Close(); });
        os_SetMessageBoxHandler(nullptr);
        server.reset();
        if (na != nullptr) r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }

    size_t running_processors()
    {
        size_t n = 0;
        for (unsigned s = 0; s < a->SocketCount && s < MAX_SOCKETS; s++)
            for (unsigned c = 0; c < a->Socket[s].ProcessorCount; c++) n += a->Socket[s].Csms[c].State == CSM_RUNNING;
        return n;
    }

    // Serves the devices and moves the board's clock until done, or 20 s pass.
    bool serve_until(const std::function<bool()>& done)
    {
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < limit) {
            if (done()) return true;
            server->service();
            r.host.run_for(plat::ms(5));
            pollfd p{server->fd(), POLLIN, 0};
            ::poll(&p, 1, 1);
        }
        return done();
    }
    // Runs fn on a thread of its own while this thread serves.
    void on_client(const std::function<void()>& fn)
    {
        std::atomic<bool> finished{false};
        std::thread t([&] {
            fn();
            finished = true;
        });
        serve_until([&] { return finished.load(); });
        t.join();
    }
    // Asks for a snapshot now and serves until check holds.
    bool poll_until(CVX2430Adapter* adapter, const std::function<bool()>& check)
    {
        auto next = std::chrono::steady_clock::now();
        return serve_until([&] {
            if (check()) return true;
            if (std::chrono::steady_clock::now() >= next) {
                adapter->Push(new CVX2430Adapter::CStatusPollMessage);
                next += std::chrono::milliseconds(50);
            }
            return false;
        });
    }
};

TEST_F(AppletObjects, AFarEndModemCallIsSeenByTheChannelAndItsModemAndCleared)
{
    bool opened = false;
    on_client([&] { opened = smem_Open(1); });
    ASSERT_TRUE(opened);
    ASSERT_EQ(GAgent->GetAdapters().size(), 1u) << "VORNET1 alone answers the probe";
    auto* adapter = dynamic_cast<CVX2430Adapter*>(GAgent->GetAdapters()[0]);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->GetName(), "VORNET1");
    EXPECT_EQ(adapter->GetDeviceNumber(), 1u);
    EXPECT_EQ(GAgent->m_Info.m_Record.AdapterCount, 1u);

    ASSERT_TRUE(serve_until([&] { return os_TestEvent(adapter->GetInitialisedEvent()) != 0; }));
    EXPECT_EQ(adapter->GetModuleCount(), 5u);
    ASSERT_EQ(adapter->GetModemCount(), 30u);
    ASSERT_EQ(adapter->GetChannelCount(), 24u) << "LineMode_0 0: T1";
    auto* li = dynamic_cast<CRockyLineInterface*>(adapter->GetLineInterface());
    ASSERT_NE(li, nullptr);
    EXPECT_EQ(li->m_Setup.m_Record.SignallingProtocol, 1);
    EXPECT_EQ(li->m_Setup.m_Record.FramingFormat, 3);
    EXPECT_TRUE(adapter->GetChannel(23)->IsDChannel());
    EXPECT_EQ(GAgent->ReturnGetPtr(0x3FFFF, CSMemIndex(7)), adapter->GetModem(7)) << "modems by global index";

    // The line is up at both layers; channels idle; the D channel as such.
    ASSERT_TRUE(poll_until(adapter, [&] {
        return li->GetLayer1StateText() == "Layer Up" && li->GetLayer2StateText() == "Layer Up" &&
               adapter->GetChannel(2)->GetViewText() == "Idle";
    })) << li->GetLayer1StateText() << " / " << li->GetLayer2StateText() << " / " << adapter->GetChannel(2)->GetViewText();
    EXPECT_EQ(adapter->GetChannel(23)->GetViewText(), "D-Channel");
    // A snapshot's module words are kept after its line and channels: wait for them too.
    EXPECT_TRUE(poll_until(adapter, [&] { return adapter->GetModuleWordA(0) == a->Socket[0].ModuleID; }));
    EXPECT_EQ(adapter->GetModuleWordA(0), a->Socket[0].ModuleID);
    EXPECT_EQ(adapter->GetModuleWordB(0), 1u);
    ASSERT_TRUE(poll_until(adapter, [&] {
        for (uint32_t i = 0; i < 30; i++)
            if (static_cast<CRockyModem*>(adapter->GetModem(i))->GetModemState() != 2) return false;
        return true;
    })) << "every pump asleep and unowned: Idle";

    // A speech call from the far end to a Link the driver owns goes to a pump.
    Link* l = nullptr;
    rig::with_adapter_lock(a, [&] { l = LinkAcquire(a, 0, 0, 2, OWNER_DRIVER); });
    ASSERT_NE(l, nullptr);
    auto key = net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(rig::run_until(r.host, [&] { return l->ThisPump != nullptr && l->ThisPump->PumpState == PUMP_ON_LINE; },
                               plat::ms(6000)));
    Pump* p = l->ThisPump;
    const uint32_t n = (p->ThisCsm->ThisSocket->SocketIndex * 2 + p->ThisCsm->Index) * 3 + p->PumpNumber + 1;
    auto* modem = static_cast<CRockyModem*>(adapter->GetModem(n - 1));
    ASSERT_EQ(modem->GetModemNumber(), n);
    const std::string connected = "Connected on Modem " + std::to_string(n);
    CRockyChannel* channel = adapter->GetChannel(2);
    ASSERT_EQ(channel->GetChannelNumber(), 3u);
    EXPECT_TRUE(poll_until(adapter, [&] { return channel->GetViewText() == connected && modem->GetModemState() == 4; }))
        << channel->GetViewText() << " / " << modem->GetViewText();
    EXPECT_EQ(modem->GetViewText(), "Connected on B-Channel 3");
    EXPECT_EQ(adapter->GetChannel(3)->GetViewText(), "Idle");

    // The network clears: the channel and the modem go back to idle.
    ASSERT_TRUE(net->clear_call(*key));
    ASSERT_TRUE(rig::run_until(r.host, [&] { return l->ThisPump == nullptr && p->PumpState == PUMP_SLEEP; },
                               plat::ms(8000)));
    EXPECT_TRUE(poll_until(adapter, [&] { return channel->GetViewText() == "Idle" && modem->GetModemState() == 2; }))
        << channel->GetViewText() << " / " << modem->GetViewText();
    EXPECT_EQ(modem->GetViewText(), "Idle: Unallocated");

    on_client([] { smem_Close(); });
    EXPECT_EQ(GAgent, nullptr);
    std::lock_guard<std::mutex> g(boxLock);
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

// The firmware update copies the file into the system folder and the restart brings
// the board back on it: the image the machine had before would not boot.
TEST_F(AppletObjects, TheFirmwareUpdateAndARestartBringTheBoardBackOnTheNewFile)
{
    bool opened = false;
    on_client([&] { opened = smem_Open(1); });
    ASSERT_TRUE(opened);
    auto* adapter = dynamic_cast<CVX2430Adapter*>(GAgent->GetAdapters().at(0));
    ASSERT_TRUE(serve_until([&] { return os_TestEvent(adapter->GetInitialisedEvent()) != 0; }));

    const std::vector<uint8_t> image = sim::fw::default_image();
    std::ofstream(root.dir / "C" / "fw.bin", std::ios::binary).write((const char*)image.data(), (std::streamsize)image.size());
    r.set_firmware(std::vector<uint8_t>(64, 0xEE));
    struct Done : CObserver {
        std::atomic<int32_t> code{-9};
        void Update(CSubject* s, SubjectHint) override
        {
            code = static_cast<CVX2430Adapter::CUpdateModemCodeMessage*>(s)->m_Result;
        }
    } done;
    adapter->PushWithObserver(new CVX2430Adapter::CUpdateModemCodeMessage("C:\\fw.bin", 0), &done);
    ASSERT_TRUE(serve_until([&] { return done.code != -9; }));
    EXPECT_EQ(done.code, 0);
    std::ifstream copied(root.dir / "C" / "WINNT" / "system32" / "drivers" / "armcsm", std::ios::binary);
    EXPECT_TRUE(std::vector<uint8_t>(std::istreambuf_iterator<char>(copied), {}) == image);

    int restarted = 0;
    on_client([&] { restarted = os_RestartWindows(); });
    EXPECT_EQ(restarted, 1);
    na = nullptr;
    for (auto& n : r.host.ndis().adapters())
        if (n->instance == 1 && n->initialised && !n->halted) na = n.get();
    ASSERT_NE(na, nullptr) << "the adapter came back";
    a = rig::Rig::driver_adapter(na);
    EXPECT_TRUE(rig::run_until(r.host, [&] { return running_processors() == 10u; }, plat::ms(15000)))
        << "the processors boot from the copied file";
    on_client([] { smem_Close(); });
}

// ---- both shipped boards ----

std::string ShippedConfig(const std::string& name)
{
    std::ifstream in(std::string(VORNET_SOURCE_DIR) + "/configs/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A shipped configuration served as vornet-sim --serve serves it, with a network side
// and a far modem on every ISDN line.
class ShippedBoard : public ::testing::TestWithParam<const char*> {
public:
    TempRoot root;
    rig::Rig r;
    sim::Card* card = nullptr;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    rig::FarEnds far;
    std::vector<std::unique_ptr<sim::ModemPeer>> peers;
    std::unique_ptr<rig::DeviceServer> server;
    std::mutex boxLock;
    std::vector<std::string> boxes;
    std::vector<unsigned> isdnLines;

    void SetUp() override
    {
        std::ofstream(root.dir / "registry.reg") << ShippedConfig(GetParam());
        std::string e;
        ASSERT_TRUE(rig::DeviceServer::load_root(r, root.dir, &e)) << e;
        r.set_firmware(sim::fw::default_image());
        card = &r.add_board_for(1, 4);
        far = r.attach_far_ends(*card, 1);
        for (unsigned n = 0; n < card->line_count(); n++) {
            if (far.isdn[n] == nullptr) continue;
            isdnLines.push_back(n);
            peers.push_back(std::make_unique<sim::ModemPeer>(r.host.sched, card->line(n)));
            peers.back()->follow(*far.isdn[n]);
        }
        ASSERT_FALSE(isdnLines.empty());
        ASSERT_EQ(isdnLines[0], 0u) << "line 0 carries the channel objects";
        ASSERT_EQ(r.load_driver(), 0);
        a = rig::Rig::driver_adapter(na = r.initialize(1));
        ASSERT_NE(a, nullptr);
        ASSERT_TRUE(rig::run_until(r.host, [&] { return running_processors() == processors(); }, plat::ms(15000)));
        for (unsigned n : isdnLines)
            ASSERT_TRUE(rig::run_until(r.host, [&] { return far.isdn[n]->link_up() && a->LineUp[n] == 1; },
                                       plat::ms(6000)))
                << "line " << n;
        server = std::make_unique<rig::DeviceServer>(r, root.dir);
        server->service();
        os_SetMessageBoxHandler([this](const std::string& text) {
            std::lock_guard<std::mutex> g(boxLock);
            boxes.push_back(text);
        });
    }
    void TearDown() override
    {
        if (GAgent != nullptr) on_client([] { smem_Close(); });
        os_SetMessageBoxHandler(nullptr);
        server.reset();
        if (na != nullptr) r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }

    size_t processors()
    {
        size_t n = 0;
        for (unsigned s = 0; s < a->SocketCount && s < MAX_SOCKETS; s++) n += a->Socket[s].ProcessorCount;
        return n;
    }
    size_t running_processors()
    {
        size_t n = 0;
        for (unsigned s = 0; s < a->SocketCount && s < MAX_SOCKETS; s++)
            for (unsigned c = 0; c < a->Socket[s].ProcessorCount; c++) n += a->Socket[s].Csms[c].State == CSM_RUNNING;
        return n;
    }
    bool serve_until(const std::function<bool()>& done)
    {
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < limit) {
            if (done()) return true;
            server->service();
            r.host.run_for(plat::ms(5));
            pollfd p{server->fd(), POLLIN, 0};
            ::poll(&p, 1, 1);
        }
        return done();
    }
    void on_client(const std::function<void()>& fn)
    {
        std::atomic<bool> finished{false};
        std::thread t([&] {
            fn();
            finished = true;
        });
        serve_until([&] { return finished.load(); });
        t.join();
    }
    bool poll_until(CVX2430Adapter* adapter, const std::function<bool()>& check)
    {
        auto next = std::chrono::steady_clock::now();
        return serve_until([&] {
            if (check()) return true;
            if (std::chrono::steady_clock::now() >= next) {
                adapter->Push(new CVX2430Adapter::CStatusPollMessage);
                next += std::chrono::milliseconds(50);
            }
            return false;
        });
    }

    // The board's pumps in its own numbering: socket by socket, processor by processor.
    std::vector<const Pump*> pumps()
    {
        std::vector<const Pump*> all;
        for (unsigned s = 0; s < a->SocketCount && s < MAX_SOCKETS; s++)
            for (unsigned c = 0; c < a->Socket[s].ProcessorCount; c++)
                for (unsigned i = 0; i < a->Socket[s].Csms[c].PumpCount; i++) all.push_back(&a->Socket[s].Csms[c].Pumps[i]);
        return all;
    }
    uint32_t modem_of(const Pump* p)
    {
        auto all = pumps();
        return (uint32_t)(std::find(all.begin(), all.end(), p) - all.begin()) + 1;
    }
    std::string number(unsigned line, unsigned index)
    {
        char name[48];
        std::snprintf(name, sizeof name, "Line_%u.DirectoryNumber_%2.2u", line, index);
        return r.host.registry.get_sz(r.parameters_key(1), name).value_or("");
    }
    // What the objects show that the board does not: one line per object.
    std::string mismatches(CVX2430Adapter* adapter)
    {
        std::ostringstream out;
        auto all = pumps();
        if (adapter->GetModemCount() != all.size())
            out << adapter->GetModemCount() << " modems for " << all.size() << " pumps\n";
        for (size_t i = 0; i < all.size() && i < adapter->GetModemCount(); i++) {
            const Pump* p = all[i];
            std::string shown = adapter->GetModem((uint32_t)i)->GetViewText();
            const Link* l = p->ThisLink;
            bool call = p->PumpState == PUMP_ON_LINE && l != nullptr && l->ThisBChannel != nullptr;
            std::string want = call ? "Connected on B-Channel " + std::to_string(GetLinkTimeslot(const_cast<Link*>(l)))
                                    : p->PumpState == PUMP_SLEEP ? "Idle" : "";
            if (!want.empty() && shown.rfind(want, 0) != 0)
                out << "modem " << i + 1 << ": \"" << shown << "\", the pump: \"" << want << "...\"\n";
        }
        for (uint32_t k = 0; k < adapter->GetChannelCount(); k++) {
            CRockyChannel* channel = adapter->GetChannel(k);
            uint32_t ch = channel->GetChannelNumber();
            std::string want = channel->IsDChannel() ? "D-Channel" : "Idle";
            for (ULONG i = 0; i < MAX_LINKS_PER_GROUP; i++) {
                Link* l = &a->NdisWanInfo[0][i];
                if (l->ThisBChannel == nullptr || l->ChannelState != CHANNEL_STATE_ACTIVE || GetLinkTimeslot(l) != ch)
                    continue;
                want = "Connected";
                if (l->ThisPump != nullptr) want += " on Modem " + std::to_string(modem_of(l->ThisPump));
            }
            if (channel->GetViewText() != want)
                out << "channel " << ch << ": \"" << channel->GetViewText() << "\", the board: \"" << want << "\"\n";
        }
        return out.str();
    }
};

// Every ISDN line takes a modem call a pump answers, line 0 a data call beside it: the
// objects show every module's modems and every line-0 call's channel and modem as the
// board has them; after the modem call on line 0 clears, a data call on its channel
// shows no modem.
TEST_P(ShippedBoard, TheObjectsShowEveryModuleModemAndEveryCallAsTheBoardHasThem)
{
    bool opened = false;
    on_client([&] { opened = smem_Open(1); });
    ASSERT_TRUE(opened);
    auto* adapter = dynamic_cast<CVX2430Adapter*>(GAgent->GetAdapters().at(0));
    ASSERT_NE(adapter, nullptr);
    ASSERT_TRUE(serve_until([&] { return os_TestEvent(adapter->GetInitialisedEvent()) != 0; }));
    EXPECT_EQ(adapter->GetModuleCount(), a->SocketCount);
    ASSERT_EQ(adapter->GetModemCount(), pumps().size());
    for (uint32_t i = 0; i < adapter->GetModemCount(); i++) {
        const Pump* p = pumps()[i];
        const ModemAddress& at = static_cast<CRockyModem*>(adapter->GetModem(i))->GetAddress();
        ASSERT_EQ(at.Module, p->ThisCsm->ThisSocket->SocketIndex) << "modem " << i + 1;
        ASSERT_EQ(at.Processor, p->ThisCsm->Index) << "modem " << i + 1;
        ASSERT_EQ(at.Pump, p->PumpNumber) << "modem " << i + 1;
    }
    std::string diff;
    ASSERT_TRUE(poll_until(adapter, [&] { return (diff = mismatches(adapter)).empty(); })) << diff;

    // A modem call on every ISDN line, and a data call on line 0.
    struct Call {
        unsigned line;
        Link* link;
        std::optional<sim::CallKey> key;
    };
    std::vector<Call> modemCalls;
    for (unsigned n : isdnLines) {
        Call c{n, nullptr, {}};
        rig::with_adapter_lock(a, [&] { c.link = LinkAcquire(a, 0, n, 2, OWNER_DRIVER); });
        ASSERT_NE(c.link, nullptr);
        c.key = far.isdn[n]->offer_call(3, number(n, 2), "4165550199", sim::q931::Bearer::speech(false));
        ASSERT_TRUE(c.key.has_value());
        modemCalls.push_back(c);
    }
    Link* data = nullptr;
    rig::with_adapter_lock(a, [&] { data = LinkAcquire(a, 0, 0, 5, OWNER_DRIVER); });
    ASSERT_NE(data, nullptr);
    auto dataKey = far.isdn[0]->offer_call(6, number(0, 5), "4165550100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(dataKey.has_value());
    ASSERT_TRUE(rig::run_until(r.host, [&] {
        for (const Call& c : modemCalls)
            if (c.link->ThisPump == nullptr || c.link->ThisPump->PumpState != PUMP_ON_LINE) return false;
        return data->ChannelState == CHANNEL_STATE_ACTIVE;
    }, plat::ms(8000)));
    ASSERT_TRUE(poll_until(adapter, [&] { return (diff = mismatches(adapter)).empty(); })) << diff;
    const Pump* first = modemCalls[0].link->ThisPump;
    EXPECT_EQ(adapter->GetChannel(2)->GetViewText(), "Connected on Modem " + std::to_string(modem_of(first)));
    EXPECT_EQ(adapter->GetChannel(5)->GetViewText(), "Connected") << "a data call has no modem";
    for (const Call& c : modemCalls)
        EXPECT_EQ(adapter->GetModem(modem_of(c.link->ThisPump) - 1)->GetViewText().rfind("Connected on B-Channel 3", 0), 0u)
            << "line " << c.line;

    // Line 0's modem call clears; a data call takes its channel.
    ASSERT_TRUE(far.isdn[0]->clear_call(*modemCalls[0].key));
    ASSERT_TRUE(rig::run_until(r.host, [&] { return modemCalls[0].link->ThisBChannel == nullptr && first->PumpState == PUMP_SLEEP; },
                               plat::ms(8000)));
    auto again = far.isdn[0]->offer_call(3, number(0, 2), "4165550101", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(again.has_value());
    ASSERT_TRUE(rig::run_until(r.host, [&] {
        return modemCalls[0].link->ChannelState == CHANNEL_STATE_ACTIVE && modemCalls[0].link->ThisPump == nullptr;
    }, plat::ms(8000)));
    ASSERT_TRUE(poll_until(adapter, [&] { return (diff = mismatches(adapter)).empty(); })) << diff;
    EXPECT_EQ(adapter->GetChannel(2)->GetViewText(), "Connected") << "not the modem of the call before";
    EXPECT_EQ(adapter->GetModem(modem_of(first) - 1)->GetViewText().rfind("Idle", 0), 0u);

    on_client([] { smem_Close(); });
    std::lock_guard<std::mutex> g(boxLock);
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

INSTANTIATE_TEST_SUITE_P(Configs, ShippedBoard, ::testing::Values("default.reg", "four-line.reg"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "default.reg" ? "Default" : "FourLine";
                         });

}  // namespace
