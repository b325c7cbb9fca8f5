// The applet tests' fixture: a temporary root with the default hive, the default board
// served on a thread of its own as vornet-sim --serve serves it, and the user interface
// on the test's thread with a person's answers scripted.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "QLCommon/Adapter.h"
#include "QLCommon/Agent.h"
#include "QLCommon/os.h"
#include "QLCommon/smem.h"
#include "applet/ConfigSheet.h"
#include "applet/ControlPanel.h"
#include "applet/DeviceWidgets.h"
#include "applet/PropertyPageQLS.h"
#include "applet/PropertySheet.h"
#include "applet/resource.h"
#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/MDM_PUMP.h"
#include "driver/Common/RSS_init.h"
#include "driver/Common/MDM_PUMP_ext.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "platform/mfc/afxtest.h"
#include "platform/registry/registry.h"
#include "sim/far/isdn_network.h"
#include "sim/far/modem_peer.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/device_server.h"
#include "tools/harness/rig.h"
#include "platform/win32/test_root.h"

#include <optional>

namespace fs = std::filesystem;

namespace applettest {

inline const bool kHeadless = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return true;
}();

inline const char* const kParameters = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters";

struct AppletRoot : TempRoot {
    AppletRoot() : TempRoot("vornetap") { setenv("VORNET_LIBRARY_PATH", TAPI32_DIR, 1); }
};

// Reads and changes the run's hive as a file.
inline std::optional<uint32_t> HiveDword(const fs::path& root, const char* key, const char* name)
{
    plat::reg::Registry r;
    EXPECT_TRUE(r.load_reg_file((root / "registry.reg").string()).ok);
    return r.get_dword(key, name);
}
inline std::string HiveText(const fs::path& root)
{
    std::ifstream f(root / "registry.reg");
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Lets the user-interface thread run until `done` or the time passes.
inline bool PumpUntil(const std::function<bool()>& done, int seconds = 20)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < end) {
        AfxPumpMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

inline std::string ShotPath(const std::string& name)
{
    const char* dir = std::getenv("VORNET_SHOTS");
    fs::path base = dir != nullptr ? fs::path(dir) : fs::current_path() / "shots";
    fs::create_directories(base);
    return (base / (name + ".png")).string();
}

// The default board on its own thread: the far end is an ISDN network with a modem peer;
// every device request, telephony request and restart of the machine is served there.
class SimThread {
public:
    SimThread(const fs::path& root, bool lineUp, unsigned boards = 1) : root_(root), lineUp_(lineUp), boards_(boards)
    {
        thread_ = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> l(lock_);
        ready_.wait(l, [this] { return started_; });
    }
    ~SimThread()
    {
        stop_ = true;
        thread_.join();
    }
    bool ok() const { return ok_; }
    // Runs fn on the simulator's thread and waits for it.
    void Do(const std::function<void()>& fn)
    {
        std::atomic<bool> done{false};
        {
            std::lock_guard<std::mutex> g(lock_);
            work_.push_back([&] {
                fn();
                done = true;
            });
        }
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Adapter* adapter() { return a_; }
    std::unique_ptr<sim::IsdnNetworkSide> net;
    rig::Rig r;
    std::unique_ptr<rig::DeviceServer> server;
    int restarts = 0;

private:
    void Run()
    {
        std::string e;
        bool good = rig::DeviceServer::load_root(r, root_, &e);
        if (good) {
            r.set_firmware(sim::fw::default_image());
            sim::Card& card = r.add_board_for(1, 4);
            net = std::make_unique<sim::IsdnNetworkSide>(r.host, card.line(0), sim::IsdnNetworkConfig{});
            peer_ = std::make_unique<sim::ModemPeer>(r.host.sched, card.line(0));
            peer_->follow(*net);
            for (unsigned b = 2; b <= boards_; b++) r.add_board_for(b, 4 + b);
            good = r.load_driver() == 0 && (a_ = rig::Rig::driver_adapter(na_ = r.initialize(1))) != nullptr;
            for (unsigned b = 2; b <= boards_ && good; b++) good = (others_[b] = r.initialize(b)) != nullptr;
        }
        if (good && lineUp_) {
            good = rig::run_until(r.host, [&] { return Processors() == 10u; }, plat::ms(15000));
            if (!rig::run_until(r.host, [&] { return net->link_up(); }, plat::ms(3000))) net->establish();
            good = good && rig::run_until(r.host, [&] { return net->link_up() && a_->LineUp[0] == 1; }, plat::ms(3000));
        }
        if (good) {
            server = std::make_unique<rig::DeviceServer>(r, root_);
            server->service();  // the devices' sockets are there before the applet looks
            server->on_restart = [this] {
                restarts++;
                server->restart();
                na_ = nullptr;
                for (auto& n : r.host.ndis().adapters())
                    if (n->initialised && !n->halted) na_ = n.get();
                a_ = na_ != nullptr ? rig::Rig::driver_adapter(na_) : nullptr;
            };
        }
        {
            std::lock_guard<std::mutex> g(lock_);
            ok_ = good;
            started_ = true;
        }
        ready_.notify_all();
        while (!stop_) {
            std::deque<std::function<void()>> work;
            {
                std::lock_guard<std::mutex> g(lock_);
                work.swap(work_);
            }
            for (auto& fn : work) fn();
            if (server) {
                server->service();
                r.host.run_for(plat::ms(5));
                pollfd p{server->fd(), POLLIN, 0};
                ::poll(&p, 1, 1);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        server.reset();
        if (na_ != nullptr) r.halt(na_);
        for (auto& [b, n] : others_)
            if (n != nullptr && restarts == 0) r.halt(n);
    }
    size_t Processors()
    {
        size_t n = 0;
        for (unsigned s = 0; s < a_->SocketCount && s < MAX_SOCKETS; s++)
            for (unsigned c = 0; c < a_->Socket[s].ProcessorCount; c++) n += a_->Socket[s].Csms[c].State == CSM_RUNNING;
        return n;
    }

    fs::path root_;
    bool lineUp_;
    unsigned boards_;
    std::map<unsigned, plat::ndis::Adapter*> others_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable ready_;
    bool started_ = false, ok_ = false;
    std::atomic<bool> stop_{false};
    std::deque<std::function<void()>> work_;
    std::unique_ptr<sim::ModemPeer> peer_;
    plat::ndis::Adapter* na_ = nullptr;
    Adapter* a_ = nullptr;
};

class AppletTest : public ::testing::Test {
protected:
    AppletRoot root;
    std::unique_ptr<SimThread> sim;

    void SetUp() override
    {
        ASSERT_TRUE(kHeadless);
        AfxEnsureApplication();
        RegisterAppletResources();
        std::ofstream(root.dir / "registry.reg") << rig::kDefaultConfig;
        afxtest::BeginScript();
    }
    void TearDown() override
    {
        EXPECT_EQ(afxtest::Misses(), 0) << "a prompt found no scripted answer";
        EXPECT_EQ(afxtest::Pending(), 0u) << "scripted answers left unused";
        afxtest::EndScript();
        sim.reset();
    }
    void ChangeHive(const std::function<void(plat::reg::Registry&)>& change)
    {
        plat::reg::Registry r;
        ASSERT_TRUE(r.load_reg_file((root.dir / "registry.reg").string()).ok);
        change(r);
        std::ofstream(root.dir / "registry.reg") << r.save_reg();
    }
    void StartSim(bool lineUp = true, unsigned boards = 1)
    {
        sim = std::make_unique<SimThread>(root.dir, lineUp, boards);
        ASSERT_TRUE(sim->ok());
    }
    // Double-clicks the applet; `action` plays the user inside the main sheet and closes it.
    void OpenApplet(std::function<void(CMyPropertySheet&)> action)
    {
        afxtest::RunModal([action](CWnd*) { action(*GPropertySheet); });
        EXPECT_EQ(CPlApplet(nullptr, CPL_DBLCLK, 0, 0), 0);
        EXPECT_EQ(GPropertySheet, nullptr);
        EXPECT_EQ(GAgent, nullptr) << "the management layer is closed with the sheet";
    }
    static std::vector<std::string> BoxTexts()
    {
        std::vector<std::string> t;
        for (const auto& b : afxtest::MessageBoxes()) t.push_back(b.text);
        return t;
    }
};

}  // namespace applettest
