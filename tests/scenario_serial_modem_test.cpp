// A serial-attached modem adapter on the serving simulator, reached the applet's way:
// the configuration lists two zelCOM ports, vornet-sim --serve puts a modem behind
// each, and the applet's transport and AT exchanges initialise one and read its
// reports into a modem's records.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "QLCommon/ManageableObject.h"
#include "QLCommon/SerialPortMethod.h"
#include "QLCommon/TextField.h"
#include "QLCommon/Variables.h"
#include "QLCommon/mdparse.h"
#include "QLCommon/parsetbl.h"
#include "QLCommon/test_modem.h"
#include "platform/registry/registry.h"
#include "tools/harness/rig.h"

namespace fs = std::filesystem;

namespace {

TEST(SerialModemScenario, ServedPortsAnswerTheApplet)
{
    char pattern[] = "/tmp/vornet-serial-serve-XXXXXX";
    const fs::path root = ::mkdtemp(pattern);
    plat::reg::Registry config;
    ASSERT_TRUE(config.load_reg(rig::kDefaultConfig).ok);
    const std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters";
    config.set_dword(key, "ZELPortCount", 2);
    config.set_dword(key, "ZELCallHistory", 1);
    for (int i = 1; i <= 2; i++) {
        config.set_sz(key + "\\Port" + std::to_string(i), "DOSDeviceName", "COM" + std::to_string(i + 2));
        config.set_sz(key + "\\Port" + std::to_string(i), "ShadowDeviceName", "ZELSHADOW" + std::to_string(i));
        config.set_dword(key + "\\Port" + std::to_string(i), "BusyOutAfterDisconnect", 15);
    }
    const fs::path config_file = root / "config.reg";
    std::ofstream(config_file) << config.save_reg();

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(VORNET_SIM, VORNET_SIM, "--serve", "--root", root.c_str(), "--config", config_file.c_str(), (char*)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200 && !fs::exists(root / "ZELSHADOW2"); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::exists(root / "ZELSHADOW1"));
    ::setenv("VORNET_ROOT", root.c_str(), 1);
    mdparse_tTiming fast;
    fast.PageWaitMs = 200;
    fast.CommandWaitMs = 150;
    fast.IoWaitMs = 1000;
    mdparse_SetTiming(fast);
    {
        CSerialPortMethod port("ZELSHADOW1");
        ASSERT_TRUE(port.IsOpened());
        EXPECT_EQ(port.IsDSROn(), 2);
        EXPECT_EQ(port.IsDCDOn(), 2);
        TestModem m;
        // The initialisation: product text, version, busy-out time.
        ASSERT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI0), 0);
        EXPECT_TRUE(mdparse_VersionSupported(txtf_Get(m.status.Field[0]).value_or("").c_str()));
        EXPECT_EQ(mdparse_ConfigModem(&m, &port, 35, 15), 0);
        // The last call's report and the settings, over their pages.
        ASSERT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATI11), 0);
        EXPECT_EQ(m.last.Field[6], 2u);      // V.34
        EXPECT_EQ(m.last.Field[22], 47u);    // the termination cause
        EXPECT_EQ(m.last.Field[21], 6u);     // on the second page
        EXPECT_EQ(mdparse_ConfigModem(&m, &port, 21, 20), 0);
        ASSERT_EQ(mdparse_ATCommand(&m, &port, PARSETBL_ATANDV), 0);
        EXPECT_EQ(m.config.Field[0], 20u);
        EXPECT_EQ(m.config.Field[9], 3u);    // hardware flow control

        // The second port is a modem of its own, still at its defaults.
        CSerialPortMethod other("ZELSHADOW2");
        ASSERT_TRUE(other.IsOpened());
        TestModem n;
        ASSERT_EQ(mdparse_ATCommand(&n, &other, PARSETBL_ATANDV), 0);
        EXPECT_EQ(n.config.Field[0], 14u);
    }
    mdparse_SetTiming(mdparse_tTiming{});
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_FALSE(fs::exists(root / "ZELSHADOW1"));  // the adapter took its sockets away
    fs::remove_all(root);
}

}  // namespace
