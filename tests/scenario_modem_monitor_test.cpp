// A driver modem's monitors on the served default board: a serial application dials
// out through COM3, the call runs on the pump behind the port, and the applet's
// monitors of that pump's modem write the port's traffic, decoded, into their
// c:\LOG-Modem files; switching monitoring off opens each log in Notepad.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

// The device client first: the applet's headers name INVALID_HANDLE_VALUE as a macro.
#include "platform/nt/win32.h"

#include "QLCommon/IOCTLMethod.h"
#include "QLCommon/Modem.h"
#include "QLCommon/Monitor.h"
#include "QLCommon/os.h"
#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/MDM_PUMP.h"
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

TEST(ModemMonitorScenario, TheMonitorsLogADialledCallOfTheComPortsPump)
{
    TempRoot root("vornet-monitor");
    std::ofstream(root.dir / "registry.reg") << rig::kDefaultConfig;
    fs::path launcher = root.dir / "launcher.sh";
    std::ofstream(launcher) << "#!/bin/sh\necho \"$@\" >> " << (root.dir / "launched").string() << "\n";
    fs::permissions(launcher, fs::perms::owner_all);
    setenv("VORNET_LAUNCHER", launcher.c_str(), 1);

    rig::Rig r;
    std::string e;
    ASSERT_TRUE(rig::DeviceServer::load_root(r, root.dir, &e)) << e;
    r.host.registry.set_dword(r.parameters_key(1), "AsyncPorts_0", 2);
    r.host.registry.set_dword(r.parameters_key(1), "AsyncPortNumbersStartAt", 3);
    r.set_firmware(sim::fw::default_image());
    sim::Card& card = r.add_board_for(1, 4);
    sim::IsdnNetworkSide net(r.host, card.line(0), sim::IsdnNetworkConfig{});
    sim::ModemPeer::Config far;
    far.echo = true;
    sim::ModemPeer peer(r.host.sched, card.line(0), far);
    peer.follow(net);
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    Adapter* a = rig::Rig::driver_adapter(na);
    ASSERT_NE(a, nullptr);
    r.host.run_for(plat::ms(14000));
    if (!rig::run_until(r.host, [&] { return net.link_up(); }, plat::ms(3000))) net.establish();
    ASSERT_TRUE(rig::run_until(r.host, [&] { return net.link_up() && a->LineUp[0] == 1; }, plat::ms(3000)));
    rig::DeviceServer server(r, root.dir);
    server.service();

    auto serve_until = [&](const std::function<bool()>& done, int seconds = 20) {
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done() && std::chrono::steady_clock::now() < limit) {
            server.service();
            r.host.run_for(plat::ms(5));
            pollfd p{server.fd(), POLLIN, 0};
            ::poll(&p, 1, 1);
        }
        return done();
    };
    auto on_client = [&](const std::function<void()>& fn) {
        std::atomic<bool> finished{false};
        std::thread t([&] {
            fn();
            finished = true;
        });
        serve_until([&] { return finished.load(); }, 60);
        t.join();
    };

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
    const uint32_t number =
        (pump->ThisCsm->ThisSocket->SocketIndex * 2 + pump->ThisCsm->Index) * 3 + pump->PumpNumber + 1;

    // The applet's modem of that pump, monitored.
    Monitor_Install();
    std::unique_ptr<CIOCTLMethod> transport;
    on_client([&] { transport = std::make_unique<CIOCTLMethod>("\\\\.\\VORNET1"); });
    ASSERT_NE(transport->GetDeviceHandle(), INVALID_HANDLE_VALUE);
    auto modem = std::make_unique<CRockyModem>(transport.get(), number, nullptr);
    modem->SetMonitoring(true);
    ASSERT_TRUE(modem->IsMonitoring());

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

    fs::path driverLog, armLog;
    auto find_logs = [&] {
        for (auto& entry : fs::directory_iterator(root.dir / "C")) {
            std::string name = entry.path().filename().string();
            if (name.rfind("LOG-Modem" + std::to_string(number) + "-Driver--", 0) == 0) driverLog = entry.path();
            if (name.rfind("LOG-Modem" + std::to_string(number) + "-ARM--", 0) == 0) armLog = entry.path();
        }
        return !driverLog.empty() && !armLog.empty();
    };
    ASSERT_TRUE(find_logs());
    // The port's traffic while the call runs: the dial written, the modem's answer and
    // the far end's echo read.
    EXPECT_TRUE(serve_until([&] {
        std::string log = ReadAll(driverLog);
        return log.find("\"ATD5550123\\r\"") != std::string::npos && log.find("CONNECT") != std::string::npos &&
               log.find("hello, far end\"") != std::string::npos;
    })) << ReadAll(driverLog);

    on_client([&] { modem->SetMonitoring(false); });
    EXPECT_FALSE(modem->IsMonitoring());
    std::string log = ReadAll(driverLog);
    EXPECT_EQ(log.rfind("\n01:<--[", 0), 0u) << "the first record: the application's write, its time stamp" << log;
    EXPECT_EQ(log.find("GAP"), std::string::npos) << log;
    EXPECT_NE(log.find("\n03:-->["), std::string::npos) << "reads" << log;
    EXPECT_FALSE(ReadAll(armLog).empty());
    // The viewer runs on its own: wait for both launches.
    std::string launched;
    for (int i = 0; i < 300; i++) {
        launched = ReadAll(root.dir / "launched");
        if (launched.find(driverLog.string()) != std::string::npos && launched.find(armLog.string()) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(launched.find("Notepad.exe " + driverLog.string()), std::string::npos) << launched;
    EXPECT_NE(launched.find("Notepad.exe " + armLog.string()), std::string::npos) << launched;

    on_client([&] { modem.reset(); });
    transport.reset();
    CRockyModem::SetMonitorFactory(nullptr);
    unsetenv("VORNET_LAUNCHER");
    EXPECT_TRUE(client.CloseHandle(h));
    r.halt(na);
    for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
}

}  // namespace
