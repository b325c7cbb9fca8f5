// The modem sockets' accessors on a running board.
#include <gtest/gtest.h>

#include <string>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/ser_init.h"
#include "platform/nt/win32.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace {

// A pump taken by an open serial port names the port's owner and COM number; once the
// port is closed the pump has no link and both outputs are 0.
TEST(DimmAccessors, GetPumpLinkNamesTheOwnerAndThePortsComNumber)
{
    rig::Rig r;
    std::string error;
    ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
    r.host.registry.set_dword(r.parameters_key(1), "AsyncPorts_0", 2);
    r.host.registry.set_dword(r.parameters_key(1), "AsyncPortNumbersStartAt", 7);
    r.set_firmware(sim::fw::build_image(sim::fw::default_layout()));
    r.add_board_for(1, 4);
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    ASSERT_NE(na, nullptr);
    Adapter* a = rig::Rig::driver_adapter(na);
    r.host.run_for(plat::ms(14000));

    plat::nt::Win32Client client;
    plat::nt::HANDLE h = client.CreateFile("\\\\.\\COM8");
    ASSERT_NE(h, plat::nt::INVALID_HANDLE_VALUE) << std::hex << client.last_status();

    // Walk every pump as the management service does.
    auto find = [&](ULONG* owner, ULONG* com) -> Link* {
        Link* found = nullptr;
        rig::with_adapter_lock(a, [&] {
            for (ULONG s = 0; s < a->SocketCount; s++)
                for (ULONG c = 0; c < a->Socket[s].ProcessorCount; c++)
                    for (ULONG p = 0; p < GetPumpCount(&a->Socket[s], c); p++) {
                        ULONG o = 0xAA, n = 0xBB;
                        Link* l = GetPumpLink(&a->Socket[s], c, p, &o, &n);
                        EXPECT_TRUE(l != nullptr || (o == 0 && n == 0)) << "outputs are zeroed first";
                        if (l != nullptr) {
                            found = l;
                            *owner = o;
                            *com = n;
                        }
                    }
        });
        return found;
    };
    ULONG owner = 0, com = 0;
    Link* l = find(&owner, &com);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l, &a->NdisWanInfo[0][1]);
    EXPECT_EQ(owner, ULONG(OWNER_VOVIZ4EZ));
    EXPECT_EQ(com, 8u);

    EXPECT_TRUE(client.CloseHandle(h));
    EXPECT_EQ(find(&owner, &com), nullptr);

    // A bad index writes only the zeroed outputs.
    ULONG o = 5, n = 6;
    rig::with_adapter_lock(a, [&] { EXPECT_EQ(GetPumpLink(&a->Socket[0], 9, 0, &o, &n), nullptr); });
    EXPECT_EQ(o, 0u);
    EXPECT_EQ(n, 0u);
    r.halt(na);
}

}  // namespace
