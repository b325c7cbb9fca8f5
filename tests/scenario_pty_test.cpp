// A terminal program on a COM port's pseudo-terminal: it opens the terminal the bridge
// names, sets it raw as minicom or pyserial would, types AT commands and reads what the
// modem channel behind the port answers.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "sim/firmware/firmware.h"
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
    ~Terminal()
    {
        if (fd >= 0) ::close(fd);
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
        ASSERT_TRUE(bridge.start(&error)) << error;
        ASSERT_EQ(bridge.ports().size(), 2u);
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

}  // namespace
