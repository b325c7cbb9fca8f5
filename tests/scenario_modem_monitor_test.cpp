// A driver modem's monitors on the served default board: a serial application dials
// out through COM3, the call runs on the pump behind the port, and the applet's
// monitors of that pump's modem write the port's traffic, decoded, into their
// c:\LOG-Modem files; switching monitoring off opens each log in Notepad. A call the
// driver answers on a pump of its own shows in that pump's firmware trace, which the
// firmware monitor reads and decodes into its log.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// The device client first: the applet's headers name INVALID_HANDLE_VALUE as a macro.
#include "platform/nt/win32.h"

#include "QLCommon/IOCTLMethod.h"
#include "QLCommon/Modem.h"
#include "QLCommon/Monitor.h"
#include "QLCommon/os.h"
#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/MDM_PUMP.h"
#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "platform/win32/test_root.h"
#include "sim/far/isdn_network.h"
#include "sim/far/modem_peer.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/device_server.h"
#include "tools/harness/rig.h"

namespace fs = std::filesystem;

namespace {

// The serial port driver's time-outs request (the port's own header meets the applet's).
constexpr uint32_t kSetTimeouts = 0x001B001C;
struct Timeouts {
    uint32_t ReadInterval, ReadMultiplier, ReadConstant, WriteMultiplier, WriteConstant;
};

std::string ReadAll(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class ModemMonitorScenario : public ::testing::Test {
protected:
    TempRoot root{"vornet-monitor"};
    rig::Rig r;
    std::unique_ptr<sim::IsdnNetworkSide> net;  // destroyed before the rig's boards
    std::unique_ptr<sim::ModemPeer> peer;
    std::unique_ptr<rig::DeviceServer> server;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    sim::Card* card = nullptr;
    fs::path launcher;

    void SetUp() override
    {
        std::ofstream(root.dir / "registry.reg") << rig::kDefaultConfig;
        launcher = root.dir / "launcher.sh";
        std::ofstream(launcher) << "#!/bin/sh\necho \"$@\" >> " << (root.dir / "launched").string() << "\n";
        fs::permissions(launcher, fs::perms::owner_all);
        setenv("VORNET_LAUNCHER", launcher.c_str(), 1);

        std::string e;
        ASSERT_TRUE(rig::DeviceServer::load_root(r, root.dir, &e)) << e;
        r.host.registry.set_dword(r.parameters_key(1), "AsyncPorts_0", 2);
        r.host.registry.set_dword(r.parameters_key(1), "AsyncPortNumbersStartAt", 3);
        r.set_firmware(sim::fw::default_image());
        card = &r.add_board_for(1, 4);
        net = std::make_unique<sim::IsdnNetworkSide>(r.host, card->line(0), sim::IsdnNetworkConfig{});
        sim::ModemPeer::Config far;
        far.echo = true;
        peer = std::make_unique<sim::ModemPeer>(r.host.sched, card->line(0), far);
        peer->follow(*net);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        a = rig::Rig::driver_adapter(na);
        ASSERT_NE(a, nullptr);
        r.host.run_for(plat::ms(14000));
        if (!rig::run_until(r.host, [&] { return net->link_up(); }, plat::ms(3000))) net->establish();
        ASSERT_TRUE(rig::run_until(r.host, [&] { return net->link_up() && a->LineUp[0] == 1; }, plat::ms(3000)));
        server = std::make_unique<rig::DeviceServer>(r, root.dir);
        server->service();
        Monitor_Install();
    }
    void TearDown() override
    {
        CRockyModem::SetMonitorFactory(nullptr);
        unsetenv("VORNET_LAUNCHER");
        if (na) r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }

    // Serves the applet's requests and runs the board until done, for seconds of real time.
    bool serve_until(const std::function<bool()>& done, int seconds = 20)
    {
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done() && std::chrono::steady_clock::now() < limit) {
            server->service();
            r.host.run_for(plat::ms(5));
            pollfd p{server->fd(), POLLIN, 0};
            ::poll(&p, 1, 1);
        }
        return done();
    }
    // The applet's side on a thread of its own, served meanwhile.
    void on_client(const std::function<void()>& fn)
    {
        std::atomic<bool> finished{false};
        std::thread t([&] {
            fn();
            finished = true;
        });
        serve_until([&] { return finished.load(); }, 60);
        t.join();
    }
    // The log of modem n from source "Driver" or "ARM"; empty when there is none.
    fs::path log_of(uint32_t number, const std::string& source)
    {
        for (auto& entry : fs::directory_iterator(root.dir / "C")) {
            std::string name = entry.path().filename().string();
            if (name.rfind("LOG-Modem" + std::to_string(number) + "-" + source + "--", 0) == 0) return entry.path();
        }
        return {};
    }
    // Waits for the viewer to be launched on each log.
    std::string launched_for(const std::vector<fs::path>& logs)
    {
        std::string launched;
        for (int i = 0; i < 300; i++) {
            launched = ReadAll(root.dir / "launched");
            bool all = true;
            for (const auto& l : logs) all = all && launched.find(l.string()) != std::string::npos;
            if (all) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return launched;
    }
    // The applet's modem n over a transport of its own (created and destroyed on the client side).
    struct AppletModem {
        std::unique_ptr<CIOCTLMethod> transport;
        std::unique_ptr<CRockyModem> modem;
    };
    // The modem of a pump: numbered as the board's modems are, addressed at the pump.
    static uint32_t number_of(const Pump* p)
    {
        return (p->ThisCsm->ThisSocket->SocketIndex * 2 + p->ThisCsm->Index) * 3 + p->PumpNumber + 1;
    }
    void open_modem(AppletModem& m, const Pump* p)
    {
        on_client([&] { m.transport = std::make_unique<CIOCTLMethod>("\\\\.\\VORNET1"); });
        ASSERT_NE(m.transport->GetDeviceHandle(), INVALID_HANDLE_VALUE);
        m.modem = std::make_unique<CRockyModem>(
            m.transport.get(), number_of(p), nullptr,
            ModemAddress{p->ThisCsm->ThisSocket->SocketIndex, p->ThisCsm->Index, p->PumpNumber});
    }
    void close_modem(AppletModem& m)
    {
        on_client([&] { m.modem.reset(); });
        m.transport.reset();
    }
};

// The port's modem: the port's traffic in the driver monitor's log. The network-mode
// pump sends no command-channel commands, so the firmware monitor's log holds only its
// reads that found no answer.
TEST_F(ModemMonitorScenario, TheMonitorsLogADialledCallOfTheComPortsPump)
{
    // The application opens COM3; its pump becomes the port's modem.
    plat::nt::Win32Client client;
    plat::nt::HANDLE h = client.CreateFile("\\\\.\\COM3");
    ASSERT_NE(h, plat::nt::HANDLE(-1)) << std::hex << client.last_status();
    Timeouts t = {0xFFFFFFFF, 0xFFFFFFFF, 200, 0, 0};
    uint32_t n = 0;
    ASSERT_TRUE(client.DeviceIoControl(h, kSetTimeouts, &t, sizeof t, nullptr, 0, &n));
    ASSERT_TRUE(client.DeviceIoControl(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, &n));
    r.host.run_for(plat::ms(200));
    Link* l = &a->NdisWanInfo[0][0];
    Pump* pump = l->ThisPump;
    ASSERT_NE(pump, nullptr);
    const uint32_t number = number_of(pump);

    // The applet's modem of that pump, monitored.
    AppletModem m;
    open_modem(m, pump);
    ASSERT_NE(m.modem, nullptr);
    m.modem->SetMonitoring(true);
    ASSERT_TRUE(m.modem->IsMonitoring());

    std::string heard;
    auto talk = [&](const std::string& text, const std::string& until) {
        auto w = client.start_write(h, std::vector<uint8_t>(text.begin(), text.end()));
        std::unique_ptr<plat::nt::Request> rd;
        return serve_until([&] {
            if (rd && rd->done()) {
                auto got = rd->output();
                heard.append(got.begin(), got.end());
                rd.reset();
            }
            if (heard.find(until) != std::string::npos) return true;
            if (!rd) rd = client.start_read(h, 64);
            return false;
        });
    };
    ASSERT_TRUE(talk("ATD5550123\r", "CONNECT")) << heard;
    ASSERT_TRUE(talk("hello, far end", "hello, far end")) << heard;

    fs::path driverLog = log_of(number, "Driver"), armLog = log_of(number, "ARM");
    ASSERT_FALSE(driverLog.empty());
    ASSERT_FALSE(armLog.empty());
    // The port's traffic while the call runs: the dial written, the modem's answer and
    // the far end's echo read.
    EXPECT_TRUE(serve_until([&] {
        std::string log = ReadAll(driverLog);
        return log.find("\"ATD5550123\\r\"") != std::string::npos && log.find("CONNECT") != std::string::npos &&
               log.find("hello, far end\"") != std::string::npos;
    })) << ReadAll(driverLog);

    on_client([&] { m.modem->SetMonitoring(false); });
    EXPECT_FALSE(m.modem->IsMonitoring());
    std::string log = ReadAll(driverLog);
    EXPECT_EQ(log.rfind("\n01:<--[", 0), 0u) << "the first record: the application's write, its time stamp" << log;
    EXPECT_EQ(log.find("GAP"), std::string::npos) << log;
    EXPECT_NE(log.find("\n03:-->["), std::string::npos) << "reads" << log;
    EXPECT_FALSE(ReadAll(armLog).empty());
    // The viewer runs on its own: wait for both launches.
    std::string launched = launched_for({driverLog, armLog});
    EXPECT_NE(launched.find("Notepad.exe " + driverLog.string()), std::string::npos) << launched;
    EXPECT_NE(launched.find("Notepad.exe " + armLog.string()), std::string::npos) << launched;

    close_modem(m);
    EXPECT_TRUE(client.CloseHandle(h));
}

// A call from the network answered by a pump of the driver's own, with the firmware
// monitor on that pump's modem: the monitor's trace reads go down the command channel
// while the pump is on line, and its log holds the firmware's codes of the call, decoded
// (the answer on the call's slot, the connection at its speed, DCD); the call then still
// clears and its pump goes back to sleep. The COM port's modem takes the first pump, so
// the call takes another.
TEST_F(ModemMonitorScenario, TheFirmwareMonitorLogsTheTraceOfAPumpThatAnsweredACall)
{
    plat::nt::Win32Client client;
    plat::nt::HANDLE h = client.CreateFile("\\\\.\\COM3");
    ASSERT_NE(h, plat::nt::HANDLE(-1)) << std::hex << client.last_status();
    uint32_t n = 0;
    ASSERT_TRUE(client.DeviceIoControl(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, &n));
    r.host.run_for(plat::ms(200));
    ASSERT_NE(a->NdisWanInfo[0][0].ThisPump, nullptr);

    Link* l = nullptr;
    rig::with_adapter_lock(a, [&] { l = LinkAcquire(a, 0, 0, 2, OWNER_DRIVER); });
    ASSERT_NE(l, nullptr);
    auto key = net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(rig::run_until(
        r.host, [&] { return l->ThisPump != nullptr && l->ThisPump->PumpState == PUMP_ON_LINE; }, plat::ms(8000)));
    Pump* pump = l->ThisPump;
    const uint32_t number = number_of(pump);

    // The monitor of the pump's own modem.
    AppletModem m;
    open_modem(m, pump);
    ASSERT_NE(m.modem, nullptr);
    m.modem->SetMonitoring(true);
    ASSERT_TRUE(m.modem->IsMonitoring());
    fs::path armLog = log_of(number, "ARM");
    ASSERT_FALSE(armLog.empty());
    const std::string slot = std::to_string(pump->TimeSlot);
    auto holds_call = [&](const std::string& log) {
        return log.find("\n61:AtCmdLineIn\"AT+TSA=" + slot) != std::string::npos &&
               log.find("\n2A:GoToCONNECTED[") != std::string::npos &&
               log.find("\n54:dtePrtCONNECT(00008340-33600)") != std::string::npos &&
               log.find("\n55:DCDOn") != std::string::npos;
    };
    EXPECT_TRUE(serve_until([&] { return holds_call(ReadAll(armLog)); })) << ReadAll(armLog);
    EXPECT_EQ(pump->PumpState, ULONG(PUMP_ON_LINE)) << "the reads leave the call alone";
    on_client([&] { m.modem->SetMonitoring(false); });
    std::string log = ReadAll(armLog);
    EXPECT_TRUE(holds_call(log)) << log;
    EXPECT_NE(log.find("\n20:DoAnswerRtn("), std::string::npos) << log;
    EXPECT_EQ(log.find("CMDDAT Failure"), std::string::npos) << log;
    EXPECT_EQ(log.find("GAP"), std::string::npos) << "the trace since the processor started fits the ring" << log;

    // The network clears; the pump reads the statistics and sleeps again.
    ASSERT_TRUE(net->clear_call(*key));
    EXPECT_TRUE(rig::run_until(r.host, [&] { return l->ThisPump == nullptr && pump->PumpState == PUMP_SLEEP; },
                               plat::ms(8000)))
        << pump->PumpState;
    EXPECT_EQ(pump->FailedCalls, 0u);

    close_modem(m);
    EXPECT_TRUE(client.CloseHandle(h));
}

}  // namespace
