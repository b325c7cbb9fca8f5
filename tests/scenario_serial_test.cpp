// A serial application on the default board: it finds the port in the device map,
// opens it, talks AT commands to the modem channel behind it, and closes it; the
// channel goes back to the pool and the port opens again.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "driver/Wmp_nt40/ser_init.h"
#include "platform/nt/win32.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace {

std::string exchange(plat::nt::Win32Client& client, plat::nt::HANDLE h, const std::string& command)
{
    uint32_t n = 0;
    EXPECT_TRUE(client.WriteFile(h, command.data(), uint32_t(command.size()), &n));
    EXPECT_EQ(n, command.size());
    std::string reply;
    char buf[64];
    // Read what comes until the port has been quiet for one read's time-out.
    while (client.ReadFile(h, buf, sizeof buf, &n) && n > 0) reply.append(buf, n);
    return reply;
}

TEST(SerialScenario, AnApplicationTalksToTheModemThroughItsComPort)
{
    rig::Rig r;
    std::string error;
    ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
    r.host.registry.set_dword(r.parameters_key(1), "AsyncPorts_0", 2);
    r.host.registry.set_dword(r.parameters_key(1), "AsyncPortNumbersStartAt", 3);
    r.set_firmware(sim::fw::build_image(sim::fw::default_layout()));
    r.add_board_for(1, 4);
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    ASSERT_NE(na, nullptr);
    r.host.run_for(plat::ms(14000));

    // The application finds its port in the device map.
    auto names = r.host.registry.value_names("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    ASSERT_EQ(names.size(), 2u);
    auto com = r.host.registry.get_value("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "Serial3");
    ASSERT_TRUE(com.has_value());
    EXPECT_EQ(com->sz, "COM3");

    plat::nt::Win32Client client;
    plat::nt::HANDLE h = client.CreateFile("\\\\.\\" + com->sz);
    ASSERT_NE(h, plat::nt::INVALID_HANDLE_VALUE) << std::hex << client.last_status();
    SERIAL_TIMEOUTS t = {0xFFFFFFFF, 0xFFFFFFFF, 300, 0, 0};
    uint32_t n = 0;
    ASSERT_TRUE(client.DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0, &n));
    ASSERT_TRUE(client.DeviceIoControl(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, &n));
    r.host.run_for(plat::ms(200));

    EXPECT_NE(exchange(client, h, "AT\r").find("OK"), std::string::npos);
    EXPECT_NE(exchange(client, h, "ATE0\r").find("OK"), std::string::npos);

    Adapter* a = rig::Rig::driver_adapter(na);
    Link* l = &a->NdisWanInfo[0][0];
    Pump* pump = l->ThisPump;
    ASSERT_NE(pump, nullptr);
    EXPECT_TRUE(client.CloseHandle(h));
    EXPECT_EQ(l->CurrentOwner, (ULONG)OWNER_NONE);
    EXPECT_EQ(pump->ThisLink, nullptr);

    // The channel goes back to sleep and the port opens again.
    r.host.run_for(plat::ms(3000));
    h = client.CreateFile("\\\\.\\COM3");
    ASSERT_NE(h, plat::nt::INVALID_HANDLE_VALUE) << std::hex << client.last_status();
    r.host.run_for(plat::ms(200));
    EXPECT_NE(exchange(client, h, "AT\r").find("OK"), std::string::npos);
    EXPECT_TRUE(client.CloseHandle(h));

    r.halt(na);
    EXPECT_EQ(r.leaked_allocations(), 0u);
    for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
}

}  // namespace
