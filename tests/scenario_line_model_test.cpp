// The line hardware models against what the driver programmed: a framer set up for
// another kind of line never comes into frame.
#include <gtest/gtest.h>

#include <string>

#include "driver/Common/RSS_init.h"
#include "tools/harness/rig.h"

namespace {

TEST(LineModelScenario, LayerOneComesUpOnlyWhenTheFramerMatchesTheLine)
{
    struct Case {
        const char* name;
        uint32_t line_mode;  // what the driver is configured for
        bool far_end_t1;     // what the far end sends
        bool up;
    };
    const Case cases[] = {
        {"T1 on T1", 0, true, true},
        {"T1 on E1", 0, false, false},
        {"E1 on E1", 1, false, true},
        {"E1 on T1", 1, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig::Rig r;
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        r.host.registry.set_dword(r.parameters_key(1), "LineMode_0", c.line_mode);
        r.host.registry.set_dword(r.parameters_key(1), "FramingFormat_0", c.line_mode == 1 ? 4 : 3);
        sim::Card& card = r.add_board_for(1, 4);
        card.line(0).set_format({c.far_end_t1, 0});
        ASSERT_EQ(r.load_driver(), 0);
        plat::ndis::Adapter* na = r.initialize(1);
        Adapter* a = rig::Rig::driver_adapter(na);
        ASSERT_NE(a, nullptr);
        r.host.run_for(plat::ms(3000));
        EXPECT_EQ(a->Framer[0].bL1Up != 0, c.up);
        EXPECT_EQ(card.framer(0)->peek(sim::Framer::kRcr0) & 0x01, 0x01) << "the driver enabled the receive framer";
        r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
}

}  // namespace
