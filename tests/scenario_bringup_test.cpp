// Whole roads through the driver on the simulated board, as the main job runs them.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "driver/Common/RSS_init.h"
#include "tools/harness/rig.h"

namespace {

std::string read_config(const std::string& name)
{
    std::ifstream in(std::string(VORNET_SOURCE_DIR) + "/configs/" + name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Expect {
    const char* config;
    std::vector<std::string> signalling;
    std::vector<ULONG> links;
    size_t processors;
};

TEST(Scenario, ShippedConfigurationsComeUpRunAndHaltClean)
{
    const Expect cases[] = {
        {"default.reg", {"5ESS"}, {23}, 10},
        {"four-line.reg", {"5ESS", "NI-1", "Euro ISDN", "robbed-bit"}, {23, 23, 30, 24}, 8},
    };
    for (const Expect& c : cases) {
        SCOPED_TRACE(c.config);
        rig::Rig r;
        std::string error;
        ASSERT_TRUE(r.load_config(read_config(c.config), &error)) << error;
        r.add_board_for(1, 4);
        ASSERT_EQ(r.load_driver(), 0);
        plat::ndis::Adapter* na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        r.host.run_for(plat::ms(5000));

        rig::Summary s;
        rig::observe_adapter(rig::Rig::driver_adapter(na), s);
        ASSERT_EQ(s.lines.size(), c.signalling.size());
        for (size_t n = 0; n < s.lines.size(); n++) {
            EXPECT_EQ(s.lines[n].signalling, c.signalling[n]);
            EXPECT_EQ(rig::Rig::driver_adapter(na)->LinksPerGroup[n], c.links[n]);
        }
        EXPECT_EQ(s.processors.size(), c.processors);
        EXPECT_EQ(na->resets, 0u) << "a healthy bring-up is never reset by the hang check";

        r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        EXPECT_EQ(r.leaked_mappings(), 0u);
        EXPECT_EQ(r.leaked_shared_memory(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
}

// The reset clears every latch, lights each line's LED as "down" and then releases the
// framers from hardware reset, in that order, on the board type's latch.
TEST(Scenario, ResetWritesTheLatchesInOrder)
{
    rig::Rig r;
    std::string error;
    ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
    sim::Board& board = r.add_board_for(1, 4);
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    ASSERT_NE(na, nullptr);
    std::vector<uint32_t> values;
    for (const auto& w : board.latch_writes()) values.push_back(w.value);
    // Board type 4: one latch holds the IRQ bit 0, line 0's LED at bits 2-3 and the
    // framer reset at bit 1 (active low).
    const std::vector<uint32_t> expected = {0, 0, 0, 0, 0, 0x4, 0x4, 0xFFFFFF06};
    EXPECT_EQ(values, expected);
    EXPECT_FALSE(board.framers_in_hw_reset());
    EXPECT_EQ(board.led(0), 1);
    r.halt(na);
    for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
}

}  // namespace

namespace {

// A leased line: no calls and no signalling, but the line comes up, its LED and
// LineUp follow, and the HDLC group gets the static map of time slots 0..31.
TEST(Scenario, LeasedLineComesUpWithItsStaticTimeSlotMap)
{
    rig::Rig r;
    std::string error;
    ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
    r.host.registry.set_dword(r.parameters_key(1), "SignallingProtocol_0", 6);
    sim::Card& card = r.add_board_for(1, 4);
    ASSERT_EQ(r.load_driver(), 0);
    plat::ndis::Adapter* na = r.initialize(1);
    ASSERT_NE(na, nullptr);
    r.host.run_for(plat::ms(3000));

    Adapter* a = rig::Rig::driver_adapter(na);
    rig::Summary s;
    rig::observe_adapter(a, s);
    EXPECT_TRUE(s.data_interface_up);
    ASSERT_EQ(s.lines.size(), 1u);
    EXPECT_EQ(s.lines[0].signalling, "leased line");
    EXPECT_EQ(s.lines[0].layer1, "up");
    EXPECT_EQ(a->LineUp[0], 1);
    EXPECT_EQ(card.led(0), 2);
    EXPECT_EQ(a->LinksPerGroup[0], 32u);
    EXPECT_EQ(a->NdisWanInfo[0][31].IsDChannelLink, 0);

    const uint8_t* area = a->SharedMem.GroupAreas.Virtual;
    for (unsigned slot = 0; slot < 32; slot++) {
        SCOPED_TRACE(slot);
        EXPECT_EQ(area[0x200 + slot], 0xE0 | slot);  // transmit map: mode 7, channel = slot
        EXPECT_EQ(area[0x400 + slot], 0xE0 | slot);  // receive map
    }

    r.halt(na);
    EXPECT_EQ(r.leaked_allocations(), 0u);
    EXPECT_EQ(r.leaked_mappings(), 0u);
    for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
}

}  // namespace
